#pragma once
// Charset translation between local text (UTF-8) and the bytes of a named charset.
//   "utf-8" (any case): bytes are copied; malformed sequences become U+FFFD.
//   any charset iconv knows (ISO-8859-x, Windows-125x, koi8-r/u, ibm866, x-mac-cyrillic, gb2312,
//     shift_jis, iso-2022-jp, ...): converted; characters the target cannot hold become "?",
//     undecodable input bytes become U+FFFD.
//   "KOI8-WIN", "WIN-KOI8": their byte tables, composed with Windows-1251.
//   an empty or unknown name: bytes pass unchanged.
// Names compare ignoring ASCII case. All operations are class-level, never raise, and are safe
// from any thread (conversion descriptors are cached per thread).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/ixStringList.h"
#include "base/ixTypes.h"

namespace ix {

class TixTranslator {
public:
    TixTranslator() = delete;

    // Local text to the bytes of charSet (empty array for empty text).
    static TixByteArray GetBytes(std::string_view text, std::string_view charSet);
    static TixByteArray GetBytes(std::string_view text);
    static int GetByteCount(std::string_view text, std::string_view charSet);
    // Bytes of charSet to local text; zero bytes stay zero characters.
    static std::string GetString(const TixByteArray& bytes, std::string_view charSet);
    // count bytes from index; empty for count below 1 (cut to the bytes the array holds).
    static std::string GetString(const TixByteArray& bytes, int index, int count, std::string_view charSet);
    static std::string GetString(const std::uint8_t* bytes, int count, std::string_view charSet);

    // The same over std::string buffers, for code that keeps wire bytes in strings.
    static std::string FromLocal(std::string_view text, std::string_view charSet);
    static std::string ToLocal(std::string_view bytes, std::string_view charSet);
    // ToLocal's text appended to lines, split at CR LF, CR or LF (a final line break adds no empty
    // line). Always valid UTF-8: the bytes of an empty or unknown charset are read as UTF-8.
    static void ToLocalLines(std::string_view bytes, std::string_view charSet, TixStringList& lines);

    // True when charSet names a conversion (utf-8, a table, or an iconv charset); false for empty
    // or unknown names, which pass bytes unchanged.
    static bool IsKnownCharSet(std::string_view charSet);

    // Table translation for the names of the fixed tables ("KOI8-WIN", "WIN-KOI8"); other names
    // return the text unchanged.
    static std::string TranslateToCharSet(std::string_view text, std::string_view charSet);
    static std::string TranslateFromCharSet(std::string_view bytes, std::string_view charSet);

    // UTF-16 units to UTF-8: surrogate pairs form one 4-byte sequence, a lone surrogate becomes U+FFFD.
    static std::string Utf8Encode(std::u16string_view text);
    // UTF-8 to UTF-16 units; every malformed sequence becomes U+FFFD.
    static std::u16string Utf8Decode(std::string_view text);
    // UTF-8 to code points; every malformed sequence becomes U+FFFD.
    static std::u32string Utf8ToCodePoints(std::string_view text);
    static std::string CodePointsToUtf8(std::u32string_view codePoints);
    // Valid UTF-8 as it is; every malformed sequence (overlong forms, surrogates, code points above
    // U+10FFFF, truncated or stray bytes) replaced by U+FFFD.
    static std::string Utf8Sanitize(std::string_view text);
    static bool IsValidUtf8(std::string_view text);
};

}  // namespace ix
