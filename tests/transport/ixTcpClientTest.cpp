#include "transport/ixTcpClient.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include "ixTestSupport.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "ixLoopbackClientFixture.h"
#include "ixLoopbackServer.h"
#include "transport/ixEventLoop.h"

namespace ix {
namespace {

using test::LoopbackPeer;
using test::LoopbackServer;

using test::CodeOf;

std::int64_t MillisSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

// Waits, up to 5 s, until the socket holds `bytes` unread bytes and, with `events`, until poll
// reports one of them (the peer's close, a reset): what the peer sent has arrived.
bool Arrived(int fd, int bytes, short events = 0) {
    auto start = std::chrono::steady_clock::now();
    while (MillisSince(start) < 5000) {
        int queued = 0;
        ioctl(fd, FIONREAD, &queued);
        pollfd state{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
        poll(&state, 1, 0);
        if (queued >= bytes && (events == 0 || (state.revents & events) != 0)) return true;
        poll(nullptr, 0, 1);
    }
    return false;
}

class TcpClientTest : public test::LoopbackClientFixture<TixTcpClient> {
protected:
    TixTcpClientConnection& Connection() { return client.GetConnection(); }
};

TEST_F(TcpClientTest, ResponseInManySmallSegments) {
    const std::string greeting = "* OK a greeting that arrives one byte at a time\r\n";
    // By value: the peer's thread runs on after the test body has ended, until TearDown joins it.
    server.Serve([greeting](LoopbackPeer& peer) {
        peer.SendSplit(greeting, 1, 1);
        peer.WaitForClose(5000);
    });
    client.Open();
    // The receive buffer starts large enough for a server to run ahead of a busy reader, and the
    // low-water mark that raised it is back at one byte: the segments below come one at a time.
    int mark = 0, buffer = 0;
    socklen_t length = sizeof mark;
    getsockopt(Connection().Socket().Handle(), SOL_SOCKET, SO_RCVLOWAT, &mark, &length);
    getsockopt(Connection().Socket().Handle(), SOL_SOCKET, SO_RCVBUF, &buffer, &length);
    EXPECT_EQ(mark, 1);
    EXPECT_GE(buffer, 1 << 20);
    // Read progress is the message sandbox's large message over TLS (the size asked first, reached).
    EXPECT_EQ(test::ReadUntil(client, "\r\n"), greeting);
    EXPECT_EQ(Connection().PeerIP, "127.0.0.1");
    EXPECT_EQ(Connection().PeerPort, server.Port());
    EXPECT_EQ(Connection().IP, "127.0.0.1");
    EXPECT_GT(Connection().Port, 0);
}

// The peer's close seen during a read, right behind its last data: the data is kept, and the
// client is closed without notify and without OnClose.
TEST_F(TcpClientTest, FinalDataAndCloseTogether) {
    server.Serve([](LoopbackPeer& peer) {
        peer.Send("* BYE going away\r\n");
        peer.Close();
    });
    int closes = 0;
    client.OnClose = [&](TixObject*) { ++closes; };
    client.Open();
    ASSERT_TRUE(Arrived(Connection().Socket().Handle(), 18, POLLRDHUP));
    TixMemoryStream data;
    Connection().ReadData(&data);
    EXPECT_EQ(data.View(), "* BYE going away\r\n");
    EXPECT_FALSE(client.Active());
    client.Close();
    EXPECT_EQ(closes, 0);
    std::string message;
    EXPECT_EQ(CodeOf([&] { client.CheckConnected(); }, &message), IX_NOT_CONNECTED);
    EXPECT_EQ(message, "The connection to the server is not active");
    EXPECT_EQ(CodeOf([&] { Connection().ReadData(&data); }), ENOTSOCK);
}

TEST_F(TcpClientTest, ALargeWriteToASlowReaderArrivesWholeAndKeepsTheReadableSignal) {
    std::string payload(8 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>((i * 7919) >> 3);
    auto received = std::make_shared<std::string>();
    server.Serve([size = payload.size(), received](LoopbackPeer& peer) {
        // Small buffers make every send partial and the client's write wait, with the answer unread.
        int small = 4096;
        setsockopt(peer.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        peer.Send("+ go ahead\r\n");
        *received = peer.ReadExactly(size);
        peer.WaitForClose(5000);
    });
    client.Open();
    int small = 4096;
    setsockopt(Connection().Socket().Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_TRUE(Arrived(Connection().Socket().Handle(), 12));
    TixMemoryStream source(payload);
    std::int64_t lastProgress = 0;
    Connection().OnProgress = [&](TixObject*, std::int64_t done, std::int64_t) { lastProgress = done; };
    Connection().InitProgress(0, static_cast<std::int64_t>(payload.size()));
    Connection().WriteData(&source);
    Connection().OnProgress = nullptr;  // closing reports too, after `lastProgress` is gone
    EXPECT_EQ(lastProgress, static_cast<std::int64_t>(payload.size()));
    EXPECT_TRUE(Connection().NetworkStream().HasReadData);
    // The data is read at once: a wait would raise at TimeOut 0.
    client.SetTimeOut(0);
    TixMemoryStream data;
    Connection().ReadData(&data);
    EXPECT_EQ(data.View(), "+ go ahead\r\n");
    client.Close();
    EXPECT_EQ(server.Join(), "");
    EXPECT_TRUE(*received == payload);
}

TEST_F(TcpClientTest, ConnectTimeOutAppliesToTheConnectOnly) {
    // A listener whose accept queue is full drops further SYNs, so the connect hangs.
    LoopbackServer full(false, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(full.Port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    // The first filler is in the accept queue, so the queue is full from here on.
    pollfd first{fillers[0], POLLOUT, 0};
    ASSERT_EQ(poll(&first, 1, 5000), 1);
    client.SetServer("127.0.0.1");
    client.SetPort(full.Port());
    client.SetConnectTimeOut(200);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CodeOf([&] { client.Open(); }), IX_TIMEOUT_ERROR);
    EXPECT_GE(MillisSince(start), 190);
    EXPECT_LT(MillisSince(start), 5000);
    EXPECT_FALSE(client.Active());
    for (int fd : fillers)
        close(fd);
}

// The settings refused before any socket exists, then a refused connect with the platform's error.
TEST_F(TcpClientTest, InvalidSettingsAreRefusedBeforeAnySocketExistsAndARefusedConnectCarriesItsError) {
    std::string message;
    client.SetBatchSize(0);
    EXPECT_EQ(CodeOf([&] { client.Open(); }, &message), IX_INVALID_BATCH_SIZE);
    EXPECT_EQ(message, "Invalid Batch Size");
    client.SetBatchSize(1024);
    client.FirewallSettings().SetServer("127.0.0.1");
    client.FirewallSettings().SetPort(server.Port());
    client.FirewallSettings().SetFirewallType(static_cast<TixFirewallType>(7));
    EXPECT_EQ(CodeOf([&] { client.Open(); }), IX_UNSUPPORTED_FIREWALL);
    pollfd listener{server.ListenFd(), POLLIN, 0};
    EXPECT_EQ(poll(&listener, 1, 100), 0) << "a connection reached the server";
    EXPECT_FALSE(client.Active());

    client.FirewallSettings().SetServer("");  // direct again
    server.CloseListener();
    EXPECT_EQ(CodeOf([&] { client.Open(); }, &message), ECONNREFUSED);
    EXPECT_EQ(message, "Connection refused");
    EXPECT_FALSE(client.Active());
}

// A close from an event handler ending a wait at once is the client window's close during a silent
// server's wait.

TEST_F(TcpClientTest, ByteLimitStopsTheReadExactlyThrottlePausesAndTheTimeOutLeavesTheConnectionOpen) {
    server.Serve([](LoopbackPeer& peer) {
        peer.Send(std::string(3000, 'a'));
        peer.WaitForClose(5000);
    });
    client.Open();
    ASSERT_TRUE(Arrived(Connection().Socket().Handle(), 3000));
    Connection().BytesToProceed = 10;
    Connection().InitProgress(0, 10);
    TixMemoryStream data;
    Connection().ReadData(&data);
    EXPECT_EQ(data.Size(), 10);
    Connection().BytesToProceed = -1;
    client.SetBatchSize(1000);
    client.SetBitsPerSec(80000);  // 1000 bytes: 100 ms per call
    auto start = std::chrono::steady_clock::now();
    while (data.Size() < 3000)
        Connection().ReadData(&data);
    EXPECT_EQ(data.Size(), 3000);
    EXPECT_GE(MillisSince(start), 300);

    // Nothing more comes. With GUI processing disabled, handlers stay out of the wait too.
    client.SetTimeOut(150);
    client.SetDisableGuiProcessing(true);
    bool ran = false;
    int timer = TixEventLoop::Current().StartTimer(50, [&] { ran = true; });
    start = std::chrono::steady_clock::now();
    std::string message;
    EXPECT_EQ(CodeOf([&] { Connection().ReadData(&data); }, &message), IX_TIMEOUT_ERROR);
    EXPECT_EQ(message, "Timeout error occured");
    EXPECT_GE(MillisSince(start), 140);
    EXPECT_FALSE(ran);
    TixEventLoop::Current().StopTimer(timer);
    EXPECT_TRUE(client.Active());
    client.SetTimeOut(0);
    EXPECT_EQ(CodeOf([&] { Connection().ReadData(&data); }), IX_TIMEOUT_ERROR);
}

// Connecting over IPv6 is the DNS server tests' TCP query to BIND on ::1.

TEST_F(TcpClientTest, ResetDuringAWriteRaisesAndCloses) {
    server.Serve([](LoopbackPeer& peer) {
        peer.ReadExactly(5);
        peer.Reset();
    });
    client.Open();
    TixMemoryStream first(std::string_view("hello"));
    Connection().WriteData(&first);
    EXPECT_EQ(server.Join(), "");
    ASSERT_TRUE(Arrived(Connection().Socket().Handle(), 0, POLLERR | POLLHUP));
    std::string big(4 * 1024 * 1024, 'z');
    TixMemoryStream source;
    source.WriteBuffer(big.data(), big.size());
    int code = 0;
    // The process survives (no SIGPIPE) and the failure is the platform's.
    for (int i = 0; i < 5 && code == 0; ++i) {
        source.SetPosition(0);
        code = CodeOf([&] { Connection().WriteData(&source); });
    }
    EXPECT_TRUE(code == ECONNRESET || code == EPIPE) << code;
    EXPECT_FALSE(client.Active());
}

class KeepAliveClient : public TixTcpClient {
public:
    int runs = 0;

protected:
    void DoKeepAlive() override {
        ++runs;
        if (runs == 1) throw EixSocketError("first run fails", 1);
    }
};

using TcpClientKeepAlive = test::LoopbackClientFixture<KeepAliveClient>;

TEST_F(TcpClientKeepAlive, TimerSurvivesAFailingRunAndStopsAtClose) {
    server.Serve([](LoopbackPeer& peer) { peer.WaitForClose(5000); });
    client.SetKeepAlive(30);
    client.Open();
    auto start = std::chrono::steady_clock::now();
    while (client.runs < 3 && MillisSince(start) < 3000)
        TixEventLoop::Current().ProcessEvents(50);
    EXPECT_GE(client.runs, 3);
    client.Close();
    int runs = client.runs;
    for (int i = 0; i < 4; ++i)
        TixEventLoop::Current().ProcessEvents(20);
    EXPECT_EQ(client.runs, runs);
}

}  // namespace
}  // namespace ix
