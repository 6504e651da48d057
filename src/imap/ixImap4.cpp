#include "imap/ixImap4.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <optional>

#include "crypto/ixCryptMac.h"
#include "imap/ixSspiAuth.h"
#include "mail/ixMailMessage.h"
#include "text/ixEncoder.h"
#include "text/ixTranslator.h"
#include "tls/ixSspi.h"

namespace ix {

namespace {

using State = TixImap4ConnectionState;

bool IsBlank(unsigned char c) {
    return c <= ' ';
}

std::string Trim(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && IsBlank(static_cast<unsigned char>(text[end - 1])))
        --end;
    return std::string(text.substr(begin, end - begin));
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

// The whole trimmed text as a decimal number, 0 when it is none.
int ToInt(std::string_view text) {
    std::string trimmed = Trim(text);
    int value = 0;
    auto [end, error] = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), value);
    if (error != std::errc() || end != trimmed.data() + trimmed.size()) return 0;
    return value;
}

bool HasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos;
}

const char* ImapErrorText(int code) {
    switch (code) {
        case IX_IMAP_INVALID_MAILBOX_NAME:
            return "Mailbox name is invalid, it must not be empty or begin with mailbox separator";
        case IX_IMAP_INVALID_ARGUMENTS:
            return "Function arguments are invalid";
        case IX_IMAP_INVALID_MESSAGE_NUMBER:
            return "Message number is invalid, must be greater than 0";
        case IX_IMAP_INVALID_STATE:
            return "The command is not valid in this state";
        case IX_IMAP_TLS_UNAVAILABLE:
            return "The server does not offer STARTTLS, and the connection must be encrypted: it was closed";
        case IX_IMAP_TLS_REFUSED:
            return "The server refused STARTTLS, and the connection must be encrypted: it was closed";
        case IX_IMAP_TLS_INJECTION:
            return "The server sent data after its STARTTLS answer, before the TLS handshake: the connection "
                   "was "
                   "closed";
        case IX_IMAP_TLS_PREAUTH:
            return "The server logged the session in before TLS could start (PREAUTH): the connection was "
                   "closed";
        case IX_IMAP_SASL_FAILED:
            return "Unable to logon to the server using Secure Password Authentication";
        default:
            return "IMAP4 error";
    }
}

}  // namespace

EixImap4Error::EixImap4Error(int errorCode) : EixTcpClientError(ImapErrorText(errorCode), errorCode) {}

TixImap4::TixImap4(TixComponent* owner) : TixCustomMail(owner) {
    InitDefaultPort();
}

TixImap4::~TixImap4() {
    // Say LOGOUT while this class still exists; the base destructors cannot reach EndSession.
    try {
        Close();
    } catch (...) {
    }
}

// ---- Session ----

std::string TixImap4::GetCommandTag() const {
    char tag[16];
    std::snprintf(tag, sizeof tag, "a%.4d", CommandTagNumber);
    return tag;
}

std::string TixImap4::GetNextCommandTag() {
    ++CommandTagNumber;
    return GetCommandTag();
}

namespace {

// Resets the command flags whatever way the exchange ends.
struct TixTaggedScope {
    bool& tagged;
    bool& fetch;
    ~TixTaggedScope() { tagged = fetch = false; }
};

}  // namespace

void TixImap4::SendTaggedCommand(const std::string& text, const TixResponseCodes& expectedCodes) {
    CheckNoCallback();
    // A line break would end the command early and let the rest run as a command of its own.
    if (HasLineBreakOrNul(text)) throw EixImap4Error(IX_IMAP_INVALID_ARGUMENTS);
    TixTaggedScope scope{isTaggedCommand_, isFetchCommand_};
    isFetchCommand_ = UpperCase(text).find("FETCH ") != std::string::npos;
    isTaggedCommand_ = true;
    SendCommandSync(GetNextCommandTag() + " " + text, expectedCodes);
}

void TixImap4::SendTaggedCommand(const std::string& format, const std::vector<std::string>& args,
                                 const TixResponseCodes& expectedCodes) {
    std::string text;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c == '%' && i + 1 < format.size()) {
            char conversion = format[i + 1];
            if (conversion == '%') {
                text += '%';
                ++i;
                continue;
            }
            if (conversion == 's' || conversion == 'd') {
                if (next >= args.size()) throw EixImap4Error(IX_IMAP_INVALID_ARGUMENTS);
                text += args[next++];
                ++i;
                continue;
            }
        }
        text += c;
    }
    SendTaggedCommand(text, expectedCodes);
}

std::string TixImap4::QuotedArgument(const std::string& value) {
    if (NeedsLiteral(value)) throw EixImap4Error(IX_IMAP_INVALID_ARGUMENTS);
    return ImapQuote(value);
}

void TixImap4::SendTaggedCommandWithArguments(const std::vector<std::string>& parts,
                                              const TixResponseCodes& expectedCodes) {
    CheckNoCallback();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i % 2 == 0 && HasLineBreakOrNul(parts[i])) throw EixImap4Error(IX_IMAP_INVALID_ARGUMENTS);
        // A literal carries CR and LF but not NUL.
        if (i % 2 == 1 && parts[i].find('\0') != std::string::npos)
            throw EixImap4Error(IX_IMAP_INVALID_ARGUMENTS);
    }
    TixTaggedScope scope{isTaggedCommand_, isFetchCommand_};
    isFetchCommand_ = false;
    isTaggedCommand_ = true;
    TixExchangeGuard guard(*this);
    std::string line = GetNextCommandTag() + " ";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (i % 2 == 0 || !NeedsLiteral(part)) {
            line += i % 2 == 0 ? part : ImapQuote(part);
            continue;
        }
        // A synchronizing literal: announce the bytes as they go on the wire, wait for the go-ahead.
        line += "{" + std::to_string(TixTranslator::GetByteCount(part, GetCommandCharSet(part))) + "}";
        SendCommand(line);
        WaitResponse({IMAP_CONTINUE});
        line = part;
    }
    SendCommand(line);
    WaitResponse(expectedCodes);
}

int TixImap4::GetResponseCode(const std::string& line) {
    int code = TixCustomMail::GetResponseCode(line);
    if (code != 0 || line.empty()) return code;
    if (!isFetchCommand_ && ((line.size() >= 2 && line[0] == '+' && line[1] == ' ') || Trim(line) == "+"))
        return IMAP_CONTINUE;
    std::size_t space = line.find(' ');
    if (space == std::string::npos || space == 0 || space == line.size() - 1) return 0;
    std::string rest = Trim(std::string_view(line).substr(space + 1));
    std::string word = rest.substr(0, rest.find(' '));
    if (isTaggedCommand_) {
        // Only the command's own tag ends the wait; "a0001" must not match "a00010".
        std::string tag = GetCommandTag();
        bool own = StartsWithNoCase(line, tag) && line.size() > tag.size() && line[tag.size()] == ' ';
        // Before TLS, a tagged answer that is not ours is an attacker's: it ends STARTTLS as refused.
        if (!own && inStartTls_ && line[0] != '*') return IMAP_BAD;
        if (!own) return 0;
    }
    if (word == "OK") return IMAP_OK;
    if (word == "NO") return IMAP_NO;
    if (word == "BAD") return IMAP_BAD;
    if (word == "PREAUTH") return IMAP_PREAUTH;
    if (word == "BYE") return IMAP_BYE;
    return 0;
}

std::int64_t TixImap4::GetLiteralSize(const std::string& line) {
    if (line.size() < 3 || line.back() != '}') return -1;
    std::size_t open = line.rfind('{');
    if (open == std::string::npos) return -1;
    std::size_t end = line.size() - 1;
    if (end > open + 1 && line[end - 1] == '+') --end;  // non-synchronizing form
    if (end == open + 1) return -1;
    std::int64_t size = 0;
    for (std::size_t i = open + 1; i < end; ++i) {
        char c = line[i];
        if (c < '0' || c > '9') return -1;
        // An absurd size is kept huge so that the response limit refuses it.
        if (size > (std::numeric_limits<std::int64_t>::max() - 9) / 10)
            return std::numeric_limits<std::int64_t>::max();
        size = size * 10 + (c - '0');
    }
    return size;
}

void TixImap4::WaitResponse(const TixResponseCodes& expectedCodes) {
    struct Detach {
        TixImap4& client;
        ~Detach() { client.DetachProgress(); }
    } detach{*this};
    if (TotalMessageSize > 0) {
        AttachProgress();
        GetConnection().InitProgress(0, TotalMessageSize);
    }
    try {
        TixCustomMail::WaitResponse(expectedCodes);
    } catch (const EixTcpClientError&) {
        throw;
    } catch (const EixCodedError&) {
        // A server that says BYE and closes has given its answer: that, not the closed socket,
        // is the command's outcome.
        if (Active()) throw;
        TixStringList& response = ResponseList();
        for (int i = 0; i < response.Count(); ++i)
            if (response.Objects(i) != IX_LITERAL_LINE && StartsWithNoCase(response.Strings(i), "* BYE"))
                throw EixTcpClientError(Trim(response.Strings(i)), IMAP_BYE);
        throw;
    }
    DoProgress(TotalMessageSize, TotalMessageSize);
}

void TixImap4::BeginSession() {
    // The greeting and login are one exchange: the keep-alive must not cut in.
    TixExchangeGuard guard(*this);
    WaitResponse({IMAP_OK, IMAP_PREAUTH});
    CommandTagNumber = 0;
    tlsCapabilitiesFresh_ = false;
    if (IsStartTlsNeeded()) CheckStartTlsOffered();
    StartTlsIfNeeded();
    LoginStage();
}

void TixImap4::CheckStartTlsOffered() {
    if (LastResponseCode() == IMAP_PREAUTH) throw EixImap4Error(IX_IMAP_TLS_PREAUTH);
    // The greeting's CAPABILITY code spares a round trip; without one, ask.
    TixStringList capabilities;
    for (int i = 0; i < ResponseList().Count(); ++i) {
        const std::string& line = ResponseList().Strings(i);
        std::string upper = UpperCase(line);
        std::size_t open = upper.find("[CAPABILITY ");
        if (open == std::string::npos) continue;
        std::size_t close = upper.find(']', open);
        std::string_view list =
            std::string_view(line).substr(open + 12, close == upper.npos ? upper.npos : close - open - 12);
        while (!list.empty()) {
            std::size_t space = list.find(' ');
            if (space != 0) capabilities.Add(std::string(list.substr(0, space)));
            if (space == std::string_view::npos) break;
            list.remove_prefix(space + 1);
        }
    }
    if (capabilities.Count() == 0) GetCapabilities(capabilities);
    if (capabilities.IndexOf("STARTTLS") < 0) throw EixImap4Error(IX_IMAP_TLS_UNAVAILABLE);
}

void TixImap4::EndSession() {
    Logout();
}

void TixImap4::InternalClose(bool notify) {
    // However the connection ends (LOGOUT, a dropped peer, a failed greeting), the session is over.
    try {
        TixCustomMail::InternalClose(notify);
    } catch (...) {
        ConnectionState = State::csNonAuthenticated;
        throw;
    }
    ConnectionState = State::csNonAuthenticated;
}

void TixImap4::LoginStage() {
    CommandTagNumber = 0;
    if (LastResponseCode() == IMAP_OK) {
        if (UseSasl())
            Authenticate();
        else
            Login();
        ConnectionState = State::csAuthenticated;
    } else if (LastResponseCode() == IMAP_PREAUTH) {
        ConnectionState = State::csAuthenticated;
    }
}

void TixImap4::GetCapabilities(TixStringList& list) {
    list.Clear();
    SendTaggedCommand("CAPABILITY", {IMAP_OK});
    TixStringList& response = ResponseList();
    for (int i = 0; i < response.Count(); ++i) {
        if (response.Objects(i) == IX_LITERAL_LINE) continue;
        const std::string& line = response.Strings(i);
        if (!StartsWithNoCase(line, "* CAPABILITY ")) continue;
        std::string_view rest = std::string_view(line).substr(13);
        while (!rest.empty()) {
            std::size_t space = rest.find(' ');
            std::string_view item = rest.substr(0, space);
            if (!item.empty()) list.Add(std::string(item));
            if (space == std::string_view::npos) break;
            rest.remove_prefix(space + 1);
        }
    }
}

std::string TixImap4::MaskCommand(const std::string& line) {
    if (Trim(line).empty()) return line;
    std::string tag = GetCommandTag() + " ";
    if (!StartsWithNoCase(line, tag)) return "****\r\n";
    // The user name, as this client quoted it, is no secret.
    std::string login = tag + "LOGIN " + ImapQuote(UserName()) + " ";
    if (!NeedsLiteral(UserName()) && StartsWithNoCase(line, login)) return login + "****\r\n";
    std::string_view rest = std::string_view(line).substr(tag.size());
    std::size_t command = rest.find(' ');
    std::size_t kept = command;
    if (command != std::string_view::npos && StartsWithNoCase(rest, "AUTHENTICATE "))
        kept = rest.find(' ', command + 1);
    if (kept == std::string_view::npos) return Trim(line) + "\r\n";
    return tag + std::string(rest.substr(0, kept)) + " ****\r\n";
}

void TixImap4::Login() {
    TixCredentialScope credentials(*this);
    if (Password().empty())
        SendTaggedCommandWithArguments({"LOGIN ", UserName()}, {IMAP_OK});
    else
        SendTaggedCommandWithArguments({"LOGIN ", UserName(), " ", Password()}, {IMAP_OK});
}

void TixImap4::Logout() {
    if (ConnectionState == State::csAuthenticated || ConnectionState == State::csSelected) {
        try {
            SendTaggedCommand("LOGOUT", {IMAP_OK});
        } catch (const EixSocketError&) {
            // Closing never fails because the server has gone.
        }
    }
    ConnectionState = State::csNonAuthenticated;
}

void TixImap4::Noop() {
    SendTaggedCommand("NOOP", {IMAP_OK});
}

void TixImap4::DoKeepAlive() {
    // A NOOP inside a running exchange would read that exchange's answer as its own.
    if (InExchange() || !Active()) return;
    Noop();
}

void TixImap4::StartTls() {
    try {
        {
            struct Scope {
                bool& flag;
                ~Scope() { flag = false; }
            } scope{inStartTls_};
            inStartTls_ = true;
            try {
                SendTaggedCommand("STARTTLS", {IMAP_OK});
            } catch (const EixImap4Error&) {
                throw;
            } catch (const EixTcpClientError& e) {
                // NO, BAD, a continuation or a stranger's tag: a stripped STARTTLS, not a wrong password.
                if (e.ErrorCode() <= 0) throw;
                throw EixImap4Error(std::string(ImapErrorText(IX_IMAP_TLS_REFUSED)) + " (" + e.what() + ")",
                                    IX_IMAP_TLS_REFUSED);
            }
        }
        // Whatever came with or after the OK was sent in the clear by whoever sits in the middle.
        if (HasUnreadResponseData()) throw EixImap4Error(IX_IMAP_TLS_INJECTION);
        DiscardResponseData();
    } catch (...) {
        CloseAbandoned();
        throw;
    }
    TixCustomMail::StartTls();
    // Nothing learned in the clear counts: ask again over TLS.
    tlsCapabilities_.Clear();
    GetCapabilities(tlsCapabilities_);
    tlsCapabilitiesFresh_ = true;
}

void TixImap4::CheckConnectionState(std::initializer_list<TixImap4ConnectionState> allowed) {
    CheckNoCallback();
    if (std::find(allowed.begin(), allowed.end(), ConnectionState) != allowed.end()) return;
    if (!autoReconnect_) throw EixImap4Error(IX_IMAP_INVALID_STATE);
    if (!Active())
        Open();
    else
        LoginStage();
}

// ---- Mailboxes ----

void TixImap4::SendMailBoxCommand(const std::string& command, const std::string& name) {
    // The encoded name is printable ASCII, so quoting is all it needs.
    SendTaggedCommand(command + " %s", {ImapQuote(TixImapUtf7Encoder::Encode(name))}, {IMAP_OK});
}

void TixImap4::SelectMailBox(const std::string& name) {
    CheckConnectionState({State::csAuthenticated, State::csSelected});
    try {
        SendMailBoxCommand("SELECT", name);
        ParseSelectResponse(name);
        ConnectionState = State::csSelected;
    } catch (const EixSocketError&) {
        currentMailBox_.Clear();
        ConnectionState = State::csAuthenticated;
        throw;
    }
}

void TixImap4::ParseSelectResponse(const std::string& name) {
    currentMailBox_.Clear();
    currentMailBox_.Name = name;
    TixStringList& response = ResponseList();
    for (int i = 0; i < response.Count(); ++i) {
        if (response.Objects(i) == IX_LITERAL_LINE) continue;
        const std::string line = UpperCase(response.Strings(i));
        auto has = [&](const char* text) { return line.find(text) != std::string::npos; };
        auto numberBefore = [&](const char* word) {
            std::size_t pos = line.find(word);
            return pos > 2 ? ToInt(std::string_view(line).substr(2, pos - 2)) : 0;
        };
        auto flagsFrom = [&](const char* word) {
            std::size_t pos = line.find(word);
            std::size_t close = line.find(')', pos);
            return TextToFlags(
                line.substr(pos, close == std::string::npos ? std::string::npos : close - pos));
        };
        if (has("EXISTS")) {
            currentMailBox_.ExistsMessages = numberBefore("EXISTS");
        } else if (!has("FLAGS") && has("RECENT")) {
            currentMailBox_.RecentMessages = numberBefore("RECENT");
        } else if (has("[UNSEEN")) {
            std::size_t pos = line.find("[UNSEEN") + 7;
            std::size_t close = line.find(']');
            currentMailBox_.FirstUnseen = close != std::string::npos && close > pos
                                              ? ToInt(std::string_view(line).substr(pos, close - pos))
                                              : 0;
        } else if (has("[READ-WRITE]")) {
            currentMailBox_.ReadOnly = false;
        } else if (has("[READ-ONLY]")) {
            currentMailBox_.ReadOnly = true;
        } else if (!has("[PERMANENTFLAGS") && has("FLAGS")) {
            currentMailBox_.Flags = flagsFrom("FLAGS");
        } else if (has("[PERMANENTFLAGS")) {
            currentMailBox_.PermanentFlags = flagsFrom("[PERMANENTFLAGS");
        }
        std::size_t validity = line.find("[UIDVALIDITY");
        if (validity != std::string::npos) {
            validity += 12;
            std::size_t close = line.find(']', validity);
            currentMailBox_.UIDValidity = Trim(std::string_view(line).substr(
                validity, close == std::string::npos ? line.npos : close - validity));
        }
    }
}

void TixImap4::CreateMailBox(const std::string& name) {
    std::string trimmed = Trim(name);
    if (trimmed.empty() || trimmed[0] == MailBoxSeparator) throw EixImap4Error(IX_IMAP_INVALID_MAILBOX_NAME);
    CheckConnectionState({State::csAuthenticated, State::csSelected});
    SendMailBoxCommand("CREATE", name);
}

void TixImap4::DeleteMailBox(const std::string& name) {
    CheckConnectionState({State::csAuthenticated, State::csSelected});
    SendMailBoxCommand("DELETE", name);
}

void TixImap4::SubscribeMailBox(const std::string& name) {
    CheckConnectionState({State::csAuthenticated, State::csSelected});
    SendMailBoxCommand("SUBSCRIBE", name);
}

void TixImap4::UnsubscribeMailBox(const std::string& name) {
    CheckConnectionState({State::csAuthenticated, State::csSelected});
    SendMailBoxCommand("UNSUBSCRIBE", name);
}

void TixImap4::GetMailBoxes(TixStringList& list) {
    GetMailBoxes(list, "", "*");
}

void TixImap4::GetMailBoxes(TixStringList& list, const std::string& reference, const std::string& pattern) {
    ListMailBoxes("LIST", list, reference, pattern);
}

void TixImap4::GetSubscribedMailBoxes(TixStringList& list) {
    GetSubscribedMailBoxes(list, "", "*");
}

void TixImap4::GetSubscribedMailBoxes(TixStringList& list, const std::string& reference,
                                      const std::string& pattern) {
    ListMailBoxes("LSUB", list, reference, pattern);
}

void TixImap4::ListMailBoxes(const char* command, TixStringList& list, const std::string& reference,
                             const std::string& pattern) {
    CheckConnectionState({State::csAuthenticated, State::csSelected});
    SendTaggedCommandWithArguments(
        {std::string(command) + " ", reference, " ", TixImapUtf7Encoder::Encode(pattern)}, {IMAP_OK});
    list.Clear();
    const std::string prefix = std::string("* ") + command + " ";
    TixStringList& response = ResponseList();
    for (int i = 0; i < response.Count(); ++i) {
        if (response.Objects(i) == IX_LITERAL_LINE || !StartsWithNoCase(response.Strings(i), prefix))
            continue;
        std::string name = ParseMailBoxLine(i);
        if (!name.empty()) list.Add(name);
    }
}

std::string TixImap4::ParseMailBoxLine(int index) {
    TixStringList& response = ResponseList();
    const std::string& line = response.Strings(index);
    MailBoxSeparator = '\0';
    std::size_t pos = line.find(')');
    if (pos == std::string::npos) return {};
    ++pos;
    auto skipBlanks = [&] {
        while (pos < line.size() && line[pos] == ' ')
            ++pos;
    };
    skipBlanks();
    // The delimiter: a quoted character (possibly escaped) or NIL.
    if (pos < line.size() && line[pos] == '"') {
        std::string delimiter = ImapUnquote(line, pos);
        if (!delimiter.empty()) MailBoxSeparator = delimiter[0];
    } else if (StartsWithNoCase(std::string_view(line).substr(pos), "NIL")) {
        pos += 3;
    }
    skipBlanks();
    if (pos >= line.size()) return {};
    std::string name;
    if (line[pos] == '"') {
        name = ImapUnquote(line, pos);
    } else if (line[pos] == '{' && GetLiteralSize(line) >= 0) {
        // The name came as a literal: its bytes are the lines that follow.
        for (int i = index + 1; i < response.Count() && response.Objects(i) == IX_LITERAL_LINE; ++i) {
            if (i > index + 1) name += "\r\n";
            name += response.Strings(i);
        }
    } else {
        name = Trim(std::string_view(line).substr(pos));
    }
    return TixImapUtf7Encoder::Decode(name);
}

void TixImap4::CloseMailBox() {
    CheckConnectionState({State::csAuthenticated, State::csSelected});
    SendTaggedCommand("CLOSE", {IMAP_OK});
    currentMailBox_.Clear();
    ConnectionState = State::csAuthenticated;
}

// ---- Messages ----

namespace {

void CheckMessageNumber(int number) {
    if (number < 1) throw EixImap4Error(IX_IMAP_INVALID_MESSAGE_NUMBER);
}

// Digits at pos as a 64-bit number; 0 when there are none or they overflow.
std::int64_t DigitsAt(std::string_view text, std::size_t pos) {
    if (pos > text.size()) return 0;
    std::size_t end = pos;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9')
        ++end;
    std::int64_t value = 0;
    auto [ptr, error] = std::from_chars(text.data() + pos, text.data() + end, value);
    (void)ptr;
    return error == std::errc() ? value : 0;
}

}  // namespace

int TixImap4::ParseFetchLine(const std::string& line) {
    std::size_t pos = UpperCase(line).find(" FETCH");
    if (pos == std::string::npos || pos < 3) return 0;
    return ToInt(std::string_view(line).substr(1, pos - 1));
}

std::string TixImap4::ParseAppendUid(const std::string& line) {
    std::size_t pos = UpperCase(line).find("APPENDUID ");
    if (pos == std::string::npos) return {};
    std::string_view rest = std::string_view(line).substr(pos + 10, 1000);
    std::vector<std::string_view> words;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= rest.size(); ++i) {
        if (i < rest.size() && rest[i] != ' ' && rest[i] != ']') continue;
        if (i > start) words.push_back(rest.substr(start, i - start));
        start = i + 1;
    }
    return words.size() >= 2 ? Trim(words[1]) : std::string();
}

void TixImap4::SearchMessages(const std::string& criteria, TixStringList& list) {
    // Criteria go out as they stand; a line break would start a command of its own.
    if (HasLineBreakOrNul(criteria)) throw EixImap4Error(IX_IMAP_INVALID_ARGUMENTS);
    CheckConnectionState({State::csSelected});
    SendTaggedCommand("SEARCH %s", {criteria}, {IMAP_OK});
    list.Clear();
    TixStringList& response = ResponseList();
    for (int i = 0; i < response.Count(); ++i) {
        const std::string& line = response.Strings(i);
        if (response.Objects(i) == IX_LITERAL_LINE || !StartsWithNoCase(line, "* SEARCH")) continue;
        std::string_view rest = std::string_view(line).substr(8);
        while (!rest.empty()) {
            std::size_t space = rest.find(' ');
            std::string item = Trim(rest.substr(0, space));
            if (!item.empty()) list.Add(std::move(item));
            if (space == std::string_view::npos) break;
            rest.remove_prefix(space + 1);
        }
    }
}

TixMailMessageFlags TixImap4::GetMessageFlags(int number) {
    CheckMessageNumber(number);
    CheckConnectionState({State::csAuthenticated, State::csSelected});
    SendTaggedCommand("FETCH %d (FLAGS)", {std::to_string(number)}, {IMAP_OK});
    TixMailMessageFlags flags;
    TixStringList& response = ResponseList();
    for (int i = 0; i < response.Count(); ++i) {
        if (response.Objects(i) == IX_LITERAL_LINE || ParseFetchLine(response.Strings(i)) != number) continue;
        std::string line = UpperCase(response.Strings(i));
        std::size_t pos = line.find("FLAGS");
        if (pos != std::string::npos) {
            std::size_t close = line.find(')', pos);
            flags = TextToFlags(line.substr(pos, close == std::string::npos ? line.npos : close - pos));
        }
        break;
    }
    CurrentMessage = number;
    return flags;
}

std::int64_t TixImap4::GetMessageSize(int number) {
    CheckMessageNumber(number);
    CheckConnectionState({State::csAuthenticated, State::csSelected});
    SendTaggedCommand("FETCH %d (RFC822.SIZE)", {std::to_string(number)}, {IMAP_OK});
    std::int64_t size = 0;
    TixStringList& response = ResponseList();
    for (int i = 0; i < response.Count(); ++i) {
        if (response.Objects(i) == IX_LITERAL_LINE || ParseFetchLine(response.Strings(i)) != number) continue;
        std::string line = UpperCase(response.Strings(i));
        std::size_t pos = line.find("RFC822.SIZE ");
        if (pos != std::string::npos) size = DigitsAt(line, pos + 12);
        break;
    }
    CurrentMessage = number;
    return size;
}

bool TixImap4::ParseMessage(int number) {
    TixStringList& response = ResponseList();
    if (response.Count() < 4) return false;
    // The FETCH line of this message that announces a literal; other FETCH lines (an unsolicited
    // flag change, say) may come first.
    int first = -1;
    std::int64_t size = 0;
    for (int i = 0; i < response.Count() && first < 0; ++i) {
        if (response.Objects(i) == IX_LITERAL_LINE) continue;
        const std::string& line = response.Strings(i);
        if (ParseFetchLine(line) != number) continue;
        std::size_t close = line.rfind('}');
        std::size_t open = close == std::string::npos ? close : line.rfind('{', close);
        if (open == std::string::npos) continue;
        std::string_view digits = std::string_view(line).substr(open + 1, close - open - 1);
        if (digits.empty() || DigitsAt(digits, 0) <= 0 ||
            digits.find_first_not_of("0123456789") != std::string_view::npos)
            continue;
        first = i;
        size = DigitsAt(digits, 0);
    }
    if (first < 0) return false;

    // The command client counted each literal line's bytes as they came off the wire, line
    // breaks of any kind included: the literal is exactly the announced bytes.
    const std::string charSet = CharSet();
    auto wireLength = [&](std::string_view line) -> std::int64_t {
        if (charSet.empty()) return static_cast<std::int64_t>(line.size());
        return TixTranslator::GetByteCount(line, charSet);
    };
    response.BeginUpdate();
    struct EndUpdate {
        TixStringList& list;
        ~EndUpdate() { list.EndUpdate(); }
    } endUpdate{response};
    std::int64_t bytes = 0;
    const int keep = LiteralLines(first + 1, size, bytes);
    if (keep > 0) {
        // The literal may end inside its last line, before the protocol text that follows it.
        const int last = first + keep;
        const std::string_view line = response.View(last);
        if (bytes < wireLength(line)) {
            std::string cut(line.substr(0, static_cast<std::size_t>(bytes)));
            if (!charSet.empty()) {
                // Cut by wire bytes, then back to local text.
                TixByteArray wire = TixTranslator::GetBytes(line, charSet);
                wire.resize(static_cast<std::size_t>(bytes));
                cut = TixTranslator::GetString(wire, charSet);
            }
            response.SetString(last, std::move(cut));
        }
    }
    // Whole ranges at once: the message may be a million lines.
    response.DeleteRange(first + keep + 1, response.Count() - (first + keep + 1));
    response.DeleteRange(0, first + 1);
    return true;
}

void TixImap4::RetrieveHeader(int number, TixMailMessage* message) {
    CheckMessageNumber(number);
    CheckConnectionState({State::csAuthenticated, State::csSelected});
    SendTaggedCommand("FETCH %d (BODY.PEEK[HEADER])", {std::to_string(number)}, {IMAP_OK});
    if (ParseMessage(number) && message) message->LoadHeader(ResponseList());
    CurrentMessage = number;
}

void TixImap4::RetrieveHeader(int number) {
    RetrieveHeader(number, MailMessage());
}

void TixImap4::RetrieveMessage(int number, TixMailMessage* message) {
    CheckMessageNumber(number);
    CheckConnectionState({State::csAuthenticated, State::csSelected});
    struct ResetSize {
        int& size;
        ~ResetSize() { size = 0; }
    } resetSize{TotalMessageSize};
    TotalMessageSize = 0;
    if (OnProgress) {
        std::int64_t size = GetMessageSize(number);
        TotalMessageSize =
            static_cast<int>(std::clamp<std::int64_t>(size, 0, std::numeric_limits<int>::max()));
    }
    SendTaggedCommand("FETCH %d (BODY.PEEK[])", {std::to_string(number)}, {IMAP_OK});
    TotalMessageSize = 0;
    if (ParseMessage(number) && message) message->LoadMessage(ResponseList());
    CurrentMessage = number;
}

void TixImap4::RetrieveMessage(int number) {
    RetrieveMessage(number, MailMessage());
}

void TixImap4::SetMessageFlags(int number, TixSetFlagsMethod method, TixMailMessageFlags flags) {
    CheckMessageNumber(number);
    CheckConnectionState({State::csAuthenticated, State::csSelected});
    const char* prefix = method == TixSetFlagsMethod::fmAdd      ? "+"
                         : method == TixSetFlagsMethod::fmRemove ? "-"
                                                                 : "";
    SendTaggedCommand("STORE %d %sFLAGS.SILENT (%s)", {std::to_string(number), prefix, FlagsToText(flags)},
                      {IMAP_OK});
    CurrentMessage = number;
}

void TixImap4::DeleteMessage(int number) {
    SetMessageFlags(number, TixSetFlagsMethod::fmAdd, {TixMailMessageFlag::mfDeleted});
}

void TixImap4::CopyMessage(int number, const std::string& mailBox) {
    CheckMessageNumber(number);
    CheckConnectionState({State::csAuthenticated, State::csSelected});
    SendTaggedCommand("COPY %d %s", {std::to_string(number), ImapQuote(TixImapUtf7Encoder::Encode(mailBox))},
                      {IMAP_OK});
    CurrentMessage = number;
}

std::string TixImap4::AppendMessage(const std::string& mailBox, const TixStringList& lines,
                                    TixMailMessageFlags flags) {
    if (Trim(mailBox).empty()) throw EixImap4Error(IX_IMAP_INVALID_ARGUMENTS);
    // A literal may hold any byte but NUL.
    for (int i = 0; i < lines.Count(); ++i)
        if (lines.View(i).find('\0') != std::string_view::npos)
            throw EixImap4Error(IX_IMAP_INVALID_ARGUMENTS);
    CheckConnectionState({State::csAuthenticated, State::csSelected});

    std::string flagsPart = FlagsToText(flags);
    if (!flagsPart.empty()) flagsPart = "(" + flagsPart + ") ";
    // The literal is counted in the bytes that go on the wire, after charset conversion.
    std::int64_t size = 0;
    std::string line;  // one string reused: the lines are read as views, not made strings each
    for (int i = 0; i < lines.Count(); ++i) {
        line.assign(lines.View(i));
        std::string charSet = GetCommandCharSet(line);
        size += (charSet.empty() ? static_cast<std::int64_t>(line.size())
                                 : TixTranslator::GetByteCount(line, charSet)) +
                2;
    }
    line = "APPEND " + ImapQuote(TixImapUtf7Encoder::Encode(mailBox)) + " " + flagsPart + "{" +
           std::to_string(size) + "}";

    // One tagged exchange from the command line to the completion: untagged lines between never end it.
    TixTaggedScope scope{isTaggedCommand_, isFetchCommand_};
    isFetchCommand_ = false;
    isTaggedCommand_ = true;
    TixExchangeGuard guard(*this);
    line = GetNextCommandTag() + " " + line;
    SendCommand(line);
    WaitResponse({IMAP_CONTINUE});
    SendMultipleLines(lines, "\r\n");
    WaitResponse({IMAP_OK});

    // The identifier belongs to the command's completion line; untagged lines never carry it.
    TixStringList& response = ResponseList();
    const std::string tag = GetCommandTag() + " ";
    for (int i = response.Count() - 1; i >= 0; --i)
        if (response.Objects(i) != IX_LITERAL_LINE && StartsWithNoCase(response.Strings(i), tag))
            return ParseAppendUid(response.Strings(i));
    return {};
}

std::string TixImap4::AppendMessage(const std::string& mailBox, TixMailMessage* message,
                                    TixMailMessageFlags flags) {
    if (!message || Trim(mailBox).empty()) throw EixImap4Error(IX_IMAP_INVALID_ARGUMENTS);
    return AppendMessage(mailBox, message->MessageSource(), flags);
}

std::string TixImap4::AppendMessage(const std::string& mailBox, TixMailMessageFlags flags) {
    return AppendMessage(mailBox, MailMessage(), flags);
}

// ---- SASL ----

std::string TixImap4::ContinuationText() {
    TixStringList& response = ResponseList();
    for (int i = response.Count() - 1; i >= 0; --i) {
        const std::string& line = response.Strings(i);
        if (response.Objects(i) != IX_LITERAL_LINE && !line.empty() && line[0] == '+')
            return line.size() > 2 ? line.substr(2) : std::string();
    }
    return {};
}

void TixImap4::SendContinuation(const std::string& line, const TixResponseCodes& expectedCodes) {
    TixCredentialScope credentials(*this);
    // The answer belongs to the AUTHENTICATE command: its tag still ends the wait.
    TixTaggedScope scope{isTaggedCommand_, isFetchCommand_};
    isTaggedCommand_ = true;
    SendCommandSync(line, expectedCodes);
}

void TixImap4::Authenticate() {
    TixStringList capabilities;
    if (tlsCapabilitiesFresh_)
        capabilities.Assign(tlsCapabilities_);
    else
        GetCapabilities(capabilities);
    tlsCapabilitiesFresh_ = false;
    auto offers = [&](const char* name) { return capabilities.IndexOf(name) >= 0; };
    if (!Authorization().empty() && offers("AUTH=XOAUTH2") && offers("SASL-IR"))
        AuthenticateXOAuth2();
    else if (offers("AUTH=NTLM"))
        AuthenticateNtlm();
    else if (offers("AUTH=CRAM-MD5"))
        AuthenticateCramMd5();
    else if (offers("AUTH=PLAIN"))
        AuthenticatePlain();
    else if (SaslOnly())
        throw EixImap4Error(IX_IMAP_SASL_FAILED);
    else
        Login();
}

void TixImap4::AuthenticateXOAuth2() {
    {
        TixCredentialScope credentials(*this);
        SendTaggedCommand("AUTHENTICATE XOAUTH2 %s", {GetXOAuth2Credentials()}, {IMAP_OK, IMAP_CONTINUE});
    }
    if (LastResponseCode() != IMAP_CONTINUE) return;
    // The server's error challenge: an empty answer makes it send its final refusal.
    SendContinuation("", {});
}

std::unique_ptr<TixNtAuthSspi> TixImap4::CreateNtAuthClient() {
    return std::make_unique<TixNtAuthClientSspi>();
}

void TixImap4::AuthenticateNtlm() {
    std::unique_ptr<TixNtAuthSspi> client = CreateNtAuthClient();
    std::optional<TixAuthIdentity> identity;
    if (!UserName().empty()) identity.emplace(UserName(), Password());
    const TixAuthIdentity* credentials = identity ? &*identity : nullptr;
    TixMemoryStream buffer;
    auto token = [&buffer] {
        return TixEncoder::EncodeBytes(TixByteArray(buffer.Memory(), buffer.Memory() + buffer.Size()),
                                       cmBase64);
    };
    // The first token comes before the command, so a provider failure (no user name) sends nothing.
    bool complete = client->GetNextToken("NTLM", buffer, credentials, Server());
    SendTaggedCommand("AUTHENTICATE NTLM", {IMAP_CONTINUE});
    while (!complete) {
        SendContinuation(token(), {IMAP_CONTINUE});
        TixByteArray challenge = TixEncoder::DecodeBytes(ContinuationText(), cmBase64);
        // An empty buffer would start the exchange over, and a server could keep it going forever.
        if (challenge.empty()) throw EixSSPIError("Invalid NTLM challenge: empty", IX_SEC_E_INVALID_TOKEN);
        buffer.SetSize(0);
        buffer.Write(challenge.data(), challenge.size());
        buffer.SetPosition(0);
        complete = client->GetNextToken("NTLM", buffer, credentials, Server());
    }
    if (buffer.Size() > 0) SendContinuation(token(), {IMAP_OK});
}

void TixImap4::AuthenticateCramMd5() {
    SendTaggedCommand("AUTHENTICATE CRAM-MD5", {IMAP_CONTINUE});
    TixByteArray challenge = TixEncoder::DecodeBytes(ContinuationText(), cmBase64);
    std::string digest = HmacMd5Hex(std::string(challenge.begin(), challenge.end()), Password());
    std::string answer = UserName() + " " + digest;
    SendContinuation(TixEncoder::EncodeBytes(TixByteArray(answer.begin(), answer.end()), cmBase64),
                     {IMAP_OK});
}

void TixImap4::AuthenticatePlain() {
    SendTaggedCommand("AUTHENTICATE PLAIN", {IMAP_CONTINUE});
    TixByteArray message{0};
    TixByteArray user = TixTranslator::GetBytes(UserName(), "utf-8");
    TixByteArray password = TixTranslator::GetBytes(Password(), "utf-8");
    message.insert(message.end(), user.begin(), user.end());
    message.push_back(0);
    message.insert(message.end(), password.begin(), password.end());
    SendContinuation(TixEncoder::EncodeBytes(message, cmBase64), {IMAP_OK});
}

}  // namespace ix
