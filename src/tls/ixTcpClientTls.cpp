#include "tls/ixTcpClientTls.h"

namespace ix {

namespace {

// Until the TLS stream exists, TLS is refused rather than silently replaced by plain text.
[[noreturn]] void NoTls() {
    throw EixSocketError("Not supported", -12);
}

}  // namespace

std::unique_ptr<TixNetworkStream> TixTcpClientTls::CreateNetworkStream() {
    bool tlsFirst = useTls_ == TixClientTlsMode::ctImplicit ||
                    (useTls_ == TixClientTlsMode::ctAutomatic && Port() != GetDefaultPort());
    if (tlsFirst) NoTls();
    return TixTcpClient::CreateNetworkStream();
}

void TixTcpClientTls::StartTls() {
    if (useTls_ == TixClientTlsMode::ctNone) SetUseTLS(TixClientTlsMode::ctExplicit);
    NoTls();
}

bool TixTcpClientTls::StartTlsIfNeeded() {
    bool needed = useTls_ == TixClientTlsMode::ctExplicit ||
                  (useTls_ == TixClientTlsMode::ctAutomatic && Port() == GetDefaultPort());
    if (needed) StartTls();
    return needed;
}

}  // namespace ix
