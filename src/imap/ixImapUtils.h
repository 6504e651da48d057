#pragma once
// IMAP4 helpers: message flags and their wire texts, the selected mailbox's data, modified UTF-7
// mailbox names, and quoted strings.

#include <cstdint>
#include <initializer_list>
#include <string>

namespace ix {

enum class TixMailMessageFlag : std::uint8_t { mfAnswered, mfFlagged, mfDeleted, mfSeen, mfDraft, mfRecent };

// A set of flags, bit i for flag number i.
class TixMailMessageFlags {
public:
    constexpr TixMailMessageFlags() = default;
    constexpr TixMailMessageFlags(std::initializer_list<TixMailMessageFlag> flags) {
        for (auto flag : flags)
            Include(flag);
    }
    constexpr bool Contains(TixMailMessageFlag flag) const { return (bits_ & Bit(flag)) != 0; }
    constexpr void Include(TixMailMessageFlag flag) { bits_ |= Bit(flag); }
    constexpr void Exclude(TixMailMessageFlag flag) { bits_ &= static_cast<std::uint8_t>(~Bit(flag)); }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr std::uint8_t Bits() const { return bits_; }
    constexpr bool operator==(const TixMailMessageFlags&) const = default;

private:
    static constexpr std::uint8_t Bit(TixMailMessageFlag flag) {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(flag));
    }
    std::uint8_t bits_ = 0;
};

// Wire names of the flags present, in set order, separated by spaces ("\Answered \Seen").
std::string FlagsToText(TixMailMessageFlags flags);
// The flags whose wire name occurs anywhere in the text, ignoring case.
TixMailMessageFlags TextToFlags(const std::string& text);

class TixImap4MailBoxInfo {
public:
    virtual ~TixImap4MailBoxInfo() = default;
    virtual void Clear() { *this = TixImap4MailBoxInfo(); }
    virtual void Assign(const TixImap4MailBoxInfo& source) { *this = source; }

    std::string Name;
    int RecentMessages = 0;
    int FirstUnseen = 0;
    int ExistsMessages = 0;
    bool ReadOnly = false;
    TixMailMessageFlags Flags;
    TixMailMessageFlags PermanentFlags;
    std::string UIDValidity;
};

// Mailbox names on the wire: printable ASCII stays ("&" as "&-"), everything else becomes
// "&" + modified base64 of UTF-16BE + "-".
class TixImapUtf7Encoder {
public:
    static std::string Encode(const std::string& text);
    // Malformed runs never fail: undecodable units become U+FFFD, a trailing "&" is dropped.
    static std::string Decode(const std::string& text);
};

// An IMAP quoted string: backslash before "\" and the double quote. The value must not hold
// CR, LF, NUL or 8-bit bytes (NeedsLiteral tells).
std::string ImapQuote(const std::string& value);
// True when the value cannot travel as a quoted string.
bool NeedsLiteral(const std::string& value);
// Reads a quoted string at pos (which holds the opening quote), unescaping; pos moves past the
// closing quote (or to the end when there is none).
std::string ImapUnquote(const std::string& text, std::size_t& pos);

}  // namespace ix
