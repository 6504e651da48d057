#pragma once
// The TCP client with TLS. The mode and the port decide whether a connection starts encrypted
// (implicit TLS) or is switched by the protocol's STARTTLS after the greeting (explicit TLS). The
// settings are copied into each new TLS stream; changing them touches no stream that exists.
//
// The server's certificate is always verified (the system store, SSL_CERT_FILE/SSL_CERT_DIR, plus
// CAFile/CAPath); CertificateFlags ignore single classes of failure, and OnVerifyServer sees
// OpenSSL's verify code and text and may accept a failed check. A rejected certificate raises
// EixSocketError with that code and text; provider failures raise EixSSPIError.

#include <cstdint>
#include <string>

#include "tls/ixCertificate.h"
#include "transport/ixTcpClient.h"

namespace ix {

enum class TixClientTlsMode { ctNone, ctAutomatic, ctImplicit, ctExplicit };

enum TixTlsFlag : std::uint32_t {
    tfUseSSL2 = 1u << 0,
    tfUseSSL3 = 1u << 1,
    tfUseTLS = 1u << 2,
    tfUseTLS11 = 1u << 3,
    tfUseTLS12 = 1u << 4,
    tfUseTLS13 = 1u << 5,
};
using TixTlsFlags = std::uint32_t;

enum TixCertificateVerifyFlag : std::uint32_t {
    cfIgnoreCommonNameInvalid = 1u << 0,
    cfIgnoreDateInvalid = 1u << 1,
    cfIgnoreUnknownAuthority = 1u << 2,
    cfIgnoreRevocation = 1u << 3,
    cfIgnoreWrongUsage = 1u << 4,
    cfIgnoreChainPolicyErrors = 1u << 5,
};
using TixCertificateVerifyFlags = std::uint32_t;

enum TixCertificateChainVerifyFlag : std::uint32_t {
    rfCheckEndOnly = 1u << 0,
    rfCheckAll = 1u << 1,
    rfExcludeRoot = 1u << 2,
    rfCacheEndCert = 1u << 3,
    rfCheckCacheOnly = 1u << 4,
    rfUseCacheOnlyUrlRetrieval = 1u << 5,
    rfDisableRootAutoUpdate = 1u << 6,
    rfAccumulativeTimeout = 1u << 7,
};
using TixCertificateChainVerifyFlags = std::uint32_t;

constexpr TixTlsFlags IX_DEFAULT_TLS_FLAGS = tfUseTLS | tfUseTLS11 | tfUseTLS12;  // 28

// What a TLS stream is told by its client; one value object so that a stream copies it whole.
struct TixTlsSettings {
    std::string TargetName;
    TixCertificateVerifyFlags CertificateFlags = 0;
    TixCertificateChainVerifyFlags CertChainFlags = 0;
    int CertChainRetrievalTimeout = 0;
    TixTlsFlags TLSFlags = IX_DEFAULT_TLS_FLAGS;
    bool UseSystemTLSFlags = true;
    bool SendRootCertificate = false;
    bool UseStrongCryptoAlgorithms = false;
    std::string SecurityPackage;
    // Trusted in addition to the system store: a PEM file and a hashed folder.
    std::string CAFile;
    std::string CAPath;
    // OpenSSL's security level; 2 refuses keys below 2048 bits and SHA-1 signatures.
    int SecurityLevel = 2;

    bool operator==(const TixTlsSettings&) const = default;
};

using TixGetCertificateEvent = std::function<void(TixObject* Sender, TixCertificate*& ACertificate,
                                                  TixCertificateList& AExtraCerts, bool& Handled)>;
using TixVerifyPeerEvent =
    std::function<void(TixObject* Sender, TixCertificate& ACertificate, const std::string& AStatusText,
                       int AStatusCode, bool& AVerified)>;

// A server certificate that failed its check and was not accepted: ErrorCode is OpenSSL's verify
// code (X509_V_ERR_*), which the type tells apart from an errno value.
class EixTlsCertificateError : public EixSocketError {
public:
    using EixSocketError::EixSocketError;
};

class TixTlsNetworkStream;

class TixTcpClientTls : public TixTcpClient {
public:
    using TixTcpClient::TixTcpClient;

    TixClientTlsMode UseTLS() const { return useTls_; }
    virtual void SetUseTLS(TixClientTlsMode value) { SetProperty(useTls_, value); }

    TixCertificateVerifyFlags CertificateFlags() const { return settings_.CertificateFlags; }
    void SetCertificateFlags(TixCertificateVerifyFlags value) {
        SetProperty(settings_.CertificateFlags, value);
    }
    TixCertificateChainVerifyFlags CertChainFlags() const { return settings_.CertChainFlags; }
    void SetCertChainFlags(TixCertificateChainVerifyFlags value) {
        SetProperty(settings_.CertChainFlags, value);
    }
    int CertChainRetrievalTimeout() const { return settings_.CertChainRetrievalTimeout; }
    void SetCertChainRetrievalTimeout(int value) { SetProperty(settings_.CertChainRetrievalTimeout, value); }
    TixTlsFlags TLSFlags() const { return settings_.TLSFlags; }
    void SetTLSFlags(TixTlsFlags value) { SetProperty(settings_.TLSFlags, value); }
    bool UseSystemTLSFlags() const { return settings_.UseSystemTLSFlags; }
    void SetUseSystemTLSFlags(bool value) { SetProperty(settings_.UseSystemTLSFlags, value); }
    bool SendRootCertificate() const { return settings_.SendRootCertificate; }
    void SetSendRootCertificate(bool value) { SetProperty(settings_.SendRootCertificate, value); }
    bool UseStrongCryptoAlgorithms() const { return settings_.UseStrongCryptoAlgorithms; }
    void SetUseStrongCryptoAlgorithms(bool value) { SetProperty(settings_.UseStrongCryptoAlgorithms, value); }
    const std::string& SecurityPackage() const { return settings_.SecurityPackage; }
    void SetSecurityPackage(const std::string& value) { SetProperty(settings_.SecurityPackage, value); }
    const std::string& CAFile() const { return settings_.CAFile; }
    void SetCAFile(const std::string& value) { SetProperty(settings_.CAFile, value); }
    const std::string& CAPath() const { return settings_.CAPath; }
    void SetCAPath(const std::string& value) { SetProperty(settings_.CAPath, value); }
    int SecurityLevel() const { return settings_.SecurityLevel; }
    void SetSecurityLevel(int value) { SetProperty(settings_.SecurityLevel, value); }

    // Switches the open connection to TLS; protocol clients send their STARTTLS command first.
    virtual void StartTls();
    // Called after the greeting: runs StartTls when the mode asks for it now.
    bool StartTlsIfNeeded();
    // True when the mode asks for STARTTLS after the greeting on this port.
    bool IsStartTlsNeeded();

    // The connection's TLS stream, or nullptr while the connection is plain.
    TixTlsNetworkStream* TlsStream();
    // "TLSv1.3" and the cipher's name once a handshake completed; empty otherwise.
    std::string TlsVersion();
    std::string TlsCipher();

    TixGetCertificateEvent OnGetCertificate;
    TixVerifyPeerEvent OnVerifyServer;

protected:
    std::unique_ptr<TixNetworkStream> CreateNetworkStream() override;
    std::unique_ptr<TixTlsNetworkStream> CreateTlsStream();

    // Closes after a failed switch to TLS without a goodbye in the clear (InClose set meanwhile).
    void CloseAbandoned();

    virtual void DoGetCertificate(TixCertificate*& certificate, TixCertificateList& extraCerts,
                                  bool& handled);
    virtual void DoVerifyServer(TixCertificate& certificate, const std::string& statusText, int statusCode,
                                bool& verified);

private:
    TixClientTlsMode useTls_ = TixClientTlsMode::ctNone;
    TixTlsSettings settings_;
};

}  // namespace ix
