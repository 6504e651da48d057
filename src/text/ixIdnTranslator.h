#pragma once
// Host names and labels with non-ASCII characters to their ASCII form: "xn--" and Punycode
// (RFC 3492) of the label's Unicode code points, decoded from its UTF-8 text (malformed UTF-8
// counts as U+FFFD). Encoding only; no case folding or name preparation. Class-level, thread-safe.

#include <string>
#include <string_view>

#include "base/ixError.h"

namespace ix {

class EixIdnError : public EixError {
public:
    using EixError::EixError;
};

class TixIdnTranslator {
public:
    TixIdnTranslator() = delete;

    // True when every byte is below 128 (also for empty text).
    static bool IsBasicString(std::string_view text);
    // The label unchanged when it is all ASCII, else "xn--" and its Punycode. Raises EixIdnError.
    static std::string EncodeLabel(std::string_view label);
    // Every "."-separated label through EncodeLabel; empty labels are kept.
    static std::string Encode(std::string_view hostName);
};

}  // namespace ix
