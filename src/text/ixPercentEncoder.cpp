#include "text/ixPercentEncoder.h"

#include <algorithm>

#include "text/ixTranslator.h"

namespace ix {

namespace {

constexpr char cHexDigits[] = "0123456789ABCDEF";

int HexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

void TixPercentEncoder::SetSpecialSymbols(std::string value) {
    specialSymbols_ = std::move(value);
    // A later change must take effect, so the cache is rebuilt on next use.
    specialBytesValid_ = false;
}

const TixByteArray& TixPercentEncoder::SpecialBytes() {
    if (!specialBytesValid_) {
        specialBytes_.assign(specialSymbols_.begin(), specialSymbols_.end());
        std::fill(std::begin(specialSet_), std::end(specialSet_), false);
        for (std::uint8_t b : specialBytes_)
            specialSet_[b] = true;
        specialBytesValid_ = true;
    }
    return specialBytes_;
}

bool TixPercentEncoder::IsEscapeNeeded(std::uint8_t symbol) {
    if (SpecialBytes().empty()) return false;
    return specialSet_[symbol] || symbol < 32 || symbol >= 127;
}

std::string TixPercentEncoder::Encode(const TixByteArray& bytes) {
    std::string out;
    out.reserve(bytes.size());
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = bytes[i];
        if (keepEscapedSymbols_ && b == '%' && i + 2 < n && HexValue(bytes[i + 1]) >= 0 &&
            HexValue(bytes[i + 2]) >= 0) {
            out.append(reinterpret_cast<const char*>(&bytes[i]), 3);
            i += 2;
        } else if (IsEscapeNeeded(b)) {
            out += '%';
            out += cHexDigits[b >> 4];
            out += cHexDigits[b & 15];
        } else {
            out += static_cast<char>(EncodeSymbol(b));
        }
    }
    return out;
}

TixByteArray TixPercentEncoder::Decode(std::string_view text) {
    TixByteArray out;
    out.reserve(text.size());
    bool inEscape = false;
    std::uint8_t firstDigit = 0;  // the escape's first digit while only one is taken
    for (char ch : text) {
        const auto c = static_cast<std::uint8_t>(ch);
        if (c == 0) break;
        if (!inEscape) {
            if (c == '%') {
                inEscape = true;
                firstDigit = 0;
            } else {
                out.push_back(DecodeSymbol(c));
            }
            continue;
        }
        const int value = HexValue(c);
        if (value >= 0 && firstDigit == 0) {
            firstDigit = c;
        } else if (value >= 0) {
            out.push_back(static_cast<std::uint8_t>(HexValue(firstDigit) << 4 | value));
            inEscape = false;
        } else {
            // A malformed escape comes out as written, its first digit included.
            out.push_back('%');
            if (firstDigit != 0) out.push_back(firstDigit);
            out.push_back(c);
            inEscape = false;
        }
    }
    return out;
}

std::string TixPercentEncoder::Encode(std::string_view text, std::string_view charSet) {
    const TixByteArray bytes = TixTranslator::GetBytes(text, charSet);
    if (bytes.empty()) return {};
    return Encode(bytes);
}

std::string TixPercentEncoder::Decode(std::string_view text, std::string_view charSet) {
    const TixByteArray bytes = Decode(text);
    if (bytes.empty()) return {};
    return TixTranslator::GetString(bytes, charSet);
}

}  // namespace ix
