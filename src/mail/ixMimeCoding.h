#pragma once
// The header codings the message model reads and writes: RFC 2047 encoded words, RFC 2231
// parameter values (with continuations), Content-Type style parameter lists, addresses with
// encoded display names, mail dates and safe file names. Local text is UTF-8; nothing here
// throws apart from out-of-memory, and every reader takes hostile text in time linear in its size.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ixDateTime.h"
#include "mail/ixEmailAddress.h"
#include "text/ixEncoder.h"

namespace ix::mime {

// A structured value such as `text/plain; charset="koi8-r"`: the leading value and its parameters
// in order, names lower-cased, values unquoted and unescaped but not yet decoded.
struct TixParamValue {
    std::string value;
    std::vector<std::pair<std::string, std::string>> params;

    // The raw parameter (exact name match); empty when absent.
    const std::string* Find(std::string_view name) const;
};
TixParamValue ParseParams(std::string_view text);

// The parameter decoded: RFC 2231 forms (name*, name*0, name*0*, ...) win over the plain name,
// whose value may hold encoded words; fallbackCharSet reads raw 8-bit text.
std::string DecodedParam(const TixParamValue& value, std::string_view name, std::string_view fallbackCharSet);

// Encoded words decoded into UTF-8; white space between adjacent words dropped. Text without any
// encoded word is translated from fallbackCharSet. Malformed words are copied unchanged.
std::string DecodeWords(std::string_view text, std::string_view fallbackCharSet);

// The charset text is written in: charSet when it holds every character of text, else utf-8.
std::string WriteCharSet(std::string_view text, std::string_view charSet);

// Header text as it is when it is printable ASCII, else as encoded words of at most 75 characters
// separated by spaces (so that folding at white space keeps each word whole). method picks "Q"
// (cmQuotedPrintable) or "B" (cmBase64); cmNone chooses; cmUUEncode and cm8Bit write the text
// unchanged.
std::string EncodeText(std::string_view text, std::string_view charSet, TixEncodeMethod method);

// An address whose display name is encoded when needed; bare addresses pass unchanged.
std::string EncodeAddress(std::string_view fullAddress, std::string_view charSet, TixEncodeMethod method);

// A parameter in RFC 2231 form: `name*=charset''escaped`, or numbered continuations
// `name*0*=...; name*1*=...` when longer than maxLength.
std::string EncodeRfc2231Param(std::string_view name, std::string_view value, std::string_view charSet,
                               std::size_t maxLength);

// One address from a header value, the display name decoded.
void DecodeAddress(std::string_view text, std::string_view charSet, TixEmailAddressItem& item);
// Addresses split at commas outside quotes, comments and angle brackets.
void DecodeAddressList(std::string_view text, std::string_view charSet, TixEmailAddressList& list);

// Characters no file system likes become "_"; one final space or dot is dropped; "" becomes "_".
std::string SanitizeFileName(std::string_view name);
// The name after its last "/", "\" or ":".
std::string ExtractFileName(std::string_view path);

bool IsAscii(std::string_view text);

}  // namespace ix::mime
