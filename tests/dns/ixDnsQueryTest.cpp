#include "dns/ixDnsQuery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "ixLoopbackServer.h"
#include "ixTestSupport.h"

namespace ix {
namespace {

using std::string_literals::operator""s;

// A reply to a request: its ID and question, answered with one A record 192.0.2.7.
std::string Answer(const std::string& request) {
    std::string reply =
        request.substr(0, 2) + "\x84\x00\x00\x01\x00\x01\x00\x00\x00\x00"s + request.substr(12);
    return reply + "\xC0\x0C\x00\x01\x00\x01\x00\x00\x00\x3C\x00\x04\xC0\x00\x02\x07"s;
}

int UdpSocket() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

// A scripted UDP name server takes the request, then sends replies with another ID, from another
// port, to another question and too short to read, each passed over, before the reply to the
// request. (Waiting past the time-out is the name server tests' silent server.)
TEST(DnsQuery, AcceptsOnlyTheReplyToItsRequestOverUdp) {
    const int fd = UdpSocket(), other = UdpSocket();
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    std::thread server([fd, other] {
        pollfd p{fd, POLLIN, 0};
        char buffer[512];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        if (poll(&p, 1, 5000) != 1) return;
        const long n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 14) return;
        const std::string r(buffer, static_cast<std::size_t>(n));
        std::string otherId = r, otherQuestion = r;
        otherId[1] = static_cast<char>(otherId[1] ^ 0x5A);
        otherQuestion[13] = 'b';
        // Each passed-over reply answers 192.0.2.9.
        const auto spoof = [](const std::string& request) {
            std::string reply = Answer(request);
            reply.back() = '\x09';
            return reply;
        };
        const std::pair<int, std::string> replies[] = {{fd, spoof(otherId)},
                                                       {other, spoof(r)},
                                                       {fd, spoof(otherQuestion)},
                                                       {fd, "\x01"},
                                                       {fd, Answer(r)}};
        for (const auto& [socket, reply] : replies)
            sendto(socket, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    });
    TixDnsQuery query;
    query.SetServer("127.0.0.1");
    query.SetPort(ntohs(address.sin_port));
    query.SetProtocol(dpUseUdp);
    query.SetTimeOut(5000);
    int received = 0;
    query.OnReceivePacket = [&](TixObject*, TixStream&) { ++received; };
    std::string error;
    test::CodeOf([&] { query.Query("a.test", IX_DNS_TYPE_A); }, &error);
    server.join();
    close(fd);
    close(other);
    EXPECT_EQ(error, "");
    ASSERT_EQ(query.Response().Answers.Count(), 1);
    EXPECT_EQ(query.Response().Answers[0].DataText(), "192.0.2.7");
    EXPECT_EQ(received, 1);
}

// A reply over TCP cut short by the server's close is an error. (Whole replies of the announced length
// are the dnspython comparison's over TCP, the name servers' retries after truncation too.)
TEST(DnsQuery, RefusesATcpReplyShorterThanItsLength) {
    test::LoopbackServer server;
    server.Serve([](test::LoopbackPeer& peer) {
        std::string length = peer.ReadExactly(2);
        std::string request = peer.ReadExactly((static_cast<unsigned char>(length[0]) << 8) |
                                               static_cast<unsigned char>(length[1]));
        std::string reply = Answer(request);
        std::string framed = {static_cast<char>(reply.size() >> 8), static_cast<char>(reply.size())};
        peer.Send(framed + reply.substr(0, reply.size() - 3));
        peer.Close();
    });
    TixDnsQuery query;
    query.SetServer(server.Host());
    query.SetPort(server.Port());
    query.SetProtocol(dpUseTcp);
    std::string error;
    test::CodeOf([&] { query.Query("a.test", IX_DNS_TYPE_A); }, &error);
    EXPECT_EQ(error, DnsErrorText(IX_DNS_DATAGRAM_ERROR));
    EXPECT_EQ(server.Join(), "");
}

}  // namespace
}  // namespace ix
