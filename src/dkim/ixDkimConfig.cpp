#include "dkim/ixDkimConfig.h"

#include "crypto/ixCryptHash.h"
#include "crypto/ixCryptSignature.h"
#include "dkim/ixDkimCanonicalizer.h"

namespace ix {

TixDkimConfig::TixDkimConfig() {
    SetType("sha1", ConfigClassOf<TixSha1>());
    SetType("sha256", ConfigClassOf<TixSha256>());
    SetType("rsa-sha1", ConfigClassOf<TixSignatureRsaSha1>());
    SetType("rsa-sha256", ConfigClassOf<TixSignatureRsaSha256>());
    SetType("ed25519-sha256", ConfigClassOf<TixSignatureEd25519Sha256>());
    SetType("simple", ConfigClassOf<TixDkimSimpleCanonicalizer>());
    SetType("relaxed", ConfigClassOf<TixDkimRelaxedCanonicalizer>());
    SetType("rsa", ConfigClassOf<TixOpenSslRsaKey>());
    SetType("ed25519", ConfigClassOf<TixEd25519Key>());
}

}  // namespace ix
