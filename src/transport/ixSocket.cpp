#include "transport/ixSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "text/ixTranslator.h"
#include "transport/ixEventLoop.h"

namespace ix {

// ---- TixSocket ----

TixSocket::~TixSocket() {
    TixSocket::Close();
}

void TixSocket::Close() {
    if (handle_ >= 0) {
        shutdown(handle_, SHUT_RDWR);
        ::close(handle_);
        handle_ = -1;
    }
    family_ = 0;
}

void TixSocket::Attach(int handle, int family) {
    handle_ = handle;
    family_ = family;
}

// ---- TixNetworkStream ----

int TixNetworkStream::SocketHandle() const {
    return connection_ != nullptr ? connection_->Socket().Handle() : -1;
}

int TixNetworkStream::GetBatchSize() {
    int batchSize = connection_->BatchSize;
    if (batchSize < 1) RaiseSocketError(IX_INVALID_BATCH_SIZE);
    std::int64_t limit = connection_->BytesToProceed;
    if (limit < 0 || limit < bytesProceed_) return batchSize;
    return static_cast<int>(std::min<std::int64_t>(batchSize, limit - bytesProceed_));
}

void TixNetworkStream::Assign(const TixNetworkStream& source) {
    peerIp_ = source.peerIp_;
    peerPort_ = source.peerPort_;
    ip_ = source.ip_;
    port_ = source.port_;
    HasReadData = source.HasReadData;
}

void TixNetworkStream::SetPeer(const std::string& ip, int port) {
    peerIp_ = ip;
    peerPort_ = port;
    connection_->PeerIP = ip;
    connection_->PeerPort = port;
}

void TixNetworkStream::SetLocal(const std::string& ip, int port) {
    ip_ = ip;
    port_ = port;
    connection_->IP = ip;
    connection_->Port = port;
}

bool TixNetworkStream::Connect(TixIPAddress& address, int port) {
    NeedClose = false;
    ClearNextAction();
    InitClientSession();
    address.SetPort(port);
    bool done = ::connect(SocketHandle(), address.GetSockAddr(), address.GetSockAddrLength()) == 0;
    if (!done && !IsWouldBlock(errno)) RaiseLastSocketError();
    SetPeer(address.ToString(), port);
    return done;
}

void TixNetworkStream::UpdateLocalAddress() {
    if (!connection_->Active()) return;
    auto address = TixIPAddress::CreateForFamily(connection_->Socket().Family());
    socklen_t length = sizeof(sockaddr_storage);
    if (getsockname(SocketHandle(), address->MutableSockAddr(), &length) != 0) RaiseLastSocketError();
    address->SetSockAddrLength(length);
    SetLocal(address->ToString(), address->GetPort());
}

void TixNetworkStream::GetLocalAddress() {
    UpdateLocalAddress();
}

void TixNetworkStream::Bind(TixIPAddress& address, int port) {
    address.SetPort(port);
    if (::bind(SocketHandle(), address.GetSockAddr(), address.GetSockAddrLength()) != 0)
        RaiseLastSocketError();
}

void TixNetworkStream::BindRange(TixIPAddress& address, int minPort, int maxPort) {
    if (minPort < 1 || minPort > maxPort) RaiseSocketError(IX_INVALID_PORT);
    for (int port = minPort;; ++port) {
        address.SetPort(port);
        if (::bind(SocketHandle(), address.GetSockAddr(), address.GetSockAddrLength()) == 0) return;
        int error = errno;
        if ((error != EADDRINUSE && error != EACCES) || port >= maxPort) RaiseSocketError(error);
    }
}

void TixNetworkStream::SetBroadcast() {
    if (connection_->Socket().Family() == AF_INET6) RaiseSocketError(IX_INVALID_FAMILY);
    int on = 1;
    if (setsockopt(SocketHandle(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) RaiseLastSocketError();
}

void TixNetworkStream::CloseStream(bool /*notify*/) {
    ClearNextAction();
}

void TixNetworkStream::StreamReady() {
    connection_->DoReady();
}

std::uint8_t* TixNetworkStream::Buffer(int size) {
    if (buffer_.size() < static_cast<std::size_t>(size)) {
        try {
            buffer_.resize(static_cast<std::size_t>(size));
        } catch (const std::bad_alloc&) {
            RaiseSocketError(ENOMEM);
        }
    }
    return buffer_.data();
}

bool TixNetworkStream::Read(TixStream* destination) {
    ClearNextAction();
    ClosedGracefully = false;
    if (destination == nullptr) return true;
    for (;;) {
        int size = GetReadBatchSize();
        std::uint8_t* buffer = Buffer(size);
        long received = ReceiveBuffer(buffer, size);
        if (received < 0) {
            if (IsWouldBlock(errno)) return false;
            RaiseLastSocketError();
        }
        if (received == 0) {
            NeedClose = true;
            ClosedGracefully = true;
            return true;
        }
        destination->WriteBuffer(buffer, static_cast<std::size_t>(received));
        UpdateProgress(received);
        if (IsReadComplete()) return true;
    }
}

bool TixNetworkStream::Write(TixStream* source) {
    if (source == nullptr || source->Remaining() <= 0) return true;
    return WriteCount(source, -1);
}

bool TixNetworkStream::WriteCount(TixStream* source, std::int64_t count) {
    if (count == 0 || source == nullptr) return true;
    std::int64_t left = source->Remaining();
    if (left <= 0) return true;
    if (count < 0 || count > left) count = left;
    if (GetWriteBatchSize() < 1) return true;
    for (;;) {
        int chunk = static_cast<int>(std::min<std::int64_t>(GetWriteBatchSize(), count));
        std::uint8_t* buffer = Buffer(chunk);
        chunk = static_cast<int>(source->Read(buffer, static_cast<std::size_t>(chunk)));
        long sent = SendBuffer(buffer, chunk);
        if (sent < 0) {
            int error = errno;
            if (!IsWouldBlock(error)) {
                if (IsNetworkFailure(error)) NeedClose = true;
                RaiseSocketError(error);
            }
            // The source stays at the first byte not sent.
            source->Seek(-chunk, TixSeekOrigin::soCurrent);
            return false;
        }
        if (sent < chunk) source->Seek(sent - chunk, TixSeekOrigin::soCurrent);
        UpdateProgress(sent);
        count -= sent;
        if (count <= 0 || chunk == 0 || IsReadComplete()) return true;
    }
}

bool TixNetworkStream::ReadFrom(TixStream* destination, TixIPAddress& address, int& port) {
    ClearNextAction();
    if (destination == nullptr) return true;
    int size = GetReadBatchSize();
    if (size < 1) return true;
    std::uint8_t* buffer = Buffer(size);
    socklen_t length = sizeof(sockaddr_storage);
    long received = ::recvfrom(SocketHandle(), buffer, static_cast<std::size_t>(size), 0,
                               address.MutableSockAddr(), &length);
    Throttle(size);
    if (received < 0) {
        if (IsWouldBlock(errno)) return false;
        RaiseLastSocketError();
    }
    address.SetSockAddrLength(length);
    if (received > 0) {
        destination->WriteBuffer(buffer, static_cast<std::size_t>(received));
        UpdateProgress(received);
    }
    UpdateLocalAddress();
    port = address.GetPort();
    SetPeer(address.ToString(), port);
    return true;
}

bool TixNetworkStream::WriteTo(TixStream* source, TixIPAddress& address, int port) {
    ClearNextAction();
    if (source == nullptr || source->Remaining() <= 0) return true;
    int size = GetWriteBatchSize();
    if (size < 1) return true;
    address.SetPort(port);
    int chunk = static_cast<int>(std::min<std::int64_t>(size, source->Remaining()));
    std::uint8_t* buffer = Buffer(chunk);
    chunk = static_cast<int>(source->Read(buffer, static_cast<std::size_t>(chunk)));
    long sent = ::sendto(SocketHandle(), buffer, static_cast<std::size_t>(chunk), MSG_NOSIGNAL,
                         address.GetSockAddr(), address.GetSockAddrLength());
    Throttle(chunk);
    if (sent < 0) {
        int error = errno;
        if (!IsWouldBlock(error)) RaiseSocketError(error);
        source->Seek(-chunk, TixSeekOrigin::soCurrent);
        return false;
    }
    if (sent < chunk) source->Seek(sent - chunk, TixSeekOrigin::soCurrent);
    UpdateProgress(sent);
    UpdateLocalAddress();
    SetPeer(address.ToString(), port);
    return true;
}

long TixNetworkStream::ReceiveBuffer(void* buffer, int length) {
    long result = ::recv(SocketHandle(), buffer, static_cast<std::size_t>(length), 0);
    Throttle(length);
    return result;
}

long TixNetworkStream::SendBuffer(const void* buffer, int length) {
    // MSG_NOSIGNAL: a peer that went away is an EPIPE error here, never a SIGPIPE.
    long result = ::send(SocketHandle(), buffer, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    Throttle(length);
    return result;
}

void TixNetworkStream::Throttle(int length) {
    int bitsPerSec = connection_->BitsPerSec;
    if (bitsPerSec <= 0 || length <= 0) return;
    int savedErrno = errno;
    // 64-bit: length * 8000 overflows 32 bits from about 268 KB on.
    std::int64_t pause = std::int64_t{length} * 8000 / bitsPerSec;
    std::int64_t end = TickCount() + pause;
    bool dispatchGui = !connection_->DisableGuiProcessing;
    for (std::int64_t now = TickCount(); now < end && !connection_->IsAborted(); now = TickCount()) {
        // The abort fd is only looked at, not consumed: the connection's own wait takes it.
        pollfd fd{connection_->AbortHandle(), POLLIN, 0};
        int left = static_cast<int>(std::min<std::int64_t>(end - now, 24 * 3600 * 1000));
        if (TixEventLoop::Current().Wait(&fd, 1, left, dispatchGui) == TixWaitResult::wrReady) break;
    }
    errno = savedErrno;
}

bool TixNetworkStream::IsProceedLimit() {
    std::int64_t limit = connection_->BytesToProceed;
    return limit >= 0 && limit <= bytesProceed_;
}

void TixNetworkStream::UpdateProgress(std::int64_t count) {
    bytesProceed_ += count;
    connection_->BytesProceed += count;
    connection_->DoProgress(connection_->BytesProceed, connection_->TotalBytes);
}

bool TixNetworkStream::IsReadComplete() {
    return connection_->IsAborted() || IsProceedLimit();
}

// ---- TixConnection ----

TixConnection::TixConnection() : socket_(std::make_unique<TixSocket>()) {}

TixConnection::~TixConnection() = default;

bool TixConnection::IsPeerClosed() {
    return stream_ != nullptr && stream_->NeedClose;
}

void TixConnection::DoProgress(std::int64_t bytesProceed, std::int64_t totalBytes) {
    if (OnProgress) OnProgress(this, bytesProceed, totalBytes);
}

void TixConnection::DoReady() {
    if (OnReady) OnReady(this);
}

void TixConnection::CloseSession(bool notify) {
    if (!active_) return;
    NetworkStream().CloseStream(notify);
    if (notify) DispatchNextAction();
}

void TixConnection::Close(bool notify) {
    // The socket is closed on every path, so that a closed connection is never left Active (also
    // when an aborted notify exchange leaves the stream still asking for a read or write).
    struct SocketCloser {
        TixConnection& c;
        ~SocketCloser() {
            if (c.active_ && c.stream_ != nullptr) {
                try {
                    c.stream_->Disconnecting();
                } catch (...) {
                }
            }
            c.SetActive(false);
            c.socket_->Close();
        }
    } closer{*this};
    CloseSession(notify);
}

void TixConnection::Abort() {
    isAborted_ = true;
}

TixNetworkStream& TixConnection::NetworkStream() const {
    if (stream_ == nullptr) RaiseSocketError(IX_NETWORK_STREAM_REQUIRED);
    return *stream_;
}

void TixConnection::SetNetworkStream(std::unique_ptr<TixNetworkStream> stream) {
    if (stream != nullptr && stream.get() == stream_.get()) return;
    if (stream != nullptr && stream_ != nullptr) stream->Assign(*stream_);
    stream_ = std::move(stream);
    if (stream_ != nullptr) stream_->SetConnection(this);
}

void TixConnection::InitProgress(std::int64_t bytesProceed, std::int64_t totalBytes) {
    BytesProceed = bytesProceed;
    TotalBytes = totalBytes;
    if (stream_ != nullptr) stream_->ResetProgress();
}

void TixConnection::WriteString(const std::string& text, const std::string& charset) {
    TixMemoryStream data;
    if (!text.empty()) {
        TixByteArray bytes = TixTranslator::GetBytes(text, charset);
        data.WriteBuffer(bytes.data(), bytes.size());
        data.SetPosition(0);
    }
    WriteData(&data);
}

// ---- TixSyncConnection ----

TixSyncConnection::TixSyncConnection() {
    abortFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (abortFd_ < 0) RaiseLastSocketError();
}

TixSyncConnection::~TixSyncConnection() {
    if (abortFd_ >= 0) ::close(abortFd_);
}

void TixSyncConnection::Abort() {
    TixConnection::Abort();
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(abortFd_, &one, sizeof one);
}

void TixSyncConnection::ResetAbort() {
    TixConnection::ResetAbort();
    std::uint64_t value;
    [[maybe_unused]] auto n = ::read(abortFd_, &value, sizeof value);
}

int TixSyncConnection::PendingSocketError() {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket_->Handle(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

bool TixSyncConnection::WaitForSocket(short events, int limit, short& revents) {
    revents = 0;
    // Waits on an aborted connection return at once.
    if (IsAborted()) return false;
    int timeout = -1;
    if (limit >= 0) timeout = static_cast<int>(std::max<std::int64_t>(0, limit - (TickCount() - startTick_)));
    pollfd fds[2] = {{socket_->Handle(), events, 0}, {abortFd_, POLLIN, 0}};
    TixWaitResult result = TixEventLoop::Current().Wait(fds, 2, timeout, !DisableGuiProcessing);
    if (result == TixWaitResult::wrTimeout) RaiseSocketError(IX_TIMEOUT_ERROR);
    if (result == TixWaitResult::wrInterrupted) {
        if (limit >= 0 && TickCount() - startTick_ > limit) RaiseSocketError(IX_TIMEOUT_ERROR);
        return false;
    }
    if ((fds[1].revents & POLLIN) != 0) {
        std::uint64_t value;
        [[maybe_unused]] auto n = ::read(abortFd_, &value, sizeof value);
    }
    if (fds[0].fd < 0 || fds[0].revents == 0 || (fds[0].revents & POLLNVAL) != 0) return false;
    revents = fds[0].revents;
    return true;
}

// ---- TixTcpConnection ----

TixTcpConnection::~TixTcpConnection() {
    try {
        Close(false);
    } catch (...) {
    }
}

bool TixTcpConnection::IsPeerClosed() {
    return TixConnection::IsPeerClosed() || ClosedByPeer;
}

void TixTcpConnection::SetActive(bool value) {
    TixConnection::SetActive(value);
    if (value) ClosedByPeer = false;
}

void TixTcpConnection::DispatchNextAction() {
    if (stream_ == nullptr) return;
    switch (stream_->NextAction()) {
        case naRead:
            ReadData(nullptr);
            break;
        case naWrite:
            WriteData(nullptr);
            break;
        default:
            break;
    }
}

void TixTcpConnection::ReadData(TixStream* destination) {
    InternalRead(destination);
    // An aborted connection serves no further requests of its stream: its waits return at once,
    // so looping on them would never end.
    for (;;) {
        if (stream_ == nullptr || IsAborted()) break;
        TixNextAction action = stream_->NextAction();
        if (action == naRead)
            InternalRead(destination);
        else if (action == naWrite)
            WriteData(nullptr);
        else
            break;
    }
}

void TixTcpConnection::WriteData(TixStream* source) {
    InternalWrite(source);
    for (;;) {
        if (stream_ == nullptr || IsAborted()) break;
        TixNextAction action = stream_->NextAction();
        if (action == naRead)
            ReadData(nullptr);
        else if (action == naWrite)
            InternalWrite(nullptr);
        else
            break;
    }
}

void TixTcpConnection::InternalRead(TixStream* destination) {
    StartTick();
    TixNetworkStream& stream = NetworkStream();
    try {
        if (stream.HasReadData) {
            stream.HasReadData = false;
            stream.Read(destination);
            if (!stream.NeedClose && !Active()) stream.ClearNextAction();
        } else {
            for (;;) {
                if (!Active()) RaiseSocketError(ENOTSOCK);
                if (stream.NeedClose) break;
                short revents = 0;
                if (WaitForSocket(POLLIN | POLLRDHUP, TimeOut, revents)) {
                    if ((revents & POLLERR) != 0) {
                        int error = PendingSocketError();
                        if (error != 0) {
                            // A reset connection is gone: close it once the error is raised.
                            if (IsNetworkFailure(error)) ClosedByPeer = true;
                            RaiseSocketError(error);
                        }
                    }
                    if ((revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) != 0) {
                        // A pending close shows up here as a receive of 0 bytes after the data.
                        stream.Read(destination);
                        break;
                    }
                }
                if (stream.IsReadComplete()) break;
            }
        }
    } catch (...) {
        if (IsPeerClosed()) Close(false);
        throw;
    }
    if (IsPeerClosed()) Close(false);
}

void TixTcpConnection::InternalWrite(TixStream* source) {
    StartTick();
    if (!Active()) RaiseSocketError(ENOTSOCK);
    TixNetworkStream& stream = NetworkStream();
    if (stream.NeedClose) {
        Close(false);
        return;
    }
    try {
        if (stream.Write(source)) return;
        for (;;) {
            // Poll is level-triggered: once unread data is noted, stop asking for it, or the wait
            // would spin until the write completes.
            short events = POLLOUT | (stream.HasReadData ? 0 : POLLIN);
            short revents = 0;
            if (WaitForSocket(events, TimeOut, revents)) {
                if ((revents & POLLERR) != 0) {
                    int error = PendingSocketError();
                    if (error != 0) {
                        if (IsNetworkFailure(error)) stream.NeedClose = true;
                        RaiseSocketError(error);
                    }
                }
                if ((revents & POLLIN) != 0) stream.HasReadData = true;
                if ((revents & POLLOUT) != 0) {
                    StartTick();
                    if (stream.Write(source)) return;
                } else if ((revents & POLLHUP) != 0) {
                    Close(false);
                    return;
                }
            }
            if (stream.NeedClose) {
                Close(false);
                return;
            }
            if (stream.IsReadComplete()) return;
        }
    } catch (...) {
        if (stream_ != nullptr && stream_->NeedClose) Close(false);
        throw;
    }
}

// ---- TixTcpClientConnection ----

namespace {

// Linux starts a connection's receive buffer at 128 KB (tcp_rmem's default) and grows it with
// what the reader took in a round trip. A client that keeps what it receives reads in bursts, so
// on a fast link the buffer stays small and the server stalls on a closed window whenever the
// client pauses (for fresh memory, say): a 50 MB fetch took a quarter longer. A receive low-water
// mark makes the kernel raise the buffer to hold it, and unlike SO_RCVBUF leaves its growth to
// the kernel; set once the connection is up (its window scale is agreed by then), the mark goes
// straight back to one byte, so reads wake as before.
constexpr int cReceiveBufferStart = 1 << 20;

void RaiseReceiveBuffer(int handle) {
    int mark = cReceiveBufferStart;
    if (setsockopt(handle, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark) != 0) return;
    mark = 1;
    // A mark left high would hold back every short answer: the connection is of no use then.
    if (setsockopt(handle, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark) != 0) RaiseLastSocketError();
}

}  // namespace

void TixTcpClientConnection::Open(const std::string& ip, int port) {
    auto address = TixIPAddress::CreateIpAddress(ip);
    TixNetworkStream& stream = NetworkStream();
    int family = address->GetFamily();
    int handle = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    ResetAbort();
    if (handle < 0) RaiseLastSocketError();
    socket_->Attach(handle, family);
    std::string binding = LocalBinding;
    binding.erase(0, binding.find_first_not_of(" \t\r\n"));
    binding.erase(binding.find_last_not_of(" \t\r\n") + 1);
    if (!binding.empty()) {
        auto local = TixIPAddress::CreateIpAddress(binding);
        stream.Bind(*local, 0);
    }
    if (!stream.Connect(*address, port)) {
        StartTick();
        int limit = ConnectTimeOut != 0 ? ConnectTimeOut : TimeOut;
        do {
            short revents = 0;
            if (WaitForSocket(POLLOUT, limit, revents)) {
                int error = PendingSocketError();
                if (error != 0) RaiseSocketError(error);
                break;
            }
        } while (!IsAborted());
    }
    if (IsAborted()) {
        Close(false);
        // Closed while connecting: the open failed, it must not look like success.
        RaiseSocketError(IX_NOT_CONNECTED);
    }
    RaiseReceiveBuffer(socket_->Handle());
    SetActive(true);
    DispatchNextAction();
    if (!Active()) RaiseSocketError(IX_NOT_CONNECTED);
    stream.UpdateLocalAddress();
    stream.StreamReady();
}

void TixTcpClientConnection::OpenSession() {
    if (!Active()) RaiseSocketError(IX_NOT_CONNECTED);
    NetworkStream().InitClientSession();
    if (!IsAborted()) {
        DispatchNextAction();
        NetworkStream().StreamReady();
    } else {
        Close(false);
    }
}

// ---- TixUdpConnection ----

namespace {
// A datagram socket has no connection to shut down: closing it is enough.
class TixDatagramSocket : public TixSocket {
public:
    void Close() override {
        if (Handle() >= 0) ::close(Handle());
        TixSocket::Attach(-1, 0);
    }
    ~TixDatagramSocket() override { TixDatagramSocket::Close(); }
};
}  // namespace

TixUdpConnection::TixUdpConnection() {
    socket_ = std::make_unique<TixDatagramSocket>();
}

void TixUdpConnection::ResetAbort() {
    if (IsAborted())
        TixSyncConnection::ResetAbort();
    else
        TixConnection::ResetAbort();
}

void TixUdpNetworkStream::UpdateLocalAddress() {
    if (localKnown_ || !Connection()->Active()) return;
    TixNetworkStream::UpdateLocalAddress();
    localKnown_ = true;
}

TixUdpConnection::~TixUdpConnection() {
    try {
        Close(false);
    } catch (...) {
    }
}

void TixUdpConnection::ReadData(TixStream* destination) {
    StartTick();
    if (!Active()) RaiseSocketError(ENOTSOCK);
    TixNetworkStream& stream = NetworkStream();
    if (sender_ == nullptr || sender_->GetFamily() != socket_->Family())
        sender_ = TixIPAddress::CreateForFamily(socket_->Family());
    TixIPAddress* address = sender_.get();
    int port = 0;
    if (stream.HasReadData) {
        stream.HasReadData = false;
        if (stream.ReadFrom(destination, *address, port)) return;
    }
    while (!IsAborted()) {
        short revents = 0;
        if (!WaitForSocket(POLLIN, TimeOut, revents)) continue;
        if ((revents & POLLERR) != 0) {
            int error = PendingSocketError();
            if (error != 0) RaiseSocketError(error);
        }
        if (stream.ReadFrom(destination, *address, port)) return;
    }
}

void TixUdpConnection::WriteData(TixStream* source) {
    StartTick();
    if (!Active()) RaiseSocketError(ENOTSOCK);
    TixNetworkStream& stream = NetworkStream();
    if (target_ == nullptr || PeerIP != targetIp_ || PeerPort != targetPort_) {
        target_ = TixIPAddress::CreateIpAddress(PeerIP);
        targetIp_ = PeerIP;
        targetPort_ = PeerPort;
    }
    TixIPAddress* address = target_.get();
    int port = PeerPort;
    if (stream.WriteTo(source, *address, port)) return;
    while (!IsAborted()) {
        short events = POLLOUT | (stream.HasReadData ? 0 : POLLIN);
        short revents = 0;
        if (!WaitForSocket(events, TimeOut, revents)) continue;
        if ((revents & POLLIN) != 0) stream.HasReadData = true;
        if ((revents & POLLERR) != 0) {
            int error = PendingSocketError();
            if (error != 0) RaiseSocketError(error);
        }
        if ((revents & POLLOUT) != 0) {
            StartTick();
            if (stream.WriteTo(source, *address, port)) return;
        }
    }
}

// ---- TixUdpClientConnection ----

void TixUdpClientConnection::Open(const std::string& ip, int port) {
    // Queries to one server reuse its parsed address.
    if (target_ == nullptr || openedIp_ != ip) {
        target_ = TixIPAddress::CreateIpAddress(ip);
        openedIp_ = ip;
    }
    TixIPAddress* address = target_.get();
    TixNetworkStream& stream = NetworkStream();
    int family = address->GetFamily();
    int handle = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    ResetAbort();
    if (handle < 0) RaiseLastSocketError();
    socket_->Attach(handle, family);
    try {
        std::string binding = LocalBinding;
        binding.erase(0, binding.find_first_not_of(" \t\r\n"));
        binding.erase(binding.find_last_not_of(" \t\r\n") + 1);
        if (!binding.empty()) {
            auto local = TixIPAddress::CreateIpAddress(binding);
            stream.Bind(*local, 0);
        }
        // A datagram socket connects at once; it records the peer in the stream and connection.
        stream.Connect(*address, port);
        targetIp_ = PeerIP;
        targetPort_ = PeerPort;
    } catch (...) {
        socket_->Close();
        throw;
    }
    SetActive(true);
    if (auto udp = dynamic_cast<TixUdpNetworkStream*>(&stream)) udp->ForgetLocalAddress();
    stream.UpdateLocalAddress();
    stream.StreamReady();
}

}  // namespace ix
