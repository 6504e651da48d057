#include "dkim/ixDkimSignature.h"

#include <cmath>
#include <limits>

#include "dkim/ixDkimUtils.h"
#include "text/ixIdnTranslator.h"
#include "text/ixUtils.h"

namespace ix {

namespace {

constexpr double kUnixEpochDays = 25569.0;

TixDateTime UnixToLocal(std::int64_t seconds) {
    return seconds == 0 ? 0 : UnixTimeToLocalDateTime(seconds);
}

std::int64_t LocalToUnix(TixDateTime value) {
    if (value == 0) return 0;
    return std::llround((LocalTimeToGlobalTime(value) - kUnixEpochDays) * 86400.0);
}

bool IsDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// A decimal number; values beyond 64 bits saturate (l= may be longer than any real body).
std::int64_t ReadNumber(std::string_view text) {
    if (!IsDigits(text)) RaiseDkimError(ixcDkimInvalidFormat);
    std::int64_t value = 0;
    for (char c : text) {
        if (value > (std::numeric_limits<std::int64_t>::max() - 9) / 10)
            return std::numeric_limits<std::int64_t>::max();
        value = value * 10 + (c - '0');
    }
    return value;
}

std::int64_t ReadTime(const std::string* text) {
    if (text == nullptr) return 0;
    std::string_view digits = std::string_view(*text).substr(0, 12);
    if (!IsDigits(digits)) return 0;
    return ReadNumber(digits);
}

const std::string& Required(const std::vector<TixDkimTag>& tags, const char* name) {
    const std::string* value = FindDkimTag(tags, name);
    if (value == nullptr || value->empty()) RaiseDkimError(ixcDkimInvalidFormat);
    return *value;
}

std::string DomainOfIdentity(std::string_view identity) {
    std::size_t at = identity.rfind('@');
    return LowerCase(at == std::string_view::npos ? std::string_view() : identity.substr(at + 1));
}

// The identity's domain must be the signing domain or one below it (RFC 6376 section 3.5, i=).
bool IdentityInDomain(std::string_view identity, std::string_view domain) {
    std::string id = DomainOfIdentity(identity);
    std::string d = LowerCase(domain);
    return id == d || (id.size() > d.size() && id.ends_with(d) && id[id.size() - d.size() - 1] == '.');
}

std::vector<std::string> SplitWords(std::string_view text, char separator) {
    std::vector<std::string> words;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find(separator, pos);
        if (end == std::string_view::npos) end = text.size();
        words.emplace_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return words;
}

std::string EncodeIdentity(std::string_view identity) {
    std::size_t at = identity.rfind('@');
    if (at == std::string_view::npos) return DkimQPEncode(identity);
    std::string local(identity.substr(0, at));
    if (!TixIdnTranslator::IsBasicString(local)) local = TixIdnTranslator::EncodeLabel(local);
    return DkimQPEncode(local + "@" + TixIdnTranslator::Encode(identity.substr(at + 1)));
}

// The z= value: folded lines of a copied field are joined with CR LF, fields with "|".
std::string CopiedFieldsValue(const TixStringList& lines) {
    std::vector<std::string> fields;
    for (const auto& item : lines) {
        if (!item.line.empty() && (item.line[0] == ' ' || item.line[0] == '\t') && !fields.empty())
            fields.back() += "\r\n" + item.line;
        else
            fields.push_back(item.line);
    }
    std::string value;
    for (const std::string& field : fields) {
        if (!value.empty()) value += '|';
        // "|" inside a copied field would split it on the way back.
        std::string encoded = DkimQPEncode(field);
        std::string escaped;
        for (char c : encoded)
            escaped += c == '|' ? std::string("=7C") : std::string(1, c);
        value += escaped;
    }
    return value;
}

}  // namespace

TixDateTime TixDkimSignature::SignatureTimestamp() const {
    return UnixToLocal(Timestamp);
}
void TixDkimSignature::SetSignatureTimestamp(TixDateTime value) {
    Timestamp = LocalToUnix(value);
}
TixDateTime TixDkimSignature::SignatureExpiration() const {
    return UnixToLocal(Expiration);
}
void TixDkimSignature::SetSignatureExpiration(TixDateTime value) {
    Expiration = LocalToUnix(value);
}

void TixDkimSignature::Clear() {
    TixDkimSignature empty;
    empty.Version = 0;
    *this = empty;
}

void TixDkimSignature::Parse(const std::string& value) {
    Clear();
    std::vector<TixDkimTag> tags = ParseDkimTagList(value);
    const std::string& v = Required(tags, "v");
    if (!IsDigits(v) || v.size() > 9) RaiseDkimError(ixcDkimInvalidFormat);
    Version = static_cast<int>(ReadNumber(v));
    if (Version == 0) RaiseDkimError(ixcDkimInvalidFormat);
    SignatureAlgorithm = Required(tags, "a");
    if (const std::string* c = FindDkimTag(tags, "c")) Canonicalization = *c;
    Domain = Required(tags, "d");
    Selector = Required(tags, "s");
    for (const std::string& name : SplitWords(Required(tags, "h"), ':')) {
        std::string trimmed = RemoveDkimWhiteSpace(name);
        if (trimmed.empty()) RaiseDkimError(ixcDkimInvalidFormat);
        SignedHeaderFields.Add(trimmed);
    }
    if (const std::string* l = FindDkimTag(tags, "l"); l != nullptr && !l->empty())
        BodyLength = ReadNumber(*l);
    if (const std::string* i = FindDkimTag(tags, "i")) {
        UserIdentity = DkimQPDecode(RemoveDkimWhiteSpace(*i));
        if (!IdentityInDomain(UserIdentity, Domain)) RaiseDkimError(ixcDkimInvalidFormat);
    }
    if (const std::string* q = FindDkimTag(tags, "q")) PublicKeyLocation = *q;
    Timestamp = ReadTime(FindDkimTag(tags, "t"));
    Expiration = ReadTime(FindDkimTag(tags, "x"));
    if (const std::string* z = FindDkimTag(tags, "z")) {
        for (const std::string& piece : SplitWords(RemoveDkimWhiteSpace(*z), '|'))
            CopiedHeaderFields.AddText(DkimQPDecode(piece));
    }
    Signature = RemoveDkimWhiteSpace(Required(tags, "b"));
    BodyHash = RemoveDkimWhiteSpace(Required(tags, "bh"));
}

std::string TixDkimSignature::BuildField(int charsPerLine) const {
    if (Version < 0 || SignatureAlgorithm.empty() || Domain.empty() || Selector.empty() ||
        SignedHeaderFields.Empty() || BodyHash.empty() ||
        (Timestamp > 0 && Expiration > 0 && Timestamp >= Expiration))
        RaiseDkimError(ixcDkimInvalidParameters);
    // Each tag with the points where it may be folded: anywhere in base64 and quoted-printable
    // values, after ":" in h=, nowhere in the others.
    struct Tag {
        std::string text;
        bool foldAnywhere = false;
    };
    std::vector<Tag> tags;
    auto add = [&](const std::string& name, const std::string& value, bool foldAnywhere = false) {
        if (!value.empty()) tags.push_back({name + "=" + value, foldAnywhere});
    };
    add("v", std::to_string(Version));
    add("a", SignatureAlgorithm);
    add("d", TixIdnTranslator::Encode(Domain));
    add("s", Selector);
    add("c", Canonicalization);
    if (BodyLength > 0) add("l", std::to_string(BodyLength));
    add("q", PublicKeyLocation);
    add("i", UserIdentity.empty() ? std::string() : EncodeIdentity(UserIdentity), true);
    if (Timestamp > 0) add("t", std::to_string(Timestamp));
    if (Expiration > 0) add("x", std::to_string(Expiration));
    std::string h;
    for (const auto& item : SignedHeaderFields)
        h += (h.empty() ? "" : ":") + item.line;
    add("h", h);
    add("z", CopiedHeaderFields.Empty() ? std::string() : CopiedFieldsValue(CopiedHeaderFields), true);
    add("bh", BodyHash, true);

    const std::size_t width = charsPerLine > 20 ? static_cast<std::size_t>(charsPerLine) : 76;
    std::string field = "DKIM-Signature:";
    std::size_t lineLength = field.size();
    auto newLine = [&] {
        field += "\r\n\t";
        lineLength = 1;
    };
    for (const Tag& tag : tags) {
        std::string text = tag.text + ";";
        if (lineLength + 1 + text.size() <= width) {
            field += ' ';
            field += text;
            lineLength += 1 + text.size();
            continue;
        }
        newLine();
        // Pieces as long as the line allows, cut where the tag's syntax permits white space.
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t room = width > lineLength ? width - lineLength : 1;
            std::size_t cut = std::min(text.size(), pos + room);
            if (cut < text.size() && !tag.foldAnywhere) {
                std::size_t colon = text.rfind(':', cut - 1);
                cut = colon != std::string::npos && colon >= pos ? colon + 1 : text.find(':', cut);
                if (cut == std::string::npos) cut = text.size();
            }
            field.append(text, pos, cut - pos);
            lineLength += cut - pos;
            pos = cut;
            if (pos < text.size()) newLine();
        }
    }
    // b= always starts a line of its own, so the value can be appended without refolding.
    field += "\r\n\tb=";
    return field;
}

void TixDkimSignature::Build(TixStringList& lines, int charsPerLine) const {
    TixStringList fieldLines;
    fieldLines.SetText(BuildField(charsPerLine));
    for (int i = fieldLines.Count() - 1; i >= 0; --i)
        lines.Insert(0, fieldLines[i]);
}

void TixDkimSignature::AssignSignature(TixStringList& lines, int charsPerLine) const {
    const std::size_t width = charsPerLine > 20 ? static_cast<std::size_t>(charsPerLine) : 76;
    // The field Build wrote is at the top and ends with the line "\tb=".
    int last = 0;
    while (last + 1 < lines.Count() && !lines[last + 1].empty() &&
           (lines[last + 1][0] == ' ' || lines[last + 1][0] == '\t'))
        ++last;
    if (!IsDkimSignatureField(lines[0].substr(0, lines[0].find(':'))) || lines[last] != "\tb=")
        RaiseDkimError(ixcDkimInvalidParameters);
    std::size_t first = std::min(Signature.size(), width - 3);
    lines.SetString(last, "\tb=" + Signature.substr(0, first));
    int at = last + 1;
    for (std::size_t pos = first; pos < Signature.size(); pos += width - 1)
        lines.Insert(at++, "\t" + Signature.substr(pos, width - 1));
}

std::string GetSignAlgorithm(const TixDkimSignature& signature) {
    std::vector<std::string> parts = SplitWords(signature.SignatureAlgorithm, '-');
    if (parts.size() != 2 || parts[0].empty() || parts[1].empty()) RaiseDkimError(ixcDkimInvalidAlgorithm);
    return LowerCase(parts[0]);
}

std::string GetHashAlgorithm(const TixDkimSignature& signature) {
    std::vector<std::string> parts = SplitWords(signature.SignatureAlgorithm, '-');
    if (parts.size() != 2 || parts[0].empty() || parts[1].empty()) RaiseDkimError(ixcDkimInvalidAlgorithm);
    return LowerCase(parts[1]);
}

std::string GetHeaderCanonicalization(const TixDkimSignature& signature) {
    std::vector<std::string> parts = SplitWords(signature.Canonicalization, '/');
    return parts[0].empty() ? "simple" : LowerCase(parts[0]);
}

std::string GetBodyCanonicalization(const TixDkimSignature& signature) {
    std::vector<std::string> parts = SplitWords(signature.Canonicalization, '/');
    return parts.size() < 2 || parts[1].empty() ? "simple" : LowerCase(parts[1]);
}

}  // namespace ix
