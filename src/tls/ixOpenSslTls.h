#pragma once
// The TLS engine: one client session of OpenSSL over in-memory BIOs, with no socket of its own.
// The TLS stream hands it the bytes it received and sends the bytes it leaves in Output(); the
// result codes tell the stream what happens next. Certificate checks do not fail the handshake
// here (short of a certificate OpenSSL cannot even read): the engine gives its verdict
// (Verified, Status) and the stream decides.
//
// Failures raise EixSSPIError with OpenSSL's error code and text.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/ixStream.h"
#include "tls/ixCertificate.h"
#include "tls/ixTcpClientTls.h"

namespace ix {

// Results of the engine's calls; the stream keeps the last one.
enum TixTlsResult : std::uint8_t {
    trDone = 0,             // handshake complete, or records decrypted with nothing left over
    trNothing = 1,          // a handshake call that reached no other result
    trRenegotiate = 2,      // the peer asks for a new handshake
    trTokenReady = 3,       // handshake bytes wait in Output()
    trTokenSent = 4,        // handshake bytes sent; waiting for the peer's answer
    trNeedMore = 5,         // the handshake needs more bytes from the peer
    trCloseToken = 6,       // a close alert waits in Output()
    trContinue = 7,         // used inside the engine
    trClosed = 8,           // the peer's close alert arrived
    trIncomplete = 9,       // an incomplete record: more bytes needed
    trDoneWithExtra = 10,   // handshake complete, bytes of later records left over
    trPartial = 11,         // records decrypted, an incomplete one left over
    trNeedCertificate = 12  // the server asks for a client certificate and none is given
};

class TixTlsClientOpenSsl {
public:
    explicit TixTlsClientOpenSsl(const TixTlsSettings& settings);
    ~TixTlsClientOpenSsl();
    TixTlsClientOpenSsl(const TixTlsClientOpenSsl&) = delete;
    TixTlsClientOpenSsl& operator=(const TixTlsClientOpenSsl&) = delete;

    // One handshake step over the received bytes (none on the first call). Answers trTokenReady
    // when bytes wait in Output() and the handshake goes on, trNeedMore, trDone or
    // trDoneWithExtra (HasExtra()), or trNeedCertificate when the server asks for a certificate
    // and certificates has none (with retry true an empty list goes on without one).
    TixTlsResult HandShake(std::string_view received, TixCertificateList& certificates, bool retry);
    // Encrypts the bytes into records appended to Output().
    void Encrypt(const void* data, std::size_t size);
    // Decrypts the received bytes (and any left over from the handshake) into destination:
    // trDone, trPartial (an incomplete record stays inside), trIncomplete (nothing decrypted),
    // trClosed (the peer's close alert; plaintext before it is delivered) or trRenegotiate.
    // An end of input without a close alert (eof) raises: it may be a truncation attack.
    TixTlsResult Decrypt(std::string_view received, TixStream& destination, bool eof = false);
    // Plaintext bytes the last Decrypt wrote.
    std::size_t LastDecrypted() const { return lastDecrypted_; }
    // Queues the close alert: trCloseToken when it waits in Output(), trDone otherwise.
    TixTlsResult Shutdown();

    // TLS bytes to send, in order; the stream consumes from the front.
    const std::uint8_t* OutputData() const { return output_.data() + outputSent_; }
    std::size_t OutputSize() const { return output_.size() - outputSent_; }
    void ConsumeOutput(std::size_t count);
    // Handshake bytes that came with the last flight and belong to the records after it.
    bool HasExtra() const { return extra_.size() > extraRead_; }

    bool HandshakeComplete() const { return handshakeComplete_; }
    // Record header plus trailer of the negotiated cipher (an upper bound); 0 before the handshake.
    int RecordOverhead() const;
    int MaxMessage() const { return 16384; }

    // The verdict on the server's certificate, after the handshake.
    bool Verified() const { return verified_; }
    // OpenSSL's verify code of the first failure not ignored (0 when none) and its text.
    int Status() const { return status_; }
    std::string StatusText() const;
    TixCertificate* ServerCertificate() const { return serverCertificate_.get(); }
    std::string Version() const;
    std::string Cipher() const;

    // Up to the last byte, for the test of a shut-down engine.
    bool IsShutDown() const { return shutDown_; }

private:
    struct Impl;
    friend struct Impl;
    void Verify();
    [[noreturn]] void RaiseSslError(int ret, const char* what);

    std::unique_ptr<Impl> impl_;
    TixTlsSettings settings_;
    TixByteArray output_;
    std::size_t outputSent_ = 0;
    std::string extra_;
    std::size_t extraRead_ = 0;
    std::size_t lastDecrypted_ = 0;
    bool handshakeComplete_ = false;
    bool certificateAsked_ = false;
    bool verified_ = false;
    bool shutDown_ = false;
    bool renegotiating_ = false;
    int status_ = 0;
    std::unique_ptr<TixCertificate> serverCertificate_;
};

}  // namespace ix
