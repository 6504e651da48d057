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
    connection_.SetNetworkStream(std::make_unique<TixNetworkStream>());
    connection_.Open(GetHostIP(server_, connection_.UseIpV6), port_);
}

void TixUdpClient::Close() {
    connection_.Abort();
    connection_.Close(false);
}

void TixUdpClient::SendPacket(TixStream& data) {
    std::int64_t start = data.Position();
    connection_.WriteData(&data);
    data.SetPosition(start);
    DoSendPacket(data);
}

void TixUdpClient::ReceivePacket(TixStream& data) {
    std::int64_t start = data.Position();
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
