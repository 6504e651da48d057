#pragma once
// Percent escapes: selected bytes written as "%" and two hex digits, and such text read back.
// Subclasses replace the escape decision (IsEscapeNeeded) and the mapping of the other characters.
// Decoding never raises: malformed escapes come out literally. One thread at a time per instance.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/ixTypes.h"

namespace ix {

class TixPercentEncoder {
public:
    TixPercentEncoder() = default;
    virtual ~TixPercentEncoder() = default;

    // When set, a "%" already followed by two hex digits is copied through, not escaped again.
    bool KeepEscapedSymbols() const { return keepEscapedSymbols_; }
    void SetKeepEscapedSymbols(bool value) { keepEscapedSymbols_ = value; }
    // Characters that are always escaped. Non-empty also escapes control and 8-bit bytes.
    const std::string& SpecialSymbols() const { return specialSymbols_; }
    void SetSpecialSymbols(std::string value);

    virtual bool IsEscapeNeeded(std::uint8_t symbol);
    virtual std::uint8_t DecodeSymbol(std::uint8_t symbol) { return symbol; }
    virtual std::uint8_t EncodeSymbol(std::uint8_t symbol) { return symbol; }
    // Stops at the end of the text or its first zero character; an escape left open is dropped.
    virtual TixByteArray Decode(std::string_view text);
    virtual std::string Encode(const TixByteArray& bytes);
    // Text converted to the charset's bytes, then escaped.
    virtual std::string Encode(std::string_view text, std::string_view charSet);
    // Unescaped, then converted from the charset to local text.
    virtual std::string Decode(std::string_view text, std::string_view charSet);

protected:
    // SpecialSymbols as bytes (us-ascii, so unchanged).
    const TixByteArray& SpecialBytes();

private:
    bool keepEscapedSymbols_ = false;
    std::string specialSymbols_;
    TixByteArray specialBytes_;
    bool specialBytesValid_ = false;
    bool specialSet_[256] = {};
};

}  // namespace ix
