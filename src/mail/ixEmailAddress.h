#pragma once
// One mailbox (display name and address) and ordered lists of them, with the text forms that stand
// in a header. Parsing never throws; text that holds no address yields an empty Email.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/ixTypes.h"

namespace ix {

class TixEmailAddressItem : public TixObject {
public:
    TixEmailAddressItem();
    TixEmailAddressItem(std::string_view name, std::string_view email);
    virtual void Assign(const TixEmailAddressItem& source);  // Name and Email, not the separator
    virtual void Clear();

    const std::string& Name() const { return name_; }
    void SetName(std::string_view value) { name_ = value; }
    const std::string& Email() const { return email_; }
    void SetEmail(std::string_view value) { email_ = value; }
    const std::string& Separator() const { return separator_; }
    void SetSeparator(std::string_view value) { separator_ = value; }

    std::string FullAddress() const;
    void SetFullAddress(std::string_view text);
    virtual std::string DisplayName() const;

protected:
    virtual void Init();

private:
    std::string name_;
    std::string email_;
    std::string separator_;
};

class TixEmailAddressList : public TixObject {
public:
    TixEmailAddressList() = default;
    TixEmailAddressList(const TixEmailAddressList& other);
    TixEmailAddressList& operator=(const TixEmailAddressList& other);

    int Count() const { return static_cast<int>(items_.size()); }
    TixEmailAddressItem& Items(int index);
    const TixEmailAddressItem& Items(int index) const;
    TixEmailAddressItem& Add();
    TixEmailAddressItem& Add(std::string_view fullAddress);
    void Delete(int index);
    void Clear() { items_.clear(); }
    void Assign(const TixEmailAddressList& source) { *this = source; }

    std::string EmailAddresses() const;
    void SetEmailAddresses(std::string_view text);

    bool operator==(const TixEmailAddressList& other) const;

private:
    std::vector<std::unique_ptr<TixEmailAddressItem>> items_;
};

std::string BuildFullAddress(std::string_view name, std::string_view email);
// Splits text into display name and e-mail; without a display name, name equals the e-mail and
// the result is false.
bool ParseFullAddress(std::string_view text, std::string& name, std::string& email);
std::string ExtractEmail(std::string_view text);
// The text with its comments (RFC 5322 section 3.2.2, nested, outside quoted strings) each replaced
// by a space; their texts, joined by spaces, go to comments when given.
std::string RemoveAddressComments(std::string_view text, std::string* comments = nullptr);

}  // namespace ix
