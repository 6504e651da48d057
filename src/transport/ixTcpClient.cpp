#include "transport/ixTcpClient.h"

#include "transport/ixEventLoop.h"
#include "transport/ixSocksStream.h"

namespace ix {

TixTcpClient::TixTcpClient(TixComponent* owner) : TixComponent(owner) {
    GetConnection().TimeOut = 60000;
}

TixTcpClient::~TixTcpClient() {
    try {
        Close();
    } catch (...) {
    }
    DoDestroy();
    StopKeepAliveTimer();
    SetProxy(nullptr);
}

TixTcpClientConnection& TixTcpClient::GetConnection() {
    if (proxy_ != nullptr) return proxy_->GetConnection();
    if (connection_ == nullptr) connection_ = std::make_unique<TixTcpClientConnection>();
    return *connection_;
}

bool TixTcpClient::Active() {
    return GetConnection().Active();
}

void TixTcpClient::CheckConnected() {
    if (!Active()) RaiseSocketError(IX_NOT_CONNECTED);
}

void TixTcpClient::Open() {
    if (Active()) return;
    try {
        InternalOpen();
        StartKeepAliveTimer();
        DoOpen();
    } catch (...) {
        inClose_ = true;
        try {
            StopKeepAliveTimer();
            InternalClose(false);
        } catch (const EixSocketError&) {
        } catch (...) {
            inClose_ = false;
            throw;
        }
        inClose_ = false;
        throw;
    }
}

void TixTcpClient::Close() {
    StopKeepAliveTimer();
    bool wasActive = Active();
    InternalClose(true);
    if (wasActive) DoClose();
}

void TixTcpClient::InternalOpen() {
    if (GetBatchSize() < 1) RaiseSocketError(IX_INVALID_BATCH_SIZE);
    OpenConnection(server_, port_);
}

void TixTcpClient::InternalClose(bool notify) {
    TixTcpClientConnection& connection = GetConnection();
    connection.Abort();
    connection.Close(notify);
}

std::unique_ptr<TixNetworkStream> TixTcpClient::CreateNetworkStream() {
    return std::make_unique<TixNetworkStream>();
}

void TixTcpClient::OpenConnection(const std::string& host, int port) {
    if (proxy_ != nullptr) {
        proxy_->OpenTunnel(host, port);
        TixTcpClientConnection& connection = GetConnection();
        connection.SetNetworkStream(CreateNetworkStream());
        connection.OpenSession();
        return;
    }
    TixTcpClientConnection& connection = GetConnection();
    connection.SetNetworkStream(nullptr);
    auto stream = CreateNetworkStream();
    if (firewallSettings_.Server().empty()) {
        connection.SetNetworkStream(std::move(stream));
        connection.Open(GetHostIP(host, connection.UseIpV6), port);
        return;
    }
    std::unique_ptr<TixSocksNetworkStream> socks;
    switch (firewallSettings_.FirewallType()) {
        case TixFirewallType::ftSocks4:
            socks = std::make_unique<TixSocks4NetworkStream>(std::move(stream));
            break;
        case TixFirewallType::ftSocks5:
            socks = std::make_unique<TixSocks5NetworkStream>(std::move(stream));
            break;
        case TixFirewallType::ftSocks4a:
            socks = std::make_unique<TixSocks4aNetworkStream>(std::move(stream));
            break;
        default:
            throw EixTcpClientError(IX_UNSUPPORTED_FIREWALL);
    }
    socks->SetTargetPort(port);
    socks->SetUserName(firewallSettings_.UserName());
    socks->SetPassword(firewallSettings_.Password());
    socks->SetHost(firewallSettings_.NeedResolveIP() ? host : GetHostIP(host, connection.UseIpV6));
    connection.SetNetworkStream(std::move(socks));
    connection.Open(GetHostIP(firewallSettings_.Server(), connection.UseIpV6), firewallSettings_.Port());
}

int TixTcpClient::GetBatchSize() {
    return GetConnection().BatchSize;
}

void TixTcpClient::SetBatchSize(int value) {
    if (GetConnection().BatchSize == value) return;
    GetConnection().BatchSize = value;
    DoChanged();
}

int TixTcpClient::TimeOut() {
    return GetConnection().TimeOut;
}
void TixTcpClient::SetTimeOut(int value) {
    SetProperty(GetConnection().TimeOut, value);
}
int TixTcpClient::ConnectTimeOut() {
    return GetConnection().ConnectTimeOut;
}
void TixTcpClient::SetConnectTimeOut(int value) {
    SetProperty(GetConnection().ConnectTimeOut, value);
}
int TixTcpClient::BitsPerSec() {
    return GetConnection().BitsPerSec;
}
void TixTcpClient::SetBitsPerSec(int value) {
    SetProperty(GetConnection().BitsPerSec, value);
}
bool TixTcpClient::UseIpV6() {
    return GetConnection().UseIpV6;
}
void TixTcpClient::SetUseIpV6(bool value) {
    SetProperty(GetConnection().UseIpV6, value);
}
std::string TixTcpClient::LocalBinding() {
    return GetConnection().LocalBinding;
}
void TixTcpClient::SetLocalBinding(const std::string& value) {
    SetProperty(GetConnection().LocalBinding, value);
}
bool TixTcpClient::DisableGuiProcessing() {
    return GetConnection().DisableGuiProcessing;
}
void TixTcpClient::SetDisableGuiProcessing(bool value) {
    SetProperty(GetConnection().DisableGuiProcessing, value);
}

void TixTcpClient::SetProxy(TixTcpProxy* value) {
    SetLink(proxy_, value);
}

void TixTcpClient::Notification(TixComponent* component, TixOperation operation) {
    TixComponent::Notification(component, operation);
    if (operation == TixOperation::opRemove && component == proxy_) proxy_ = nullptr;
}

void TixTcpClient::DoOpen() {
    if (OnOpen) OnOpen(this);
}

void TixTcpClient::DoClose() {
    if (OnClose) OnClose(this);
}

void TixTcpClient::StartKeepAliveTimer() {
    std::lock_guard lock(timerLock_);
    if (keepAlive_ <= 0 || timerRunning_) return;
    timerLoop_ = &TixEventLoop::Current();
    timerId_ = timerLoop_->StartTimer(keepAlive_, [this] { RunKeepAliveTimer(); });
    timerRunning_ = true;
}

void TixTcpClient::StopKeepAliveTimer() {
    std::lock_guard lock(timerLock_);
    if (!timerRunning_) return;
    timerLoop_->StopTimer(timerId_);
    timerRunning_ = false;
}

void TixTcpClient::RunKeepAliveTimer() {
    {
        // The single-shot timer has fired already.
        std::lock_guard lock(timerLock_);
        timerRunning_ = false;
    }
    try {
        DoKeepAlive();
    } catch (...) {
    }
    StartKeepAliveTimer();
}

}  // namespace ix
