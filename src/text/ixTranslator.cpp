#include "text/ixTranslator.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>

#include "base/ixStringList.h"

namespace ix {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// ---------------------------------------------------------------------------------------------
// UTF-8 scanning shared by the sanitiser, the decoders and the iconv fallback.

// Length of the valid sequence at p (1..4), or 0 with 'bad' set to the length of the maximal
// invalid subpart to replace by a single U+FFFD (so that results match other standard decoders).
inline std::size_t ScanUtf8(const unsigned char* p, std::size_t left, std::size_t& bad, char32_t& cp) {
    const unsigned char b0 = p[0];
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;  // surrogates are not characters
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        bad = 1;
        return 0;
    }
    std::size_t i = 1;
    for (; i < need; ++i) {
        if (i >= left) break;
        const unsigned char c = p[i];
        const unsigned char l = i == 1 ? lo : 0x80;
        const unsigned char h = i == 1 ? hi : 0xBF;
        if (c < l || c > h) break;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (i == need) return need;
    bad = i;
    return 0;
}

inline void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            out.append(kReplacement);
            return;
        }
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp <= 0x10FFFF) {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.append(kReplacement);
    }
}

// Index of the first byte that does not start a valid sequence, or size when all is valid.
std::size_t FirstInvalidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time: mail text is mostly ASCII.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        std::size_t bad = 0;
        char32_t cp;
        const std::size_t len = ScanUtf8(p + i, n - i, bad, cp);
        if (len == 0) return i;
        i += len;
    }
    return n;
}

// ---------------------------------------------------------------------------------------------
// The two fixed tables that no iconv knows; their local side is Windows-1251.

struct TixByteTable {
    std::array<std::uint8_t, 256> toLocal;
    std::array<std::uint8_t, 256> fromLocal;
};

struct TixRun {
    std::uint8_t first, last, target;
};

std::array<std::uint8_t, 256> MakeTable(std::initializer_list<TixRun> runs) {
    std::array<std::uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i)
        t[i] = static_cast<std::uint8_t>(i);
    for (const TixRun& r : runs)
        for (int b = r.first; b <= r.last; ++b)
            t[b] = static_cast<std::uint8_t>(r.target + (b - r.first));
    return t;
}

const TixByteTable& Koi8WinTable() {
    static const TixByteTable table{
        MakeTable({{0x9A, 0x9A, 0xDA}, {0xA1, 0xA1, 0xE7}, {0xC0, 0xC0, 0xD7}, {0xC1, 0xC1, 0xDE},
                   {0xC2, 0xC2, 0xC0}, {0xC3, 0xC3, 0xC6}, {0xC6, 0xC6, 0xD2}, {0xC7, 0xC7, 0xD6},
                   {0xC8, 0xC8, 0xD3}, {0xC9, 0xC9, 0xD5}, {0xCA, 0xD0, 0xC8}, {0xD2, 0xD2, 0xCF},
                   {0xD3, 0xD3, 0xDF}, {0xD4, 0xD5, 0xD0}, {0xD6, 0xD6, 0xD4}, {0xD7, 0xD7, 0xC1},
                   {0xD8, 0xD8, 0xDD}, {0xD9, 0xD9, 0xD8}, {0xDA, 0xDA, 0xC3}, {0xDB, 0xDB, 0xDC},
                   {0xDC, 0xDC, 0xD9}, {0xDD, 0xDD, 0xDB}, {0xDE, 0xDE, 0xC2}, {0xDF, 0xDF, 0xC7},
                   {0xE0, 0xE0, 0xF7}, {0xE1, 0xE1, 0xFE}, {0xE2, 0xE2, 0xE0}, {0xE3, 0xE3, 0xE6},
                   {0xE6, 0xE6, 0xF2}, {0xE7, 0xE7, 0xF6}, {0xE8, 0xE8, 0xF3}, {0xE9, 0xE9, 0xF5},
                   {0xEA, 0xF0, 0xE8}, {0xF1, 0xF1, 0xFA}, {0xF2, 0xF2, 0xEF}, {0xF3, 0xF3, 0xFF},
                   {0xF4, 0xF5, 0xF0}, {0xF6, 0xF6, 0xF4}, {0xF7, 0xF7, 0xE1}, {0xF8, 0xF8, 0xFD},
                   {0xF9, 0xF9, 0xF8}, {0xFA, 0xFA, 0xE3}, {0xFB, 0xFB, 0xFC}, {0xFC, 0xFC, 0xF9},
                   {0xFD, 0xFD, 0xFB}, {0xFE, 0xFE, 0xE2}}),
        MakeTable({{0xC0, 0xC0, 0xC2}, {0xC1, 0xC1, 0xD7}, {0xC2, 0xC2, 0xDE}, {0xC3, 0xC3, 0xDA},
                   {0xC6, 0xC6, 0xC3}, {0xC7, 0xC7, 0xDF}, {0xC8, 0xCE, 0xCA}, {0xCF, 0xCF, 0xD2},
                   {0xD0, 0xD1, 0xD4}, {0xD2, 0xD2, 0xC6}, {0xD3, 0xD3, 0xC8}, {0xD4, 0xD4, 0xD6},
                   {0xD5, 0xD5, 0xC9}, {0xD6, 0xD6, 0xC7}, {0xD7, 0xD7, 0xC0}, {0xD8, 0xD8, 0xD9},
                   {0xD9, 0xD9, 0xDC}, {0xDA, 0xDA, 0x9A}, {0xDB, 0xDB, 0xDD}, {0xDC, 0xDC, 0xDB},
                   {0xDD, 0xDD, 0xD8}, {0xDE, 0xDE, 0xC1}, {0xDF, 0xDF, 0xD3}, {0xE0, 0xE0, 0xE2},
                   {0xE1, 0xE1, 0xF7}, {0xE2, 0xE2, 0xFE}, {0xE3, 0xE3, 0xFA}, {0xE6, 0xE6, 0xE3},
                   {0xE7, 0xE7, 0xA1}, {0xE8, 0xEE, 0xEA}, {0xEF, 0xEF, 0xF2}, {0xF0, 0xF1, 0xF4},
                   {0xF2, 0xF2, 0xE6}, {0xF3, 0xF3, 0xE8}, {0xF4, 0xF4, 0xF6}, {0xF5, 0xF5, 0xE9},
                   {0xF6, 0xF6, 0xE7}, {0xF7, 0xF7, 0xE0}, {0xF8, 0xF8, 0xF9}, {0xF9, 0xF9, 0xFC},
                   {0xFA, 0xFA, 0xF1}, {0xFB, 0xFB, 0xFD}, {0xFC, 0xFC, 0xFB}, {0xFD, 0xFD, 0xF8},
                   {0xFE, 0xFE, 0xE1}, {0xFF, 0xFF, 0xF3}})};
    return table;
}

const TixByteTable& WinKoi8Table() {
    static const TixByteTable table{
        MakeTable({{0x95, 0x95, 0xFF}, {0xC0, 0xC1, 0xE1}, {0xC2, 0xC2, 0xF7}, {0xC3, 0xC3, 0xE7},
                   {0xC4, 0xC5, 0xE4}, {0xC6, 0xC6, 0xF6}, {0xC7, 0xC7, 0xFA}, {0xC9, 0xCF, 0xEA},
                   {0xD0, 0xD3, 0xF2}, {0xD4, 0xD4, 0xE6}, {0xD5, 0xD5, 0xE8}, {0xD6, 0xD6, 0xE3},
                   {0xD7, 0xD7, 0xFE}, {0xD8, 0xD8, 0xFB}, {0xD9, 0xD9, 0xFD}, {0xDB, 0xDB, 0xF9},
                   {0xDC, 0xDC, 0xF8}, {0xDD, 0xDD, 0xFC}, {0xDE, 0xDE, 0xE0}, {0xDF, 0xDF, 0xF1},
                   {0xE0, 0xE1, 0xC1}, {0xE2, 0xE2, 0xD7}, {0xE3, 0xE3, 0xC7}, {0xE4, 0xE5, 0xC4},
                   {0xE6, 0xE6, 0xD6}, {0xE7, 0xE7, 0xFF}, {0xE9, 0xEF, 0xCA}, {0xF0, 0xF3, 0xD2},
                   {0xF4, 0xF4, 0xC6}, {0xF5, 0xF5, 0xC8}, {0xF6, 0xF6, 0xC3}, {0xF7, 0xF7, 0xDE},
                   {0xF8, 0xF8, 0xDB}, {0xF9, 0xF9, 0xDD}, {0xFA, 0xFA, 0xDF}, {0xFB, 0xFB, 0xD9},
                   {0xFC, 0xFC, 0xD8}, {0xFD, 0xFD, 0xDC}, {0xFE, 0xFE, 0xC0}, {0xFF, 0xFF, 0xD1}}),
        MakeTable({{0xC0, 0xC0, 0xFE}, {0xC1, 0xC2, 0xE0}, {0xC3, 0xC3, 0xF6}, {0xC4, 0xC5, 0xE4},
                   {0xC6, 0xC6, 0xF4}, {0xC7, 0xC7, 0xE3}, {0xC8, 0xC8, 0xF5}, {0xCA, 0xD0, 0xE9},
                   {0xD1, 0xD1, 0xFF}, {0xD2, 0xD5, 0xF0}, {0xD6, 0xD6, 0xE6}, {0xD7, 0xD7, 0xE2},
                   {0xD8, 0xD8, 0xFC}, {0xD9, 0xD9, 0xFB}, {0xDB, 0xDB, 0xF8}, {0xDC, 0xDC, 0xFD},
                   {0xDD, 0xDD, 0xF9}, {0xDE, 0xDE, 0xF7}, {0xDF, 0xDF, 0xFA}, {0xE0, 0xE0, 0xDE},
                   {0xE1, 0xE2, 0xC0}, {0xE3, 0xE3, 0xD6}, {0xE4, 0xE5, 0xC4}, {0xE6, 0xE6, 0xD4},
                   {0xE7, 0xE7, 0xC3}, {0xE8, 0xE8, 0xD5}, {0xEA, 0xF0, 0xC9}, {0xF1, 0xF1, 0xDF},
                   {0xF2, 0xF5, 0xD0}, {0xF6, 0xF6, 0xC6}, {0xF7, 0xF7, 0xC2}, {0xF8, 0xF8, 0xDC},
                   {0xF9, 0xF9, 0xDB}, {0xFA, 0xFA, 0xC7}, {0xFB, 0xFB, 0xD8}, {0xFC, 0xFC, 0xDD},
                   {0xFD, 0xFD, 0xD9}, {0xFE, 0xFE, 0xD7}, {0xFF, 0xFF, 0xE7}})};
    return table;
}

const TixByteTable* FixedTable(std::string_view charSet) {
    if (SameText(charSet, "KOI8-WIN")) return &Koi8WinTable();
    if (SameText(charSet, "WIN-KOI8")) return &WinKoi8Table();
    return nullptr;
}

std::string ApplyTable(std::string_view bytes, const std::array<std::uint8_t, 256>& table) {
    std::string out(bytes.size(), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        out[i] = static_cast<char>(table[static_cast<unsigned char>(bytes[i])]);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Charsets through iconv. Descriptors are stateful, so each thread keeps its own.

struct TixIconv {
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    explicit TixIconv(iconv_t d) : cd(d) {}
    TixIconv(const TixIconv&) = delete;
    TixIconv& operator=(const TixIconv&) = delete;
    ~TixIconv() {
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
};

// A charset of one byte per character without state gets direct tables, built once per thread
// from iconv itself: faster than iconv and identical in result.
struct TixSingleByte {
    std::array<std::string, 256> toUtf8;  // empty: undefined byte
    std::unordered_map<char32_t, std::uint8_t> fromUnicode;
    std::array<std::int16_t, 128> fromAscii{};  // -1: not representable
    // The UTF-8 bytes of each byte (U+FFFD for an undefined one) in [0..2], their count in [3].
    std::array<std::array<char, 4>, 256> fixedUtf8{};
    bool asciiSame = false;  // bytes below 128 stand for themselves
};

struct TixCharSet {
    std::string iconvName;
    bool utf8 = false;
    bool known = false;
    std::unique_ptr<TixIconv> decoder;  // charset -> UTF-8
    std::unique_ptr<TixIconv> encoder;  // UTF-8 -> charset
    std::unique_ptr<TixSingleByte> single;
    std::string question;  // "?" in the charset
    std::size_t unit = 1;  // bytes per code unit: 2 for UTF-16, 4 for UTF-32
};

// Code unit size from the charset's name: a decoding error skips a whole unit, or the text
// after it would be read out of step.
std::size_t CodeUnitSize(std::string_view iconvName) {
    std::string name;
    for (char c : iconvName)
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name.starts_with("UTF16") || name.starts_with("UCS2") || name == "UNICODE") return 2;
    if (name.starts_with("UTF32") || name.starts_with("UCS4") || name == "WCHART") return 4;
    return 1;
}

// Labels of the WHATWG Encoding Standard, sorted, with the converter's name for their encoding.
// Consulted only for names iconv does not know itself, so a name it knows keeps its meaning
// (iso-8859-1 stays Latin-1 where the standard reads windows-1252). The "replacement" labels and
// x-user-defined have no converter and stay unknown.
struct TixCharSetLabel {
    std::string_view label, iconvName;
};
constexpr TixCharSetLabel cWebLabels[] = {
    {"866", "IBM866"},
    {"ansi_x3.4-1968", "CP1252"},
    {"arabic", "ISO-8859-6"},
    {"ascii", "CP1252"},
    {"asmo-708", "ISO-8859-6"},
    {"big5", "BIG5-HKSCS"},
    {"big5-hkscs", "BIG5-HKSCS"},
    {"chinese", "GBK"},
    {"cn-big5", "BIG5-HKSCS"},
    {"cp1250", "CP1250"},
    {"cp1251", "CP1251"},
    {"cp1252", "CP1252"},
    {"cp1253", "CP1253"},
    {"cp1254", "CP1254"},
    {"cp1255", "CP1255"},
    {"cp1256", "CP1256"},
    {"cp1257", "CP1257"},
    {"cp1258", "CP1258"},
    {"cp819", "CP1252"},
    {"cp866", "IBM866"},
    {"csbig5", "BIG5-HKSCS"},
    {"cseuckr", "CP949"},
    {"cseucpkdfmtjapanese", "EUC-JP"},
    {"csgb2312", "GBK"},
    {"csibm866", "IBM866"},
    {"csiso2022jp", "ISO-2022-JP"},
    {"csiso58gb231280", "GBK"},
    {"csiso88596e", "ISO-8859-6"},
    {"csiso88596i", "ISO-8859-6"},
    {"csiso88598e", "ISO-8859-8"},
    {"csiso88598i", "ISO-8859-8"},
    {"csisolatin1", "CP1252"},
    {"csisolatin2", "ISO-8859-2"},
    {"csisolatin3", "ISO-8859-3"},
    {"csisolatin4", "ISO-8859-4"},
    {"csisolatin5", "CP1254"},
    {"csisolatin6", "ISO-8859-10"},
    {"csisolatin9", "ISO-8859-15"},
    {"csisolatinarabic", "ISO-8859-6"},
    {"csisolatincyrillic", "ISO-8859-5"},
    {"csisolatingreek", "ISO-8859-7"},
    {"csisolatinhebrew", "ISO-8859-8"},
    {"cskoi8r", "KOI8-R"},
    {"csksc56011987", "CP949"},
    {"csmacintosh", "MACINTOSH"},
    {"csshiftjis", "CP932"},
    {"csunicode", "UTF-16LE"},
    {"cyrillic", "ISO-8859-5"},
    {"dos-874", "CP874"},
    {"ecma-114", "ISO-8859-6"},
    {"ecma-118", "ISO-8859-7"},
    {"elot_928", "ISO-8859-7"},
    {"euc-jp", "EUC-JP"},
    {"euc-kr", "CP949"},
    {"gb18030", "GB18030"},
    {"gb2312", "GBK"},
    {"gb_2312", "GBK"},
    {"gb_2312-80", "GBK"},
    {"gbk", "GBK"},
    {"greek", "ISO-8859-7"},
    {"greek8", "ISO-8859-7"},
    {"hebrew", "ISO-8859-8"},
    {"ibm819", "CP1252"},
    {"ibm866", "IBM866"},
    {"iso-10646-ucs-2", "UTF-16LE"},
    {"iso-2022-jp", "ISO-2022-JP"},
    {"iso-8859-1", "CP1252"},
    {"iso-8859-10", "ISO-8859-10"},
    {"iso-8859-11", "CP874"},
    {"iso-8859-13", "ISO-8859-13"},
    {"iso-8859-14", "ISO-8859-14"},
    {"iso-8859-15", "ISO-8859-15"},
    {"iso-8859-16", "ISO-8859-16"},
    {"iso-8859-2", "ISO-8859-2"},
    {"iso-8859-3", "ISO-8859-3"},
    {"iso-8859-4", "ISO-8859-4"},
    {"iso-8859-5", "ISO-8859-5"},
    {"iso-8859-6", "ISO-8859-6"},
    {"iso-8859-6-e", "ISO-8859-6"},
    {"iso-8859-6-i", "ISO-8859-6"},
    {"iso-8859-7", "ISO-8859-7"},
    {"iso-8859-8", "ISO-8859-8"},
    {"iso-8859-8-e", "ISO-8859-8"},
    {"iso-8859-8-i", "ISO-8859-8"},
    {"iso-8859-9", "CP1254"},
    {"iso-ir-100", "CP1252"},
    {"iso-ir-101", "ISO-8859-2"},
    {"iso-ir-109", "ISO-8859-3"},
    {"iso-ir-110", "ISO-8859-4"},
    {"iso-ir-126", "ISO-8859-7"},
    {"iso-ir-127", "ISO-8859-6"},
    {"iso-ir-138", "ISO-8859-8"},
    {"iso-ir-144", "ISO-8859-5"},
    {"iso-ir-148", "CP1254"},
    {"iso-ir-149", "CP949"},
    {"iso-ir-157", "ISO-8859-10"},
    {"iso-ir-58", "GBK"},
    {"iso8859-1", "CP1252"},
    {"iso8859-10", "ISO-8859-10"},
    {"iso8859-11", "CP874"},
    {"iso8859-13", "ISO-8859-13"},
    {"iso8859-14", "ISO-8859-14"},
    {"iso8859-15", "ISO-8859-15"},
    {"iso8859-2", "ISO-8859-2"},
    {"iso8859-3", "ISO-8859-3"},
    {"iso8859-4", "ISO-8859-4"},
    {"iso8859-5", "ISO-8859-5"},
    {"iso8859-6", "ISO-8859-6"},
    {"iso8859-7", "ISO-8859-7"},
    {"iso8859-8", "ISO-8859-8"},
    {"iso8859-9", "CP1254"},
    {"iso88591", "CP1252"},
    {"iso885910", "ISO-8859-10"},
    {"iso885911", "CP874"},
    {"iso885913", "ISO-8859-13"},
    {"iso885914", "ISO-8859-14"},
    {"iso885915", "ISO-8859-15"},
    {"iso88592", "ISO-8859-2"},
    {"iso88593", "ISO-8859-3"},
    {"iso88594", "ISO-8859-4"},
    {"iso88595", "ISO-8859-5"},
    {"iso88596", "ISO-8859-6"},
    {"iso88597", "ISO-8859-7"},
    {"iso88598", "ISO-8859-8"},
    {"iso88599", "CP1254"},
    {"iso_8859-1", "CP1252"},
    {"iso_8859-15", "ISO-8859-15"},
    {"iso_8859-1:1987", "CP1252"},
    {"iso_8859-2", "ISO-8859-2"},
    {"iso_8859-2:1987", "ISO-8859-2"},
    {"iso_8859-3", "ISO-8859-3"},
    {"iso_8859-3:1988", "ISO-8859-3"},
    {"iso_8859-4", "ISO-8859-4"},
    {"iso_8859-4:1988", "ISO-8859-4"},
    {"iso_8859-5", "ISO-8859-5"},
    {"iso_8859-5:1988", "ISO-8859-5"},
    {"iso_8859-6", "ISO-8859-6"},
    {"iso_8859-6:1987", "ISO-8859-6"},
    {"iso_8859-7", "ISO-8859-7"},
    {"iso_8859-7:1987", "ISO-8859-7"},
    {"iso_8859-8", "ISO-8859-8"},
    {"iso_8859-8:1988", "ISO-8859-8"},
    {"iso_8859-9", "CP1254"},
    {"iso_8859-9:1989", "CP1254"},
    {"koi", "KOI8-R"},
    {"koi8", "KOI8-R"},
    {"koi8-r", "KOI8-R"},
    {"koi8-ru", "KOI8-U"},
    {"koi8-u", "KOI8-U"},
    {"koi8_r", "KOI8-R"},
    {"korean", "CP949"},
    {"ks_c_5601-1987", "CP949"},
    {"ks_c_5601-1989", "CP949"},
    {"ksc5601", "CP949"},
    {"ksc_5601", "CP949"},
    {"l1", "CP1252"},
    {"l2", "ISO-8859-2"},
    {"l3", "ISO-8859-3"},
    {"l4", "ISO-8859-4"},
    {"l5", "CP1254"},
    {"l6", "ISO-8859-10"},
    {"l9", "ISO-8859-15"},
    {"latin1", "CP1252"},
    {"latin2", "ISO-8859-2"},
    {"latin3", "ISO-8859-3"},
    {"latin4", "ISO-8859-4"},
    {"latin5", "CP1254"},
    {"latin6", "ISO-8859-10"},
    {"logical", "ISO-8859-8"},
    {"mac", "MACINTOSH"},
    {"macintosh", "MACINTOSH"},
    {"ms932", "CP932"},
    {"ms_kanji", "CP932"},
    {"shift-jis", "CP932"},
    {"shift_jis", "CP932"},
    {"sjis", "CP932"},
    {"sun_eu_greek", "ISO-8859-7"},
    {"tis-620", "CP874"},
    {"ucs-2", "UTF-16LE"},
    {"unicode", "UTF-16LE"},
    {"unicode-1-1-utf-8", "utf-8"},
    {"unicode11utf8", "utf-8"},
    {"unicode20utf8", "utf-8"},
    {"unicodefeff", "UTF-16LE"},
    {"unicodefffe", "UTF-16BE"},
    {"us-ascii", "CP1252"},
    {"utf-16", "UTF-16LE"},
    {"utf-16be", "UTF-16BE"},
    {"utf-16le", "UTF-16LE"},
    {"utf-8", "utf-8"},
    {"utf8", "utf-8"},
    {"visual", "ISO-8859-8"},
    {"windows-1250", "CP1250"},
    {"windows-1251", "CP1251"},
    {"windows-1252", "CP1252"},
    {"windows-1253", "CP1253"},
    {"windows-1254", "CP1254"},
    {"windows-1255", "CP1255"},
    {"windows-1256", "CP1256"},
    {"windows-1257", "CP1257"},
    {"windows-1258", "CP1258"},
    {"windows-31j", "CP932"},
    {"windows-874", "CP874"},
    {"windows-949", "CP949"},
    {"x-cp1250", "CP1250"},
    {"x-cp1251", "CP1251"},
    {"x-cp1252", "CP1252"},
    {"x-cp1253", "CP1253"},
    {"x-cp1254", "CP1254"},
    {"x-cp1255", "CP1255"},
    {"x-cp1256", "CP1256"},
    {"x-cp1257", "CP1257"},
    {"x-cp1258", "CP1258"},
    {"x-euc-jp", "EUC-JP"},
    {"x-gbk", "GBK"},
    {"x-mac-cyrillic", "MAC-CYRILLIC"},
    {"x-mac-roman", "MACINTOSH"},
    {"x-mac-ukrainian", "MAC-CYRILLIC"},
    {"x-sjis", "CP932"},
    {"x-unicode20utf8", "utf-8"},
    {"x-x-big5", "BIG5-HKSCS"},
};

// The converter's name for a label real mail uses but iconv lacks (ks_c_5601-1987, x-sjis, ...).
std::string_view WebLabelTarget(std::string_view lower) {
    const auto it =
        std::lower_bound(std::begin(cWebLabels), std::end(cWebLabels), lower,
                         [](const TixCharSetLabel& e, std::string_view l) { return e.label < l; });
    return it != std::end(cWebLabels) && it->label == lower ? it->iconvName : std::string_view();
}

std::string IconvName(std::string_view charSet) {
    if (SameText(charSet, "x-mac-cyrillic")) return "MACCYRILLIC";
    return std::string(charSet);
}

bool LooksSingleByte(const std::string& lower) {
    auto starts = [&](std::string_view p) { return lower.compare(0, p.size(), p) == 0; };
    if (lower == "windows-1258" || lower == "cp1258") return false;  // combining, stateful in iconv
    return starts("iso-8859-") || starts("iso8859") || starts("iso_8859") || starts("windows-125") ||
           starts("cp125") || starts("koi8") || lower == "ibm866" || lower == "cp866" ||
           lower == "x-mac-cyrillic" || lower == "maccyrillic" || lower == "latin1" || lower == "us-ascii" ||
           lower == "ascii";
}

std::unique_ptr<TixSingleByte> BuildSingleByte(const std::string& iconvName) {
    iconv_t cd = iconv_open("UTF-8", iconvName.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
    TixIconv guard(cd);
    auto table = std::make_unique<TixSingleByte>();
    table->fromAscii.fill(-1);
    for (int b = 0; b < 256; ++b) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char in = static_cast<char>(b);
        char out[8];
        char* ip = &in;
        char* op = out;
        std::size_t il = 1, ol = sizeof out;
        if (iconv(cd, &ip, &il, &op, &ol) == static_cast<std::size_t>(-1)) {
            if (errno == EINVAL) return nullptr;  // needs more bytes: not a single-byte charset
            continue;                             // undefined byte
        }
        const std::string_view utf8(out, static_cast<std::size_t>(op - out));
        std::size_t bad = 0;
        char32_t cp = 0;
        if (utf8.empty() || ScanUtf8(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size(), bad,
                                     cp) != utf8.size())
            return nullptr;  // one byte gave several characters
        table->toUtf8[b] = std::string(utf8);
        table->fromUnicode.emplace(cp, static_cast<std::uint8_t>(b));
        if (cp < 128 && table->fromAscii[cp] < 0) table->fromAscii[cp] = static_cast<std::int16_t>(b);
    }
    for (int b = 0; b < 256; ++b) {
        const std::string_view utf8 =
            table->toUtf8[b].empty() ? std::string_view(kReplacement) : table->toUtf8[b];
        if (utf8.size() > 3) return nullptr;  // beyond the BMP: leave it to iconv
        auto& entry = table->fixedUtf8[b];
        std::copy(utf8.begin(), utf8.end(), entry.begin());
        entry[3] = static_cast<char>(utf8.size());
    }
    table->asciiSame = true;
    for (int b = 0; b < 128; ++b)
        if (table->fixedUtf8[b][3] != 1 || table->fixedUtf8[b][0] != static_cast<char>(b))
            table->asciiSame = false;
    return table;
}

TixCharSet& LookUp(std::string_view charSet) {
    thread_local std::unordered_map<std::string, std::unique_ptr<TixCharSet>> cache;
    std::string lower = LowerCase(charSet);
    auto it = cache.find(lower);
    if (it != cache.end()) return *it->second;
    auto cs = std::make_unique<TixCharSet>();
    std::string_view webName;
    if (lower != "utf-8" && lower != "utf8" && !lower.empty()) {
        cs->iconvName = IconvName(charSet);
        iconv_t probe = iconv_open("UTF-8", cs->iconvName.c_str());
        if (probe != reinterpret_cast<iconv_t>(-1))
            iconv_close(probe);
        else
            webName = WebLabelTarget(lower);
        if (!webName.empty()) cs->iconvName = std::string(webName);
    }
    if (lower == "utf-8" || lower == "utf8" || webName == "utf-8") {
        cs->utf8 = cs->known = true;
    } else if (!lower.empty()) {
        iconv_t dec = iconv_open("UTF-8", cs->iconvName.c_str());
        iconv_t enc = iconv_open(cs->iconvName.c_str(), "UTF-8");
        if (dec != reinterpret_cast<iconv_t>(-1) && enc != reinterpret_cast<iconv_t>(-1)) {
            cs->known = true;
            cs->decoder = std::make_unique<TixIconv>(dec);
            cs->encoder = std::make_unique<TixIconv>(enc);
            cs->unit = CodeUnitSize(cs->iconvName);
            if (LooksSingleByte(lower) || LooksSingleByte(LowerCase(cs->iconvName)))
                cs->single = BuildSingleByte(cs->iconvName);
            // The replacement for unrepresentable characters, in the target's own bytes.
            char q = '?';
            char* ip = &q;
            char buf[16];
            char* op = buf;
            std::size_t il = 1, ol = sizeof buf;
            if (iconv(enc, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1)) {
                char* fp = op;
                std::size_t fl = ol;
                iconv(enc, nullptr, nullptr, &fp, &fl);
                cs->question.assign(buf, static_cast<std::size_t>(op - buf));
            } else {
                cs->question.assign(1, '?');
            }
            iconv(enc, nullptr, nullptr, nullptr, nullptr);
        } else {
            if (dec != reinterpret_cast<iconv_t>(-1)) iconv_close(dec);
            if (enc != reinterpret_cast<iconv_t>(-1)) iconv_close(enc);
        }
    }
    return *cache.emplace(std::move(lower), std::move(cs)).first->second;
}

// Runs cd over all of in. For each position iconv refuses (a byte it cannot read, a character the
// target cannot hold, a sequence cut off at the end) onError appends its replacement and says how
// many bytes to skip. The descriptor is reset first and flushed at the end: stateful targets such
// as iso-2022-jp must close their escape sequences.
template <typename OnError>
void RunIconv(iconv_t cd, std::string_view in, std::string& out, OnError onError) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out.assign(in.size() + in.size() / 2 + 16, '\0');
    std::size_t used = 0;
    char* ip = const_cast<char*>(in.data());
    std::size_t il = in.size();
    bool flushing = il == 0;
    while (true) {
        if (out.size() - used < 16) out.resize(out.size() * 2);
        char* op = out.data() + used;
        std::size_t ol = out.size() - used;
        const std::size_t r =
            flushing ? iconv(cd, nullptr, nullptr, &op, &ol) : iconv(cd, &ip, &il, &op, &ol);
        const int err = errno;
        used = static_cast<std::size_t>(op - out.data());
        if (r != static_cast<std::size_t>(-1)) {
            if (flushing) break;
            flushing = il == 0;
            continue;
        }
        if (err == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        if (flushing) break;
        out.resize(used);
        const std::size_t skip = onError(static_cast<std::size_t>(ip - in.data()), out);
        used = out.size();
        out.resize(used + il + 16);
        ip += skip;
        il -= skip;
        flushing = il == 0;
    }
    out.resize(used);
}

std::string SanitizeFrom(std::string_view text, std::size_t firstBad) {
    std::string out;
    out.reserve(text.size() + 16);
    out.append(text.data(), firstBad);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = firstBad;
    while (i < n) {
        std::size_t bad = 0;
        char32_t cp;
        const std::size_t len = ScanUtf8(p + i, n - i, bad, cp);
        if (len) {
            out.append(text.data() + i, len);
            i += len;
        } else {
            out.append(kReplacement);
            i += bad;
        }
    }
    return out;
}

// One four-byte store per character. Texts of mail size go through a reused per-thread buffer
// in one pass; longer ones are sized exactly first, so no buffer three times their size is held.
constexpr std::size_t cScratchLimit = 1 << 20;

// The text in a per-thread buffer, valid until the thread's next call; bytes.size() at most
// cScratchLimit.
std::string_view DecodeSingleScratch(std::string_view bytes, const TixSingleByte& table) {
    const auto& fixed = table.fixedUtf8;
    thread_local std::string scratch;
    if (scratch.size() < bytes.size() * 3 + 4) scratch.resize(bytes.size() * 3 + 4);
    char* o = scratch.data();
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    // Mail text is mostly ASCII: where the charset keeps ASCII, eight such bytes copy at once.
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (table.asciiSame && (word & 0x8080808080808080ULL) == 0) {
            std::memcpy(o, &word, 8);
            o += 8;
            continue;
        }
        for (std::size_t k = i; k < i + 8; ++k) {
            std::memcpy(o, fixed[p[k]].data(), 4);
            o += static_cast<unsigned char>(fixed[p[k]][3]);
        }
    }
    for (; i < n; ++i) {
        std::memcpy(o, fixed[p[i]].data(), 4);
        o += static_cast<unsigned char>(fixed[p[i]][3]);
    }
    return {scratch.data(), static_cast<std::size_t>(o - scratch.data())};
}

std::string DecodeSingle(std::string_view bytes, const TixSingleByte& table) {
    if (bytes.size() <= cScratchLimit) return std::string(DecodeSingleScratch(bytes, table));
    const auto& fixed = table.fixedUtf8;
    std::size_t total = 0;
    for (unsigned char b : bytes)
        total += static_cast<unsigned char>(fixed[b][3]);
    std::string out(total + 4, '\0');
    char* o = out.data();
    for (unsigned char b : bytes) {
        std::memcpy(o, fixed[b].data(), 4);
        o += static_cast<unsigned char>(fixed[b][3]);
    }
    out.resize(total);
    return out;
}

std::string Decode(std::string_view bytes, std::string_view charSet) {
    if (bytes.empty()) return {};
    if (const TixByteTable* table = FixedTable(charSet))
        return Decode(ApplyTable(bytes, table->toLocal), "windows-1251");
    TixCharSet& cs = LookUp(charSet);
    if (cs.utf8) return TixTranslator::Utf8Sanitize(bytes);
    if (!cs.known) return std::string(bytes);
    if (cs.single) return DecodeSingle(bytes, *cs.single);
    std::string out;
    RunIconv(cs.decoder->cd, bytes, out, [&](std::size_t pos, std::string& o) {
        o.append(kReplacement);
        // A cut-off unit at the very end joins the error before it.
        const std::size_t left = bytes.size() - pos;
        return left < 2 * cs.unit ? left : cs.unit;
    });
    // iconv takes spellings such as "utF!8" for UTF-8 itself and then copies malformed bytes
    // through; local text is always valid UTF-8.
    if (!TixTranslator::IsValidUtf8(out)) return TixTranslator::Utf8Sanitize(out);
    return out;
}

std::string Encode(std::string_view text, std::string_view charSet) {
    if (text.empty()) return {};
    if (const TixByteTable* table = FixedTable(charSet))
        return ApplyTable(Encode(text, "windows-1251"), table->fromLocal);
    TixCharSet& cs = LookUp(charSet);
    if (cs.utf8 || !cs.known) return std::string(text);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    if (cs.single) {
        const TixSingleByte& t = *cs.single;
        const char question = t.fromAscii['?'] >= 0 ? static_cast<char>(t.fromAscii['?']) : '?';
        std::string out;
        out.reserve(n);
        std::size_t i = 0;
        while (i < n) {
            if (p[i] < 0x80) {
                const std::int16_t b = t.fromAscii[p[i]];
                out.push_back(b >= 0 ? static_cast<char>(b) : question);
                ++i;
                continue;
            }
            std::size_t bad = 0;
            char32_t cp;
            const std::size_t len = ScanUtf8(p + i, n - i, bad, cp);
            if (!len) {
                out.push_back(question);
                i += bad;
                continue;
            }
            auto it = t.fromUnicode.find(cp);
            out.push_back(it != t.fromUnicode.end() ? static_cast<char>(it->second) : question);
            i += len;
        }
        return out;
    }
    std::string out;
    iconv_t cd = cs.encoder->cd;
    RunIconv(cd, text, out, [&](std::size_t pos, std::string& o) {
        // "?" through the running converter: a stateful target (iso-2022-jp, utf-7) first
        // leaves its current mode, and a utf-16 target writes no second byte order mark.
        char q = '?';
        char* ip = &q;
        char buf[32];
        char* op = buf;
        std::size_t il = 1, ol = sizeof buf;
        if (iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1))
            o.append(buf, static_cast<std::size_t>(op - buf));
        else
            o.append(cs.question);
        std::size_t bad = 0;
        char32_t cp;
        const std::size_t len = ScanUtf8(p + pos, n - pos, bad, cp);
        return len ? len : bad;
    });
    return out;
}

}  // namespace

TixByteArray TixTranslator::GetBytes(std::string_view text, std::string_view charSet) {
    const std::string bytes = Encode(text, charSet);
    return TixByteArray(bytes.begin(), bytes.end());
}

TixByteArray TixTranslator::GetBytes(std::string_view text) {
    return TixByteArray(text.begin(), text.end());
}

int TixTranslator::GetByteCount(std::string_view text, std::string_view charSet) {
    return static_cast<int>(Encode(text, charSet).size());
}

std::string TixTranslator::GetString(const TixByteArray& bytes, std::string_view charSet) {
    return Decode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), charSet);
}

std::string TixTranslator::GetString(const TixByteArray& bytes, int index, int count,
                                     std::string_view charSet) {
    if (count < 1 || index < 0 || static_cast<std::size_t>(index) >= bytes.size()) return {};
    const std::size_t n =
        std::min(static_cast<std::size_t>(count), bytes.size() - static_cast<std::size_t>(index));
    return Decode(std::string_view(reinterpret_cast<const char*>(bytes.data()) + index, n), charSet);
}

std::string TixTranslator::GetString(const std::uint8_t* bytes, int count, std::string_view charSet) {
    if (!bytes || count < 1) return {};
    return Decode(std::string_view(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(count)),
                  charSet);
}

std::string TixTranslator::FromLocal(std::string_view text, std::string_view charSet) {
    return Encode(text, charSet);
}

std::string TixTranslator::ToLocal(std::string_view bytes, std::string_view charSet) {
    return Decode(bytes, charSet);
}

void TixTranslator::ToLocalLines(std::string_view bytes, std::string_view charSet, TixStringList& lines) {
    if (FixedTable(charSet) == nullptr) {
        TixCharSet& cs = LookUp(charSet);
        if (cs.utf8 || !cs.known) {
            // Valid text goes into the lines without a converted copy of the whole.
            if (IsValidUtf8(bytes))
                lines.AddText(bytes);
            else
                lines.AddText(Utf8Sanitize(bytes));
            return;
        }
        if (cs.single && bytes.size() <= cScratchLimit) {
            lines.AddText(DecodeSingleScratch(bytes, *cs.single));
            return;
        }
    }
    lines.AddText(Decode(bytes, charSet));
}

bool TixTranslator::IsKnownCharSet(std::string_view charSet) {
    return FixedTable(charSet) != nullptr || LookUp(charSet).known;
}

std::string TixTranslator::TranslateToCharSet(std::string_view text, std::string_view charSet) {
    const TixByteTable* table = FixedTable(charSet);
    return table ? ApplyTable(text, table->fromLocal) : std::string(text);
}

std::string TixTranslator::TranslateFromCharSet(std::string_view bytes, std::string_view charSet) {
    const TixByteTable* table = FixedTable(charSet);
    return table ? ApplyTable(bytes, table->toLocal) : std::string(bytes);
}

std::string TixTranslator::Utf8Encode(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            u = 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        AppendUtf8(out, u);  // a lone surrogate becomes U+FFFD
    }
    return out;
}

std::u16string TixTranslator::Utf8Decode(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char32_t cp : Utf8ToCodePoints(text)) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::u32string TixTranslator::Utf8ToCodePoints(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        std::size_t bad = 0;
        char32_t cp = 0;
        const std::size_t len = ScanUtf8(p + i, n - i, bad, cp);
        if (len) {
            out.push_back(cp);
            i += len;
        } else {
            out.push_back(0xFFFD);
            i += bad;
        }
    }
    return out;
}

std::string TixTranslator::CodePointsToUtf8(std::u32string_view codePoints) {
    std::string out;
    out.reserve(codePoints.size());
    for (char32_t cp : codePoints)
        AppendUtf8(out, cp);
    return out;
}

std::string TixTranslator::Utf8Sanitize(std::string_view text) {
    const std::size_t bad = FirstInvalidUtf8(text);
    if (bad == text.size()) return std::string(text);
    return SanitizeFrom(text, bad);
}

bool TixTranslator::IsValidUtf8(std::string_view text) {
    return FirstInvalidUtf8(text) == text.size();
}

}  // namespace ix
