#include "transport/ixSocksStream.h"

#include <arpa/inet.h>

#include <cerrno>

#include "transport/ixEventLoop.h"

namespace ix {

namespace {

[[noreturn]] void RaiseSocks(int code, const std::string& text) {
    throw EixSocksFirewallError(text, code);
}

[[noreturn]] void RaiseSocks(int code) {
    switch (code) {
        case IX_SOCKS_IPV6_TARGET:
            RaiseSocks(code, "SOCKS error: SOCKS4 cannot carry an IPv6 target address");
        case IX_SOCKS_FIELD_TOO_LONG:
            RaiseSocks(code, "SOCKS error: user name, password or host name longer than 255 bytes");
        default:
            RaiseSocks(code, "SOCKS error: the proxy closed the connection without a complete reply");
    }
}

bool IsIpv6Text(const std::string& text) {
    in6_addr address{};
    return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

void AppendText(TixByteArray& request, const std::string& text) {
    request.insert(request.end(), text.begin(), text.end());
}

}  // namespace

std::string Socks4ReplyText(int code) {
    switch (code) {
        case 90:
            return "Request granted";
        case 91:
            return "SOCKS error: request rejected or failed";
        case 92:
            return "SOCKS error: request rejected becasue SOCKS server cannot connect to identd on the "
                   "client";
        case 93:
            return "SOCKS error: request rejected because the client program and identd report different "
                   "user-ids";
        default:
            return "Unknown SOCKS error occured";
    }
}

std::string Socks5ReplyText(int code) {
    switch (code) {
        case 0:
            return "Succeeded";
        case 1:
            return "General SOCKS server failure";
        case 2:
            return "SOCKS error: connection not allowed by ruleset";
        case 3:
            return "SOCKS error: Network unreachable";
        case 4:
            return "SOCKS error: Host unreachable";
        case 5:
            return "SOCKS error: Connection refused";
        case 6:
            return "SOCKS error: TTL expired";
        case 7:
            return "SOCKS error: Command not supported";
        case 8:
            return "SOCKS error: Address type not supported";
        default:
            return "Unknown SOCKS error occured";
    }
}

// ---- TixSocksNetworkStream ----

TixSocksNetworkStream::TixSocksNetworkStream(std::unique_ptr<TixNetworkStream> innerStream)
    : inner_(std::move(innerStream)) {
    if (inner_ == nullptr) RaiseSocketError(IX_NETWORK_STREAM_REQUIRED);
    SetNextAction(naWrite);
}

TixSocksNetworkStream::~TixSocksNetworkStream() = default;

void TixSocksNetworkStream::SetConnection(TixConnection* connection) {
    TixNetworkStream::SetConnection(connection);
    inner_->SetConnection(connection);
}

void TixSocksNetworkStream::Assign(const TixNetworkStream& source) {
    TixNetworkStream::Assign(source);
    if (const auto* socks = dynamic_cast<const TixSocksNetworkStream*>(&source)) {
        host_ = socks->host_;
        targetPort_ = socks->targetPort_;
        userName_ = socks->userName_;
        password_ = socks->password_;
    }
}

bool TixSocksNetworkStream::Connect(TixIPAddress& address, int port) {
    CheckTarget();
    socksState_ = 0;
    inner_->NeedClose = inner_->ClosedGracefully = inner_->HasReadData = false;
    return TixNetworkStream::Connect(address, port);
}

void TixSocksNetworkStream::UpdateLocalAddress() {
    TixNetworkStream::UpdateLocalAddress();
    inner_->UpdateLocalAddress();
}

void TixSocksNetworkStream::CloseStream(bool notify) {
    TixNetworkStream::CloseStream(notify);
    inner_->CloseStream(notify);
    // A TLS close alert that could not go out at once is still to be written.
    if (Tunnel()) SetNextAction(inner_->NextAction());
}

void TixSocksNetworkStream::Disconnecting() {
    inner_->Disconnecting();
}

void TixSocksNetworkStream::StreamReady() {
    if (socksState_ == 3) {
        socksState_ = 4;
        InitClientSession();
    } else if (Tunnel()) {
        inner_->StreamReady();
    }
}

void TixSocksNetworkStream::InitClientSession() {
    if (!Tunnel()) {
        socksState_ = 0;
        reply_.clear();
        request_.clear();
        requestSent_ = 0;
        handshakeStart_ = -1;
        SetNextAction(naWrite);
        return;
    }
    ClearNextAction();
    inner_->InitClientSession();
    SetNextAction(inner_->NextAction());
}

void TixSocksNetworkStream::TakeInnerState(bool afterRead) {
    SetNextAction(inner_->NextAction());
    NeedClose = inner_->NeedClose;
    ClosedGracefully = inner_->ClosedGracefully;
    // The connection's own note of unread data survives a write; a read answers it.
    HasReadData = afterRead ? inner_->HasReadData : HasReadData || inner_->HasReadData;
}

void TixSocksNetworkStream::CheckHandshakeTime() {
    auto* connection = dynamic_cast<TixSyncConnection*>(Connection());
    if (connection == nullptr) return;
    std::int64_t now = TickCount();
    if (handshakeStart_ < 0) handshakeStart_ = now;
    // Each wait is bounded anyway; this bounds a proxy that trickles its reply byte by byte.
    if (connection->TimeOut >= 0 && now - handshakeStart_ > connection->TimeOut)
        RaiseSocketError(IX_TIMEOUT_ERROR);
}

bool TixSocksNetworkStream::Write(TixStream* source) {
    ClearNextAction();
    if (Tunnel()) {
        bool result = inner_->Write(source);
        TakeInnerState(false);
        return result;
    }
    CheckHandshakeTime();
    if (request_.empty()) {
        request_ = BuildRequest();
        requestSent_ = 0;
    }
    // A request cut short goes on from its first unsent byte: sending it again would garble it.
    while (requestSent_ < request_.size()) {
        long sent =
            SendBuffer(request_.data() + requestSent_, static_cast<int>(request_.size() - requestSent_));
        if (sent < 0) {
            int error = errno;
            if (IsWouldBlock(error)) return false;
            if (IsNetworkFailure(error)) NeedClose = true;
            RaiseSocketError(error);
        }
        requestSent_ += static_cast<std::size_t>(sent);
    }
    request_.clear();
    requestSent_ = 0;
    SetNextAction(naRead);
    return true;
}

bool TixSocksNetworkStream::Read(TixStream* destination) {
    ClearNextAction();
    ClosedGracefully = false;
    if (Tunnel()) {
        bool result = inner_->Read(destination);
        TakeInnerState(true);
        return result;
    }
    CheckHandshakeTime();
    // Only the reply is taken from the socket: what follows belongs to the tunnel.
    bool wouldBlock = false;
    for (;;) {
        int missing = ReplySize() - static_cast<int>(reply_.size());
        if (missing <= 0) break;
        std::size_t held = reply_.size();
        reply_.resize(held + static_cast<std::size_t>(missing));
        long received = ReceiveBuffer(reply_.data() + held, missing);
        int error = errno;
        reply_.resize(held + static_cast<std::size_t>(received > 0 ? received : 0));
        if (received < 0) {
            if (IsWouldBlock(error)) {
                wouldBlock = true;
                break;
            }
            RaiseSocketError(error);
        }
        if (received == 0) {
            NeedClose = ClosedGracefully = true;
            // A refusal cut short may still say why; otherwise the proxy just hung up.
            if (!ParseReply(reply_)) RaiseSocks(IX_SOCKS_NO_REPLY);
            reply_.clear();
            return true;
        }
        // SOCKS5 learns the connect reply's full length from its first bytes.
        if (ParseReply(reply_)) {
            reply_.clear();
            return true;
        }
        ClearNextAction();
    }
    HasReadData = false;
    if (ParseReply(reply_)) reply_.clear();
    return !wouldBlock;
}

int TixSocksNetworkStream::GetReadBatchSize() {
    return Tunnel() ? inner_->GetReadBatchSize() : TixNetworkStream::GetReadBatchSize();
}

int TixSocksNetworkStream::GetWriteBatchSize() {
    return Tunnel() ? inner_->GetWriteBatchSize() : TixNetworkStream::GetWriteBatchSize();
}

bool TixSocksNetworkStream::IsProceedLimit() {
    return Tunnel() ? inner_->IsProceedLimit() : TixNetworkStream::IsProceedLimit();
}

void TixSocksNetworkStream::ResetProgress() {
    TixNetworkStream::ResetProgress();
    inner_->ResetProgress();
}

void TixSocksNetworkStream::UpdateProgress(std::int64_t count) {
    if (Tunnel()) inner_->UpdateProgress(count);
}

void TixSocksNetworkStream::AppendIpv4(TixByteArray& request, const std::string& address) {
    in_addr bytes{};
    // Only address texts get here; anything else would be a name the proxy never sees.
    if (inet_pton(AF_INET, address.c_str(), &bytes) != 1) RaiseSocketError(IX_INVALID_ADDRESS);
    const auto* p = reinterpret_cast<const std::uint8_t*>(&bytes.s_addr);
    request.insert(request.end(), p, p + 4);
}

void TixSocksNetworkStream::AppendPort(TixByteArray& request, int port) {
    request.push_back(static_cast<std::uint8_t>((port >> 8) & 0xFF));
    request.push_back(static_cast<std::uint8_t>(port & 0xFF));
}

// ---- SOCKS4 and SOCKS4a ----

void TixSocks4NetworkStream::CheckTarget() {
    auto* connection = Connection();
    address_ = GetHostIP(Host(), connection != nullptr && connection->UseIpV6);
    if (IsIpv6Text(address_)) RaiseSocks(IX_SOCKS_IPV6_TARGET);
}

TixByteArray TixSocks4NetworkStream::BuildRequest() {
    // VN=4, CD=1 (CONNECT), DSTPORT, DSTIP, USERID, NUL.
    TixByteArray request{4, 1};
    AppendPort(request, TargetPort());
    const std::string& address = address_;
    if (address.empty())
        request.insert(request.end(), {0, 0, 0, 1});
    else
        AppendIpv4(request, address);
    AppendText(request, UserName());
    request.push_back(0);
    if (address.empty()) {
        AppendText(request, Host());
        request.push_back(0);
    }
    return request;
}

bool TixSocks4NetworkStream::ParseReply(const TixByteArray& reply) {
    if (reply.size() < 8) {
        SetNextAction(naRead);
        return false;
    }
    if (reply[0] != 0 || reply[1] != 90) RaiseSocks(reply[1], Socks4ReplyText(reply[1]));
    SetSocksState(3);
    StreamReady();
    return true;
}

void TixSocks4aNetworkStream::CheckTarget() {
    if (!TixIPAddress::IsIpAddress(Host())) {
        // The proxy resolves the name; a NUL in it would end the name early.
        if (Host().empty() || Host().find('\0') != std::string::npos) RaiseSocketError(IX_INVALID_ADDRESS);
        address_.clear();
        return;
    }
    address_ = Host();
    if (IsIpv6Text(address_)) RaiseSocks(IX_SOCKS_IPV6_TARGET);
}

// ---- SOCKS5 ----

bool TixSocks5NetworkStream::Connect(TixIPAddress& address, int port) {
    replySize_ = 0;
    return TixSocksNetworkStream::Connect(address, port);
}

void TixSocks5NetworkStream::CheckTarget() {
    // RFC 1929 and the type-3 address carry one length byte each.
    if (UserName().size() > 255 || Password().size() > 255) RaiseSocks(IX_SOCKS_FIELD_TOO_LONG);
    if (!TixIPAddress::IsIpAddress(Host())) {
        if (Host().size() > 255) RaiseSocks(IX_SOCKS_FIELD_TOO_LONG);
        if (Host().empty()) RaiseSocketError(IX_INVALID_ADDRESS);
    }
}

TixByteArray TixSocks5NetworkStream::BuildRequest() {
    TixByteArray request;
    replySize_ = 2;
    switch (SocksState()) {
        case 0:
            // VER=5, one method: 2 (user name and password) or 0 (none).
            request = {5, 1, static_cast<std::uint8_t>(UserName().empty() ? 0 : 2)};
            break;
        case 1:
            // RFC 1929: VER=1, ULEN, UNAME, PLEN, PASSWD.
            request.push_back(1);
            request.push_back(static_cast<std::uint8_t>(UserName().size()));
            AppendText(request, UserName());
            request.push_back(static_cast<std::uint8_t>(Password().size()));
            AppendText(request, Password());
            break;
        default:
            // VER=5, CMD=1 (CONNECT), RSV, ATYP, DST.ADDR, DST.PORT. The reply's length depends on
            // its address type: its first five bytes tell.
            request = {5, 1, 0};
            if (!TixIPAddress::IsIpAddress(Host())) {
                request.push_back(3);
                request.push_back(static_cast<std::uint8_t>(Host().size()));
                AppendText(request, Host());
            } else if (IsIpv6Text(Host())) {
                request.push_back(4);
                in6_addr bytes{};
                inet_pton(AF_INET6, Host().c_str(), &bytes);
                request.insert(request.end(), bytes.s6_addr, bytes.s6_addr + 16);
            } else {
                request.push_back(1);
                AppendIpv4(request, Host());
            }
            AppendPort(request, TargetPort());
            replySize_ = 5;
            break;
    }
    return request;
}

bool TixSocks5NetworkStream::ParseReply(const TixByteArray& reply) {
    std::uint8_t state = SocksState();
    // A connect refusal says why in its first two bytes, even when the proxy sends no more.
    if (state == 2 && reply.size() >= 2 && (reply[0] != 5 || reply[1] != 0))
        RaiseSocks(reply[1], Socks5ReplyText(reply[1]));
    if (reply.size() < static_cast<std::size_t>(replySize_) || reply.size() < 2) {
        SetNextAction(naRead);
        return false;
    }
    switch (state) {
        case 0:
            if (reply[0] == 5 && reply[1] == 0)
                SetSocksState(2);
            else if (reply[0] == 5 && reply[1] == 2)
                SetSocksState(1);
            else
                RaiseSocks(reply[1], "SOCKS error: No acceptable authentication methods");
            SetNextAction(naWrite);
            return true;
        case 1:
            if (reply[0] != 1 || reply[1] != 0) RaiseSocks(reply[1], "SOCKS error: authentication failed");
            SetSocksState(2);
            SetNextAction(naWrite);
            return true;
        default:
            break;
    }
    int size = 0;
    switch (reply[3]) {
        case 1:
            size = 10;
            break;
        case 3:
            size = 7 + reply[4];
            break;
        case 4:
            size = 22;
            break;
        default:
            RaiseSocks(reply[3], "SOCKS error: Address type not supported");
    }
    if (reply.size() < static_cast<std::size_t>(size)) {
        replySize_ = size;
        SetNextAction(naRead);
        return false;
    }
    SetSocksState(3);
    StreamReady();
    return true;
}

}  // namespace ix
