#include "mail/ixMailHeader.h"

#include <algorithm>
#include <map>

#include "base/ixStringList.h"
#include "text/ixTranslator.h"

namespace ix {

namespace {

// RFC 2047 caps an encoded word at 75 characters.
constexpr std::size_t cMaxWordLength = 75;
// Charset names are short; a longer run before "?" is not an encoded word. The cap keeps a text
// full of "=?" linear.
constexpr std::size_t cMaxCharSetLength = 64;
// Continuation indexes beyond this are ignored (real senders stay far below).
constexpr int cMaxContinuation = 9999;

constexpr char cHex[] = "0123456789ABCDEF";

bool IsAsciiText(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 128; });
}

bool IsFoldSpace(char c) {
    return c == ' ' || c == '\t';
}

bool IsLinearSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool EndsWithStar(std::string_view name) {
    return !name.empty() && name.back() == '*';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// End of the UTF-8 character that starts at pos; a stray or malformed byte counts as one character.
std::size_t CharEnd(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t length = 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    if (pos + length > text.size()) return pos + 1;
    for (std::size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(text[pos + i]) & 0xC0) != 0x80) return pos + 1;
    return pos + length;
}

// Q keeps only letters, digits and ! * + - /, the characters safe in every place an encoded word
// may stand (RFC 2047 section 5, rule 3).
bool IsQSafe(std::uint8_t b) {
    return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '!' ||
           b == '*' || b == '+' || b == '-' || b == '/';
}

std::size_t QCost(std::uint8_t b) {
    return IsQSafe(b) || b == ' ' ? 1 : 3;
}

std::string QEncode(const TixByteArray& bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        if (b == ' ') {
            out += '_';
        } else if (IsQSafe(b)) {
            out += static_cast<char>(b);
        } else {
            out += '=';
            out += cHex[b >> 4];
            out += cHex[b & 15];
        }
    }
    return out;
}

TixByteArray QDecode(std::string_view text) {
    TixByteArray out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out.push_back(' ');
        } else if (c == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<std::uint8_t>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(static_cast<std::uint8_t>(c));
        }
    }
    return out;
}

TixByteArray BDecode(std::string_view text) {
    try {
        TixEncoder encoder;
        encoder.SetEncodeMethod(cmBase64);
        encoder.SetErrorProcessing(epContinue);
        return encoder.DecodeToBytes(text);
    } catch (const EixError&) {
        return {};
    }
}

// Text that stands outside any encoded word: UTF-8 as it is (an 8-bit header written by a modern
// sender), else the bytes of the fallback charset; never invalid UTF-8.
std::string RawToLocal(std::string_view bytes, std::string_view fallbackCharSet) {
    if (IsAsciiText(bytes) || TixTranslator::IsValidUtf8(bytes)) return std::string(bytes);
    if (!TixTranslator::IsKnownCharSet(fallbackCharSet)) return TixTranslator::Utf8Sanitize(bytes);
    std::string text = TixTranslator::ToLocal(bytes, fallbackCharSet);
    if (!TixTranslator::IsValidUtf8(text)) text = TixTranslator::Utf8Sanitize(text);
    return text;
}

std::string BytesToLocal(const TixByteArray& bytes, std::string_view charSet,
                         std::string_view fallbackCharSet) {
    const std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!TixTranslator::IsKnownCharSet(charSet)) return RawToLocal(view, fallbackCharSet);
    // Some spellings of utf-8 reach iconv, which lets malformed bytes through.
    std::string text = TixTranslator::ToLocal(view, charSet);
    if (!TixTranslator::IsValidUtf8(text)) text = TixTranslator::Utf8Sanitize(text);
    return text;
}

// The charset to write text in: the requested one when it is known and holds the text, else utf-8.
// The method for bytes of header text when none is requested: the transfer encoder's rule (control
// bytes or ESC: base64; 8-bit bytes: quoted-printable, or base64 when they are more than half) with
// what differs for a header: it is one logical line, so line length does not matter, TAB is
// ordinary text, and CR, LF or a literal "=?" must be encoded (raw, they would break the field or
// read back as an encoded word). Done here in one pass: the encoder's stream probe costs more than
// encoding a whole subject.
TixEncodeMethod PreferredMethod(const TixByteArray& bytes) {
    std::size_t eightBit = 0;
    bool breaks = false;
    for (std::uint8_t b : bytes) {
        if (b == '\r' || b == '\n')
            breaks = true;
        else if (b < 32 && b != '\t')
            return cmBase64;
        else if (b >= 127)
            ++eightBit;
    }
    if (eightBit > bytes.size() / 2) return cmBase64;
    if (eightBit > 0 || breaks) return cmQuotedPrintable;
    const std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return view.find("=?") != std::string_view::npos ? cmQuotedPrintable : cmNone;
}

std::string WordFromBytes(const TixByteArray& bytes, std::string_view charSet, TixEncodeMethod method) {
    std::string word = "=?";
    word += charSet;
    if (method == cmQuotedPrintable) {
        word += "?Q?";
        word += QEncode(bytes);
    } else {
        word += "?B?";
        word += TixEncoder::EncodeBytes(bytes, cmBase64);
    }
    word += "?=";
    return word;
}

std::size_t Base64Length(std::size_t n) {
    return (n + 2) / 3 * 4;
}

// Splits text at CR LF, CR or LF.
std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            start = i + 1;
        }
    }
    lines.push_back(text.substr(start));
    return lines;
}

// A continuation line: TAB, then the text.
std::string Continuation(std::string_view text) {
    std::string line(1, '\t');
    line += text;
    return line;
}

std::string TrimRight(std::string_view text) {
    std::size_t e = text.size();
    while (e > 0 && static_cast<unsigned char>(text[e - 1]) <= 32)
        --e;
    return std::string(text.substr(0, e));
}

// Splits an address list at commas outside quoted strings (backslash escapes honoured) and
// outside comments (which nest).
std::vector<std::string> SplitAddresses(std::string_view text) {
    std::vector<std::string> pieces;
    bool inQuote = false;
    bool inAngle = false;
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && (inQuote || depth > 0)) {
            ++i;
        } else if (inQuote) {
            if (c == '"') inQuote = false;
        } else if (c == '"' && depth == 0) {
            inQuote = true;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')' && depth > 0) {
            --depth;
        } else if (depth > 0) {
        } else if (c == '<') {
            inAngle = true;
        } else if (c == '>') {
            inAngle = false;
        } else if (inAngle) {
            // A route such as <@a,@b:user@host> stays inside its brackets.
        } else if (c == ':') {
            // "name:" opens a group (RFC 5322 3.4): its members are the addresses, not the name.
            start = i + 1;
        } else if (c == ',' || c == ';') {
            pieces.emplace_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    pieces.emplace_back(text.substr(std::min(start, text.size())));
    return pieces;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TixRfc2231HeaderEncoder

bool TixRfc2231HeaderEncoder::IsEscapeNeeded(std::uint8_t symbol) {
    if ((symbol >= 'a' && symbol <= 'z') || (symbol >= 'A' && symbol <= 'Z') ||
        (symbol >= '0' && symbol <= '9'))
        return false;
    return std::string_view("!#$&+-.^_`{|}~").find(static_cast<char>(symbol)) == std::string_view::npos;
}

std::string TixRfc2231HeaderEncoder::SplitValue(std::string_view value) {
    const auto first = value.find('\'');
    const auto second = first == std::string_view::npos ? first : value.find('\'', first + 1);
    if (second == std::string_view::npos) {
        charSet_.clear();
        language_.clear();
        return std::string(value);
    }
    charSet_ = std::string(value.substr(0, first));
    language_ = std::string(value.substr(first + 1, second - first - 1));
    return std::string(value.substr(second + 1));
}

std::string TixRfc2231HeaderEncoder::JoinValue(std::string_view text) const {
    return charSet_ + "'" + language_ + "'" + std::string(text);
}

std::string TixRfc2231HeaderEncoder::EncodeValue(std::string_view text) {
    charSet_ = TixMailHeaderFieldList::WritingCharSet(text, charSet_);
    return JoinValue(Encode(TixTranslator::GetBytes(text, charSet_)));
}

std::string TixRfc2231HeaderEncoder::DecodeValue(std::string_view value) {
    const std::string text = SplitValue(value);
    return BytesToLocal(Decode(text), charSet_, "");
}

// ---------------------------------------------------------------------------------------------
// Encoding

std::string TixMailHeaderFieldList::EncodeWord(std::string_view text, std::string_view charSet,
                                               TixEncodeMethod& encoding) {
    const std::string cs = TixMailHeaderFieldList::WritingCharSet(text, charSet);
    const TixByteArray bytes = TixTranslator::GetBytes(text, cs);
    if (encoding == cmNone) encoding = PreferredMethod(bytes);
    if (encoding != cmQuotedPrintable && encoding != cmBase64) return std::string(text);
    return WordFromBytes(bytes, cs, encoding);
}

std::string TixMailHeaderFieldList::EncodeText(std::string_view text, std::string_view charSet, int room,
                                               TixEncodeMethod encoding) {
    if (text.empty() || encoding == cmUUEncode || encoding == cm8Bit) return std::string(text);
    const std::string cs = TixMailHeaderFieldList::WritingCharSet(text, charSet);
    TixEncodeMethod method = encoding;
    if (method != cmQuotedPrintable && method != cmBase64) {
        method = PreferredMethod(TixTranslator::GetBytes(text, cs));
        if (method == cmNone) {
            // Plain text that fits stays plain; longer text becomes "Q" words, each one on a line.
            if (room <= 0 || text.size() <= static_cast<std::size_t>(room)) return std::string(text);
            method = cmQuotedPrintable;
        }
    }
    const std::size_t limit =
        room > 0 ? std::min(cMaxWordLength, static_cast<std::size_t>(room)) : cMaxWordLength;
    const std::size_t overhead = cs.size() + 7;  // "=?" cs "?Q?" ... "?="
    const bool isUtf8 = SameText(cs, "utf-8");

    std::string result;
    std::size_t start = 0;
    while (start < text.size()) {
        // Grow the piece one character at a time while its word still fits.
        std::size_t end = start, byteCount = 0, qLength = 0;
        while (end < text.size()) {
            const std::size_t next = CharEnd(text, end);
            const std::string_view ch = text.substr(end, next - end);
            std::size_t q = 0, chSize = ch.size();
            if (isUtf8) {
                for (char b : ch)
                    q += QCost(static_cast<std::uint8_t>(b));
            } else {
                const TixByteArray chBytes = TixTranslator::GetBytes(ch, cs);
                chSize = chBytes.size();
                for (std::uint8_t b : chBytes)
                    q += QCost(b);
            }
            const std::size_t length =
                overhead + (method == cmQuotedPrintable ? qLength + q : Base64Length(byteCount + chSize));
            if (end > start && length > limit) break;
            qLength += q;
            byteCount += chSize;
            end = next;
        }
        std::string word =
            WordFromBytes(TixTranslator::GetBytes(text.substr(start, end - start), cs), cs, method);
        // Stateful charsets add shift sequences per piece, so the estimate may fall short.
        while (word.size() > limit) {
            std::size_t last = start, p = start;
            while (p < end) {
                last = p;
                p = CharEnd(text, p);
            }
            if (last == start) break;
            end = last;
            word = WordFromBytes(TixTranslator::GetBytes(text.substr(start, end - start), cs), cs, method);
        }
        if (!result.empty()) result += "\r\n";
        result += word;
        start = end;
    }
    return result.empty() ? std::string(text) : result;
}

std::string TixMailHeaderFieldList::EncodeEmail(std::string_view text, std::string_view charSet, int room,
                                                TixEncodeMethod encoding) {
    std::string name, email;
    if (!ParseFullAddress(text, name, email) || email.empty()) return std::string(text);
    const std::string encodedName = EncodeText(name, charSet, room - 2, encoding);
    if (encodedName == email) return email;
    TixEmailAddressItem item(encodedName, email);
    const std::string full = item.FullAddress();  // quotes a plain name where it needs it
    const std::string namePart = full.substr(0, full.size() - email.size() - 3);
    const auto lastBreak = namePart.rfind("\r\n");
    const std::size_t lastLength =
        lastBreak == std::string::npos ? namePart.size() : namePart.size() - lastBreak - 2;
    // The address is never cut: when it does not fit behind the name it starts the next line.
    const bool fits = room <= 0 || lastLength + 1 + email.size() + 2 <= static_cast<std::size_t>(room);
    return namePart + (fits ? " " : "\r\n") + "<" + email + ">";
}

// ---------------------------------------------------------------------------------------------
// Decoding

std::string TixMailHeaderFieldList::WritingCharSet(std::string_view text, std::string_view charSet) {
    if (charSet.empty() || !TixTranslator::IsKnownCharSet(charSet)) return "utf-8";
    if (IsAsciiText(text)) return std::string(charSet);
    const std::string bytes = TixTranslator::FromLocal(text, charSet);
    if (TixTranslator::ToLocal(bytes, charSet) != text) return "utf-8";
    return std::string(charSet);
}

std::string TixMailHeaderFieldList::DecodeText(std::string_view text, std::string_view fallbackCharSet) {
    std::string result;
    std::size_t pos = 0, plainStart = 0;
    bool afterWord = false;
    while (pos < text.size()) {
        const std::size_t p = text.find("=?", pos);
        if (p == std::string_view::npos) break;
        pos = p + 2;
        // charset: up to the next "?", short, no white space or control characters
        std::size_t q1 = p + 2;
        while (q1 < text.size() && q1 - (p + 2) <= cMaxCharSetLength && text[q1] != '?' &&
               static_cast<unsigned char>(text[q1]) > 32 && static_cast<unsigned char>(text[q1]) < 127)
            ++q1;
        if (q1 >= text.size() || text[q1] != '?' || q1 == p + 2) continue;
        if (q1 + 2 >= text.size() || text[q1 + 2] != '?') continue;
        const char letter = static_cast<char>(text[q1 + 1] & ~0x20);
        if (letter != 'B' && letter != 'Q') continue;
        const std::size_t e0 = q1 + 3;
        const std::size_t q3 = text.find("?=", e0);
        // No end anywhere after this point: no later word can be complete either.
        if (q3 == std::string_view::npos) break;

        const std::string_view gap = text.substr(plainStart, p - plainStart);
        const bool blank = std::all_of(gap.begin(), gap.end(), IsLinearSpace);
        if (!(afterWord && blank)) result += RawToLocal(gap, fallbackCharSet);

        std::string_view charSet = text.substr(p + 2, q1 - p - 2);
        charSet = charSet.substr(0, charSet.find('*'));  // RFC 2231 language suffix
        const std::string_view encoded = text.substr(e0, q3 - e0);
        const TixByteArray bytes = letter == 'Q' ? QDecode(encoded) : BDecode(encoded);
        result += BytesToLocal(bytes, charSet, fallbackCharSet);
        afterWord = true;
        pos = plainStart = q3 + 2;
    }
    result += RawToLocal(text.substr(std::min(plainStart, text.size())), fallbackCharSet);
    return result;
}

// ---------------------------------------------------------------------------------------------
// TixMailHeaderFieldList

TixMailHeaderFieldList::TixMailHeaderFieldList() = default;

TixMailHeaderFieldList::TixMailHeaderFieldList(std::string charSet, int charsPerLine,
                                               TixEncodeMethod headerEncoding)
    : charSet_(std::move(charSet)), headerEncoding_(headerEncoding) {
    SetCharsPerLine(charsPerLine);
}

std::string_view TixMailHeaderFieldList::GetQuoteChars() const {
    if (rfc2231Mode_) return "\"";
    return TixHeaderFieldList::GetQuoteChars();
}

bool TixMailHeaderFieldList::IsAddressField(std::string_view lowerName) {
    static const char* const names[] = {"from",
                                        "sender",
                                        "reply-to",
                                        "to",
                                        "cc",
                                        "bcc",
                                        "resent-from",
                                        "resent-sender",
                                        "resent-to",
                                        "resent-cc",
                                        "resent-bcc",
                                        "resent-reply-to",
                                        "errors-to",
                                        "return-receipt-to",
                                        "disposition-notification-to",
                                        "mail-followup-to",
                                        "mail-reply-to",
                                        "apparently-to"};
    return std::any_of(std::begin(names), std::end(names), [&](const char* n) { return lowerName == n; });
}

std::string TixMailHeaderFieldList::GetFieldValue(int index) const {
    if (index < 0 || index >= Count() || !source_) return {};
    const Field& f = fields_[static_cast<std::size_t>(index)];
    if (f.name == "subject") {
        // Unstructured text: all the white space after the colon goes, the rest is kept as sent.
        std::string value = GetRawFieldValue(index);
        value.erase(0, std::min(value.size(), value.find_first_not_of(" \t")));
        return value;
    }
    if (!IsAddressField(f.name)) return TixHeaderFieldList::GetFieldValue(index);
    const std::string& first = (*source_)[f.line];
    std::string value = first.substr(std::min(first.size(), f.valueStart));
    if (!value.empty() && IsFoldSpace(value[0])) value.erase(0, 1);
    for (int i = f.line + 1; i < source_->Count(); ++i) {
        const std::string& line = (*source_)[i];
        if (line.empty() || !IsFoldSpace(line[0])) break;
        // An address list folded without commas still reads as a list.
        const auto lastChar = value.find_last_not_of(" \t");
        const auto firstChar = line.find_first_not_of(" \t");
        if (lastChar != std::string::npos && value[lastChar] == '>' && firstChar != std::string::npos &&
            line[firstChar] != ',' && line[firstChar] != ';' && line[firstChar] != '(')
            value.insert(lastChar + 1, ",");
        value += line;
    }
    return TrimHeaderText(value);
}

void TixMailHeaderFieldList::InsertValueLines(std::string_view firstLine, std::string_view rest) {
    if (!source_) return;
    std::string text(firstLine);
    text += rest;
    const std::vector<std::string_view> lines = SplitLines(text);
    std::vector<std::string> pieces;
    if (lines.size() == 1 && CharsPerLine() > 0) {
        // Plain text: folded at white space, so any reader unfolds it back.
        pieces = FoldLine(lines[0]);
    } else {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (i > 0 && lines[i].empty()) continue;
            pieces.push_back(i == 0 ? std::string(lines[i]) : Continuation(lines[i]));
        }
    }
    InsertPieces(headerEnd_, pieces, "");
    Parse(startIndex_, source_);
}

void TixMailHeaderFieldList::AddEncodedField(std::string_view name, std::string_view value) {
    const std::string trimmed = TrimHeaderText(value);
    if (trimmed.empty() || !source_) return;
    const int room = CharsPerLine() - static_cast<int>(name.size()) - 2;
    InsertValueLines(std::string(name) + ": ", EncodeText(trimmed, charSet_, room, headerEncoding_));
}

void TixMailHeaderFieldList::AddEncodedEmail(std::string_view name, std::string_view address) {
    const std::string trimmed = TrimHeaderText(address);
    if (trimmed.empty() || !source_) return;
    const int room = CharsPerLine() - static_cast<int>(name.size()) - 2;
    InsertValueLines(std::string(name) + ": ", EncodeEmail(trimmed, charSet_, room, headerEncoding_));
}

void TixMailHeaderFieldList::AddEncodedEmailList(std::string_view name, const TixEmailAddressList& list) {
    if (list.Count() == 0 || !source_) return;
    std::string text;
    for (int i = 0; i < list.Count(); ++i) {
        const int room = i == 0 ? CharsPerLine() - static_cast<int>(name.size()) - 2 : CharsPerLine() - 1;
        if (i > 0) text += "\r\n";
        text += EncodeEmail(list.Items(i).FullAddress(), charSet_, room, headerEncoding_);
        if (i + 1 < list.Count()) text += ",";
    }
    // One address per line; never folded inside an address.
    const std::string full = std::string(name) + ": " + text;
    const std::vector<std::string_view> lines = SplitLines(full);
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0 && lines[i].empty()) continue;
        pieces.push_back(i == 0 ? std::string(lines[i]) : Continuation(lines[i]));
    }
    InsertPieces(headerEnd_, pieces, "");
    Parse(startIndex_, source_);
}

void TixMailHeaderFieldList::InsertItemLines(int fieldIndex, std::string_view itemText) {
    int last = fields_[static_cast<std::size_t>(fieldIndex)].line;
    while (last + 1 < source_->Count() && !(*source_)[last + 1].empty() &&
           IsFoldSpace((*source_)[last + 1][0]))
        ++last;
    std::string line = TrimRight((*source_)[last]);
    if (line.empty() || (line.back() != ':' && line.back() != ';')) line += ';';
    source_->SetString(last, line);
    TixStringList lines;
    for (std::string_view piece : SplitLines(itemText))
        if (!piece.empty()) lines.Add(Continuation(piece));
    InsertLines(last + 1, lines);
    Parse(startIndex_, source_);
}

void TixMailHeaderFieldList::AddEncodedFieldItem(std::string_view fieldName, std::string_view itemName,
                                                 std::string_view value) {
    const int index = GetFieldIndex(fieldName);
    const std::string trimmed = TrimHeaderText(value);
    if (index < 0 || trimmed.empty() || !source_) return;
    const int cpl = CharsPerLine();
    const int nameLength = static_cast<int>(itemName.size());
    std::string item;

    if (!EndsWithStar(itemName)) {
        const std::string encoded = EncodeText(trimmed, charSet_, cpl - 1 - nameLength - 3, headerEncoding_);
        std::string quoted;
        if (encoded != trimmed)
            quoted = "\"" + encoded + "\"";  // encoded words hold no quote or backslash
        else if (trimmed.size() >= 2 && trimmed.front() == '"' && trimmed.back() == '"')
            quoted = trimmed;
        else
            quoted = QuoteHeaderText(trimmed);
        item = itemName.empty() ? quoted : std::string(itemName) + "=" + quoted;
    } else {
        TixRfc2231HeaderEncoder encoder;
        encoder.SetCharSet(TixMailHeaderFieldList::WritingCharSet(trimmed, charSet_));
        const std::string whole = encoder.EncodeValue(trimmed);
        const std::string cs = encoder.CharSet();
        if (cpl <= 0 || static_cast<int>(whole.size()) <= cpl - 1 - nameLength - 7) {
            item = std::string(itemName) + "=" + whole;
        } else {
            // Numbered continuations (name*0*=, name*1*=, ...), each cut at a character boundary.
            const std::string stem(itemName);
            std::size_t start = 0;
            int n = 0;
            while (start < trimmed.size()) {
                const std::string prefix =
                    stem + std::to_string(n) + "*=" + (n == 0 ? cs + "''" : std::string());
                const int room = std::max(cpl - 2 - static_cast<int>(prefix.size()), 1);
                std::size_t end = start, length = 0;
                while (end < trimmed.size()) {
                    const std::size_t next = CharEnd(trimmed, end);
                    std::size_t cost = 0;
                    for (std::uint8_t b :
                         TixTranslator::GetBytes(std::string_view(trimmed).substr(end, next - end), cs))
                        cost += encoder.IsEscapeNeeded(b) ? 3 : 1;
                    if (end > start && length + cost > static_cast<std::size_t>(room)) break;
                    length += cost;
                    end = next;
                }
                if (n > 0) item += ";\r\n";
                item += prefix + encoder.Encode(TixTranslator::GetBytes(
                                     std::string_view(trimmed).substr(start, end - start), cs));
                start = end;
                ++n;
            }
        }
    }
    InsertItemLines(index, item);
}

std::string TixMailHeaderFieldList::GetDecodedFieldValue(std::string_view name) const {
    return DecodeText(GetFieldValue(name), charSet_);
}

std::string TixMailHeaderFieldList::DecodeAddress(std::string_view text) const {
    const std::string trimmed = TrimHeaderText(text);
    std::string name, email;
    if (ParseFullAddress(trimmed, name, email) && !email.empty())
        return BuildFullAddress(DecodeText(name, charSet_), email);
    return DecodeText(trimmed, charSet_);
}

std::string TixMailHeaderFieldList::GetDecodedEmail(std::string_view name) const {
    return DecodeAddress(GetFieldValue(name));
}

void TixMailHeaderFieldList::GetDecodedEmailList(std::string_view name, TixEmailAddressList& list) const {
    list.Clear();
    for (const std::string& piece : SplitAddresses(GetFieldValue(name))) {
        const std::string trimmed = TrimHeaderText(piece);
        // Comments alone (an empty group's, or after a group) are no recipients.
        if (TrimHeaderText(RemoveAddressComments(trimmed)).empty()) continue;
        std::string displayName, email;
        if (ParseFullAddress(trimmed, displayName, email) && !email.empty()) {
            TixEmailAddressItem& item = list.Add();
            item.SetName(DecodeText(displayName, charSet_));
            item.SetEmail(email);
        } else {
            list.Add(DecodeText(trimmed, charSet_));
        }
    }
}

std::string TixMailHeaderFieldList::GetDecodedFieldValueItem(std::string_view value,
                                                             std::string_view itemName) const {
    if (!EndsWithStar(itemName)) return DecodeText(GetFieldValueItem(value, itemName), charSet_);
    struct ModeGuard {
        bool& flag;
        explicit ModeGuard(bool& f) : flag(f) { flag = true; }
        ~ModeGuard() { flag = false; }
    } guard(rfc2231Mode_);
    int length = 0;
    std::string raw;
    if (FindFieldValueItem(value, itemName, length, raw) > 0) {
        TixRfc2231HeaderEncoder encoder;
        const std::string text = encoder.SplitValue(GetFieldValueItem(value, itemName));
        return BytesToLocal(encoder.Decode(text), encoder.CharSet(), charSet_);
    }
    return DecodeContinuations(value, itemName);
}

std::string TixMailHeaderFieldList::GetParameter(std::string_view value, std::string_view itemName) const {
    std::string result = GetDecodedFieldValueItem(value, std::string(itemName) + "*");
    return result.empty() ? GetFieldValueItem(value, itemName) : result;
}

// Collects name*0, name*1*, ... in one pass over the value, so a value with many pieces stays
// linear, then joins them in index order up to the first gap. Consecutive encoded pieces are
// joined as bytes before translation: a character may be split between two of them.
std::string TixMailHeaderFieldList::DecodeContinuations(std::string_view value,
                                                        std::string_view itemName) const {
    const std::string stem = LowerCase(itemName);
    std::map<int, std::pair<std::string, bool>> pieces;  // index -> raw value, encoded
    const std::string_view delimiters = GetItemDelimiters();
    std::size_t pos = 0;
    while (pos < value.size()) {
        std::size_t start = pos;
        while (start < value.size() && IsWhiteSpace(value[start]))
            ++start;
        std::size_t eq = start;
        while (eq < value.size() && value[eq] != '=' && delimiters.find(value[eq]) == std::string_view::npos)
            ++eq;
        std::size_t next = eq;
        if (eq < value.size() && value[eq] == '=') {
            std::size_t nameEnd = eq;
            while (nameEnd > start && IsWhiteSpace(value[nameEnd - 1]))
                --nameEnd;
            next = ScanItemValue(value, eq + 1);
            const std::string name = LowerCase(value.substr(start, nameEnd - start));
            if (name.size() > stem.size() && name.compare(0, stem.size(), stem) == 0) {
                std::string_view suffix = std::string_view(name).substr(stem.size());
                const bool encoded = suffix.back() == '*';
                if (encoded) suffix.remove_suffix(1);
                const bool digits =
                    !suffix.empty() && suffix.size() <= 4 && (suffix.size() == 1 || suffix[0] != '0') &&
                    std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= '0' && c <= '9'; });
                if (digits) {
                    const int n = std::stoi(std::string(suffix));
                    if (n <= cMaxContinuation)
                        pieces.try_emplace(n, TrimHeaderText(value.substr(eq + 1, next - eq - 1)), encoded);
                }
            }
        }
        while (next < value.size() && delimiters.find(value[next]) == std::string_view::npos)
            ++next;
        pos = next + 1;
    }

    std::string result;
    std::string charSet;
    bool charSetKnown = false;
    TixByteArray pending;
    const auto flush = [&] {
        if (!pending.empty()) result += BytesToLocal(pending, charSet, charSet_);
        pending.clear();
    };
    TixRfc2231HeaderEncoder encoder;
    for (int n = 0;; ++n) {
        const auto it = pieces.find(n);
        if (it == pieces.end()) break;
        std::string text = it->second.first;
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = UnquoteHeaderText(text);
        if (!it->second.second) {
            flush();
            result += DecodeText(text, charSet_);
            continue;
        }
        if (n == 0 || !charSetKnown) {
            text = encoder.SplitValue(text);
            charSet = encoder.CharSet();
            charSetKnown = !charSet.empty();
        }
        const TixByteArray bytes = encoder.Decode(text);
        pending.insert(pending.end(), bytes.begin(), bytes.end());
    }
    flush();
    return result;
}

}  // namespace ix
