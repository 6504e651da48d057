#include "imap/ixImapUtils.h"

#include <array>
#include <vector>

#include "base/ixStringList.h"

namespace ix {

namespace {

struct FlagName {
    TixMailMessageFlag flag;
    const char* wire;
    const char* upper;
};

constexpr std::array<FlagName, 6> kFlagNames{{
    {TixMailMessageFlag::mfAnswered, "\\Answered", "\\ANSWERED"},
    {TixMailMessageFlag::mfFlagged, "\\Flagged", "\\FLAGGED"},
    {TixMailMessageFlag::mfDeleted, "\\Deleted", "\\DELETED"},
    {TixMailMessageFlag::mfSeen, "\\Seen", "\\SEEN"},
    {TixMailMessageFlag::mfDraft, "\\Draft", "\\DRAFT"},
    {TixMailMessageFlag::mfRecent, "\\Recent", "\\RECENT"},
}};

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == ',' || c == '/') return 63;
    return -1;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16 units to UTF-8; a unit that is no valid character (lone surrogate) becomes U+FFFD.
void AppendUtf16(std::string& out, const std::vector<std::uint16_t>& units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00u));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, unit);
        }
    }
}

void FlushPending(std::string& out, std::vector<std::uint8_t>& pending) {
    if (pending.empty()) return;
    out += '&';
    std::size_t i = 0;
    for (; i + 2 < pending.size(); i += 3) {
        std::uint32_t v = (pending[i] << 16) | (pending[i + 1] << 8) | pending[i + 2];
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += kBase64[v & 63];
    }
    std::size_t rest = pending.size() - i;
    if (rest == 1) {
        std::uint32_t v = pending[i] << 16;
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
    } else if (rest == 2) {
        std::uint32_t v = (pending[i] << 16) | (pending[i + 1] << 8);
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
    }
    out += '-';
    pending.clear();
}

void PushUnit(std::vector<std::uint8_t>& pending, std::uint32_t unit) {
    pending.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    pending.push_back(static_cast<std::uint8_t>(unit & 0xFF));
}

}  // namespace

std::string FlagsToText(TixMailMessageFlags flags) {
    std::string text;
    for (const auto& name : kFlagNames) {
        if (!flags.Contains(name.flag)) continue;
        if (!text.empty()) text += ' ';
        text += name.wire;
    }
    return text;
}

TixMailMessageFlags TextToFlags(const std::string& text) {
    TixMailMessageFlags flags;
    const std::string upper = UpperCase(text);
    for (const auto& name : kFlagNames)
        if (upper.find(name.upper) != std::string::npos) flags.Include(name.flag);
    return flags;
}

std::string TixImapUtf7Encoder::Encode(const std::string& text) {
    std::string out;
    std::vector<std::uint8_t> pending;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t size = text.size();
    for (std::size_t i = 0; i < size;) {
        unsigned char lead = bytes[i++];
        std::int64_t value;
        int follow = 0;
        if (lead < 0x80) {
            value = lead;
        } else if ((lead & 0xC0) == 0x80) {
            value = -1;
        } else if (lead >= 0xFE) {
            value = -2;
        } else {
            int bits;
            if ((lead & 0xE0) == 0xC0)
                follow = 1, bits = 0x1F;
            else if ((lead & 0xF0) == 0xE0)
                follow = 2, bits = 0x0F;
            else if ((lead & 0xF8) == 0xF0)
                follow = 3, bits = 0x07;
            else if ((lead & 0xFC) == 0xF8)
                follow = 4, bits = 0x03;
            else
                follow = 5, bits = 0x01;
            value = lead & bits;
            for (int k = 0; k < follow && i < size; ++k)
                value = (value << 6) | (bytes[i++] & 0x3F);
        }
        if (value >= 0x20 && value <= 0x7E) {
            FlushPending(out, pending);
            if (value == '&')
                out += "&-";
            else
                out += static_cast<char>(value);
        } else if (value > 0xFFFF && value <= 0x10FFFF) {
            std::uint32_t v = static_cast<std::uint32_t>(value) - 0x10000;
            PushUnit(pending, 0xD800 + (v >> 10));
            PushUnit(pending, 0xDC00 + (v & 0x3FF));
        } else {
            PushUnit(pending, static_cast<std::uint32_t>(value));
        }
    }
    FlushPending(out, pending);
    return out;
}

std::string TixImapUtf7Encoder::Decode(const std::string& text) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t amp = text.find('&', pos);
        if (amp == std::string::npos) {
            out.append(text, pos, std::string::npos);
            break;
        }
        out.append(text, pos, amp - pos);
        if (amp + 1 >= text.size()) break;
        std::size_t dash = text.find('-', amp + 1);
        if (dash == std::string::npos) dash = text.size();
        if (dash == amp + 1) {
            out += '&';
        } else {
            std::vector<std::uint16_t> units;
            std::uint32_t acc = 0;
            int bits = 0;
            int byteCount = 0;
            std::uint16_t unit = 0;
            for (std::size_t k = amp + 1; k < dash; ++k) {
                int v = Base64Value(static_cast<unsigned char>(text[k]));
                if (v < 0) continue;
                acc = (acc << 6) | static_cast<std::uint32_t>(v);
                bits += 6;
                if (bits >= 8) {
                    bits -= 8;
                    auto byte = static_cast<std::uint8_t>((acc >> bits) & 0xFF);
                    unit = static_cast<std::uint16_t>((unit << 8) | byte);
                    if (++byteCount == 2) {
                        units.push_back(unit);
                        unit = 0;
                        byteCount = 0;
                    }
                }
            }
            AppendUtf16(out, units);
        }
        pos = dash + 1;
    }
    return out;
}

bool NeedsLiteral(const std::string& value) {
    for (unsigned char c : value)
        if (c == '\r' || c == '\n' || c == 0 || c >= 0x80) return true;
    return false;
}

std::string ImapQuote(const std::string& value) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '"';
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string ImapUnquote(const std::string& text, std::size_t& pos) {
    std::string out;
    ++pos;
    while (pos < text.size()) {
        char c = text[pos++];
        if (c == '"') return out;
        if (c == '\\' && pos < text.size()) c = text[pos++];
        out += c;
    }
    return out;
}

}  // namespace ix
