// A server's answers are anyone's bytes: a whole session against them (greeting, login, folder
// lists, select, search, the four fetches, store, copy, append, logout) never crashes, never hangs
// and fails only with the library's own errors.
//
// The input is what the server says, in pieces separated by NUL bytes: the greeting, then one
// piece for each line the client sends, over a loopback connection that is half-closed after the
// last piece. The client's tags are fixed (a0001, a0002, ...), so seeds in that order reach every
// operation. The first byte chooses the options: bit 0 logs in through SASL, bit 1 sets a command
// charset. IX_FUZZ_TRACE=1 prints what the client sends, to write new seeds.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "imap/ixImap4.h"
#include "mail/ixMailMessage.h"

namespace {

int Listener(int& port) {
    static int fd = -1;
    static int boundPort = 0;
    if (fd < 0) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd, 16) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            std::abort();
        boundPort = ntohs(address.sin_port);
    }
    port = boundPort;
    return fd;
}

// Answers like a server: the first piece at once (the greeting), then one piece for each line the
// client sends (all the rest when the client has nothing to say); then half-closes and takes whatever the
// client still sends until it hangs up.
void Serve(int listener, std::string script) {
    pollfd wait{listener, POLLIN, 0};
    if (::poll(&wait, 1, 5000) != 1) return;
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    auto say = [fd](std::string_view piece) {
        for (std::size_t done = 0; done < piece.size();) {
            ssize_t n = ::send(fd, piece.data() + done, piece.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    };
    std::string_view rest(script);
    auto nextPiece = [&rest] {
        std::size_t end = rest.find('\0');
        std::string_view piece = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        return piece;
    };
    bool open = say(nextPiece());
    char buffer[4096];
    while (open && !rest.empty()) {
        // A client that waits for more of an answer gets the rest of the script at once.
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, 5) != 1) {
            open = say(rest);
            break;
        }
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && open; ++i)
            if (buffer[i] == '\n') open = say(nextPiece());
    }
    ::shutdown(fd, SHUT_WR);
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    ::close(fd);
}

template <typename Operation>
void Step(ix::TixImap4& imap, Operation operation) {
    if (!imap.Active()) return;
    try {
        operation();
    } catch (const ix::EixError& error) {
        // Refusals, malformed answers and the early end of the script are all fine here.
        if (imap.OnSendCommand) std::fprintf(stderr, "-> %s\n", error.what());
    }
}

void RunSession(int port, std::uint8_t options) {
    ix::TixImap4 imap;
    imap.SetServer("127.0.0.1");
    imap.SetPort(port);
    imap.SetUserName("u");
    imap.SetPassword("p");
    imap.SetTimeOut(1000);
    imap.SetMaxResponseSize(1 << 20);
    imap.SetUseSasl((options & 1) != 0);
    if ((options & 2) != 0) imap.SetCharSet("iso-8859-1");
    if (std::getenv("IX_FUZZ_TRACE") != nullptr)
        imap.OnSendCommand = [](ix::TixObject*, const std::string& text) {
            std::fputs(text.c_str(), stderr);
        };
    try {
        imap.Open();
    } catch (const ix::EixError& error) {
        if (imap.OnSendCommand) std::fprintf(stderr, "open: %s\n", error.what());
        return;
    }
    ix::TixStringList list;
    ix::TixMailMessage message;
    Step(imap, [&] { imap.GetCapabilities(list); });
    Step(imap, [&] { imap.GetMailBoxes(list); });
    Step(imap, [&] { imap.GetSubscribedMailBoxes(list); });
    Step(imap, [&] { imap.SelectMailBox("INBOX"); });
    Step(imap, [&] { imap.SearchMessages("ALL", list); });
    Step(imap, [&] { (void)imap.GetMessageFlags(1); });
    Step(imap, [&] { (void)imap.GetMessageSize(1); });
    Step(imap, [&] { imap.RetrieveHeader(1, &message); });
    Step(imap, [&] { imap.RetrieveMessage(1, &message); });
    Step(imap,
         [&] { imap.SetMessageFlags(1, ix::TixSetFlagsMethod::fmAdd, {ix::TixMailMessageFlag::mfSeen}); });
    Step(imap, [&] { imap.CopyMessage(1, "Archive"); });
    Step(imap, [&] {
        ix::TixStringList lines{"Subject: x", "", "body"};
        (void)imap.AppendMessage("INBOX", lines);
    });
    Step(imap, [&] { imap.Noop(); });
    Step(imap, [&] { imap.CloseMailBox(); });
    try {
        imap.Close();
    } catch (const ix::EixError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > (1 << 16)) return 0;
    int port = 0;
    int listener = Listener(port);
    std::thread server(Serve, listener, std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    RunSession(port, data[0]);
    server.join();
    return 0;
}
