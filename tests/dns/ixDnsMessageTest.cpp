#include "dns/ixDnsMessage.h"

#include <gtest/gtest.h>

#include "ixTestSupport.h"

namespace ix {
namespace {

using std::string_literals::operator""s;

// A reply header (ID 0x1234, QR and AA set) with the given counts.
std::string Header(int qd, int an, int ns = 0, int ar = 0, int rcode = 0) {
    std::string h = "\x12\x34\x84"s + static_cast<char>(rcode);
    for (int count : {qd, an, ns, ar})
        h += {static_cast<char>(count >> 8), static_cast<char>(count)};
    return h;
}

// The question "a.test" TXT IN, at offset 12.
const std::string kQuestion =
    "\x01"
    "a\x04test\x00\x00\x10\x00\x01"s;

int ParseCode(const std::string& bytes, TixDnsMessage& message, std::string* text = nullptr) {
    return test::CodeOf(
        [&] { message.Parse(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()); }, text);
}

// Adds an answer record of the type's class, owned by "x.test".
template <class R>
R& Add(TixDnsMessage& message, std::uint16_t type) {
    auto& record = static_cast<R&>(*message.Answers.Add(CreateDnsRecord(type)));
    record.Name = "x.test";
    record.TTL = 3600;
    return record;
}

TEST(DnsMessage, BuildsAndParsesEveryRecordType) {
    TixDnsMessage message;
    message.Header.IsQuery = false;
    message.Header.Opcode = 2;
    message.Header.IsTruncated = message.Header.IsRecursionAvailable = true;
    Add<TixDnsARecord>(message, IX_DNS_TYPE_A).IPAddress = "192.0.2.1";
    Add<TixDnsNsRecord>(message, IX_DNS_TYPE_NS).NameServer = "ns.test";
    Add<TixDnsCnameRecord>(message, IX_DNS_TYPE_CNAME).PrimaryName = "y.test";
    auto& soa = Add<TixDnsSoaRecord>(message, IX_DNS_TYPE_SOA);
    soa.PrimaryNameServer = "ns.test", soa.ResponsibleMailbox = "h.test", soa.SerialNumber = 4000000000u;
    soa.RefreshInterval = 1, soa.RetryInterval = 2, soa.ExpirationLimit = 3, soa.MinimumTTL = 4;
    Add<TixDnsPtrRecord>(message, IX_DNS_TYPE_PTR).DomainName = "p.test";
    auto& mx = Add<TixDnsMxRecord>(message, IX_DNS_TYPE_MX);
    mx.Preference = 10, mx.MailServer = "mx.test";
    // 600 bytes do not fit one character-string: written as 255 + 255 + 90.
    Add<TixDnsTxtRecord>(message, IX_DNS_TYPE_TXT).Text = std::string(600, 'k');
    Add<TixDnsAaaaRecord>(message, IX_DNS_TYPE_AAAA).IPAddress = "2001:db8:0:0:0:0:0:1";
    Add<TixDnsRecord>(message, 99);
    TixMemoryStream stream;
    message.Build(stream, 2048);
    stream.SetPosition(0);
    TixDnsMessage parsed;
    parsed.Parse(stream);
    EXPECT_EQ(parsed.Header.ID, message.Header.ID);
    EXPECT_FALSE(parsed.Header.IsQuery);
    EXPECT_EQ(parsed.Header.Opcode, 2);
    EXPECT_TRUE(parsed.Header.IsTruncated && parsed.Header.IsRecursionAvailable);
    EXPECT_FALSE(parsed.Header.IsRecursionDesired || parsed.Header.IsAuthoritativeAnswer);
    const std::vector<std::string> expected = {
        "192.0.2.1", "ns.test.",    "y.test.", "ns.test. h.test. 4000000000 1 2 3 4",
        "p.test.",   "10 mx.test.", "",        "2001:DB8::1",
        ""};
    ASSERT_EQ(parsed.Answers.Count(), 9);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(parsed.Answers[i].Name, "x.test");
        EXPECT_EQ(parsed.Answers[i].TTL, 3600u);
        if (i != 6) {
            EXPECT_EQ(parsed.Answers[i].DataText(), expected[i]) << i;
        }
    }
    auto& txt = static_cast<TixDnsTxtRecord&>(parsed.Answers[6]);
    EXPECT_EQ(txt.Text, std::string(600, 'k'));
    EXPECT_EQ(txt.Strings.size(), 3u);
    EXPECT_EQ(txt.DataLength, 603);
    EXPECT_EQ(parsed.Answers[8].DataLength, 0);
    TixDnsMessage copy(parsed);
    EXPECT_EQ(static_cast<TixDnsTxtRecord&>(copy.Answers[6]).Strings, txt.Strings);
}

// Compressed names and TXT records of several strings are read from the real name servers' replies
// in the dnspython interop case.
TEST(DnsMessage, KeepsTheRecordsOfAnErrorReply) {
    // Answer name: a pointer to the question's name; A data 192 0 2 1.
    std::string reply = Header(1, 1, 0, 0, 3) + kQuestion +
                        "\xC0\x0C\x00\x01\x00\x01\x00\x00\x00\x3C\x00\x04\xC0\x00\x02\x01"s;
    TixDnsMessage message;
    std::string text;
    EXPECT_EQ(ParseCode(reply, message, &text), 3);
    EXPECT_EQ(text, "No such name");
    ASSERT_EQ(message.Answers.Count(), 1);
    EXPECT_EQ(message.Answers[0].Name, message.Queries[0].Name);
    EXPECT_EQ(message.Answers[0].DataText(), "192.0.2.1");
}

// Short headers, counts, labels, names and record data running beyond their bytes or limits are the
// DNS message fuzz target's seeds, which must end in the library's error; here its code and text.
TEST(DnsMessage, RefusesAPointerToItself) {
    TixDnsMessage message;
    std::string text;
    EXPECT_EQ(ParseCode(Header(1, 0) + "\xC0\x0C\x00\x10\x00\x01"s, message, &text), IX_DNS_DATAGRAM_ERROR);
    EXPECT_EQ(text, "The size of the datagram is invalid");
}

TEST(DnsMessage, RefusesWhatCannotBeWritten) {
    const std::string kLabel63 = std::string(63, 'a') + ".";
    struct Case {
        const char* what;
        std::uint16_t type;
        std::string data;
        int code;
    } cases[] = {
        {"label of 64", IX_DNS_TYPE_NS, std::string(64, 'a') + ".test", IX_DNS_DATAGRAM_ERROR},
        {"name of 257 on the wire", IX_DNS_TYPE_NS, kLabel63 + kLabel63 + kLabel63 + kLabel63,
         IX_DNS_DATAGRAM_ERROR},
        {"three-part A", IX_DNS_TYPE_A, "192.0.2", 2},
        {"IPv4 as AAAA", IX_DNS_TYPE_AAAA, "192.0.2.1", 2},
        {"empty MX", IX_DNS_TYPE_MX, "", 2},
        {"empty TXT", IX_DNS_TYPE_TXT, "", 2},
    };
    for (const Case& c : cases) {
        TixDnsMessage message;
        TixDnsRecord& r = Add<TixDnsRecord>(message, c.type);
        if (auto ns = dynamic_cast<TixDnsNsRecord*>(&r)) ns->NameServer = c.data;
        if (auto a = dynamic_cast<TixDnsARecord*>(&r)) a->IPAddress = c.data;
        if (auto aaaa = dynamic_cast<TixDnsAaaaRecord*>(&r)) aaaa->IPAddress = c.data;
        TixMemoryStream stream;
        EXPECT_EQ(test::CodeOf([&] { message.Build(stream); }), c.code) << c.what;
        EXPECT_EQ(stream.Size(), 0) << c.what;
    }
}

}  // namespace
}  // namespace ix
