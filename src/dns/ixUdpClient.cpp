#include "dns/ixUdpClient.h"

#include "transport/ixIpAddress.h"

namespace ix {

TixUdpClient::TixUdpClient(TixComponent* owner) : TixComponent(owner) {
    connection_.BatchSize = 8192;
    connection_.TimeOut = 5000;
}

TixUdpClient::~TixUdpClient() {
    try {
        Close();
    } catch (...) {
    }
}

void TixUdpClient::Open() {
    if (connection_.Active()) return;
    if (!connection_.HasNetworkStream())
        connection_.SetNetworkStream(std::make_unique<TixUdpNetworkStream>());
    // An address text needs no lookup: the one of the last open is taken as it is.
    if (server_.empty() || server_ != literalServer_) {
        std::string ip = GetHostIP(server_, connection_.UseIpV6);
        literalServer_ = ip == server_ ? ip : std::string();
        connection_.Open(ip, port_);
        return;
    }
    connection_.Open(server_, port_);
}

void TixUdpClient::Close() {
    // A handler run inside a wait may close the client: the abort ends that wait at once.
    if (waiting_) connection_.Abort();
    connection_.Close(false);
}

void TixUdpClient::SendPacket(TixStream& data) {
    std::int64_t start = data.Position();
    Waiting guard{waiting_};
    connection_.WriteData(&data);
    data.SetPosition(start);
    DoSendPacket(data);
}

void TixUdpClient::ReceivePacket(TixStream& data) {
    std::int64_t start = data.Position();
    Waiting guard{waiting_};
    connection_.ReadData(&data);
    data.SetPosition(start);
    DoReceivePacket(data);
}

void TixUdpClient::DoSendPacket(TixStream& data) {
    if (OnSendPacket) OnSendPacket(this, data);
}

void TixUdpClient::DoReceivePacket(TixStream& data) {
    if (OnReceivePacket) OnReceivePacket(this, data);
}

}  // namespace ix
