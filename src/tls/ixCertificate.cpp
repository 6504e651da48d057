#include "tls/ixCertificate.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>

#include "base/ixError.h"
#include "tls/internal/ixOpenSslError.h"
#include "tls/internal/ixOpenSslHandles.h"
#include "tls/ixSspi.h"

namespace ix {

namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const {
        Free(p);
    }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using Pkcs12 = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;
using GeneralNames = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES_free>>;
struct X509StackFree {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};
using X509Stack = std::unique_ptr<STACK_OF(X509), X509StackFree>;

std::string Quoted(const std::string& file) {
    return "\"" + file + "\"";
}

Bio OpenFile(const std::string& file) {
    Bio bio(BIO_new_file(file.c_str(), "rb"));
    if (!bio) RaiseOpenSslError("Cannot open file " + Quoted(file));
    return bio;
}

// Never lets OpenSSL fall back to asking on the terminal: an encrypted key without a password fails.
int PasswordCallback(char* buffer, int size, int, void* userData) {
    const auto* password = static_cast<const std::string*>(userData);
    if (password->size() > static_cast<std::size_t>(size)) return -1;
    password->copy(buffer, password->size());
    return static_cast<int>(password->size());
}

std::string Hex(const unsigned char* data, std::size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

std::string Hex(const ASN1_STRING* value) {
    if (value == nullptr) return {};
    return Hex(ASN1_STRING_get0_data(value), static_cast<std::size_t>(ASN1_STRING_length(value)));
}

std::string Utf8(const ASN1_STRING* value) {
    unsigned char* text = nullptr;
    const int length = ASN1_STRING_to_UTF8(&text, value);
    if (length < 0) return {};
    std::string result(reinterpret_cast<char*>(text), static_cast<std::size_t>(length));
    OPENSSL_free(text);
    return result;
}

std::string NameEntry(const X509_NAME* name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) return {};
    return Utf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
}

std::string DisplayName(const X509_NAME* name) {
    for (int nid : {NID_commonName, NID_organizationName, NID_organizationalUnitName, NID_pkcs9_emailAddress})
        if (std::string text = NameEntry(name, nid); !text.empty()) return text;
    const int count = X509_NAME_entry_count(name);
    if (count == 0) return {};
    return Utf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, count - 1)));
}

std::string Rfc2253(const X509_NAME* name) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio) throw EixSSPIError(IX_SSPI_OUT_OF_MEMORY);
    // Non-ASCII characters stay UTF-8 instead of becoming \XX escapes.
    if (X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string ObjectText(const ASN1_OBJECT* object, bool dotted) {
    char text[128];
    const int length = OBJ_obj2txt(text, sizeof text, object, dotted ? 1 : 0);
    if (length <= 0) return {};
    return std::string(text, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof text - 1));
}

TixDateTime DateOf(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return 0;
    // ASN.1 allows the year 0, which the day count cannot hold, and a leap second.
    if (!IsValidDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday)) return 0;
    return UtcToLocal(EncodeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                                     std::min(tm.tm_sec, 59)));
}

std::string Digest(const X509* cert, const EVP_MD* md) {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert, md, value, &length) != 1) RaiseOpenSslError("Cannot hash the certificate");
    return Hex(value, length);
}

std::string IpText(const ASN1_OCTET_STRING* address) {
    char text[INET6_ADDRSTRLEN];
    const int length = ASN1_STRING_length(address);
    const int family = length == 4 ? AF_INET : length == 16 ? AF_INET6 : AF_UNSPEC;
    if (family == AF_UNSPEC ||
        inet_ntop(family, ASN1_STRING_get0_data(address), text, sizeof text) == nullptr)
        return {};
    return text;
}

TixByteArray DerOf(X509* cert) {
    const int length = i2d_X509(cert, nullptr);
    if (length <= 0) RaiseOpenSslError("Cannot encode the certificate");
    TixByteArray der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    i2d_X509(cert, &out);
    return der;
}

}  // namespace

TixCertificate::TixCertificate(const TixByteArray& der)
    : handles_(std::make_unique<detail::TixCertificateHandles>()) {
    ERR_clear_error();
    const unsigned char* in = der.data();
    handles_->cert = d2i_X509(nullptr, &in, static_cast<long>(der.size()));
    if (handles_->cert == nullptr) RaiseOpenSslError("Cannot read the certificate");
    ReadFields();
}

TixCertificate::TixCertificate(std::unique_ptr<detail::TixCertificateHandles> handles)
    : handles_(std::move(handles)) {
    ReadFields();
}

TixCertificate::~TixCertificate() = default;

std::unique_ptr<TixCertificate> TixCertificate::LoadFromPem(const std::string& certFile,
                                                            const std::string& keyFile,
                                                            const std::string& password) {
    ERR_clear_error();
    auto handles = std::make_unique<detail::TixCertificateHandles>();
    auto* userData = const_cast<std::string*>(&password);
    {
        Bio bio = OpenFile(certFile);
        handles->cert = PEM_read_bio_X509(bio.get(), nullptr, PasswordCallback, userData);
        if (handles->cert == nullptr) RaiseOpenSslError("No certificate in file " + Quoted(certFile));
        while (X509Ptr extra{PEM_read_bio_X509(bio.get(), nullptr, PasswordCallback, userData)}) {
            handles->chain.push_back(extra.get());
            extra.release();
        }
        // The end of the file ends the list; anything else is a damaged certificate.
        const unsigned long error = ERR_peek_last_error();
        if (ERR_GET_LIB(error) != ERR_LIB_PEM || ERR_GET_REASON(error) != PEM_R_NO_START_LINE)
            RaiseOpenSslError("Cannot read the certificates in file " + Quoted(certFile));
        ERR_clear_error();
    }
    const std::string& keySource = keyFile.empty() ? certFile : keyFile;
    Bio bio = OpenFile(keySource);
    handles->key = PEM_read_bio_PrivateKey(bio.get(), nullptr, PasswordCallback, userData);
    if (handles->key == nullptr)
        RaiseOpenSslError("Cannot read the private key in file " + Quoted(keySource));
    if (X509_check_private_key(handles->cert, handles->key) != 1)
        RaiseOpenSslError("The private key in file " + Quoted(keySource) +
                          " does not belong to the certificate");
    return std::unique_ptr<TixCertificate>(new TixCertificate(std::move(handles)));
}

std::unique_ptr<TixCertificate> TixCertificate::LoadFromPkcs12(const std::string& file,
                                                               const std::string& password) {
    ERR_clear_error();
    Bio bio = OpenFile(file);
    Pkcs12 p12(d2i_PKCS12_bio(bio.get(), nullptr));
    if (!p12) RaiseOpenSslError("Cannot read the PKCS#12 file " + Quoted(file));
    auto handles = std::make_unique<detail::TixCertificateHandles>();
    STACK_OF(X509)* extras = nullptr;
    if (PKCS12_parse(p12.get(), password.c_str(), &handles->key, &handles->cert, &extras) != 1)
        RaiseOpenSslError("Cannot open the PKCS#12 file " + Quoted(file));
    X509Stack chain(extras);
    handles->chain.reserve(static_cast<std::size_t>(std::max(sk_X509_num(extras), 0)));
    while (X509* extra = sk_X509_shift(extras))
        handles->chain.push_back(extra);
    if (handles->cert == nullptr)
        throw EixSSPIError("No certificate in the PKCS#12 file " + Quoted(file), IX_SSPI_LOCAL_CERTIFICATE);
    return std::unique_ptr<TixCertificate>(new TixCertificate(std::move(handles)));
}

void TixCertificate::ReadFields() {
    X509* cert = handles_->cert;
    const X509_NAME* subject = X509_get_subject_name(cert);
    const X509_NAME* issuer = X509_get_issuer_name(cert);
    subjectName_ = DisplayName(subject);
    issuerName_ = DisplayName(issuer);
    subject_ = Rfc2253(subject);
    issuer_ = Rfc2253(issuer);
    email_ = NameEntry(subject, NID_pkcs9_emailAddress);
    serialNumber_ = Hex(X509_get0_serialNumber(cert));
    validFrom_ = DateOf(X509_get0_notBefore(cert));
    validTo_ = DateOf(X509_get0_notAfter(cert));
    version_ = static_cast<int>(X509_get_version(cert)) + 1;

    const X509_ALGOR* signature = nullptr;
    X509_get0_signature(nullptr, &signature, cert);
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, signature);
    signatureAlgorithm_ = ObjectText(object, true);
    signatureAlgorithmName_ = ObjectText(object, false);
    ASN1_OBJECT* keyObject = nullptr;
    X509_PUBKEY_get0_param(&keyObject, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(cert));
    if (keyObject != nullptr) {
        publicKeyAlgorithm_ = ObjectText(keyObject, true);
        publicKeyAlgorithmName_ = ObjectText(keyObject, false);
    }
    if (const EVP_PKEY* key = X509_get0_pubkey(cert)) publicKeyLength_ = EVP_PKEY_get_bits(key);

    thumbprint_ = Digest(cert, EVP_sha1());
    sha256Fingerprint_ = Digest(cert, EVP_sha256());
    subjectKeyIdentifier_ = Hex(X509_get0_subject_key_id(cert));

    GeneralNames names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_DNS) {
            altNames_.push_back(Utf8(name->d.dNSName));
        } else if (name->type == GEN_IPADD) {
            if (std::string ip = IpText(name->d.iPAddress); !ip.empty()) altNames_.push_back(std::move(ip));
        } else if (name->type == GEN_EMAIL && email_.empty()) {
            email_ = Utf8(name->d.rfc822Name);
        }
    }
    ERR_clear_error();

    chain_.clear();
    for (X509* extra : handles_->chain)
        chain_.push_back(DerOf(extra));
}

TixByteArray TixCertificate::Der() const {
    return DerOf(handles_->cert);
}

bool TixCertificate::HasPrivateKey() const {
    return handles_->key != nullptr;
}

TixCertificateList::~TixCertificateList() {
    Clear();
}

void TixCertificateList::Add(TixCertificate* certificate) {
    if (ownsItems_)
        Add(std::unique_ptr<TixCertificate>(certificate));
    else
        items_.push_back(certificate);
}

void TixCertificateList::Add(std::unique_ptr<TixCertificate> certificate) {
    if (!ownsItems_) throw EixError("A list that does not own its certificates cannot take one over");
    items_.push_back(certificate.get());
    certificate.release();
}

void TixCertificateList::Clear() {
    if (ownsItems_)
        for (TixCertificate* certificate : items_)
            delete certificate;
    items_.clear();
}

}  // namespace ix
