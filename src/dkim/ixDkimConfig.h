#pragma once
// The names DKIM signs and verifies with: hashes "sha1", "sha256"; signatures "rsa-sha1",
// "rsa-sha256", "ed25519-sha256"; canonicalizations "simple", "relaxed"; keys "rsa", "ed25519".

#include "crypto/ixConfig.h"

namespace ix {

class TixDkimConfig : public TixConfig {
public:
    TixDkimConfig();
};

}  // namespace ix
