#include "tls/ixTcpClientTls.h"

#include "tls/ixTlsStream.h"
#include "transport/ixSocksStream.h"

namespace ix {

std::unique_ptr<TixNetworkStream> TixTcpClientTls::CreateNetworkStream() {
    bool tlsFirst = useTls_ == TixClientTlsMode::ctImplicit ||
                    (useTls_ == TixClientTlsMode::ctAutomatic && Port() != GetDefaultPort());
    if (tlsFirst) return CreateTlsStream();
    return TixTcpClient::CreateNetworkStream();
}

std::unique_ptr<TixTlsNetworkStream> TixTcpClientTls::CreateTlsStream() {
    auto stream = std::make_unique<TixTlsNetworkStream>();
    stream->Settings() = settings_;
    stream->Settings().TargetName = Server();
    stream->OnCertificateRequest = [this](TixTlsNetworkStream&, TixCertificate*& certificate, bool& handled,
                                          TixCertificateList& extraCerts) {
        DoGetCertificate(certificate, extraCerts, handled);
    };
    stream->OnVerification = [this](TixTlsNetworkStream&, TixCertificate& certificate,
                                    const std::string& text, int code,
                                    bool& verified) { DoVerifyServer(certificate, text, code, verified); };
    return stream;
}

void TixTcpClientTls::StartTls() {
    if (useTls_ == TixClientTlsMode::ctNone) SetUseTLS(TixClientTlsMode::ctExplicit);
    try {
        TixTcpClientConnection& connection = GetConnection();
        connection.SetNetworkStream(CreateTlsStream());
        connection.OpenSession();
    } catch (...) {
        CloseAbandoned();
        throw;
    }
}

void TixTcpClientTls::CloseAbandoned() {
    // A failed switch must not leave a connection that looks usable in the clear.
    bool saved = InClose();
    SetInClose(true);
    try {
        Close();
    } catch (const EixSocketError&) {
    }
    SetInClose(saved);
}

bool TixTcpClientTls::StartTlsIfNeeded() {
    bool needed = IsStartTlsNeeded();
    if (needed) StartTls();
    return needed;
}

bool TixTcpClientTls::IsStartTlsNeeded() {
    return useTls_ == TixClientTlsMode::ctExplicit ||
           (useTls_ == TixClientTlsMode::ctAutomatic && Port() == GetDefaultPort());
}

TixTlsNetworkStream* TixTcpClientTls::TlsStream() {
    TixTcpClientConnection& connection = GetConnection();
    if (!connection.HasNetworkStream()) return nullptr;
    TixNetworkStream* stream = &connection.NetworkStream();
    // Implicit TLS through a proxy runs inside the SOCKS stream.
    if (auto* socks = dynamic_cast<TixSocksNetworkStream*>(stream)) stream = &socks->InnerStream();
    return dynamic_cast<TixTlsNetworkStream*>(stream);
}

std::string TixTcpClientTls::TlsVersion() {
    TixTlsNetworkStream* stream = TlsStream();
    return stream != nullptr && stream->Engine() != nullptr ? stream->Engine()->Version() : std::string();
}

std::string TixTcpClientTls::TlsCipher() {
    TixTlsNetworkStream* stream = TlsStream();
    return stream != nullptr && stream->Engine() != nullptr ? stream->Engine()->Cipher() : std::string();
}

void TixTcpClientTls::DoGetCertificate(TixCertificate*& certificate, TixCertificateList& extraCerts,
                                       bool& handled) {
    if (OnGetCertificate) OnGetCertificate(this, certificate, extraCerts, handled);
}

void TixTcpClientTls::DoVerifyServer(TixCertificate& certificate, const std::string& statusText,
                                     int statusCode, bool& verified) {
    if (OnVerifyServer) OnVerifyServer(this, certificate, statusText, statusCode, verified);
}

}  // namespace ix
