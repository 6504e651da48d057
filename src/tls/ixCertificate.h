#pragma once
// An X.509 certificate as the application sees it: the server's certificate handed to
// OnVerifyServer, or a client certificate (with its private key) handed back by OnGetCertificate.
// The fields are read once, when the certificate is made; loading raises EixSSPIError with
// OpenSSL's code and text.

#include <memory>
#include <string>
#include <vector>

#include "base/ixDateTime.h"
#include "base/ixTypes.h"

namespace ix {

namespace detail {
struct TixCertificateHandles;
}

class TixCertificate : public TixObject {
public:
    // From DER bytes (no private key).
    explicit TixCertificate(const TixByteArray& der);
    ~TixCertificate() override;
    TixCertificate(const TixCertificate&) = delete;
    TixCertificate& operator=(const TixCertificate&) = delete;

    // A certificate and its private key from PEM files; the key may sit in the certificate's
    // file (keyFile empty), and an encrypted key takes the password. Extra certificates in the
    // file (intermediates) go to chain.
    static std::unique_ptr<TixCertificate> LoadFromPem(const std::string& certFile,
                                                       const std::string& keyFile = {},
                                                       const std::string& password = {});
    // A certificate, its key and its chain from a PKCS#12 file.
    static std::unique_ptr<TixCertificate> LoadFromPkcs12(const std::string& file,
                                                          const std::string& password = {});

    // Simple display names: the common name, else the first name part present.
    const std::string& SubjectName() const { return subjectName_; }
    const std::string& IssuerName() const { return issuerName_; }
    // The whole distinguished names, RFC 2253 style.
    const std::string& Subject() const { return subject_; }
    const std::string& Issuer() const { return issuer_; }
    // The subject's emailAddress name part, else the first e-mail of the subject alternative name.
    const std::string& Email() const { return email_; }
    // Upper-case hexadecimal, most significant byte first.
    const std::string& SerialNumber() const { return serialNumber_; }
    TixDateTime ValidFrom() const { return validFrom_; }
    TixDateTime ValidTo() const { return validTo_; }
    // 1, 2 or 3.
    int Version() const { return version_; }
    // Dotted OIDs and their names ("1.2.840.113549.1.1.11", "sha256WithRSAEncryption").
    const std::string& SignatureAlgorithm() const { return signatureAlgorithm_; }
    const std::string& SignatureAlgorithmName() const { return signatureAlgorithmName_; }
    const std::string& PublicKeyAlgorithm() const { return publicKeyAlgorithm_; }
    const std::string& PublicKeyAlgorithmName() const { return publicKeyAlgorithmName_; }
    // In bits.
    int PublicKeyLength() const { return publicKeyLength_; }
    // Upper-case hexadecimal digests of the DER form.
    const std::string& Thumbprint() const { return thumbprint_; }
    const std::string& Sha256Fingerprint() const { return sha256Fingerprint_; }
    // Upper-case hexadecimal of the subject key identifier extension, empty when absent.
    const std::string& SubjectKeyIdentifier() const { return subjectKeyIdentifier_; }
    // DNS names and IP addresses of the subject alternative name.
    const std::vector<std::string>& AltNames() const { return altNames_; }
    // Free for the application; empty unless set.
    std::string FriendlyName;
    std::string KeyContainerName;

    TixByteArray Der() const;
    bool HasPrivateKey() const;
    // Certificates that go with this one (a client certificate's intermediates).
    const std::vector<TixByteArray>& Chain() const { return chain_; }

    // The OpenSSL objects behind it, for the TLS engine (internal/ixOpenSslHandles.h).
    detail::TixCertificateHandles& Handles() const { return *handles_; }

private:
    explicit TixCertificate(std::unique_ptr<detail::TixCertificateHandles> handles);
    void ReadFields();

    std::unique_ptr<detail::TixCertificateHandles> handles_;
    std::string subjectName_, issuerName_, subject_, issuer_, email_, serialNumber_;
    TixDateTime validFrom_ = 0, validTo_ = 0;
    int version_ = 0;
    std::string signatureAlgorithm_, signatureAlgorithmName_, publicKeyAlgorithm_, publicKeyAlgorithmName_;
    int publicKeyLength_ = 0;
    std::string thumbprint_, sha256Fingerprint_, subjectKeyIdentifier_;
    std::vector<std::string> altNames_;
    std::vector<TixByteArray> chain_;
};

// A list of certificates that owns them or only refers to them, as chosen at creation.
class TixCertificateList {
public:
    explicit TixCertificateList(bool ownsItems = true) : ownsItems_(ownsItems) {}
    ~TixCertificateList();
    TixCertificateList(const TixCertificateList&) = delete;
    TixCertificateList& operator=(const TixCertificateList&) = delete;

    void Add(TixCertificate* certificate);
    // Takes ownership; a list that does not own its items refuses with EixError.
    void Add(std::unique_ptr<TixCertificate> certificate);
    int Count() const { return static_cast<int>(items_.size()); }
    TixCertificate* Items(int index) const { return items_.at(static_cast<std::size_t>(index)); }
    void Clear();
    bool OwnsItems() const { return ownsItems_; }

private:
    bool ownsItems_;
    std::vector<TixCertificate*> items_;
};

}  // namespace ix
