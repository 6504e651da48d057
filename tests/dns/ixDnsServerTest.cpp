// Against the name servers of scripts/dns-servers.sh: BIND with the parent zone ixdns.test on
// 127.0.0.1 and ::1, Knot with the delegated child zone on 127.0.0.2, a BIND without EDNS.
#include "dns/ixDnsQuery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "ixTestSupport.h"

namespace ix {
namespace {

int EnvPort(const std::string& name) {
    return std::stoi(test::ReadEnvFile(test::BinaryPath("dns/dns.env")).at(name));
}

class DnsServer : public ::testing::Test {
protected:
    void SetUp() override {
        port = EnvPort("IX_DNS_PORT");
        query.SetServer("127.0.0.1");
        query.SetPort(port);
        query.SetTimeOut(3000);
        query.SetAutodetectServer(false);
    }
    // The answer records as "name type data" lines (each name asked for here has one record).
    std::string Answers() {
        std::string text;
        for (int i = 0; i < query.Response().Answers.Count(); ++i) {
            const TixDnsRecord& r = query.Response().Answers[i];
            text += r.Name + " " + DnsTypeName(r.RecordType) + " " + r.DataText() + "\n";
        }
        return text;
    }
    int port = 0;
    TixDnsQuery query;
};

// How each record type reads is the dnspython interop case's: it compares every answer of the
// same names with dnspython's reading of the same reply, over TCP and IPv6 too.
TEST_F(DnsServer, CollectsAliasesMailServersAndTexts) {
    query.Query("alias.ixdns.test", IX_DNS_TYPE_A);
    EXPECT_EQ(query.Aliases().Text(), TixStringList({"alias.ixdns.test", "alias2.ixdns.test"}).Text());
    query.Query("ixdns.test", IX_DNS_TYPE_MX);
    EXPECT_EQ(query.MailServers().Count(), 2);
    EXPECT_GE(query.MailServers().IndexOf("mx2.ixdns.test"), 0);
    EXPECT_EQ(query.ResolveTXT("txt.ixdns.test"), "v=spf1 -all");
    std::string two = query.ResolveTXT("two.ixdns.test");
    EXPECT_TRUE(two == "\"first record\",\"second record\"" || two == "\"second record\",\"first record\"")
        << two;
    // A 2048-bit key in two strings reads as one text. (The strings one by one are the dnspython
    // interop case's, the error of a missing name as well.)
    const std::string key = query.ResolveTXT("key._domainkey.ixdns.test");
    EXPECT_EQ(key.rfind("v=DKIM1; k=rsa; p=MIIBIjAN", 0), 0u);
    EXPECT_EQ(key.size(), 410u);
}

TEST_F(DnsServer, RetriesTruncatedAnswersOverTcp) {
    // The retry after a truncated answer: from BIND without EDNS and from Knot.
    int noedns = EnvPort("IX_DNS_NOEDNS_PORT");
    struct Case {
        const char* server;
        int port;
        const char* name;
        TixDnsProtocol protocol;
        int answers;
        bool truncated;
    } cases[] = {
        {"127.0.0.1", port, "big.ixdns.test", dpUseUdp, 30, true},  // BIND: partial answer and TC
        {"127.0.0.1", noedns, "big.ixdns.test", dpAutodetect, 40, false},
        {"127.0.0.2", port, "big.child.ixdns.test", dpAutodetect, 40, false},
        {"127.0.0.2", port, "big.child.ixdns.test", dpUseUdp, 0, true},  // Knot: TC and no answer
    };
    for (const Case& c : cases) {
        query.SetServer(c.server);
        query.SetPort(c.port);
        query.SetProtocol(c.protocol);
        int tcpSetups = 0;
        query.OnSetupTcpClient = [&](TixObject*, TixTcpClient&) { ++tcpSetups; };
        query.Query(c.name, IX_DNS_TYPE_A);
        std::string what =
            std::string(c.server) + " " + std::to_string(c.port) + " " + std::to_string(c.protocol);
        EXPECT_EQ(query.Response().Answers.Count(), c.answers) << what;
        EXPECT_EQ(query.Response().Header.IsTruncated, c.truncated) << what;
        EXPECT_EQ(tcpSetups, c.truncated ? 0 : 1) << what;  // only UDP answers stay truncated
    }
}

TEST_F(DnsServer, FollowsReferralsToTheChildZone) {
    query.Query("host.child.ixdns.test", IX_DNS_TYPE_A);
    EXPECT_EQ(Answers(), "");
    EXPECT_EQ(query.NameServers().Text(), TixStringList({"ns.child.ixdns.test"}).Text());
    EXPECT_EQ(query.HostsA().Text(), TixStringList({"ns.child.ixdns.test=127.0.0.2"}).Text());

    query.SetUseRecursiveQueries(true);
    query.Query("host.child.ixdns.test", IX_DNS_TYPE_A);
    EXPECT_EQ(Answers(), "host.child.ixdns.test A 192.0.2.50\n");
    EXPECT_EQ(query.Server(), "127.0.0.1");

    // other.ixdns.test's name server has no glue: its address comes from a lookup through the
    // root name servers, itself referred to the child zone.
    query.SetRootNameServers(TixStringList({"127.0.0.1"}));
    query.Query("host.other.ixdns.test", IX_DNS_TYPE_A);
    EXPECT_EQ(Answers(), "host.other.ixdns.test A 192.0.2.60\n");

    // The referral is not followed at depth 0: the next level's empty response is the result.
    query.SetMaxRecursiveQueries(0);
    query.Query("host.child.ixdns.test", IX_DNS_TYPE_A);
    EXPECT_EQ(query.Response().Answers.Count() + query.Response().NameServers.Count(), 0);
}

TEST_F(DnsServer, TriesRootNameServersInOrder) {
    // Found in a resolver configuration: 127.0.0.3 on the servers' port, first with nothing there
    // (refused), then with a socket that never answers (time-out); either way the second server
    // answers and stays in Server.
    const std::string path = ::testing::TempDir() + "ix-resolv-root-" + std::to_string(getpid());
    // Comments, other keywords, scoped and malformed addresses and repeats are passed over.
    std::ofstream(path)
        << "# comment\nsearch example.test\nnameserver 127.0.0.3\nnameserver fe80::1%ixnosuchif0\n"
           "nameserver not-an-address\n;nameserver 10.0.0.1\nnameserver\t127.0.0.1 \n"
           "nameserver 127.0.0.3\nnameserver ::1\n";
    TixStringList servers;
    TixDnsQuery::GetSystemNameServers(path, servers);
    EXPECT_EQ(servers.Text(), TixStringList({"127.0.0.3", "127.0.0.1", "::1"}).Text());
    TixDnsQuery::GetSystemNameServers("/nonexistent/resolv.conf", servers);
    EXPECT_EQ(servers.Count(), 3);
    query.SetResolverConfigFile(path);
    query.SetAutodetectServer(true);
    query.SetTimeOut(2000);
    int silent = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.3", &address.sin_addr);
    for (bool bound : {false, true}) {
        if (bound) {
            ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        }
        query.SetServer("");
        query.Query("www.ixdns.test", IX_DNS_TYPE_A);
        EXPECT_EQ(Answers(), "www.ixdns.test A 192.0.2.1\n") << bound;
        EXPECT_EQ(query.Server(), "127.0.0.1") << bound;
    }
    close(silent);
    unlink(path.c_str());
    // All of them failing is an error, not an empty answer.
    query.SetServer("");
    query.SetRootNameServers(TixStringList({"127.0.0.3"}));
    EXPECT_NE(test::CodeOf([&] { query.Query("www.ixdns.test", IX_DNS_TYPE_A); }), 0);
    EXPECT_EQ(query.Server(), "");
}

}  // namespace
}  // namespace ix
