#include "mail/ixEmailAddress.h"

#include <gtest/gtest.h>

#include "base/ixError.h"

namespace ix {
namespace {

struct Parsed {
    std::string name, email;
};

Parsed Parse(std::string_view text) {
    TixEmailAddressItem item;
    item.SetFullAddress(text);
    return {item.Name(), item.Email()};
}

TEST(EmailAddress, ExtractsNameAndAddress) {
    auto p = Parse("John Smith <john@example.com>");
    EXPECT_EQ(p.name, "John Smith");
    EXPECT_EQ(p.email, "john@example.com");
    p = Parse("john@example.com (John)");
    EXPECT_EQ(p.name, "John");
    EXPECT_EQ(p.email, "john@example.com");
    p = Parse("\"Smith, John\" <john@example.com>");
    EXPECT_EQ(p.name, "Smith, John");
    p = Parse("bare@example.com");
    EXPECT_EQ(p.name, "");
    EXPECT_EQ(p.email, "bare@example.com");
    p = Parse("first@example.com <second@example.com>");
    EXPECT_EQ(p.email, "second@example.com");
    EXPECT_EQ(Parse("<>").email, "<>");
    // Any non-ASCII byte makes everything but angle brackets part of the address.
    EXPECT_EQ(Parse("j\xC3\xB6rg@example.de").email, "j\xC3\xB6rg@example.de");
    EXPECT_EQ(Parse("\"Quote \\\"me\\\"\" <q@x.org>").name, "Quote \"me\"");
}

TEST(EmailAddress, FullAddressQuotesTheNameWhenNeeded) {
    EXPECT_EQ(BuildFullAddress("", "a@b.c"), "a@b.c");
    EXPECT_EQ(BuildFullAddress("a@b.c", "a@b.c"), "a@b.c");
    EXPECT_EQ(BuildFullAddress("John", "a@b.c"), "John <a@b.c>");
    EXPECT_EQ(BuildFullAddress("John Smith", "a@b.c"), "\"John Smith\" <a@b.c>");
    EXPECT_EQ(BuildFullAddress("Say \"hi\"", "a@b.c"), "\"Say \\\"hi\\\"\" <a@b.c>");
    EXPECT_EQ(BuildFullAddress("\"edge", "a@b.c"), "\"\\\"edge\" <a@b.c>");
    EXPECT_EQ(BuildFullAddress("Smith,John", "a@b.c"), "\"Smith,John\" <a@b.c>");
}

TEST(EmailAddress, NamesRoundTripThroughTheirFullAddress) {
    for (const char* name :
         {"John Smith", "Say \"hi\"", "(paren)", "back\\slash", "Smith, John", "O'Brien"}) {
        const auto p = Parse(BuildFullAddress(name, "x@y.z"));
        EXPECT_EQ(p.name, name);
        EXPECT_EQ(p.email, "x@y.z");
    }
}

TEST(EmailAddressList, SplitsAndJoinsTheTextForm) {
    TixEmailAddressList list;
    list.SetEmailAddresses("a@b.c, d@e.f");
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Items(1).Email(), "d@e.f");
    list.SetEmailAddresses("\"Smith, John\" <j@x.org>; O'Brien <o@x.org>, ,");
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Items(0).Name(), "Smith, John");
    EXPECT_EQ(list.Items(1).Name(), "O'Brien");
    EXPECT_EQ(list.EmailAddresses(), "\"Smith, John\" <j@x.org>, O'Brien <o@x.org>");
    TixEmailAddressList copy(list);
    EXPECT_TRUE(copy == list);
    EXPECT_THROW(static_cast<void>(list.Items(5)), EixError);
}

}  // namespace
}  // namespace ix
