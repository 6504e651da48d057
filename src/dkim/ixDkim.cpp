#include "dkim/ixDkim.h"

#include <ctime>

#include "crypto/ixCryptUtils.h"
#include "dkim/ixDkimCanonicalizer.h"
#include "dkim/ixDkimUtils.h"
#include "text/ixEncoder.h"
#include "text/ixStringsUtils.h"

namespace ix {

namespace {

// The raw field with the value of its b= tag removed, "b=" itself kept (RFC 6376 section 3.7).
std::string WithoutSignatureValue(const std::string& rawField) {
    std::size_t colon = rawField.find(':');
    std::size_t pos = colon == std::string::npos ? rawField.size() : colon + 1;
    while (pos < rawField.size()) {
        std::size_t end = rawField.find(';', pos);
        if (end == std::string::npos) end = rawField.size();
        std::size_t equals = rawField.find('=', pos);
        if (equals < end && RemoveDkimWhiteSpace(rawField.substr(pos, equals - pos)) == "b")
            return rawField.substr(0, equals + 1) + rawField.substr(end);
        pos = end + 1;
    }
    return rawField;
}

bool Contains(const TixStringList& list, std::string_view word) {
    for (const auto& item : list)
        if (SameText(item.line, word)) return true;
    return false;
}

}  // namespace

TixDkim::TixDkim(TixComponent* owner) : TixMailDkimLink(owner) {}

TixDkim::~TixDkim() = default;

TixDkimConfig& TixDkim::Config() {
    if (!config_) config_ = std::make_unique<TixDkimConfig>();
    return *config_;
}

TixKey& TixDkim::SigningKey() {
    std::string kind = LowerCase(signatureAlgorithm_.substr(0, signatureAlgorithm_.find('-')));
    if (!signingKey_ || (signingKey_->HasKey() ? signingKey_->KeyType() != kind : !Config().HasType(kind))) {
        signingKey_ = Config().Create<TixKey>(kind);
        if (!signingKey_) RaiseDkimError(ixcDkimInvalidAlgorithm);
    }
    return *signingKey_;
}

void TixDkim::LoadSigningKey(std::string_view text) {
    SigningKey().LoadPrivateKey(text);
}

std::unique_ptr<TixDkimSignature> TixDkim::CreateSignature() const {
    auto signature = std::make_unique<TixDkimSignature>();
    signature->Version = 1;
    signature->SignatureAlgorithm = signatureAlgorithm_;
    signature->Canonicalization = canonicalization_;
    signature->Domain = domain_;
    signature->Selector = selector_;
    signature->SignedHeaderFields = signedHeaderFields_;
    signature->BodyLength = bodyLength_;
    signature->UserIdentity = userIdentity_;
    signature->PublicKeyLocation = publicKeyLocation_;
    signature->SetSignatureTimestamp(signatureTimestamp_);
    signature->SetSignatureExpiration(signatureExpiration_);
    return signature;
}

void TixDkim::DoGetPublicKey(TixDkimSignature& signature, TixByteArray& key) {
    if (OnGetPublicKey) OnGetPublicKey(this, signature, key);
}

void TixDkim::DoVerify(TixDkimSignature& signature, const TixStringList& message,
                       TixDkimSignatureVerifyStatus& status) {
    if (OnVerify) OnVerify(this, signature, message, status);
}

void TixDkim::DoSign(TixDkimSignature& signature, TixStringList& message) {
    if (OnSign) OnSign(this, signature, message);
}

void TixDkim::DoKeyReceived(TixDkimSignature& signature, TixDkimKey& key) {
    if (OnKeyReceived) OnKeyReceived(this, signature, key);
}

void TixDkim::DoKeyRevoked(TixDkimSignature& signature, TixDkimKey& key) {
    if (OnKeyRevoked) OnKeyRevoked(this, signature, key);
}

TixDnsQuery& TixDkim::DnsQuery() {
    if (!dnsQuery_) {
        dnsQuery_ = std::make_unique<TixDnsQuery>();
        dnsQuery_->SetIsRecursiveDesired(true);
    }
    return *dnsQuery_;
}

std::vector<std::string> TixDkim::QueryKeyRecords(const std::string& name) {
    TixDnsQuery& query = DnsQuery();
    query.SetServer(dnsServer_);
    query.SetPort(dnsPort_);
    query.SetTimeOut(dnsTimeOut_);
    query.Query(name, IX_DNS_TYPE_TXT);
    std::vector<std::string> records;
    const TixDnsMessage& response = query.Response();
    for (int i = 0; i < response.Answers.Count(); ++i) {
        if (const auto* txt = dynamic_cast<const TixDnsTxtRecord*>(&response.Answers[i])) {
            std::string record;
            for (const std::string& piece : txt->Strings)
                record += piece;
            records.push_back(std::move(record));
        }
    }
    return records;
}

std::unique_ptr<TixDkimCanonicalizer> TixDkim::CreateCanonicalizer(const std::string& name) {
    auto canonicalizer = Config().Create<TixDkimCanonicalizer>(name);
    if (!canonicalizer) RaiseDkimError(ixcDkimInvalidFormat);
    return canonicalizer;
}

std::string TixDkim::ComputeBodyHash(const TixDkimSignature& signature, const TixStringList& lines,
                                     int bodyStart) {
    auto canonicalizer = CreateCanonicalizer(GetBodyCanonicalization(signature));
    auto hash = Config().Create<TixHash>(GetHashAlgorithm(signature));
    if (!hash) RaiseDkimError(ixcDkimInvalidAlgorithm);
    hash->Init();
    canonicalizer->CanonicalizeBody(lines, bodyStart, signature.BodyLength,
                                    [&](std::string_view bytes) { hash->Update(bytes); });
    return TixEncoder::EncodeBytes(hash->Done(), cmBase64);
}

std::string TixDkim::HeaderData(const TixDkimSignature& signature, TixDkimHeaderFieldList& header,
                                int fieldIndex) {
    auto canonicalizer = CreateCanonicalizer(GetHeaderCanonicalization(signature));
    std::string data = canonicalizer->CanonicalizeHeaders(signature.SignedHeaderFields, header);
    data += canonicalizer->CanonicalizeHeaderField(WithoutSignatureValue(header.GetRawField(fieldIndex)));
    // The signature field itself is hashed without its final line break.
    if (data.ends_with("\r\n")) data.resize(data.size() - 2);
    return data;
}

void TixDkim::Sign(TixStringList& messageLines) {
    auto signer = Config().Create<TixSignature>(signatureAlgorithm_);
    if (!signer) RaiseDkimError(ixcDkimInvalidAlgorithm);
    TixKey& key = SigningKey();
    signer->Init();
    signer->SetPrivateKey(key);

    signatures_.clear();
    signatures_.push_back(CreateSignature());
    TixDkimSignature& signature = *signatures_.back();

    TixDkimHeaderFieldList header;
    header.Parse(0, &messageLines);
    TixStringList fieldLines;
    for (const auto& name : copiedHeaderFields_) {
        for (int i = 0; i < header.Count(); ++i) {
            if (!SameText(header.GetFieldName(i), name.line)) continue;
            header.GetFieldLines(i, fieldLines);
            signature.CopiedHeaderFields.AddStrings(fieldLines);
        }
    }
    signature.BodyHash = ComputeBodyHash(signature, messageLines, header.BodyStart());
    signature.Build(messageLines, charsPerLine_);

    header.Parse(0, &messageLines);
    signer->Update(HeaderData(signature, header, 0));
    signature.Signature = TixEncoder::EncodeBytes(signer->Sign(), cmBase64);
    signature.AssignSignature(messageLines, charsPerLine_);
    signature.VerifyStatus.State = TixDkimVerifyState::vsVerified;
    DoSign(signature, messageLines);
}

void TixDkim::Verify(const TixStringList& messageLines) {
    signatures_.clear();
    TixDkimHeaderFieldList header;
    // The index only reads the lines.
    header.Parse(0, const_cast<TixStringList*>(&messageLines));
    std::map<std::string, std::string> bodyHashes;
    for (int i = 0; i < header.Count(); ++i) {
        if (!IsDkimSignatureField(header.GetFieldName(i))) continue;
        signatures_.push_back(CreateSignature());
        TixDkimSignature& signature = *signatures_.back();
        try {
            VerifySignature(signature, i, messageLines, header, bodyHashes);
        } catch (const EixCodedError& e) {
            signature.VerifyStatus = {TixDkimVerifyState::vsFailed, e.what(), e.ErrorCode()};
            if (verifyMode_ == TixDkimVerifyMode::dvmVerifyUntilFail) throw;
            continue;
        } catch (const std::exception& e) {
            signature.VerifyStatus = {TixDkimVerifyState::vsFailed, e.what(), 0};
            if (verifyMode_ == TixDkimVerifyMode::dvmVerifyUntilFail) throw;
            continue;
        }
        if (verifyMode_ == TixDkimVerifyMode::dvmVerifyUntilSuccess) break;
    }
}

void TixDkim::VerifySignature(TixDkimSignature& signature, int fieldIndex, const TixStringList& lines,
                              TixDkimHeaderFieldList& header,
                              std::map<std::string, std::string>& bodyHashes) {
    signature.Parse(header.GetFieldValue(fieldIndex));
    if (signature.Version != 1) RaiseDkimError(ixcDkimUnknownVersion);
    const std::string keyKind = GetSignAlgorithm(signature);
    const std::string hashName = GetHashAlgorithm(signature);
    auto verifier = Config().Create<TixSignature>(signature.SignatureAlgorithm);
    if (!verifier) RaiseDkimError(ixcDkimInvalidAlgorithm);
    if (!signature.PublicKeyLocation.empty() && !SameText(signature.PublicKeyLocation, "dns/txt"))
        RaiseDkimError(ixcDkimInvalidFormat);
    // RFC 6376 section 5.4: an unsigned From could be replaced at will.
    if (!Contains(signature.SignedHeaderFields, "From")) RaiseDkimError(ixcDkimFromNotSigned);
    if (signature.Expiration > 0 && signature.Expiration < static_cast<std::int64_t>(std::time(nullptr)))
        RaiseDkimError(ixcDkimExpired);

    // Signatures over the same body form share one hash: a message with many of them costs one
    // pass over its body per form, not per signature.
    const std::string form =
        GetBodyCanonicalization(signature) + "/" + hashName + "/" + std::to_string(signature.BodyLength);
    auto known = bodyHashes.find(form);
    if (known == bodyHashes.end())
        known = bodyHashes.emplace(form, ComputeBodyHash(signature, lines, header.BodyStart())).first;
    TixByteArray bodyHash = TixEncoder::DecodeBytes(signature.BodyHash, cmBase64);
    if (!CompareBytes(bodyHash, TixEncoder::DecodeBytes(known->second, cmBase64)))
        RaiseDkimError(ixcDkimBodyHashDiffers);

    std::vector<TixDkimKey> candidates;
    TixByteArray suppliedKey;
    DoGetPublicKey(signature, suppliedKey);
    if (!suppliedKey.empty()) {
        TixDkimKey key;
        key.PublicKey = TixEncoder::EncodeBytes(suppliedKey, cmBase64);
        key.ServiceAll = true;
        candidates.push_back(std::move(key));
    } else {
        for (const std::string& record :
             QueryKeyRecords(DkimKeyLocation(signature.Selector, signature.Domain))) {
            TixDkimKey key;
            try {
                key.Parse(record);
            } catch (const EixDkimError&) {
                continue;  // a malformed record is no candidate (RFC 6376 section 6.1.2)
            }
            candidates.push_back(std::move(key));
        }
    }
    if (candidates.empty()) RaiseDkimError(ixcDkimKeyRequired);

    const std::string data = HeaderData(signature, header, fieldIndex);
    const TixByteArray signatureBytes = TixEncoder::DecodeBytes(signature.Signature, cmBase64);
    int lastError = ixcDkimKeyRequired;
    for (TixDkimKey& key : candidates) {
        if ((!key.Version.empty() && key.Version != "DKIM1") ||
            (!key.HashAlgorithms.Empty() && !Contains(key.HashAlgorithms, hashName)) ||
            !SameText(key.KeyType.empty() ? "rsa" : key.KeyType, keyKind)) {
            lastError = ixcDkimInvalidKey;
            continue;
        }
        if (!key.ServiceAll && !key.ServiceEmail) {
            lastError = ixcDkimKeyNotForSignature;
            continue;
        }
        if (key.CheckUserIdentityDomain && !signature.UserIdentity.empty()) {
            std::string identityDomain = signature.UserIdentity.substr(signature.UserIdentity.rfind('@') + 1);
            if (!SameText(identityDomain, signature.Domain)) {
                lastError = ixcDkimKeyNotForSignature;
                continue;
            }
        }
        if (key.PublicKey.empty()) {
            DoKeyRevoked(signature, key);
            lastError = ixcDkimKeyRevoked;
            continue;
        }
        auto publicKey = Config().Create<TixKey>(keyKind);
        if (!publicKey) {
            lastError = ixcDkimInvalidKey;
            continue;
        }
        try {
            publicKey->SetPublicKeyData(TixEncoder::DecodeBytes(key.PublicKey, cmBase64));
        } catch (const EixCryptError&) {
            lastError = ixcDkimInvalidKey;
            continue;
        }
        // RFC 8301: RSA keys below 1024 bits are refused.
        if (keyKind == "rsa" && publicKey->KeyBits() < 1024) {
            lastError = ixcDkimKeyTooShort;
            continue;
        }
        verifier->Init();
        verifier->Update(data);
        verifier->SetPublicKey(*publicKey);
        if (!verifier->VerifySignature(signatureBytes)) {
            lastError = ixcDkimSignatureMismatch;
            continue;
        }
        DoKeyReceived(signature, key);
        signature.VerifyStatus = {TixDkimVerifyState::vsVerified, {}, 0};
        DoVerify(signature, lines, signature.VerifyStatus);
        return;
    }
    RaiseDkimError(lastError);
}

std::string TixDkim::BuildKeyRecord(const TixKey& key) {
    TixDkimKey record;
    record.Version = "DKIM1";
    record.KeyType = key.KeyType();
    record.HashAlgorithms = dnsSettings_.AcceptableHashAlgorithms;
    record.Notes = dnsSettings_.Notes;
    record.ServiceAll = dnsSettings_.ServiceAll;
    record.ServiceEmail = dnsSettings_.ServiceEmail;
    record.TestingDomain = dnsSettings_.TestingDomain;
    record.CheckUserIdentityDomain = dnsSettings_.CheckUserIdentityDomain;
    record.PublicKey = TixEncoder::EncodeBytes(key.GetPublicKeyData(), cmBase64);
    return record.Build();
}

}  // namespace ix
