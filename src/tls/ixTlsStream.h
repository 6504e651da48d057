#pragma once
// The network stream that carries TLS. The connection still waits for the socket and calls Read
// and Write; the stream feeds the engine and answers through NextAction, so the connection's own
// loops drive the handshake, the data and the close without knowing about TLS.
//
// On top of the rules in ixSocket.h:
// - InitClientSession (at connect, or for STARTTLS) asks for a write; that write sends the first
//   handshake flight, and from then on each step asks for the read or write it needs until the
//   handshake completes. The peer is verified before anything else happens; then OnReady.
// - Plaintext that arrives while no destination is given (the handshake's last flight may carry
//   the server's greeting) is kept and handed to the next Read with a destination, which then
//   does not touch the socket; HasReadData tells the connection not to wait for it.
// - A record is encrypted once; a Write that blocks mid-record leaves the source at the start of
//   that chunk and finishes the same record on the next call.
// - BytesProceed and progress count plaintext; throttling counts socket bytes; the byte limit
//   holds for either count.
// - The peer's close alert ends a read cleanly (NeedClose); a TCP close without it raises.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "tls/ixOpenSslTls.h"
#include "transport/ixSocket.h"

namespace ix {

class TixTlsNetworkStream : public TixNetworkStream {
public:
    TixTlsNetworkStream();
    ~TixTlsNetworkStream() override;

    void Assign(const TixNetworkStream& source) override;
    void CloseStream(bool notify) override;
    void StreamReady() override {}
    bool Read(TixStream* destination) override;
    bool Write(TixStream* source) override;
    int GetReadBatchSize() override;
    int GetWriteBatchSize() override;
    bool IsProceedLimit() override;
    void ResetProgress() override;
    void UpdateProgress(std::int64_t count) override;
    void InitClientSession() override;

    TixTlsSettings& Settings() { return settings_; }
    const TixTlsSettings& Settings() const { return settings_; }
    TixTlsResult TlsResult() const { return tlsResult_; }
    bool HandshakePending() const { return handshakePending_; }
    bool PeerVerified() const { return peerVerified_; }
    std::int64_t RawBytesProceed() const { return rawBytesProceed_; }
    // The engine of the current session, nullptr before the first InitClientSession.
    TixTlsClientOpenSsl* Engine() const { return engine_.get(); }

    std::function<void(TixTlsNetworkStream& stream, TixCertificate*& certificate, bool& handled,
                       TixCertificateList& extraCerts)>
        OnCertificateRequest;
    std::function<void(TixTlsNetworkStream& stream, TixCertificate& certificate,
                       const std::string& statusText, int statusCode, bool& verified)>
        OnVerification;

private:
    void HandshakeStep(TixStream* destination, std::string_view received);
    void VerifyPeer();
    void ProcessReceived(std::string_view received, TixStream* destination, bool eof);
    // Sends what the engine holds; false when the socket would block first.
    bool SendPending();
    [[noreturn]] static void RaiseTruncated();
    bool InHandshake() const;
    // The engine; raises -6 before InitClientSession.
    TixTlsClientOpenSsl& Session();

    TixTlsSettings settings_;
    std::unique_ptr<TixTlsClientOpenSsl> engine_;
    std::mutex engineLock_;
    TixMemoryStream plaintext_;
    TixTlsResult tlsResult_ = trDone;
    bool handshakePending_ = false;
    bool peerVerified_ = false;
    int recordOverhead_ = 0;
    // How the peer ended while its last bytes wait in plaintext_: trClosed (close alert),
    // trIncomplete (a TCP close without it), trDone (it has not).
    TixTlsResult endAfterDelivery_ = trDone;
    std::int64_t pendingChunk_ = 0;  // plaintext bytes of the record being sent
    TixStream* pendingSource_ = nullptr;
    std::int64_t pendingPosition_ = 0;
    std::int64_t rawBytesProceed_ = 0;
};

}  // namespace ix
