#pragma once
// Key pairs and signatures over OpenSSL: RSA keys imported and exported as PKCS#1 and
// SubjectPublicKeyInfo DER, RSASSA-PKCS1-v1_5 with SHA-1 or SHA-256 in the standard big-endian
// byte order, and Ed25519 over a SHA-256 digest (the DKIM form, RFC 8463). Every failure raises
// EixCryptError; an operation that needs a key the object does not hold raises code -4.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <openssl/types.h>

#include "base/ixTypes.h"
#include "crypto/ixConfig.h"
#include "crypto/ixCryptHash.h"

namespace ix {

// Any key pair (or public half) a signature can use.
class TixKey : public TixConfigObject {
public:
    TixKey() = default;
    ~TixKey() override;
    TixKey(const TixKey&) = delete;
    TixKey& operator=(const TixKey&) = delete;

    bool HasKey() const { return key_ != nullptr; }
    bool HasPrivateKey() const;
    // "rsa" or "ed25519", as in the k= tag of a DKIM key record; empty without a key.
    std::string KeyType() const;
    int KeyBits() const;
    // A private key in PEM (PKCS#1 or PKCS#8) or DER form; raises when it is none of them.
    void LoadPrivateKey(std::string_view text);
    // The PKCS#8 PEM of the private key, as key files hold it.
    std::string PrivateKeyPem() const;
    // The key as a DKIM key record carries it: SubjectPublicKeyInfo DER for RSA, the 32 raw
    // bytes for Ed25519.
    virtual TixByteArray GetPublicKeyData() const = 0;
    virtual void SetPublicKeyData(const TixByteArray& data) = 0;

    // The OpenSSL key; null when none is loaded.
    EVP_PKEY* OpenSslKey() const { return key_; }

protected:
    void SetKey(EVP_PKEY* key);  // takes ownership
    EVP_PKEY* key_ = nullptr;
};

class TixRsaKey : public TixKey {
public:
    // Bits of the next generated key; 2048 by default (RFC 8301: 1024 is the floor).
    int KeyLength() const { return keyLength_; }
    void SetKeyLength(int value) { keyLength_ = value; }

    virtual void Init() = 0;
    virtual void GenerateKey() = 0;
    virtual TixByteArray GetRsaPrivateKey() const = 0;
    virtual TixByteArray GetRsaPublicKey() const = 0;
    virtual TixByteArray GetPublicKeyInfo() const = 0;
    virtual void SetRsaPrivateKey(const TixByteArray& der) = 0;
    virtual void SetRsaPublicKey(const TixByteArray& der) = 0;
    virtual void SetPublicKeyInfo(const TixByteArray& der) = 0;
    // Modulus and public exponent as big-endian bytes.
    virtual void SetRsaPublicKeyComponents(const TixByteArray& modulus, const TixByteArray& exponent) = 0;
    virtual void GetRsaPublicKeyComponents(TixByteArray& modulus, TixByteArray& exponent) const = 0;
    // The modulus as decimal text or as hexadecimal text with a "0x" prefix.
    void SetRsaPublicKeyComponents(std::string_view modulus, const TixByteArray& exponent);

    TixByteArray GetPublicKeyData() const override { return GetPublicKeyInfo(); }
    // Accepts SubjectPublicKeyInfo and, as some records carry it, a bare PKCS#1 RSAPublicKey.
    void SetPublicKeyData(const TixByteArray& data) override;

protected:
    int keyLength_ = 2048;
};

class TixOpenSslRsaKey : public TixRsaKey {
public:
    void Init() override;
    void GenerateKey() override;
    TixByteArray GetRsaPrivateKey() const override;
    TixByteArray GetRsaPublicKey() const override;
    TixByteArray GetPublicKeyInfo() const override;
    void SetRsaPrivateKey(const TixByteArray& der) override;
    void SetRsaPublicKey(const TixByteArray& der) override;
    void SetPublicKeyInfo(const TixByteArray& der) override;
    void SetRsaPublicKeyComponents(const TixByteArray& modulus, const TixByteArray& exponent) override;
    using TixRsaKey::SetRsaPublicKeyComponents;
    void GetRsaPublicKeyComponents(TixByteArray& modulus, TixByteArray& exponent) const override;

private:
    void ImportDer(const TixByteArray& der, const char* structure, int selection);
    TixByteArray ExportDer(const char* structure, int selection) const;
};

class TixEd25519Key : public TixKey {
public:
    void GenerateKey();
    TixByteArray GetPublicKeyData() const override;
    void SetPublicKeyData(const TixByteArray& data) override;
};

class TixSignature : public TixConfigObject {
public:
    virtual void Init() = 0;
    virtual void Update(const std::uint8_t* bytes, std::size_t start, std::size_t count) = 0;
    // Raises EixCryptError when the signature does not match.
    virtual void Verify(const TixByteArray& signature);
    virtual bool VerifySignature(const TixByteArray& signature) = 0;
    virtual TixByteArray Sign() = 0;
    virtual void SetPrivateKey(const TixKey& key) = 0;
    virtual void SetPublicKey(const TixKey& key) = 0;
    // The key type the signature needs ("rsa", "ed25519").
    virtual const char* KeyType() const = 0;

    void Update(std::string_view text) {
        Update(reinterpret_cast<const std::uint8_t*>(text.data()), 0, text.size());
    }
};

// Both kinds on OpenSSL hash the data as it comes and sign or verify the digest at the end.
class TixOpenSslSignature : public TixSignature {
public:
    TixOpenSslSignature() = default;
    ~TixOpenSslSignature() override;
    TixOpenSslSignature(const TixOpenSslSignature&) = delete;
    TixOpenSslSignature& operator=(const TixOpenSslSignature&) = delete;

    void Init() override;
    void Update(const std::uint8_t* bytes, std::size_t start, std::size_t count) override;
    using TixSignature::Update;
    bool VerifySignature(const TixByteArray& signature) override;
    TixByteArray Sign() override;
    void SetPrivateKey(const TixKey& key) override;
    void SetPublicKey(const TixKey& key) override;

protected:
    virtual std::unique_ptr<TixHash> CreateHash() const = 0;
    virtual TixByteArray SignDigest(EVP_PKEY* key, const TixByteArray& digest) const = 0;
    virtual bool VerifyDigest(EVP_PKEY* key, const TixByteArray& digest,
                              const TixByteArray& signature) const = 0;

private:
    void UseKey(const TixKey& key, bool needPrivate);
    TixByteArray Digest();

    std::unique_ptr<TixHash> hash_;
    EVP_PKEY* key_ = nullptr;
};

class TixSignatureRsa : public TixOpenSslSignature {
public:
    const char* KeyType() const override { return "rsa"; }

protected:
    virtual const char* HashName() const = 0;
    TixByteArray SignDigest(EVP_PKEY* key, const TixByteArray& digest) const override;
    bool VerifyDigest(EVP_PKEY* key, const TixByteArray& digest,
                      const TixByteArray& signature) const override;
};

class TixSignatureRsaSha1 : public TixSignatureRsa {
protected:
    const char* HashName() const override { return "SHA1"; }
    std::unique_ptr<TixHash> CreateHash() const override { return std::make_unique<TixSha1>(); }
};

class TixSignatureRsaSha256 : public TixSignatureRsa {
protected:
    const char* HashName() const override { return "SHA256"; }
    std::unique_ptr<TixHash> CreateHash() const override { return std::make_unique<TixSha256>(); }
};

// Ed25519 (pure) over the SHA-256 digest of the data, as DKIM signs with it.
class TixSignatureEd25519Sha256 : public TixOpenSslSignature {
public:
    const char* KeyType() const override { return "ed25519"; }

protected:
    std::unique_ptr<TixHash> CreateHash() const override { return std::make_unique<TixSha256>(); }
    TixByteArray SignDigest(EVP_PKEY* key, const TixByteArray& digest) const override;
    bool VerifyDigest(EVP_PKEY* key, const TixByteArray& digest,
                      const TixByteArray& signature) const override;
};

}  // namespace ix
