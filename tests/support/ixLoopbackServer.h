#pragma once
// A scripted peer on 127.0.0.1 or ::1 for protocol tests: each accepted connection runs a script
// on the server's thread (send these bytes, expect those, split, delay, drop). Script failures are
// collected and reported by Join, so a test reads as the dialogue it plays.

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ix::test {

class LoopbackPeer {
public:
    explicit LoopbackPeer(int fd) : fd_(fd) {}
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    void Send(const std::string& bytes);
    // Sends in pieces of pieceSize bytes with a pause between them.
    void SendSplit(const std::string& bytes, std::size_t pieceSize, int delayMs);
    // Reads exactly expected.size() bytes and fails the script when they differ.
    void Expect(const std::string& expected);
    // A dialogue as {client line, server reply} pairs: expects each line (none when it is empty),
    // then sends its reply.
    struct Step {
        std::string line, reply;
    };
    void Play(const std::vector<Step>& steps);
    // Reads up to and including the next LF.
    std::string ReadLine();
    // Reads exactly count bytes (fewer when the client closes).
    std::string ReadExactly(std::size_t count);
    // Reads until the client closes; answers the bytes.
    std::string ReadToEnd();
    // Waits up to timeoutMs for the client's close (a read of 0 bytes); true when it came.
    bool WaitForClose(int timeoutMs);
    void Sleep(int ms);
    void Close();
    // Closes with a reset instead of a graceful close.
    void Reset();
    int Fd() const { return fd_; }

private:
    int fd_;
};

class LoopbackServer {
public:
    using Script = std::function<void(LoopbackPeer&)>;

    explicit LoopbackServer(bool ipv6 = false, int backlog = 16);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const { return port_; }
    const std::string& Host() const { return host_; }
    int ListenFd() const { return listenFd_; }
    // Stops listening: connects to the port are refused from now on.
    void CloseListener();

    // Accepts the next connection on a thread and runs the script on it.
    void Serve(Script script);
    // Waits for the scripts and answers their failures, empty when all went as planned.
    std::string Join();

    // Called by scripts: records a failure.
    void Fail(const std::string& message);

private:
    int listenFd_ = -1;
    int port_ = 0;
    std::string host_;
    std::vector<std::thread> threads_;
    std::mutex lock_;
    std::string failures_;
};

// Thrown inside a script when an expectation fails; the server catches and records it.
struct LoopbackScriptError {
    std::string message;
};

}  // namespace ix::test
