#include "mail/ixMimeCoding.h"

#include <cctype>
#include <cstdio>
#include <unordered_map>

#include "base/ixStringList.h"
#include "mail/ixHeaderFieldList.h"
#include "text/ixTranslator.h"

namespace ix::mime {

namespace {

constexpr std::size_t cMaxWordLength = 75;  // RFC 2047 section 2

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* const cHex = "0123456789ABCDEF";

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ')
        s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ')
        s.remove_suffix(1);
    return s;
}

// "%41" escapes to bytes; a malformed escape is kept literally.
std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string ToUtf8(std::string_view bytes, std::string_view charSet) {
    return TixTranslator::Utf8Sanitize(TixTranslator::ToLocal(bytes, charSet));
}

std::string QDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

bool QSafe(unsigned char c) {
    return std::isalnum(c) != 0 || c == '!' || c == '*' || c == '+' || c == '-' || c == '/';
}

std::size_t QLength(std::string_view bytes) {
    std::size_t n = 0;
    for (unsigned char c : bytes)
        n += (QSafe(c) || c == ' ') ? 1 : 3;
    return n;
}

std::string QEncode(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == ' ') {
            out += '_';
        } else if (QSafe(c)) {
            out += static_cast<char>(c);
        } else {
            out += '=';
            out += cHex[c >> 4];
            out += cHex[c & 15];
        }
    }
    return out;
}

std::string ToString(const TixByteArray& bytes) {
    return {bytes.begin(), bytes.end()};
}

// Length of the UTF-8 sequence starting with lead (1 for stray bytes, which sanitising replaces).
std::size_t Utf8Length(unsigned char lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

bool IsPrintableAscii(std::string_view text) {
    for (unsigned char c : text)
        if ((c < 32 && c != '\t') || c >= 127) return false;
    return text.find("=?") == std::string_view::npos;
}

bool AttributeChar(unsigned char c) {
    return std::isalnum(c) != 0 ||
           std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

bool IsAscii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 128) return false;
    return true;
}

const std::string* TixParamValue::Find(std::string_view name) const {
    for (const auto& [n, v] : params)
        if (n == name) return &v;
    return nullptr;
}

TixParamValue ParseParams(std::string_view text) {
    TixParamValue result;
    std::size_t i = 0;
    const std::size_t n = text.size();
    // Leading value: up to the first ';' (quotes are not expected there, comments are dropped).
    std::string lead;
    int comment = 0;
    for (; i < n && (text[i] != ';' || comment > 0); ++i) {
        if (text[i] == '(')
            ++comment;
        else if (text[i] == ')' && comment > 0)
            --comment;
        else if (comment == 0)
            lead += text[i];
    }
    result.value = std::string(Trim(lead));
    while (i < n) {
        ++i;  // past ';'
        while (i < n && IsSpace(text[i]))
            ++i;
        std::string name;
        while (i < n && text[i] != '=' && text[i] != ';')
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(text[i++])));
        if (i >= n || text[i] == ';') continue;  // no "=": not a parameter
        ++i;                                     // past '='
        while (i < n && IsSpace(text[i]))
            ++i;
        std::string value;
        if (i < n && text[i] == '"') {
            ++i;
            while (i < n && text[i] != '"') {
                if (text[i] == '\\' && i + 1 < n) ++i;
                value += text[i++];
            }
            if (i < n) ++i;  // closing quote
            while (i < n && text[i] != ';')
                ++i;
        } else {
            while (i < n && text[i] != ';')
                value += text[i++];
            value = std::string(Trim(value));
        }
        const std::string_view trimmedName = Trim(name);
        if (!trimmedName.empty()) result.params.emplace_back(std::string(trimmedName), std::move(value));
    }
    return result;
}

std::string DecodedParam(const TixParamValue& value, std::string_view name,
                         std::string_view fallbackCharSet) {
    const std::string base(name);
    auto splitExtended = [](std::string_view v, std::string& charSet) -> std::string {
        const auto a = v.find('\'');
        const auto b = a == std::string_view::npos ? a : v.find('\'', a + 1);
        if (b == std::string_view::npos) return PercentDecode(v);
        charSet = std::string(v.substr(0, a));
        return PercentDecode(v.substr(b + 1));
    };
    if (const std::string* v = value.Find(base + "*")) {
        std::string charSet;
        const std::string bytes = splitExtended(*v, charSet);
        return ToUtf8(bytes, charSet.empty() ? fallbackCharSet : std::string_view(charSet));
    }
    if (value.Find(base + "*0") != nullptr || value.Find(base + "*0*") != nullptr) {
        std::unordered_map<std::string, const std::string*> byName;
        for (const auto& [n, v] : value.params)
            byName.emplace(n, &v);
        std::string bytes, charSet;
        for (std::size_t index = 0; index < value.params.size(); ++index) {
            const std::string key = base + "*" + std::to_string(index);
            if (auto it = byName.find(key + "*"); it != byName.end()) {
                bytes += index == 0 ? splitExtended(*it->second, charSet) : PercentDecode(*it->second);
            } else if (auto plain = byName.find(key); plain != byName.end()) {
                bytes += *plain->second;
            } else {
                break;
            }
        }
        return ToUtf8(bytes, charSet.empty() ? fallbackCharSet : std::string_view(charSet));
    }
    if (const std::string* v = value.Find(base)) return DecodeWords(*v, fallbackCharSet);
    return {};
}

std::string DecodeWords(std::string_view text, std::string_view fallbackCharSet) {
    std::string out;
    out.reserve(text.size());
    // Bytes of adjacent words in one charset are joined before translation, so that a character
    // split over two words reads whole.
    std::string pendingBytes, pendingCharSet;
    auto flush = [&] {
        if (!pendingBytes.empty()) out += ToUtf8(pendingBytes, pendingCharSet);
        pendingBytes.clear();
    };
    bool decodedAny = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto start = text.find("=?", pos);
        if (start == std::string_view::npos) break;
        const auto q1 = text.find('?', start + 2);
        const bool ok1 = q1 != std::string_view::npos && q1 + 2 < text.size() && text[q1 + 2] == '?';
        const auto end = ok1 ? text.find("?=", q1 + 3) : std::string_view::npos;
        if (end == std::string_view::npos) {
            // Not a word: the "=?" is text.
            flush();
            out.append(text.substr(pos, start + 2 - pos));
            pos = start + 2;
            continue;
        }
        std::string charSet(text.substr(start + 2, q1 - start - 2));
        if (const auto star = charSet.find('*'); star != std::string::npos)
            charSet.resize(star);  // RFC 2231 language
        const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[q1 + 1])));
        const std::string_view encoded = text.substr(q1 + 3, end - q1 - 3);
        std::string bytes;
        bool valid = true;
        if (letter == 'B') {
            try {
                bytes = ToString(TixEncoder::DecodeBytes(encoded, cmBase64));
            } catch (const EixError&) {
                valid = false;
            }
        } else if (letter == 'Q') {
            bytes = QDecode(encoded);
        } else {
            valid = false;
        }
        const std::string_view between = text.substr(pos, start - pos);
        const bool adjacent = decodedAny && Trim(between).empty();
        if (!valid) {
            flush();
            out.append(text.substr(pos, end + 2 - pos));
            pos = end + 2;
            continue;
        }
        if (!adjacent || !SameText(charSet, pendingCharSet)) {
            flush();
            if (!adjacent) out.append(between);
        }
        pendingCharSet = charSet;
        pendingBytes += bytes;
        decodedAny = true;
        pos = end + 2;
    }
    flush();
    if (!decodedAny) {
        // Raw 8-bit header text: already UTF-8 in modern mail, else the message's charset.
        if (IsAscii(text) || TixTranslator::IsValidUtf8(text)) return std::string(text);
        return ToUtf8(text, fallbackCharSet);
    }
    out.append(text.substr(pos));
    return TixTranslator::Utf8Sanitize(out);
}

std::string WriteCharSet(std::string_view text, std::string_view charSet) {
    if (IsAscii(text)) return charSet.empty() ? std::string("us-ascii") : std::string(charSet);
    if (charSet.empty() || SameText(charSet, "utf-8") || !TixTranslator::IsKnownCharSet(charSet))
        return "utf-8";
    const std::string bytes = TixTranslator::FromLocal(text, charSet);
    if (TixTranslator::ToLocal(bytes, charSet) == text) return std::string(charSet);
    return "utf-8";
}

std::string EncodeText(std::string_view text, std::string_view charSet, TixEncodeMethod method) {
    if (method == cmUUEncode || method == cm8Bit || IsPrintableAscii(text)) return std::string(text);
    const std::string local = TixTranslator::Utf8Sanitize(text);
    const std::string cs = WriteCharSet(local, charSet);
    const bool utf8 = SameText(cs, "utf-8");
    bool useQ = method == cmQuotedPrintable;
    if (method != cmQuotedPrintable && method != cmBase64) {
        std::size_t high = 0;
        for (unsigned char c : local)
            high += c >= 128 ? 1 : 0;
        useQ = high * 4 <= local.size();
    }
    const std::size_t overhead = cs.size() + 7;  // =?cs?X??=
    std::string out;
    auto emit = [&](std::string_view chunk) {
        if (chunk.empty()) return;
        const std::string bytes = utf8 ? std::string(chunk) : TixTranslator::FromLocal(chunk, cs);
        if (!out.empty()) out += ' ';
        out += "=?" + cs + (useQ ? "?Q?" : "?B?");
        out += useQ ? QEncode(bytes)
                    : TixEncoder::EncodeBytes(TixByteArray(bytes.begin(), bytes.end()), cmBase64);
        out += "?=";
    };
    std::size_t chunkStart = 0, chunkBytes = 0, chunkQ = 0;
    for (std::size_t i = 0; i < local.size();) {
        const std::size_t len = std::min(Utf8Length(static_cast<unsigned char>(local[i])), local.size() - i);
        const std::string_view ch(local.data() + i, len);
        const std::string bytes = utf8 ? std::string(ch) : TixTranslator::FromLocal(ch, cs);
        const std::size_t nextBytes = chunkBytes + bytes.size();
        const std::size_t nextQ = chunkQ + QLength(bytes);
        const std::size_t size = overhead + (useQ ? nextQ : (nextBytes + 2) / 3 * 4);
        if (size > cMaxWordLength && i > chunkStart) {
            emit(std::string_view(local).substr(chunkStart, i - chunkStart));
            chunkStart = i;
            chunkBytes = bytes.size();
            chunkQ = QLength(bytes);
        } else {
            chunkBytes = nextBytes;
            chunkQ = nextQ;
        }
        i += len;
    }
    emit(std::string_view(local).substr(chunkStart));
    return out;
}

std::string EncodeAddress(std::string_view fullAddress, std::string_view charSet, TixEncodeMethod method) {
    std::string name, email;
    if (!ParseFullAddress(fullAddress, name, email)) return std::string(fullAddress);
    if (IsPrintableAscii(name) || method == cmUUEncode || method == cm8Bit)
        return BuildFullAddress(name, email);
    return EncodeText(name, charSet, method) + " <" + email + ">";
}

std::string EncodeRfc2231Param(std::string_view name, std::string_view value, std::string_view charSet,
                               std::size_t maxLength) {
    const std::string cs = WriteCharSet(value, charSet);
    const std::string bytes =
        SameText(cs, "utf-8") ? std::string(value) : TixTranslator::FromLocal(value, cs);
    std::string escaped;
    for (unsigned char c : bytes) {
        if (AttributeChar(c)) {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += cHex[c >> 4];
            escaped += cHex[c & 15];
        }
    }
    const std::string prefix = cs + "''";
    if (name.size() + 2 + prefix.size() + escaped.size() <= maxLength)
        return std::string(name) + "*=" + prefix + escaped;
    const std::size_t room = maxLength > name.size() + 16 ? maxLength - name.size() - 8 : 16;
    std::string out;
    std::size_t pos = 0;
    for (int index = 0; pos < escaped.size(); ++index) {
        std::size_t take = std::min(room, escaped.size() - pos);
        // Never cut inside "%XX".
        if (pos + take < escaped.size()) {
            if (take >= 1 && escaped[pos + take - 1] == '%')
                take -= 1;
            else if (take >= 2 && escaped[pos + take - 2] == '%')
                take -= 2;
        }
        if (!out.empty()) out += "; ";
        out += std::string(name) + "*" + std::to_string(index) +
               "*=" + (index == 0 ? prefix : std::string()) + escaped.substr(pos, take);
        pos += take;
    }
    return out;
}

void DecodeAddress(std::string_view text, std::string_view charSet, TixEmailAddressItem& item) {
    std::string name, email;
    const bool hasName = ParseFullAddress(text, name, email);
    item.SetEmail(email);
    item.SetName(hasName ? DecodeWords(name, charSet) : std::string());
}

void DecodeAddressList(std::string_view text, std::string_view charSet, TixEmailAddressList& list) {
    list.Clear();
    bool inQuote = false;
    int comment = 0;
    bool inAngle = false;
    std::size_t start = 0;
    auto piece = [&](std::size_t end) {
        const std::string_view p = Trim(text.substr(start, end - start));
        if (p.empty()) return;
        TixEmailAddressItem probe;
        DecodeAddress(p, charSet, probe);
        if (probe.Email().empty()) return;
        list.Add().Assign(probe);
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inQuote) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inQuote = false;
        } else if (comment > 0) {
            if (c == '\\')
                ++i;
            else if (c == '(')
                ++comment;
            else if (c == ')')
                --comment;
        } else if (c == '"') {
            inQuote = true;
        } else if (c == '(') {
            comment = 1;
        } else if (c == '<') {
            inAngle = true;
        } else if (c == '>') {
            inAngle = false;
        } else if (c == ',' && !inAngle) {
            piece(i);
            start = i + 1;
        }
    }
    piece(text.size());
}

std::string SanitizeFileName(std::string_view name) {
    std::string out(name);
    for (char& c : out)
        if (c == '\0' || std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos) c = '_';
    if (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
    return out.empty() ? std::string("_") : out;
}

std::string ExtractFileName(std::string_view path) {
    const auto pos = path.find_last_of("/\\:");
    return std::string(pos == std::string_view::npos ? path : path.substr(pos + 1));
}

}  // namespace ix::mime
