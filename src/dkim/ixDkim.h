#pragma once
// The DKIM component: signs a message's lines with the configured key and verifies the
// DKIM-Signature fields of a message, with keys from OnGetPublicKey or from DNS TXT records.
// Sign and Verify block (a key lookup asks the name server); failures raise EixDkimError with its
// code, and errors of the crypto and DNS services pass through. Verify records every signature's
// outcome in Signatures(); VerifyMode decides whether a failed signature ends the walk.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/ixDateTime.h"
#include "crypto/ixCryptSignature.h"
#include "dkim/ixDkimConfig.h"
#include "dkim/ixDkimKey.h"
#include "dkim/ixDkimSignature.h"
#include "dns/ixDnsQuery.h"
#include "mail/ixMailDkimLink.h"

namespace ix {

enum class TixDkimVerifyMode { dvmVerifyUntilFail, dvmVerifyUntilSuccess, dvmVerifyAll };

// The values of the key record to publish next to the signing key.
struct TixDkimDnsSettings {
    bool ServiceAll = false;
    bool ServiceEmail = false;
    std::string Notes;
    TixStringList AcceptableHashAlgorithms;
    bool TestingDomain = false;
    bool CheckUserIdentityDomain = false;
};

class TixDkim;
using TixDkimGetPublicKeyEvent =
    std::function<void(TixDkim* Sender, TixDkimSignature& ASignature, TixByteArray& AKey)>;
using TixDkimVerifyEvent =
    std::function<void(TixDkim* Sender, TixDkimSignature& ASignature, const TixStringList& AMessage,
                       TixDkimSignatureVerifyStatus& AVerifyStatus)>;
using TixDkimSignEvent =
    std::function<void(TixDkim* Sender, TixDkimSignature& ASignature, TixStringList& AMessage)>;
using TixDkimKeyEvent = std::function<void(TixDkim* Sender, TixDkimSignature& ASignature, TixDkimKey& AKey)>;

class TixDkim : public TixMailDkimLink {
public:
    explicit TixDkim(TixComponent* owner = nullptr);
    ~TixDkim() override;

    const std::string& SignatureAlgorithm() const { return signatureAlgorithm_; }
    void SetSignatureAlgorithm(const std::string& value) { SetProperty(signatureAlgorithm_, value); }
    const std::string& Canonicalization() const { return canonicalization_; }
    void SetCanonicalization(const std::string& value) { SetProperty(canonicalization_, value); }
    const std::string& Domain() const { return domain_; }
    void SetDomain(const std::string& value) { SetProperty(domain_, value); }
    const std::string& Selector() const { return selector_; }
    void SetSelector(const std::string& value) { SetProperty(selector_, value); }
    TixStringList& SignedHeaderFields() { return signedHeaderFields_; }
    TixStringList& CopiedHeaderFields() { return copiedHeaderFields_; }
    std::int64_t BodyLength() const { return bodyLength_; }
    void SetBodyLength(std::int64_t value) { SetProperty(bodyLength_, value); }
    const std::string& UserIdentity() const { return userIdentity_; }
    void SetUserIdentity(const std::string& value) { SetProperty(userIdentity_, value); }
    const std::string& PublicKeyLocation() const { return publicKeyLocation_; }
    void SetPublicKeyLocation(const std::string& value) { SetProperty(publicKeyLocation_, value); }
    TixDateTime SignatureTimestamp() const { return signatureTimestamp_; }
    void SetSignatureTimestamp(TixDateTime value) { SetProperty(signatureTimestamp_, value); }
    TixDateTime SignatureExpiration() const { return signatureExpiration_; }
    void SetSignatureExpiration(TixDateTime value) { SetProperty(signatureExpiration_, value); }
    int CharsPerLine() const { return charsPerLine_; }
    void SetCharsPerLine(int value) { SetProperty(charsPerLine_, value); }
    TixDkimVerifyMode VerifyMode() const { return verifyMode_; }
    void SetVerifyMode(TixDkimVerifyMode value) { SetProperty(verifyMode_, value); }
    TixDkimDnsSettings& DnsSettings() { return dnsSettings_; }

    // The name server for key lookups; empty asks the system's name servers.
    const std::string& DnsServer() const { return dnsServer_; }
    void SetDnsServer(const std::string& value) { SetProperty(dnsServer_, value); }
    int DnsPort() const { return dnsPort_; }
    void SetDnsPort(int value) { SetProperty(dnsPort_, value); }
    // Milliseconds one key lookup may take.
    int DnsTimeOut() const { return dnsTimeOut_; }
    void SetDnsTimeOut(int value) { SetProperty(dnsTimeOut_, value); }

    TixDkimConfig& Config();
    // The query object of key lookups (recursion desired), created on first use.
    TixDnsQuery& DnsQuery();
    // The key Sign uses, created for the kind of SignatureAlgorithm ("rsa" or "ed25519").
    TixKey& SigningKey();
    // Loads the signing key from PEM or DER text.
    void LoadSigningKey(std::string_view text);

    void Sign(TixStringList& messageLines) override;
    void Verify(const TixStringList& messageLines) override;
    const TixDkimSignatureList& Signatures() const { return signatures_; }

    // The key record to publish for the public half of key, with the values of DnsSettings.
    std::string BuildKeyRecord(const TixKey& key);

    TixDkimGetPublicKeyEvent OnGetPublicKey;
    TixDkimVerifyEvent OnVerify;
    TixDkimSignEvent OnSign;
    TixDkimKeyEvent OnKeyReceived;
    TixDkimKeyEvent OnKeyRevoked;

protected:
    virtual std::unique_ptr<TixDkimSignature> CreateSignature() const;
    virtual void DoGetPublicKey(TixDkimSignature& signature, TixByteArray& key);
    virtual void DoVerify(TixDkimSignature& signature, const TixStringList& message,
                          TixDkimSignatureVerifyStatus& status);
    virtual void DoSign(TixDkimSignature& signature, TixStringList& message);
    virtual void DoKeyReceived(TixDkimSignature& signature, TixDkimKey& key);
    virtual void DoKeyRevoked(TixDkimSignature& signature, TixDkimKey& key);
    // The TXT records (the strings of each joined) published under name, asked of DnsServer or
    // of the system's name servers. A name without records gives none; DNS failures raise.
    virtual std::vector<std::string> QueryKeyRecords(const std::string& name);

private:
    void VerifySignature(TixDkimSignature& signature, int fieldIndex, const TixStringList& lines,
                         class TixDkimHeaderFieldList& header,
                         std::map<std::string, std::string>& bodyHashes);
    std::string ComputeBodyHash(const TixDkimSignature& signature, const TixStringList& lines, int bodyStart);
    std::string HeaderData(const TixDkimSignature& signature, TixDkimHeaderFieldList& header, int fieldIndex);
    std::unique_ptr<class TixDkimCanonicalizer> CreateCanonicalizer(const std::string& name);

    std::string signatureAlgorithm_ = "rsa-sha256";
    std::string canonicalization_;
    std::string domain_;
    std::string selector_;
    TixStringList signedHeaderFields_{"Date", "From", "To", "Subject", "MIME-Version", "Content-Type"};
    TixStringList copiedHeaderFields_;
    std::int64_t bodyLength_ = 0;
    std::string userIdentity_;
    std::string publicKeyLocation_ = "dns/txt";
    TixDateTime signatureTimestamp_ = 0;
    TixDateTime signatureExpiration_ = 0;
    int charsPerLine_ = 76;
    TixDkimVerifyMode verifyMode_ = TixDkimVerifyMode::dvmVerifyUntilFail;
    TixDkimDnsSettings dnsSettings_;
    std::string dnsServer_;
    int dnsPort_ = 53;
    int dnsTimeOut_ = 5000;

    TixDkimSignatureList signatures_;
    std::unique_ptr<TixDkimConfig> config_;
    std::unique_ptr<TixDnsQuery> dnsQuery_;
    std::unique_ptr<TixKey> signingKey_;
};

}  // namespace ix
