#pragma once
// The TCP client component: connection settings with their defaults, the Open/Close sequence and
// the keep-alive timer. Protocol clients derive from it (TLS, then the command client).
// Open and Close block; errors are EixSocketError (EixTcpClientError for client-level faults).

#include <memory>
#include <mutex>
#include <string>

#include "base/ixComponent.h"
#include "transport/ixFirewallUtils.h"
#include "transport/ixSocket.h"

namespace ix {

class EixTcpClientError : public EixSocketError {
public:
    using EixSocketError::EixSocketError;
};

class TixTcpProxy;
class TixEventLoop;

class TixTcpClient : public TixComponent {
public:
    explicit TixTcpClient(TixComponent* owner = nullptr);
    ~TixTcpClient() override;

    // Connects (nothing when already Active), starts the keep-alive timer and raises OnOpen. A
    // failed open leaves the component closed and passes the open's exception on.
    void Open();
    // Closes (the notifying close of the stream first) and raises OnClose when it was active.
    void Close();
    bool Active();
    // Raises -6 when not Active.
    void CheckConnected();

    const std::string& Server() const { return server_; }
    void SetServer(const std::string& value) { SetProperty(server_, value); }
    int Port() const { return port_; }
    void SetPort(int value) { SetProperty(port_, value); }
    int KeepAlive() const { return keepAlive_; }
    void SetKeepAlive(int value) { SetProperty(keepAlive_, value); }

    virtual int GetBatchSize();
    virtual void SetBatchSize(int value);
    int BatchSize() { return GetBatchSize(); }
    int TimeOut();
    void SetTimeOut(int value);
    int ConnectTimeOut();
    void SetConnectTimeOut(int value);
    int BitsPerSec();
    void SetBitsPerSec(int value);
    bool UseIpV6();
    void SetUseIpV6(bool value);
    std::string LocalBinding();
    void SetLocalBinding(const std::string& value);
    bool DisableGuiProcessing();
    void SetDisableGuiProcessing(bool value);

    TixFirewallSettings& FirewallSettings() { return firewallSettings_; }
    void SetFirewallSettings(const TixFirewallSettings& value) { firewallSettings_.Assign(value); }
    TixTcpProxy* Proxy() const { return proxy_; }
    void SetProxy(TixTcpProxy* value);

    // The connection in use: the proxy's when Proxy is set.
    virtual TixTcpClientConnection& GetConnection();
    virtual TixTcpProxy* GetProxy() { return proxy_; }
    virtual int GetDefaultPort() { return 0; }

    TixNotifyEvent OnOpen;
    TixNotifyEvent OnClose;

protected:
    virtual std::unique_ptr<TixNetworkStream> CreateNetworkStream();
    virtual void OpenConnection(const std::string& host, int port);
    virtual void InternalOpen();
    virtual void InternalClose(bool notify);
    virtual void DoDestroy() {}
    // Run by the keep-alive timer; exceptions are swallowed.
    virtual void DoKeepAlive() {}
    virtual void DoOpen();
    virtual void DoClose();
    void Notification(TixComponent* component, TixOperation operation) override;

    // Derived classes with a default port call this in their constructor.
    void InitDefaultPort() { port_ = GetDefaultPort(); }
    bool InClose() const { return inClose_; }
    void SetInClose(bool value) { inClose_ = value; }

    void StartKeepAliveTimer();
    void StopKeepAliveTimer();

private:
    void RunKeepAliveTimer();

    std::string server_;
    int port_ = 0;
    int keepAlive_ = 0;
    TixFirewallSettings firewallSettings_;
    TixTcpProxy* proxy_ = nullptr;
    bool inClose_ = false;
    std::mutex timerLock_;
    TixEventLoop* timerLoop_ = nullptr;  // the loop of the thread that opened
    int timerId_ = 0;
    bool timerRunning_ = false;
    std::unique_ptr<TixTcpClientConnection> connection_;
};

// A component that opens a tunnel for a client (the client's Proxy); no concrete proxy exists yet.
class TixTcpProxy : public TixTcpClient {
public:
    using TixTcpClient::TixTcpClient;
    virtual void OpenTunnel(const std::string& host, int port) = 0;
    virtual void CloseTunnel() = 0;
};

}  // namespace ix
