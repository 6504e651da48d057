#pragma once
// HMAC-MD5 (RFC 2104) for CRAM-MD5: the construction is ours, MD5 comes from OpenSSL.

#include <cstdint>
#include <memory>
#include <string>

#include "base/ixTypes.h"

namespace ix {

class TixMac {
public:
    virtual ~TixMac() = default;
    virtual void Init(const TixByteArray& key, std::size_t offset, std::size_t length) = 0;
    virtual void Update(const TixByteArray& bytes) = 0;
    virtual int GetHashSize() const = 0;
    virtual void Update(const std::uint8_t* bytes, std::size_t offset, std::size_t length) = 0;
    // Hashed as 4 bytes, most significant first.
    virtual void Update(std::uint32_t value) = 0;
    // The MAC of everything since Init or the last Digest; the key stays for the next message.
    virtual TixByteArray Digest() = 0;
};

class TixHmacMd5 : public TixMac {
public:
    TixHmacMd5();
    ~TixHmacMd5() override;
    TixHmacMd5(const TixHmacMd5&) = delete;
    TixHmacMd5& operator=(const TixHmacMd5&) = delete;

    void Init(const TixByteArray& key, std::size_t offset, std::size_t length) override;
    void Update(const TixByteArray& bytes) override { Update(bytes.data(), 0, bytes.size()); }
    int GetHashSize() const override { return 16; }
    void Update(const std::uint8_t* bytes, std::size_t offset, std::size_t length) override;
    void Update(std::uint32_t value) override;
    TixByteArray Digest() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// 32 lower-case hexadecimal digits of HMAC-MD5(key, text); empty when either is empty.
std::string HmacMd5Hex(const std::string& text, const std::string& key);

}  // namespace ix
