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

// Names from comments, quoted pairs, the empty address of a bounce, source routes and white space
// around dots are also the mail corpus's address forms (22, 26), which Python reads too.
TEST(EmailAddress, ExtractsNameAndAddress) {
    const struct {
        const char *text, *name, *email;
    } cases[] = {
        {"first@example.com <second@example.com>", "first@example.com", "second@example.com"},
        // Any non-ASCII byte makes everything but angle brackets part of the address.
        {"j\xC3\xB6rg@example.de", "", "j\xC3\xB6rg@example.de"},
        {"<>", "", ""},
        // Comments leave addresses and names; a bare address is named by its comments.
        {"Pete(A nice \\) chap) <pete(his account)@silly.test(his host)>", "Pete", "pete@silly.test"},
        {"pete(his account)@silly.test(his host)", "his account his host", "pete@silly.test"},
        {"\"In (quotes)\" <q@x.org> (trailing)", "In (quotes)", "q@x.org"},
        {"Joe Q. Public < joe @ example . org >", "Joe Q. Public", "joe@example.org"},
    };
    for (const auto& c : cases) {
        const auto p = Parse(c.text);
        EXPECT_EQ(p.name, c.name) << c.text;
        EXPECT_EQ(p.email, c.email) << c.text;
    }
}

TEST(EmailAddress, FullAddressQuotesTheNameWhenNeeded) {
    EXPECT_EQ(BuildFullAddress("", "a@b.c"), "a@b.c");
    EXPECT_EQ(BuildFullAddress("a@b.c", "a@b.c"), "a@b.c");
    EXPECT_EQ(BuildFullAddress("John", "a@b.c"), "John <a@b.c>");
    EXPECT_EQ(BuildFullAddress("John Smith", "a@b.c"), "\"John Smith\" <a@b.c>");
    EXPECT_EQ(BuildFullAddress("back\\slash", "a@b.c"), "\"back\\\\slash\" <a@b.c>");
}

// How other readers take the names we write (quotes, parentheses, commas) is the mail interop
// round trip's: Python reads its composed messages' display names.

TEST(EmailAddressList, SplitsAndJoinsTheTextForm) {
    TixEmailAddressList list;
    list.SetEmailAddresses("\"Smith, John\" <j@x.org>; O'Brien <o@x.org>, ,");
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Items(0).Name(), "Smith, John");
    EXPECT_EQ(list.Items(1).Name(), "O'Brien");
    EXPECT_EQ(list.EmailAddresses(), "\"Smith, John\" <j@x.org>, O'Brien <o@x.org>");
    EXPECT_THROW(static_cast<void>(list.Items(5)), EixError);
}

}  // namespace
}  // namespace ix
