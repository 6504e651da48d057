#include "mail/ixEmailAddress.h"

#include <algorithm>

#include "base/ixError.h"
#include "base/ixStringList.h"
#include "mail/ixHeaderFieldList.h"

namespace ix {

namespace {

// Local stand-ins for three small text utilities, kept private until the text subsystem's
// versions are linked in.
bool IsBasicText(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 128; });
}

std::string QuotedText(std::string_view text) {
    if (!text.empty() && (text.front() == '"' || text.back() == '"')) return std::string(text);
    return "\"" + std::string(text) + "\"";
}

std::string StripPair(std::string_view text, char open, char close) {
    if (text.size() >= 2 && text.front() == open && text.back() == close)
        return std::string(text.substr(1, text.size() - 2));
    return std::string(text);
}

std::string Trim(std::string_view text) {
    return TrimHeaderText(text);
}

bool IsAddressChar(char c, bool basic) {
    if (!basic) return c != '<' && c != '>';
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-/=?_`{}|~^.@\"").find(c) != std::string_view::npos;
}

std::string QuoteName(std::string_view name) {
    std::string result(name);
    if (result.find_first_of("\"()\\") != std::string::npos) {
        std::string escaped;
        for (char c : result) {
            if (c == '"' || c == '(' || c == ')' || c == '\\') escaped += '\\';
            escaped += c;
        }
        // Always wrap: the escaped text may begin or end with an escaped quote.
        return "\"" + escaped + "\"";
    }
    // Any RFC 5322 special in a display name needs quoting, or the name reads as several
    // addresses or as a group elsewhere.
    if (result.find_first_of(" ,;:<>@[].") != std::string::npos) result = QuotedText(result);
    return result;
}

std::size_t FindNoCase(std::string_view text, std::string_view what) {
    if (what.empty() || what.size() > text.size()) return std::string_view::npos;
    const std::string lowText = LowerCase(text), lowWhat = LowerCase(what);
    const auto pos = lowText.find(lowWhat);
    return pos == std::string::npos ? std::string_view::npos : pos;
}

std::string ExtractName(std::string_view text, std::string_view email) {
    std::string work(text);
    const std::string bracketed = "<" + std::string(email) + ">";
    auto pos = FindNoCase(work, bracketed);
    if (pos != std::string_view::npos) {
        work.erase(pos, bracketed.size());
    } else if (!email.empty() && (pos = work.find(email)) != std::string::npos) {
        work.erase(pos, email.size());
    }
    // A quoted display name is taken literally; only an unquoted one may be a comment "(John)"
    // or carry stray apostrophes around it.
    const std::string trimmedWork = Trim(work);
    const bool quoted = !trimmedWork.empty() && trimmedWork.front() == '"';
    std::string name;
    for (std::size_t i = 0; i < work.size(); ++i) {
        const char c = work[i];
        if (c == '\\' && i + 1 < work.size()) {
            name += work[++i];
        } else if (c == '"') {
            name += ' ';
        } else if (c != '\\') {
            name += c;
        }
    }
    name = Trim(name);
    if (quoted) return name;
    name = StripPair(name, '\'', '\'');
    name = StripPair(name, '(', ')');
    return name;
}

bool IsWsp(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Copies text[i], a character inside a quoted string, and the character a backslash there quotes
// (advancing i past it); answers whether the quoted string goes on after it.
bool CopyQuoted(std::string_view text, std::size_t& i, std::string& out) {
    const char c = text[i];
    out += c;
    if (c == '\\' && i + 1 < text.size()) {
        out += text[++i];
        return true;
    }
    return c != '"';
}

// Obsolete forms reduced (RFC 5322 section 4.4): inside angle brackets a source route
// ("@a,@b:") is dropped and white space goes; a bare address loses the white space around its
// dots and "@". Quoted strings are kept as they are.
std::string ReduceObsolete(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool inQuote = false, inAngle = false;
    std::size_t angleStart = 0;
    const bool bare = [&] {
        bool q = false;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && q)
                ++i;
            else if (text[i] == '"')
                q = !q;
            else if (text[i] == '<' && !q)
                return false;
        }
        return true;
    }();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inQuote) {
            inQuote = CopyQuoted(text, i, out);
            continue;
        }
        if (c == '"') {
            inQuote = true;
        } else if (c == '<') {
            inAngle = true;
            angleStart = out.size() + 1;
        } else if (c == '>' && inAngle) {
            inAngle = false;
            if (angleStart < out.size() && out[angleStart] == '@') {
                const auto colon = out.find(':', angleStart);
                if (colon != std::string::npos) out.erase(angleStart, colon + 1 - angleStart);
            }
        } else if (IsWsp(c)) {
            if (inAngle) continue;
            if (bare) {
                std::size_t next = i;
                while (next < text.size() && IsWsp(text[next]))
                    ++next;
                const bool besideDot = (!out.empty() && (out.back() == '.' || out.back() == '@')) ||
                                       (next < text.size() && (text[next] == '.' || text[next] == '@'));
                if (besideDot) {
                    i = next - 1;
                    continue;
                }
            }
        }
        out += c;
    }
    return out;
}

// Parses a single address: comments never reach the address or a display name; an address
// without a display name is named by its comments, as RFC 822 readers do.
void SplitAddress(std::string_view text, std::string& name, std::string& email) {
    std::string comments;
    const std::string clean = ReduceObsolete(RemoveAddressComments(text, &comments));
    email = ExtractEmail(clean);
    name = ExtractName(clean, email);
    if (name.empty()) name = Trim(comments);
}

}  // namespace

std::string RemoveAddressComments(std::string_view text, std::string* comments) {
    std::string out;
    out.reserve(text.size());
    bool inQuote = false;
    int depth = 0;
    std::string comment;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (depth > 0) {
            if (c == '\\' && i + 1 < text.size()) {
                comment += text[++i];
            } else if (c == '(') {
                ++depth;
                comment += c;
            } else if (c == ')' && --depth == 0) {
                if (comments != nullptr) {
                    if (!comments->empty()) *comments += ' ';
                    *comments += Trim(comment);
                }
                comment.clear();
                out += ' ';  // a comment separates like white space
            } else {
                comment += c;
            }
            continue;
        }
        if (inQuote) {
            inQuote = CopyQuoted(text, i, out);
        } else if (c == '"') {
            inQuote = true;
            out += c;
        } else if (c == '(') {
            depth = 1;
        } else {
            out += c;
        }
    }
    return out;
}

std::string ExtractEmail(std::string_view text) {
    const bool basic = IsBasicText(text);
    bool inQuote = false, inAngle = false, inComment = false, sawAt = false;
    std::size_t start = std::string_view::npos;
    std::string result;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[i];
        const bool escaped = i > 0 && text[i - 1] == '\\';
        if (!inQuote && !inComment && c == '@' && i > 0 && i + 1 < n && IsAddressChar(text[i - 1], basic) &&
            IsAddressChar(text[i + 1], basic))
            sawAt = true;
        if (c == '"' && !escaped) inQuote = !inQuote;
        if (c == '<' && !escaped) {
            inAngle = true;
            start = std::string_view::npos;
            continue;
        }
        if (inAngle && c == '>' && !escaped) {
            // "<>" is the empty address (a bounce's sender), not the text around it.
            result =
                start == std::string_view::npos ? std::string() : std::string(text.substr(start, i - start));
            inAngle = false;
            start = std::string_view::npos;
        }
        if (!inQuote && c == '(' && !escaped) inComment = true;
        if (inComment && c == ')' && !escaped) inComment = false;
        if (!inQuote && !inAngle && !IsAddressChar(c, basic)) {
            if (sawAt && start != std::string_view::npos) result = std::string(text.substr(start, i - start));
            sawAt = false;
            start = std::string_view::npos;
            continue;
        }
        if (start == std::string_view::npos) start = i;
    }
    if ((sawAt || inAngle) && start != std::string_view::npos && result.empty())
        result = std::string(text.substr(start));
    return result;
}

bool ParseFullAddress(std::string_view text, std::string& name, std::string& email) {
    SplitAddress(text, name, email);
    if (name.empty()) {
        name = email;
        return false;
    }
    return true;
}

std::string BuildFullAddress(std::string_view name, std::string_view email) {
    return TixEmailAddressItem(name, email).FullAddress();
}

TixEmailAddressItem::TixEmailAddressItem() {
    Init();
}

TixEmailAddressItem::TixEmailAddressItem(std::string_view name, std::string_view email)
    : name_(name), email_(email) {
    Init();
}

void TixEmailAddressItem::Init() {
    separator_ = " ";
}

void TixEmailAddressItem::Assign(const TixEmailAddressItem& source) {
    name_ = source.name_;
    email_ = source.email_;
}

void TixEmailAddressItem::Clear() {
    name_.clear();
    email_.clear();
}

std::string TixEmailAddressItem::DisplayName() const {
    return name_.empty() ? email_ : name_;
}

std::string TixEmailAddressItem::FullAddress() const {
    if (!name_.empty() && name_ != email_) return QuoteName(name_) + separator_ + "<" + email_ + ">";
    return email_;
}

void TixEmailAddressItem::SetFullAddress(std::string_view text) {
    SplitAddress(text, name_, email_);
}

TixEmailAddressList::TixEmailAddressList(const TixEmailAddressList& other) : TixObject(other) {
    *this = other;
}

TixEmailAddressList& TixEmailAddressList::operator=(const TixEmailAddressList& other) {
    if (this == &other) return *this;
    items_.clear();
    for (const auto& item : other.items_)
        Add().Assign(*item);
    return *this;
}

TixEmailAddressItem& TixEmailAddressList::Items(int index) {
    if (index < 0 || index >= Count())
        throw EixError("List index out of bounds (" + std::to_string(index) + ")");
    return *items_[static_cast<std::size_t>(index)];
}

const TixEmailAddressItem& TixEmailAddressList::Items(int index) const {
    return const_cast<TixEmailAddressList*>(this)->Items(index);
}

TixEmailAddressItem& TixEmailAddressList::Add() {
    items_.push_back(std::make_unique<TixEmailAddressItem>());
    return *items_.back();
}

TixEmailAddressItem& TixEmailAddressList::Add(std::string_view fullAddress) {
    TixEmailAddressItem& item = Add();
    item.SetFullAddress(fullAddress);
    return item;
}

void TixEmailAddressList::Delete(int index) {
    Items(index);
    items_.erase(items_.begin() + index);
}

std::string TixEmailAddressList::EmailAddresses() const {
    std::string result;
    for (const auto& item : items_) {
        if (!result.empty()) result += ", ";
        result += item->FullAddress();
    }
    return result;
}

void TixEmailAddressList::SetEmailAddresses(std::string_view text) {
    items_.clear();
    std::size_t pieceStart = 0;
    // Only an open double quote protects a separator; an apostrophe (O'Brien) does not.
    bool inDouble = false;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const bool atEnd = i == text.size();
        const char c = atEnd ? '\0' : text[i];
        if (!atEnd && c == '"' && (i == 0 || text[i - 1] != '\\')) {
            inDouble = !inDouble;
        }
        const bool separator = c == ',' || c == ';' || c == '\r';
        if (atEnd || (separator && !inDouble)) {
            const std::string piece = Trim(text.substr(pieceStart, i - pieceStart));
            if (!piece.empty()) Add(piece);
            pieceStart = i + 1;
        }
    }
}

bool TixEmailAddressList::operator==(const TixEmailAddressList& other) const {
    if (Count() != other.Count()) return false;
    for (int i = 0; i < Count(); ++i)
        if (Items(i).Name() != other.Items(i).Name() || Items(i).Email() != other.Items(i).Email())
            return false;
    return true;
}

}  // namespace ix
