#pragma once
// SHA-1 and SHA-256 over OpenSSL, created by name through the registry ("sha1", "sha256").
// Done returns the value and leaves the hash ready for the next message.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <openssl/types.h>

#include "base/ixTypes.h"
#include "crypto/ixConfig.h"

namespace ix {

class TixHash : public TixConfigObject {
public:
    virtual void Init() = 0;
    virtual int GetHashSize() const = 0;
    virtual void Update(const std::uint8_t* bytes, std::size_t start, std::size_t count) = 0;
    virtual TixByteArray Done() = 0;

    void Update(const TixByteArray& bytes) { Update(bytes.data(), 0, bytes.size()); }
    void Update(std::string_view text) {
        Update(reinterpret_cast<const std::uint8_t*>(text.data()), 0, text.size());
    }
};

class TixOpenSslHash : public TixHash {
public:
    TixOpenSslHash() = default;
    ~TixOpenSslHash() override;
    TixOpenSslHash(const TixOpenSslHash&) = delete;
    TixOpenSslHash& operator=(const TixOpenSslHash&) = delete;

    void Init() override;
    int GetHashSize() const override { return hashSize_; }
    void Update(const std::uint8_t* bytes, std::size_t start, std::size_t count) override;
    using TixHash::Update;
    TixByteArray Done() override;

    // OpenSSL's name of the digest ("SHA1", "SHA256").
    virtual const char* AlgorithmName() const = 0;

private:
    EVP_MD_CTX* context_ = nullptr;
    EVP_MD* digest_ = nullptr;
    int hashSize_ = 0;
};

class TixSha1 : public TixOpenSslHash {
public:
    const char* AlgorithmName() const override { return "SHA1"; }
};

class TixSha256 : public TixOpenSslHash {
public:
    const char* AlgorithmName() const override { return "SHA256"; }
};

}  // namespace ix
