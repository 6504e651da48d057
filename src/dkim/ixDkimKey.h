#pragma once
// A DKIM public key record as published in DNS TXT (RFC 6376 section 3.6.1).

#include <string>

#include "base/ixStringList.h"

namespace ix {

enum class TixDkimServiceType { ddsAll, ddsEmail };
enum class TixDkimKeyFlag { ddfTestingDomain, ddfCheckUserIdentityDomain };

class TixDkimKey {
public:
    std::string Version;
    TixStringList HashAlgorithms;
    std::string KeyType;
    std::string Notes;
    std::string PublicKey;
    bool ServiceAll = false;
    bool ServiceEmail = false;
    bool TestingDomain = false;
    bool CheckUserIdentityDomain = false;

    void Clear();
    // -10 for malformed text, -23 for a tag named twice.
    void Parse(const std::string& record);
    std::string Build() const;
};

}  // namespace ix
