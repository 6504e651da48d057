#pragma once
// The datagram client of DNS exchanges: a component over a UDP client connection with a network
// stream of its own. Open resolves Server (IPv4, or IPv6 with UseIpV6) and opens the connection;
// SendPacket and ReceivePacket move one datagram each and block up to TimeOut. Errors are
// EixSocketError.

#include <functional>
#include <memory>
#include <string>

#include "base/ixComponent.h"
#include "base/ixStream.h"
#include "transport/ixSocket.h"

namespace ix {

using TixUdpPacketEvent = std::function<void(TixObject* Sender, TixStream& AData)>;

class TixUdpClient : public TixComponent {
public:
    explicit TixUdpClient(TixComponent* owner = nullptr);
    ~TixUdpClient() override;

    void Open();
    void Close();
    bool Active() const { return connection_.Active(); }
    // Writes the bytes of data from its position on as one datagram, then OnSendPacket.
    void SendPacket(TixStream& data);
    // Reads one datagram (up to DatagramSize bytes) into data at its position, then
    // OnReceivePacket; the sender is the connection's PeerIP/PeerPort.
    void ReceivePacket(TixStream& data);

    const std::string& Server() const { return server_; }
    void SetServer(const std::string& value) { SetProperty(server_, value); }
    int Port() const { return port_; }
    void SetPort(int value) { SetProperty(port_, value); }
    int DatagramSize() const { return connection_.BatchSize; }
    void SetDatagramSize(int value) { SetProperty(connection_.BatchSize, value); }
    int TimeOut() const { return connection_.TimeOut; }
    void SetTimeOut(int value) { SetProperty(connection_.TimeOut, value); }
    int BitsPerSec() const { return connection_.BitsPerSec; }
    void SetBitsPerSec(int value) { SetProperty(connection_.BitsPerSec, value); }
    bool UseIpV6() const { return connection_.UseIpV6; }
    void SetUseIpV6(bool value) { SetProperty(connection_.UseIpV6, value); }
    const std::string& LocalBinding() const { return connection_.LocalBinding; }
    void SetLocalBinding(const std::string& value) { SetProperty(connection_.LocalBinding, value); }
    // Kept for the settings' sake: datagrams are bytes and pass unchanged.
    const std::string& CharSet() const { return charSet_; }
    void SetCharSet(const std::string& value) { SetProperty(charSet_, value); }
    bool DisableGuiProcessing() const { return connection_.DisableGuiProcessing; }
    void SetDisableGuiProcessing(bool value) { SetProperty(connection_.DisableGuiProcessing, value); }

    TixUdpClientConnection& GetConnection() { return connection_; }

    TixUdpPacketEvent OnSendPacket;
    TixUdpPacketEvent OnReceivePacket;

protected:
    virtual void DoSendPacket(TixStream& data);
    virtual void DoReceivePacket(TixStream& data);

private:
    std::string server_;
    int port_ = 0;
    std::string charSet_;
    TixUdpClientConnection connection_;
};

}  // namespace ix
