#pragma once
// SOCKS4, SOCKS4a and SOCKS5 tunnels. With FirewallSettings.Server set, a TCP client connects to
// the proxy and wraps its network stream (plain or TLS) in one of these. The SOCKS stream runs the
// handshake inside the connection's own read and write loops (ixSocket.h) and then hands every
// operation to the stream it wraps, so TLS runs inside the tunnel.
//
// - A reply is read exactly: the target's first bytes (a greeting, a TLS ServerHello) stay on the
//   socket for the wrapped stream, whether they came in the reply's segment or later.
// - Handshake bytes count for neither progress nor the byte limit; the whole handshake is bounded
//   by the connection's TimeOut.
// - The proxy's refusal raises EixSocksFirewallError with its code byte and the standard text.
//   Targets and credentials the protocol cannot carry are refused before connecting, and a proxy
//   that closes without a complete reply fails the open; those use the negative codes below.

#include <cstdint>
#include <memory>
#include <string>

#include "base/ixTypes.h"
#include "transport/ixSocket.h"

namespace ix {

class EixSocksFirewallError : public EixSocketError {
public:
    using EixSocketError::EixSocketError;
};

// Refusals made here, clear of the TCP and command clients' codes (-101 to -103).
constexpr int IX_SOCKS_IPV6_TARGET = -110;
constexpr int IX_SOCKS_FIELD_TOO_LONG = -111;
constexpr int IX_SOCKS_NO_REPLY = -112;

// The fixed text of a SOCKS4 reply code (90..93) or a SOCKS5 connect reply code (0..8).
std::string Socks4ReplyText(int code);
std::string Socks5ReplyText(int code);

class TixSocksNetworkStream : public TixNetworkStream {
public:
    explicit TixSocksNetworkStream(std::unique_ptr<TixNetworkStream> innerStream);
    ~TixSocksNetworkStream() override;

    void SetConnection(TixConnection* connection) override;
    void Assign(const TixNetworkStream& source) override;
    bool Connect(TixIPAddress& address, int port) override;
    void UpdateLocalAddress() override;
    void SetBroadcast() override {}
    void CloseStream(bool notify) override;
    void Disconnecting() override;
    void StreamReady() override;
    bool Read(TixStream* destination) override;
    bool Write(TixStream* source) override;
    bool ReadFrom(TixStream*, TixIPAddress&, int&) override { return false; }
    bool WriteTo(TixStream*, TixIPAddress&, int) override { return false; }
    int GetReadBatchSize() override;
    int GetWriteBatchSize() override;
    bool IsProceedLimit() override;
    void ResetProgress() override;
    void UpdateProgress(std::int64_t count) override;
    void InitClientSession() override;
    void InitServerSession() override {}

    // The request of the current stage.
    virtual TixByteArray BuildRequest() = 0;
    // Checks the reply collected so far: false while it is incomplete (a read is asked for), true
    // once it was accepted and the next stage began; a refusal raises.
    virtual bool ParseReply(const TixByteArray& reply) = 0;
    // The reply length expected in the current stage.
    virtual int ReplySize() = 0;

    // The target: a host name or an address text, and its port. (Port() is the local port.)
    const std::string& Host() const { return host_; }
    void SetHost(const std::string& value) { host_ = value; }
    int TargetPort() const { return targetPort_; }
    void SetTargetPort(int value) { targetPort_ = value; }
    const std::string& UserName() const { return userName_; }
    void SetUserName(const std::string& value) { userName_ = value; }
    const std::string& Password() const { return password_; }
    void SetPassword(const std::string& value) { password_ = value; }

    // 0 before the first request; 1 and 2 are SOCKS5's authentication and connect stages; 3 the
    // reply was accepted; 4 the tunnel is up.
    std::uint8_t SocksState() const { return socksState_; }
    TixNetworkStream& InnerStream() const { return *inner_; }

protected:
    // Refuses, before anything is sent, a target or credentials this protocol cannot carry.
    virtual void CheckTarget() = 0;
    void SetSocksState(std::uint8_t value) { socksState_ = value; }
    // The first four bytes of an IPv4 address text.
    static void AppendIpv4(TixByteArray& request, const std::string& address);
    static void AppendPort(TixByteArray& request, int port);

private:
    bool Tunnel() const { return socksState_ >= 4; }
    // Mirrors the wrapped stream's requests and end-of-stream flags after it ran.
    void TakeInnerState(bool afterRead);
    void CheckHandshakeTime();

    std::unique_ptr<TixNetworkStream> inner_;
    TixByteArray reply_;
    TixByteArray request_;  // the request being sent, and how much of it went out
    std::size_t requestSent_ = 0;
    std::string host_;
    int targetPort_ = 0;
    std::string userName_;
    std::string password_;
    std::uint8_t socksState_ = 0;
    std::int64_t handshakeStart_ = -1;
};

// Always resolves the target here: the request carries an IPv4 address.
class TixSocks4NetworkStream : public TixSocksNetworkStream {
public:
    using TixSocksNetworkStream::TixSocksNetworkStream;

    TixByteArray BuildRequest() override;
    bool ParseReply(const TixByteArray& reply) override;
    int ReplySize() override { return 8; }

protected:
    void CheckTarget() override;

    // The address the request carries; empty when the proxy resolves Host.
    std::string address_;
};

// Passes a host name to the proxy (address 0.0.0.1 and the name after the user name).
class TixSocks4aNetworkStream : public TixSocks4NetworkStream {
public:
    using TixSocks4NetworkStream::TixSocks4NetworkStream;

protected:
    void CheckTarget() override;
};

// Method selection, user name and password when UserName is set, then the connect: an IPv4
// target as type 1, IPv6 as type 4, a name as type 3.
class TixSocks5NetworkStream : public TixSocksNetworkStream {
public:
    using TixSocksNetworkStream::TixSocksNetworkStream;

    bool Connect(TixIPAddress& address, int port) override;
    TixByteArray BuildRequest() override;
    bool ParseReply(const TixByteArray& reply) override;
    int ReplySize() override { return replySize_ > 2 ? replySize_ : 2; }

protected:
    void CheckTarget() override;

private:
    int replySize_ = 0;
};

}  // namespace ix
