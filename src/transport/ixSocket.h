#pragma once
// Sockets, network streams and connections.
//
// A connection owns one socket and its current network stream. The stream moves bytes between
// the non-blocking socket and byte streams in batches and never waits: when the socket would
// block it answers false, and through NextAction it asks its connection for another read or
// write. The connection waits (through the thread's TixEventLoop) and calls the stream again.
// TLS and SOCKS streams derive from TixNetworkStream and follow the same contract:
// - Read and Write clear NextAction on entry; what a call leaves in it is its own request, and
//   the first request of a call wins. The connection serves requests until none is left.
// - Read without a destination reads for the stream itself (a handshake); bytes meant for the
//   caller are kept and handed to the next Read with a destination without touching the socket,
//   and HasReadData tells the connection not to wait for them.
// - Write without a source sends what the stream has queued (a handshake flight, a close alert);
//   when that is done and the stream expects the peer's answer, it asks for a read.
// - A Write that would block leaves the source at the first byte whose transfer is not complete
//   (for a stream that transforms the bytes: the start of the unit still being sent), answers
//   false and asks for nothing; the connection waits for the socket and calls it again with the
//   same source.
// - A stream that runs an exchange of its own calls StreamReady once that exchange is done.
// - BytesProceed, progress and the byte limit count the caller's bytes; throttling counts the
//   bytes on the socket.
//
// Every operation blocks its caller. Errors are EixSocketError; a wait past TimeOut raises -1
// and leaves the connection as it was. The peer's close seen during a read or write closes the
// connection without notify; the bytes already received are delivered.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/ixStream.h"
#include "base/ixTypes.h"
#include "transport/ixEventLoop.h"
#include "transport/ixIpAddress.h"
#include "transport/ixSocketError.h"

namespace ix {

class TixConnection;

class TixSocket {
public:
    virtual ~TixSocket();
    // Shuts the socket down both ways and closes it; the family becomes 0 in all cases.
    virtual void Close();
    virtual void Attach(int handle, int family);

    int Handle() const { return handle_; }
    int Family() const { return family_; }
    bool IsValid() const { return handle_ >= 0; }

private:
    int handle_ = -1;
    int family_ = 0;
};

enum TixNextAction : std::uint8_t { naNone = 0, naRead = 1, naWrite = 2 };

class TixNetworkStream : public TixObject {
public:
    TixNetworkStream() = default;
    ~TixNetworkStream() override = default;
    TixNetworkStream(const TixNetworkStream&) = delete;
    TixNetworkStream& operator=(const TixNetworkStream&) = delete;

    // Bytes per system call: the connection's BatchSize, cut to what the byte limit still allows.
    // BatchSize below 1 raises -4.
    virtual int GetBatchSize();
    virtual void SetConnection(TixConnection* connection) { connection_ = connection; }
    // Takes over the addresses and the pending-read flag of the stream it replaces.
    virtual void Assign(const TixNetworkStream& source);
    // Starts a non-blocking connect; answers true when it completed at once.
    virtual bool Connect(TixIPAddress& address, int port);
    virtual void UpdateLocalAddress();
    virtual void Bind(TixIPAddress& address, int port);
    // Binds the first free port of the range; -3 for a bad range, the last port's error otherwise.
    virtual void BindRange(TixIPAddress& address, int minPort, int maxPort);
    virtual void SetBroadcast();
    virtual void GetLocalAddress();
    virtual void CloseStream(bool notify);
    virtual void Disconnecting() {}
    virtual void StreamReady();
    // Drains the socket into destination (nullptr: nothing to read into); false when it would block
    // before anything ended the read.
    virtual bool Read(TixStream* destination);
    // Sends the source from its position on; false when the socket would block, the source then
    // standing at the first byte not accepted.
    virtual bool Write(TixStream* source);
    virtual bool WriteCount(TixStream* source, std::int64_t count);
    // One datagram.
    virtual bool ReadFrom(TixStream* destination, TixIPAddress& address, int& port);
    virtual bool WriteTo(TixStream* source, TixIPAddress& address, int port);
    // One system call each, throttled; the system's result, errno telling the failure.
    virtual long ReceiveBuffer(void* buffer, int length);
    virtual long SendBuffer(const void* buffer, int length);
    virtual int GetReadBatchSize() { return GetBatchSize(); }
    virtual int GetWriteBatchSize() { return GetBatchSize(); }
    virtual bool IsProceedLimit();
    virtual void ResetProgress() { bytesProceed_ = 0; }
    virtual void UpdateProgress(std::int64_t count);
    virtual void InitClientSession() {}
    virtual void InitServerSession() {}

    TixNextAction NextAction() const { return nextAction_; }
    // The first request wins: a value is stored only while none is pending.
    void SetNextAction(TixNextAction value) {
        if (nextAction_ == naNone) nextAction_ = value;
    }
    void ClearNextAction() { nextAction_ = naNone; }
    bool IsReadComplete();

    TixConnection* Connection() const { return connection_; }
    const std::string& IP() const { return ip_; }
    int Port() const { return port_; }
    const std::string& PeerIP() const { return peerIp_; }
    int PeerPort() const { return peerPort_; }
    bool HasReadData = false;
    bool NeedClose = false;
    bool ClosedGracefully = false;
    std::int64_t BytesProceed() const { return bytesProceed_; }

protected:
    // Sleeps after a call as the throttle asks, keeping the GUI alive; errno is preserved.
    void Throttle(int length);
    void SetPeer(const std::string& ip, int port);
    void SetLocal(const std::string& ip, int port);
    int SocketHandle() const;
    // The reusable transfer buffer, grown to at least size bytes.
    std::uint8_t* Buffer(int size);

private:
    TixConnection* connection_ = nullptr;
    TixNextAction nextAction_ = naNone;
    std::string ip_;
    int port_ = 0;
    std::string peerIp_;
    int peerPort_ = 0;
    std::int64_t bytesProceed_ = 0;
    std::vector<std::uint8_t> buffer_;
};

class TixConnection : public TixObject {
public:
    TixConnection();
    ~TixConnection() override;
    TixConnection(const TixConnection&) = delete;
    TixConnection& operator=(const TixConnection&) = delete;

    virtual bool IsPeerClosed();
    virtual void DoProgress(std::int64_t bytesProceed, std::int64_t totalBytes);
    virtual void DoReady();
    virtual void SetActive(bool value) { active_ = value; }
    virtual void Close(bool notify);
    virtual void CloseSession(bool notify);
    virtual void ReadData(TixStream* destination) = 0;
    virtual void WriteData(TixStream* source) = 0;
    virtual void DispatchNextAction() {}
    virtual void Abort();

    // The current stream; none raises -5.
    TixNetworkStream& NetworkStream() const;
    bool HasNetworkStream() const { return stream_ != nullptr; }
    void SetNetworkStream(std::unique_ptr<TixNetworkStream> stream);
    void InitProgress(std::int64_t bytesProceed, std::int64_t totalBytes);
    // Writes text converted to charset (an empty charset writes its bytes unchanged).
    void WriteString(const std::string& text, const std::string& charset);

    TixSocket& Socket() { return *socket_; }
    const TixSocket& Socket() const { return *socket_; }
    bool Active() const { return active_; }
    bool IsAborted() const { return isAborted_; }

    int BatchSize = 8192;
    int BitsPerSec = 0;
    bool UseIpV6 = false;
    bool DisableGuiProcessing = false;
    std::int64_t BytesProceed = 0;
    std::int64_t TotalBytes = 0;
    // Byte limit for the stream since its last progress reset; negative: none.
    std::int64_t BytesToProceed = -1;
    std::string IP;
    int Port = 0;
    std::string PeerIP;
    int PeerPort = 0;

    TixProgressEvent OnProgress;
    TixNotifyEvent OnReady;

    // The fd that Abort signals; the stream's throttle pause watches it too.
    virtual int AbortHandle() const { return -1; }

protected:
    // A socket is about to be created: clears the abort state.
    virtual void ResetAbort() { isAborted_ = false; }
    std::unique_ptr<TixSocket> socket_;
    std::unique_ptr<TixNetworkStream> stream_;
    bool active_ = false;
    bool isAborted_ = false;
};

class TixSyncConnection : public TixConnection {
public:
    TixSyncConnection();
    ~TixSyncConnection() override;

    void Abort() override;
    int AbortHandle() const override { return abortFd_; }

    int TimeOut = 5000;  // ms; -1 waits without limit
    std::string LocalBinding;

protected:
    void ResetAbort() override;
    // One wait for the socket (events as for poll) and the abort signal, dispatching GUI events
    // unless DisableGuiProcessing. Answers true with revents when the socket is ready; false when
    // an abort or GUI events woke it (the caller checks its state and loops). Raises -1 when more
    // than limit ms passed since the start tick.
    bool WaitForSocket(short events, int limit, short& revents);
    void StartTick() { startTick_ = TickCount(); }
    // The pending error of the socket (SO_ERROR), 0 when none.
    int PendingSocketError();

private:
    int abortFd_ = -1;
    std::int64_t startTick_ = 0;
};

class TixTcpConnection : public TixSyncConnection {
public:
    ~TixTcpConnection() override;
    bool IsPeerClosed() override;
    void SetActive(bool value) override;
    // One ReadData returns after the first readable signal was drained, the peer's close, an abort
    // or the byte limit; then it serves whatever the stream still asks for.
    void ReadData(TixStream* destination) override;
    void WriteData(TixStream* source) override;
    void DispatchNextAction() override;

    bool ClosedByPeer = false;

protected:
    void InternalRead(TixStream* destination);
    void InternalWrite(TixStream* source);
};

class TixTcpClientConnection : public TixTcpConnection {
public:
    // Connects to an address text (no lookup here); ConnectTimeOut, or TimeOut when it is 0,
    // limits the connect. An abort during the connect closes and raises -6.
    void Open(const std::string& ip, int port);
    // Starts the stream's session on the active connection (after a tunnel, or STARTTLS).
    void OpenSession();

    int ConnectTimeOut = 0;
};

// Datagram connections (the DNS client's). ReadData takes one datagram: at once when HasReadData
// is set, else after waiting up to TimeOut for one; afterwards PeerIP/PeerPort name its sender.
// WriteData sends the source as one datagram to PeerIP/PeerPort, waiting while the socket would
// block. An inactive connection raises ENOTSOCK.
class TixUdpConnection : public TixSyncConnection {
public:
    ~TixUdpConnection() override;
    void ReadData(TixStream* destination) override;
    void WriteData(TixStream* source) override;
};

class TixUdpClientConnection : public TixUdpConnection {
public:
    // Opens a datagram socket to an address text (no lookup here), bound to LocalBinding when set.
    // The socket is connected, so the system delivers only datagrams from that address and port,
    // and a refusal (ICMP port unreachable) shows as ECONNREFUSED on the next read.
    void Open(const std::string& ip, int port);
};

}  // namespace ix
