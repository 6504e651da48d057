#include "ixLoopbackServer.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace ix::test {

LoopbackPeer::~LoopbackPeer() {
    Close();
}

void LoopbackPeer::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw LoopbackScriptError{std::string("send failed: ") + std::strerror(errno)};
        }
        done += static_cast<std::size_t>(n);
    }
}

void LoopbackPeer::SendSplit(const std::string& bytes, std::size_t pieceSize, int delayMs) {
    for (std::size_t i = 0; i < bytes.size(); i += pieceSize) {
        if (i > 0) Sleep(delayMs);
        Send(bytes.substr(i, pieceSize));
    }
}

std::string LoopbackPeer::ReadExactly(std::size_t count) {
    std::string data(count, '\0');
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = ::recv(fd_, data.data() + done, count - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    data.resize(done);
    return data;
}

void LoopbackPeer::Expect(const std::string& expected) {
    std::string got = ReadExactly(expected.size());
    if (got != expected)
        // Quoted, with line ends and other control bytes escaped.
        throw LoopbackScriptError{"expected " + testing::PrintToString(expected.substr(0, 200)) + ", got " +
                                  testing::PrintToString(got.substr(0, 200))};
}

void LoopbackPeer::Play(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        if (!step.line.empty()) Expect(step.line);
        Send(step.reply);
    }
}

std::string LoopbackPeer::ReadLine() {
    std::string line;
    char c;
    while (::recv(fd_, &c, 1, 0) == 1) {
        line += c;
        if (c == '\n') break;
    }
    return line;
}

std::string LoopbackPeer::ReadToEnd() {
    std::string data;
    for (std::string piece; !(piece = ReadExactly(65536)).empty();)
        data += piece;
    return data;
}

bool LoopbackPeer::WaitForClose(int timeoutMs) {
    using namespace std::chrono;
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    char buffer[4096];
    for (pollfd fd{fd_, POLLIN, 0};
         poll(&fd, 1,
              static_cast<int>(std::max<long long>(
                  0, duration_cast<milliseconds>(end - steady_clock::now()).count()))) > 0;)
        if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) return true;
    return false;
}

void LoopbackPeer::Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void LoopbackPeer::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void LoopbackPeer::Reset() {
    if (fd_ < 0) return;
    linger option{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    Close();
}

LoopbackServer::LoopbackServer(bool ipv6, int backlog) : host_(ipv6 ? "::1" : "127.0.0.1") {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host_.c_str(), "0", &hints, &found) != 0) throw std::runtime_error("no address " + host_);
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> address(found, freeaddrinfo);
    listenFd_ = ::socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (listenFd_ < 0 || setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(listenFd_, address->ai_addr, address->ai_addrlen) != 0 || ::listen(listenFd_, backlog) != 0)
        throw std::runtime_error(std::string("socket/bind/listen failed: ") + std::strerror(errno));
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    char port[NI_MAXSERV] = "";
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
    getnameinfo(reinterpret_cast<sockaddr*>(&bound), length, nullptr, 0, port, sizeof port, NI_NUMERICSERV);
    port_ = std::atoi(port);
}

LoopbackServer::~LoopbackServer() {
    // Unblock an accept that never got its client; the descriptor closes only once no thread uses it.
    if (listenFd_ >= 0) shutdown(listenFd_, SHUT_RDWR);
    for (auto& thread : threads_)
        if (thread.joinable()) thread.join();
    if (listenFd_ >= 0) ::close(listenFd_);
}

void LoopbackServer::CloseListener() {
    if (listenFd_ < 0) return;
    shutdown(listenFd_, SHUT_RDWR);
    ::close(listenFd_);
    listenFd_ = -1;
}

void LoopbackServer::Fail(const std::string& message) {
    std::lock_guard guard(lock_);
    failures_ += message + "\n";
}

void LoopbackServer::Serve(Script script) {
    threads_.emplace_back([this, script = std::move(script)] {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            Fail(std::string("accept failed: ") + std::strerror(errno));
            return;
        }
        LoopbackPeer peer(fd);
        try {
            script(peer);
        } catch (const LoopbackScriptError& error) {
            Fail(error.message);
        } catch (const std::exception& error) {
            Fail(error.what());
        }
    });
}

std::string LoopbackServer::Join() {
    for (auto& thread : threads_)
        if (thread.joinable()) thread.join();
    threads_.clear();
    std::lock_guard guard(lock_);
    return failures_;
}

}  // namespace ix::test
