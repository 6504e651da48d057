#include "text/ixIdnTranslator.h"

#include <cstdint>

#include "base/ixStringList.h"
#include "text/ixTranslator.h"
#include "text/ixUtils.h"

namespace ix {

namespace {

// RFC 3492 parameters.
constexpr std::uint32_t cBase = 36;
constexpr std::uint32_t cTMin = 1;
constexpr std::uint32_t cTMax = 26;
constexpr std::uint32_t cSkew = 38;
constexpr std::uint32_t cDamp = 700;
constexpr std::uint32_t cInitialBias = 72;
constexpr std::uint32_t cInitialN = 128;
constexpr std::uint32_t cMaxInt = 2147483647;
constexpr char cPrefix[] = "xn--";

[[noreturn]] void RaiseOverflow() {
    throw EixIdnError("Input value needs wider integers to translate");
}

char EncodeDigit(std::uint32_t digit) {
    if (digit < 26) return static_cast<char>('a' + digit);
    if (digit < cBase) return static_cast<char>('0' + digit - 26);
    throw EixIdnError("Bad input value for the IDN translator");
}

std::uint32_t Adapt(std::uint32_t delta, std::uint32_t count, bool first) {
    delta = first ? delta / cDamp : delta / 2;
    delta += delta / count;
    std::uint32_t k = 0;
    while (delta > ((cBase - cTMin) * cTMax) / 2) {
        delta /= cBase - cTMin;
        k += cBase;
    }
    return k + (cBase - cTMin + 1) * delta / (delta + cSkew);
}

}  // namespace

bool TixIdnTranslator::IsBasicString(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

std::string TixIdnTranslator::EncodeLabel(std::string_view label) {
    if (IsBasicString(label)) return std::string(label);

    const std::u32string input = TixTranslator::Utf8ToCodePoints(label);
    std::string output = cPrefix;
    std::uint32_t basic = 0;
    for (char32_t c : input)
        if (c < 0x80) {
            output += static_cast<char>(c);
            ++basic;
        }
    if (basic > 0) output += '-';

    std::uint32_t n = cInitialN;
    std::uint32_t delta = 0;
    std::uint32_t bias = cInitialBias;
    std::uint32_t handled = basic;
    const auto length = static_cast<std::uint32_t>(input.size());
    while (handled < length) {
        std::uint32_t m = 0xFFFFFFFF;
        for (char32_t c : input)
            if (c >= n && c < m) m = c;
        if (m - n > (cMaxInt - delta) / (handled + 1)) RaiseOverflow();
        delta += (m - n) * (handled + 1);
        n = m;
        for (char32_t c : input) {
            if (c < n) {
                if (delta == cMaxInt) RaiseOverflow();
                ++delta;
            } else if (c == n) {
                std::uint32_t q = delta;
                for (std::uint32_t k = cBase;; k += cBase) {
                    const std::uint32_t t = k <= bias ? cTMin : k >= bias + cTMax ? cTMax : k - bias;
                    if (q < t) break;
                    output += EncodeDigit(t + (q - t) % (cBase - t));
                    q = (q - t) / (cBase - t);
                }
                output += EncodeDigit(q);
                bias = Adapt(delta, handled + 1, handled == basic);
                delta = 0;
                ++handled;
            }
        }
        if (delta == cMaxInt) RaiseOverflow();
        ++delta;
        ++n;
    }
    return output;
}

std::string TixIdnTranslator::Encode(std::string_view hostName) {
    TixStringList labels;
    SplitText(hostName, labels, '.');
    std::string result;
    for (int i = 0; i < labels.Count(); ++i) {
        if (i > 0) result += '.';
        result += EncodeLabel(labels[i]);
    }
    return result;
}

}  // namespace ix
