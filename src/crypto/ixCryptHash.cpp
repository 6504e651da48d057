#include "crypto/ixCryptHash.h"

#include <openssl/evp.h>

#include "crypto/ixCryptUtils.h"

namespace ix {

TixOpenSslHash::~TixOpenSslHash() {
    EVP_MD_CTX_free(context_);
    EVP_MD_free(digest_);
}

void TixOpenSslHash::Init() {
    if (digest_ == nullptr) {
        digest_ = EVP_MD_fetch(nullptr, AlgorithmName(), nullptr);
        if (digest_ == nullptr) RaiseCryptError("EVP_MD_fetch");
    }
    if (context_ == nullptr) {
        context_ = EVP_MD_CTX_new();
        if (context_ == nullptr) RaiseCryptError("EVP_MD_CTX_new");
    }
    if (EVP_DigestInit_ex(context_, digest_, nullptr) != 1) RaiseCryptError("EVP_DigestInit_ex");
    hashSize_ = EVP_MD_get_size(digest_);
}

void TixOpenSslHash::Update(const std::uint8_t* bytes, std::size_t start, std::size_t count) {
    if (context_ == nullptr) Init();
    if (count > 0 && EVP_DigestUpdate(context_, bytes + start, count) != 1)
        RaiseCryptError("EVP_DigestUpdate");
}

TixByteArray TixOpenSslHash::Done() {
    if (context_ == nullptr) Init();
    TixByteArray value(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_, value.data(), &size) != 1) RaiseCryptError("EVP_DigestFinal_ex");
    value.resize(size);
    Init();
    return value;
}

}  // namespace ix
