// The SOCKS handshakes against any proxy answers: the first byte picks the protocol and the
// client's settings, the rest is what the proxy sends, then it hangs up. Every outcome must be a
// tunnel or an EixSocketError, with no read beyond the replies.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "transport/ixSocksStream.h"

using namespace ix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Replies are short; more would only fill the socket buffer.
    if (size < 1 || size > 4096) return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0) return 0;
    std::uint8_t flags = data[0];
    [[maybe_unused]] auto written = ::write(fds[1], data + 1, size - 1);
    shutdown(fds[1], SHUT_WR);

    TixTcpClientConnection connection;
    connection.Socket().Attach(fds[0], AF_UNIX);
    std::unique_ptr<TixSocksNetworkStream> stream;
    auto inner = std::make_unique<TixNetworkStream>();
    switch (flags % 3) {
        case 0:
            stream = std::make_unique<TixSocks4NetworkStream>(std::move(inner));
            break;
        case 1:
            stream = std::make_unique<TixSocks4aNetworkStream>(std::move(inner));
            break;
        default:
            stream = std::make_unique<TixSocks5NetworkStream>(std::move(inner));
            break;
    }
    static const char* const hosts[] = {"mail.example.test", "127.0.0.1", "::1"};
    stream->SetHost(hosts[(flags / 3) % 3]);
    stream->SetTargetPort(143);
    if ((flags & 0x40) != 0) {
        stream->SetUserName("user");
        stream->SetPassword("password");
    }
    TixSocksNetworkStream& socks = *stream;
    connection.SetNetworkStream(std::move(stream));
    connection.SetActive(true);
    try {
        socks.InitClientSession();
        // Each step reads or writes at least one byte or ends; the bound only guards the harness.
        for (int step = 0; step < 4 * 4096 && socks.SocksState() < 4; ++step) {
            if (socks.NextAction() == naWrite)
                socks.Write(nullptr);
            else if (socks.NextAction() == naRead)
                socks.Read(nullptr);
            else
                break;
        }
    } catch (const EixSocketError&) {
    }
    ::close(fds[1]);
    return 0;
}
