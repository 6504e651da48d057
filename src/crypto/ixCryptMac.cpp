#include "crypto/ixCryptMac.h"

#include "crypto/ixCryptUtils.h"

#include <openssl/evp.h>

#include <array>

namespace ix {

namespace {

struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

[[noreturn]] void CryptoFailed() {
    RaiseCryptError("EVP_DigestInit_ex");
}

}  // namespace

struct TixHmacMd5::Impl {
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> inner{EVP_MD_CTX_new()};
    bool running = false;
    std::array<std::uint8_t, 64> innerPad{};
    std::array<std::uint8_t, 64> outerPad{};

    void Start() {
        if (EVP_DigestInit_ex(inner.get(), EVP_md5(), nullptr) != 1) CryptoFailed();
        EVP_DigestUpdate(inner.get(), innerPad.data(), innerPad.size());
        running = true;
    }
};

TixHmacMd5::TixHmacMd5() : impl_(std::make_unique<Impl>()) {
    if (impl_->inner == nullptr) CryptoFailed();
}

TixHmacMd5::~TixHmacMd5() = default;

void TixHmacMd5::Init(const TixByteArray& key, std::size_t offset, std::size_t length) {
    impl_->running = false;
    std::array<std::uint8_t, 64> block{};
    std::size_t usable = offset < key.size() ? std::min(length, key.size() - offset) : 0;
    if (usable > 64) {
        // Keys longer than the block are replaced by their hash.
        unsigned int size = 0;
        if (EVP_Digest(key.data() + offset, usable, block.data(), &size, EVP_md5(), nullptr) != 1)
            CryptoFailed();
    } else if (usable > 0) {
        std::copy_n(key.data() + offset, usable, block.begin());
    }
    for (std::size_t i = 0; i < block.size(); ++i) {
        impl_->innerPad[i] = block[i] ^ 0x36;
        impl_->outerPad[i] = block[i] ^ 0x5C;
    }
}

void TixHmacMd5::Update(const std::uint8_t* bytes, std::size_t offset, std::size_t length) {
    if (!impl_->running) impl_->Start();
    if (length > 0) EVP_DigestUpdate(impl_->inner.get(), bytes + offset, length);
}

void TixHmacMd5::Update(std::uint32_t value) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24),
                                   static_cast<std::uint8_t>(value >> 16),
                                   static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    Update(bytes, 0, 4);
}

TixByteArray TixHmacMd5::Digest() {
    if (!impl_->running) impl_->Start();
    std::array<std::uint8_t, 16> innerValue{};
    unsigned int size = 0;
    EVP_DigestFinal_ex(impl_->inner.get(), innerValue.data(), &size);
    impl_->running = false;
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> outer(EVP_MD_CTX_new());
    TixByteArray result(16);
    if (outer == nullptr || EVP_DigestInit_ex(outer.get(), EVP_md5(), nullptr) != 1) CryptoFailed();
    EVP_DigestUpdate(outer.get(), impl_->outerPad.data(), impl_->outerPad.size());
    EVP_DigestUpdate(outer.get(), innerValue.data(), innerValue.size());
    EVP_DigestFinal_ex(outer.get(), result.data(), &size);
    return result;
}

std::string HmacMd5Hex(const std::string& text, const std::string& key) {
    if (text.empty() || key.empty()) return {};
    TixHmacMd5 mac;
    mac.Init(TixByteArray(key.begin(), key.end()), 0, key.size());
    mac.Update(reinterpret_cast<const std::uint8_t*>(text.data()), 0, text.size());
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t b : mac.Digest()) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

}  // namespace ix
