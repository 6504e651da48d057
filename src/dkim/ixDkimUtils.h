#pragma once
// Shared pieces of the DKIM layer (RFC 6376): its error, the tag lists of the signature field and
// the key record, DKIM quoted-printable, and the header index that selects signed fields.
// Parsers here take hostile text: they bound nothing they allocate beyond the input's size and
// report malformed input as EixDkimError.

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/ixError.h"
#include "base/ixStringList.h"
#include "mail/ixHeaderFieldList.h"

namespace ix {

class EixDkimError : public EixCodedError {
public:
    using EixCodedError::EixCodedError;
};

constexpr int ixcDkimInvalidFormat = -10;
constexpr int ixcDkimInvalidParameters = -11;
constexpr int ixcDkimInvalidAlgorithm = -12;
constexpr int ixcDkimBodyHashDiffers = -13;
constexpr int ixcDkimUnknownVersion = -14;
constexpr int ixcDkimKeyRequired = -15;
constexpr int ixcDkimKeyRevoked = -18;
constexpr int ixcDkimInvalidKey = -19;
constexpr int ixcDkimFromNotSigned = -20;
constexpr int ixcDkimExpired = -21;
constexpr int ixcDkimKeyTooShort = -22;
constexpr int ixcDkimDuplicateTag = -23;
constexpr int ixcDkimKeyNotForSignature = -24;
constexpr int ixcDkimSignatureMismatch = -25;

// The fixed text of one of the codes above.
std::string DkimErrorText(int code);
[[noreturn]] void RaiseDkimError(int code);

// One tag of a tag list with its value as written (white space at both ends removed).
struct TixDkimTag {
    std::string name;
    std::string value;
};

// Splits "a=1; b = 2;" into its tags (RFC 6376 section 3.2). A tag without "=" or an invalid tag
// name raises -10; a tag named twice raises -23.
std::vector<TixDkimTag> ParseDkimTagList(std::string_view text);
// The value of name in tags, or null when absent.
const std::string* FindDkimTag(const std::vector<TixDkimTag>& tags, std::string_view name);
// The text with every space, TAB, CR and LF removed (base64 values and lists may be folded).
std::string RemoveDkimWhiteSpace(std::string_view text);

std::string DkimQPEncode(std::string_view text);
std::string DkimQPDecode(std::string_view text);

// selector._domainkey.domain
std::string DkimKeyLocation(std::string_view selector, std::string_view domain);

bool IsDkimSignatureField(std::string_view name);

// The header of a message indexed for DKIM: raw field text, and the bottom-up selection of the
// fields named in h= (RFC 6376 section 5.4.2). Tag values are read with ";" as the delimiter.
class TixDkimHeaderFieldList : public TixHeaderFieldList {
public:
    TixDkimHeaderFieldList();

    // The value with every line trimmed and the pieces joined with nothing between.
    std::string GetFieldValue(int index) const override;
    using TixHeaderFieldList::GetFieldValue;
    // The field exactly as written: its lines joined with CR LF, without a final CR LF.
    std::string GetRawField(int index) const;

    int Parse(int startIndex, TixStringList* source) override;

    // Forgets the fields already selected.
    void ResetSelection() { used_.clear(); }
    // The index of the next field named name, from the bottom up past those selected before;
    // -1 when the name's fields are used up or absent.
    int SelectField(std::string_view name);

private:
    // Field indexes per lower-cased name, top to bottom, and how many of each were selected: every
    // selection is one lookup, however long h= and the header are.
    std::unordered_map<std::string, std::vector<int>> byName_;
    std::unordered_map<std::string, std::size_t> used_;
};

}  // namespace ix
