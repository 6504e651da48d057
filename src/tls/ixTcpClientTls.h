#pragma once
// The TCP client with its TLS mode. The mode decides whether a connection starts encrypted or is
// switched by the protocol's STARTTLS; the TLS stream itself is not part of the library yet, so
// only ctNone connects, and asking for TLS fails the open instead of going on in plain text.

#include "transport/ixTcpClient.h"

namespace ix {

enum class TixClientTlsMode { ctNone, ctAutomatic, ctImplicit, ctExplicit };

class TixTcpClientTls : public TixTcpClient {
public:
    using TixTcpClient::TixTcpClient;

    TixClientTlsMode UseTLS() const { return useTls_; }
    virtual void SetUseTLS(TixClientTlsMode value) { SetProperty(useTls_, value); }

    // Switches the open connection to TLS; protocol clients send their STARTTLS command first.
    virtual void StartTls();
    // Called after the greeting: runs StartTls when the mode asks for it now.
    bool StartTlsIfNeeded();

protected:
    std::unique_ptr<TixNetworkStream> CreateNetworkStream() override;

private:
    TixClientTlsMode useTls_ = TixClientTlsMode::ctNone;
};

}  // namespace ix
