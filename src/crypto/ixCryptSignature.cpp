#include "crypto/ixCryptSignature.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "crypto/ixCryptUtils.h"

namespace ix {

namespace {

struct BnDeleter {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;

struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

TixByteArray BnBytes(const BIGNUM* bn) {
    TixByteArray bytes(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, bytes.data());
    return bytes;
}

TixByteArray BnParam(EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) RaiseCryptError("EVP_PKEY_get_bn_param");
    BnPtr bn(raw);
    return BnBytes(bn.get());
}

template <class F>
TixByteArray I2d(EVP_PKEY* key, F encode, const char* call) {
    int size = encode(key, nullptr);
    if (size <= 0) RaiseCryptError(call);
    TixByteArray der(static_cast<std::size_t>(size));
    unsigned char* out = der.data();
    if (encode(key, &out) != size) RaiseCryptError(call);
    return der;
}

bool IsRsa(EVP_PKEY* key) {
    return EVP_PKEY_is_a(key, "RSA") == 1;
}

}  // namespace

TixKey::~TixKey() {
    EVP_PKEY_free(key_);
}

void TixKey::SetKey(EVP_PKEY* key) {
    EVP_PKEY_free(key_);
    key_ = key;
}

bool TixKey::HasPrivateKey() const {
    if (key_ == nullptr) return false;
    if (IsRsa(key_)) {
        BIGNUM* d = nullptr;
        bool has = EVP_PKEY_get_bn_param(key_, OSSL_PKEY_PARAM_RSA_D, &d) == 1;
        BN_clear_free(d);
        ClearCryptErrors();
        return has;
    }
    std::size_t size = 0;
    bool has = EVP_PKEY_get_raw_private_key(key_, nullptr, &size) == 1;
    ClearCryptErrors();
    return has;
}

std::string TixKey::KeyType() const {
    if (key_ == nullptr) return {};
    if (IsRsa(key_)) return "rsa";
    if (EVP_PKEY_is_a(key_, "ED25519") == 1) return "ed25519";
    return EVP_PKEY_get0_type_name(key_);
}

int TixKey::KeyBits() const {
    return key_ == nullptr ? 0 : EVP_PKEY_get_bits(key_);
}

void TixKey::LoadPrivateKey(std::string_view text) {
    EVP_PKEY* key = nullptr;
    if (text.find("-----BEGIN") != std::string_view::npos) {
        BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
        if (bio == nullptr) RaiseCryptError("BIO_new_mem_buf");
        key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        if (key == nullptr) RaiseCryptError("PEM_read_bio_PrivateKey");
    } else {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
        key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(text.size()));
        if (key == nullptr) RaiseCryptError("d2i_AutoPrivateKey");
    }
    std::string type = EVP_PKEY_get0_type_name(key) ? EVP_PKEY_get0_type_name(key) : "";
    bool wanted = dynamic_cast<TixRsaKey*>(this) != nullptr ? IsRsa(key) : EVP_PKEY_is_a(key, "ED25519") == 1;
    if (!wanted) {
        EVP_PKEY_free(key);
        throw EixCryptError("The key is of another type: " + type, 0);
    }
    SetKey(key);
}

std::string TixKey::PrivateKeyPem() const {
    if (!HasPrivateKey()) RaiseKeyRequired();
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) RaiseCryptError("BIO_new");
    if (PEM_write_bio_PrivateKey(bio, key_, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        BIO_free(bio);
        RaiseCryptError("PEM_write_bio_PrivateKey");
    }
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return pem;
}

void TixRsaKey::SetRsaPublicKeyComponents(std::string_view modulus, const TixByteArray& exponent) {
    std::string text(modulus);
    BIGNUM* raw = nullptr;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    int used = hex ? BN_hex2bn(&raw, text.c_str() + 2) : BN_dec2bn(&raw, text.c_str());
    BnPtr bn(raw);
    if (used <= 0 || static_cast<std::size_t>(used) != text.size() - (hex ? 2 : 0))
        throw EixCryptError("The modulus is not a number", 0);
    SetRsaPublicKeyComponents(BnBytes(bn.get()), exponent);
}

void TixRsaKey::SetPublicKeyData(const TixByteArray& data) {
    try {
        SetPublicKeyInfo(data);
    } catch (const EixCryptError&) {
        SetRsaPublicKey(data);
    }
}

void TixOpenSslRsaKey::Init() {
    SetKey(nullptr);
}

void TixOpenSslRsaKey::GenerateKey() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(keyLength_));
    if (key == nullptr) RaiseCryptError("EVP_PKEY_Q_keygen");
    SetKey(key);
}

TixByteArray TixOpenSslRsaKey::GetRsaPrivateKey() const {
    if (!HasPrivateKey()) RaiseKeyRequired();
    return I2d(
        key_, [](EVP_PKEY* k, unsigned char** out) { return i2d_PrivateKey(k, out); }, "i2d_PrivateKey");
}

TixByteArray TixOpenSslRsaKey::GetRsaPublicKey() const {
    if (key_ == nullptr) RaiseKeyRequired();
    return I2d(
        key_, [](EVP_PKEY* k, unsigned char** out) { return i2d_PublicKey(k, out); }, "i2d_PublicKey");
}

TixByteArray TixOpenSslRsaKey::GetPublicKeyInfo() const {
    if (key_ == nullptr) RaiseKeyRequired();
    return I2d(
        key_, [](EVP_PKEY* k, unsigned char** out) { return i2d_PUBKEY(k, out); }, "i2d_PUBKEY");
}

void TixOpenSslRsaKey::SetRsaPrivateKey(const TixByteArray& der) {
    if (der.empty()) RaiseKeyRequired();
    const unsigned char* p = der.data();
    EVP_PKEY* key = d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size()));
    if (key == nullptr) RaiseCryptError("d2i_PrivateKey");
    SetKey(key);
}

void TixOpenSslRsaKey::SetRsaPublicKey(const TixByteArray& der) {
    if (der.empty()) RaiseKeyRequired();
    const unsigned char* p = der.data();
    EVP_PKEY* key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size()));
    if (key == nullptr) RaiseCryptError("d2i_PublicKey");
    SetKey(key);
}

void TixOpenSslRsaKey::SetPublicKeyInfo(const TixByteArray& der) {
    if (der.empty()) RaiseKeyRequired();
    const unsigned char* p = der.data();
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size()));
    if (key == nullptr) RaiseCryptError("d2i_PUBKEY");
    if (!IsRsa(key) || p != der.data() + der.size()) {
        EVP_PKEY_free(key);
        throw EixCryptError("d2i_PUBKEY error - 0", 0);
    }
    SetKey(key);
}

void TixOpenSslRsaKey::SetRsaPublicKeyComponents(const TixByteArray& modulus, const TixByteArray& exponent) {
    if (modulus.empty() || exponent.empty()) RaiseKeyRequired();
    BnPtr n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
    BnPtr e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
    OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
    if (!n || !e || builder == nullptr ||
        OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
        OSSL_PARAM_BLD_free(builder);
        RaiseCryptError("OSSL_PARAM_BLD_push_BN");
    }
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(builder);
    OSSL_PARAM_BLD_free(builder);
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    bool ok = params != nullptr && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
              EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) == 1;
    OSSL_PARAM_free(params);
    if (!ok) RaiseCryptError("EVP_PKEY_fromdata");
    SetKey(key);
}

void TixOpenSslRsaKey::GetRsaPublicKeyComponents(TixByteArray& modulus, TixByteArray& exponent) const {
    if (key_ == nullptr) RaiseKeyRequired();
    modulus = BnParam(key_, OSSL_PKEY_PARAM_RSA_N);
    exponent = BnParam(key_, OSSL_PKEY_PARAM_RSA_E);
}

void TixEd25519Key::GenerateKey() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (key == nullptr) RaiseCryptError("EVP_PKEY_Q_keygen");
    SetKey(key);
}

TixByteArray TixEd25519Key::GetPublicKeyData() const {
    if (key_ == nullptr) RaiseKeyRequired();
    TixByteArray raw(32);
    std::size_t size = raw.size();
    if (EVP_PKEY_get_raw_public_key(key_, raw.data(), &size) != 1)
        RaiseCryptError("EVP_PKEY_get_raw_public_key");
    raw.resize(size);
    return raw;
}

void TixEd25519Key::SetPublicKeyData(const TixByteArray& data) {
    if (data.empty()) RaiseKeyRequired();
    EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, data.data(), data.size());
    if (key == nullptr) RaiseCryptError("EVP_PKEY_new_raw_public_key");
    SetKey(key);
}

void TixSignature::Verify(const TixByteArray& signature) {
    if (!VerifySignature(signature)) throw EixCryptError("The signature does not match the data", 0);
}

TixOpenSslSignature::~TixOpenSslSignature() {
    EVP_PKEY_free(key_);
}

void TixOpenSslSignature::Init() {
    hash_ = CreateHash();
    hash_->Init();
}

void TixOpenSslSignature::Update(const std::uint8_t* bytes, std::size_t start, std::size_t count) {
    if (!hash_) Init();
    hash_->Update(bytes, start, count);
}

TixByteArray TixOpenSslSignature::Digest() {
    if (!hash_) Init();
    return hash_->Done();
}

void TixOpenSslSignature::UseKey(const TixKey& key, bool needPrivate) {
    if (!key.HasKey() || (needPrivate && !key.HasPrivateKey())) RaiseKeyRequired();
    if (key.KeyType() != KeyType())
        throw EixCryptError("A " + std::string(KeyType()) + " key is required, not " + key.KeyType(), 0);
    EVP_PKEY_up_ref(key.OpenSslKey());
    EVP_PKEY_free(key_);
    key_ = key.OpenSslKey();
}

void TixOpenSslSignature::SetPrivateKey(const TixKey& key) {
    UseKey(key, true);
}

void TixOpenSslSignature::SetPublicKey(const TixKey& key) {
    UseKey(key, false);
}

bool TixOpenSslSignature::VerifySignature(const TixByteArray& signature) {
    if (key_ == nullptr) RaiseKeyRequired();
    return VerifyDigest(key_, Digest(), signature);
}

TixByteArray TixOpenSslSignature::Sign() {
    if (key_ == nullptr) RaiseKeyRequired();
    return SignDigest(key_, Digest());
}

namespace {

PkeyCtxPtr RsaContext(EVP_PKEY* key, const char* hashName, bool sign) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx) RaiseCryptError("EVP_PKEY_CTX_new_from_pkey");
    if ((sign ? EVP_PKEY_sign_init(ctx.get()) : EVP_PKEY_verify_init(ctx.get())) != 1)
        RaiseCryptError(sign ? "EVP_PKEY_sign_init" : "EVP_PKEY_verify_init");
    if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_get_digestbyname(hashName)) != 1)
        RaiseCryptError("EVP_PKEY_CTX_set_signature_md");
    return ctx;
}

}  // namespace

TixByteArray TixSignatureRsa::SignDigest(EVP_PKEY* key, const TixByteArray& digest) const {
    PkeyCtxPtr ctx = RsaContext(key, HashName(), true);
    std::size_t size = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &size, digest.data(), digest.size()) != 1)
        RaiseCryptError("EVP_PKEY_sign");
    TixByteArray signature(size);
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &size, digest.data(), digest.size()) != 1)
        RaiseCryptError("EVP_PKEY_sign");
    signature.resize(size);
    return signature;
}

bool TixSignatureRsa::VerifyDigest(EVP_PKEY* key, const TixByteArray& digest,
                                   const TixByteArray& signature) const {
    PkeyCtxPtr ctx = RsaContext(key, HashName(), false);
    // A wrong signature (also one of the wrong length) is an answer, not an error.
    bool ok =
        EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
    ClearCryptErrors();
    return ok;
}

TixByteArray TixSignatureEd25519Sha256::SignDigest(EVP_PKEY* key, const TixByteArray& digest) const {
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    std::size_t size = 64;
    TixByteArray signature(size);
    if (!ctx || EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key, nullptr) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &size, digest.data(), digest.size()) != 1)
        RaiseCryptError("EVP_DigestSign");
    signature.resize(size);
    return signature;
}

bool TixSignatureEd25519Sha256::VerifyDigest(EVP_PKEY* key, const TixByteArray& digest,
                                             const TixByteArray& signature) const {
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key, nullptr) != 1)
        RaiseCryptError("EVP_DigestVerifyInit_ex");
    bool ok =
        EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
    ClearCryptErrors();
    return ok;
}

}  // namespace ix
