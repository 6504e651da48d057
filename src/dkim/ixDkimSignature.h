#pragma once
// One DKIM-Signature header field (RFC 6376 section 3.5): parsed from a field value, or built into
// the top of a message's header, its b= value filled in once the signature is known.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/ixDateTime.h"
#include "base/ixStringList.h"

namespace ix {

enum class TixDkimVerifyState { vsNotVerified, vsVerified, vsFailed };

struct TixDkimSignatureVerifyStatus {
    TixDkimVerifyState State = TixDkimVerifyState::vsNotVerified;
    std::string ErrorText;
    int ErrorCode = 0;
};

class TixDkimSignature {
public:
    int Version = 1;
    std::string SignatureAlgorithm;
    std::string Canonicalization;
    std::string Domain;
    std::string Selector;
    TixStringList SignedHeaderFields;
    std::int64_t BodyLength = 0;
    std::string UserIdentity;
    std::string PublicKeyLocation;
    // Seconds since 1970-01-01 UTC; 0 = absent. The date-time forms below convert to local time.
    std::int64_t Timestamp = 0;
    std::int64_t Expiration = 0;
    TixStringList CopiedHeaderFields;
    std::string BodyHash;
    std::string Signature;

    TixDkimSignatureVerifyStatus VerifyStatus;

    TixDateTime SignatureTimestamp() const;
    void SetSignatureTimestamp(TixDateTime value);
    TixDateTime SignatureExpiration() const;
    void SetSignatureExpiration(TixDateTime value);

    void Clear();
    // Fills the fields from a DKIM-Signature value; -10 for a missing required tag or a malformed
    // number, -23 for a tag named twice.
    void Parse(const std::string& value);
    // Inserts the field with an empty b= at the top of lines, folded at charsPerLine.
    void Build(TixStringList& lines, int charsPerLine) const;
    // Writes Signature as the b= value of the field Build inserted.
    void AssignSignature(TixStringList& lines, int charsPerLine) const;
    // The field text Build writes (lines joined with CR LF, no final CR LF).
    std::string BuildField(int charsPerLine) const;
};

// "rsa" and "sha256" from "rsa-sha256"; -12 unless a has exactly two parts.
std::string GetSignAlgorithm(const TixDkimSignature& signature);
std::string GetHashAlgorithm(const TixDkimSignature& signature);
// The header and body canonicalization names of c= ("simple" when absent).
std::string GetHeaderCanonicalization(const TixDkimSignature& signature);
std::string GetBodyCanonicalization(const TixDkimSignature& signature);

using TixDkimSignatureList = std::vector<std::unique_ptr<TixDkimSignature>>;

}  // namespace ix
