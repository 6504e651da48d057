#include "tls/ixOpenSslTls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "tls/internal/ixOpenSslError.h"
#include "tls/internal/ixOpenSslHandles.h"
#include "tls/ixSspi.h"

namespace ix {

namespace {

bool SameTextAscii(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool IsIpAddress(const std::string& text) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

// Which CertificateFlags member lets a verify failure pass.
bool IsIgnored(int error, TixCertificateVerifyFlags flags) {
    if ((flags & cfIgnoreChainPolicyErrors) != 0) return true;
    switch (error) {
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
        case X509_V_ERR_EMAIL_MISMATCH:
            return (flags & cfIgnoreCommonNameInvalid) != 0;
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return (flags & cfIgnoreDateInvalid) != 0;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
            return (flags & cfIgnoreUnknownAuthority) != 0;
        case X509_V_ERR_UNABLE_TO_GET_CRL:
        case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
        case X509_V_ERR_CRL_NOT_YET_VALID:
        case X509_V_ERR_CRL_HAS_EXPIRED:
        case X509_V_ERR_CRL_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
        case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
        case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
        case X509_V_ERR_CERT_REVOKED:
        case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
        case X509_V_ERR_DIFFERENT_CRL_SCOPE:
        case X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION:
            return (flags & cfIgnoreRevocation) != 0;
        case X509_V_ERR_INVALID_PURPOSE:
        case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
        case X509_V_ERR_KEYUSAGE_NO_DIGITAL_SIGNATURE:
            return (flags & cfIgnoreWrongUsage) != 0;
        default:
            return false;
    }
}

TixByteArray DerOf(X509* cert) {
    unsigned char* der = nullptr;
    int length = i2d_X509(cert, &der);
    if (length <= 0) RaiseOpenSslError("Cannot read the server certificate");
    TixByteArray bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

int ProtocolVersion(TixTlsFlag flag) {
    switch (flag) {
        case tfUseTLS:
            return TLS1_VERSION;
        case tfUseTLS11:
            return TLS1_1_VERSION;
        case tfUseTLS12:
            return TLS1_2_VERSION;
        case tfUseTLS13:
            return TLS1_3_VERSION;
        default:
            return 0;
    }
}

// A context per distinct set of settings: loading the trust store is the costly part of a
// connection, and a shared context lets later connections resume their sessions.
class TixContextCache {
public:
    static SSL_CTX* Get(const TixTlsSettings& settings);

private:
    static SSL_CTX* Create(const TixTlsSettings& settings);
};

std::string ContextKey(const TixTlsSettings& s) {
    auto env = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? std::string(value) : std::string();
    };
    // The environment's trust settings belong to the key: the default paths read them.
    return std::to_string(s.TLSFlags) + '|' + std::to_string(s.UseSystemTLSFlags) + '|' +
           std::to_string(s.UseStrongCryptoAlgorithms) + '|' + std::to_string(s.SecurityLevel) + '|' +
           std::to_string(s.CertChainFlags) + '|' + s.CAFile + '\n' + s.CAPath + '\n' + env("SSL_CERT_FILE") +
           '\n' + env("SSL_CERT_DIR");
}

SSL_CTX* TixContextCache::Get(const TixTlsSettings& settings) {
    static std::mutex lock;
    static std::map<std::string, SSL_CTX*>* contexts = new std::map<std::string, SSL_CTX*>();
    std::string key = ContextKey(settings);
    std::lock_guard guard(lock);
    auto found = contexts->find(key);
    if (found != contexts->end()) {
        SSL_CTX_up_ref(found->second);
        return found->second;
    }
    SSL_CTX* ctx = Create(settings);
    // A handful of configurations in any real process; a bound keeps a misuse from growing it.
    if (contexts->size() >= 16) {
        for (auto& entry : *contexts)
            SSL_CTX_free(entry.second);
        contexts->clear();
    }
    SSL_CTX_up_ref(ctx);
    contexts->emplace(std::move(key), ctx);
    return ctx;
}

SSL_CTX* TixContextCache::Create(const TixTlsSettings& s) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) RaiseOpenSslError("Cannot create the TLS context");
    struct Guard {
        SSL_CTX* ctx;
        ~Guard() { SSL_CTX_free(ctx); }
    } guard{ctx};

    SSL_CTX_set_security_level(ctx, s.SecurityLevel);
    if (s.UseSystemTLSFlags) {
        // The system's policy, but never below TLS 1.2.
        int systemMin = static_cast<int>(SSL_CTX_get_min_proto_version(ctx));
        SSL_CTX_set_min_proto_version(ctx, std::max(systemMin, TLS1_2_VERSION));
    } else {
        int low = 0, high = 0;
        for (TixTlsFlag flag : {tfUseTLS, tfUseTLS11, tfUseTLS12, tfUseTLS13}) {
            if ((s.TLSFlags & flag) == 0) continue;
            if (low == 0) low = ProtocolVersion(flag);
            high = ProtocolVersion(flag);
        }
        // SSL 2 and 3 are gone from OpenSSL: a choice of only those offers nothing.
        if (low == 0) throw EixSSPIError(IX_SSPI_NOT_SUPPORTED);
        SSL_CTX_set_min_proto_version(ctx, low);
        SSL_CTX_set_max_proto_version(ctx, high);
        long holes = 0;
        if ((s.TLSFlags & tfUseTLS11) == 0 && low < TLS1_1_VERSION && high > TLS1_1_VERSION)
            holes |= SSL_OP_NO_TLSv1_1;
        if ((s.TLSFlags & tfUseTLS12) == 0 && low < TLS1_2_VERSION && high > TLS1_2_VERSION)
            holes |= SSL_OP_NO_TLSv1_2;
        SSL_CTX_set_options(ctx, static_cast<std::uint64_t>(holes));
    }
    if (s.UseStrongCryptoAlgorithms &&
        SSL_CTX_set_cipher_list(ctx, "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20") != 1)
        RaiseOpenSslError("Cannot set the cipher list");
    // Renegotiation stays possible (servers that ask for it end the session when refused); the
    // engine holds the server to the certificate it showed first.
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION);

    if (SSL_CTX_set_default_verify_paths(ctx) != 1) ERR_clear_error();
    if (!s.CAFile.empty() || !s.CAPath.empty()) {
        const char* file = s.CAFile.empty() ? nullptr : s.CAFile.c_str();
        const char* path = s.CAPath.empty() ? nullptr : s.CAPath.c_str();
        if (SSL_CTX_load_verify_locations(ctx, file, path) != 1) {
            std::string what =
                "Cannot load the trusted certificates from " + (file != nullptr ? s.CAFile : s.CAPath);
            RaiseOpenSslError(what.c_str());
        }
    }
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    if ((s.CertChainFlags & rfCheckEndOnly) != 0)
        X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
    else if ((s.CertChainFlags & rfCheckAll) != 0)
        X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
    guard.ctx = nullptr;
    return ctx;
}

}  // namespace

// The session's OpenSSL objects and the input its BIO reads from.
struct TixTlsClientOpenSsl::Impl {
    TixTlsClientOpenSsl& owner;
    SSL* ssl = nullptr;
    // Input of the current call: the left-over bytes first, then what was received.
    std::string_view input;
    bool eof = false;
    TixCertificateList* certificates = nullptr;
    bool certificateRetry = false;
    unsigned char scratch[16384];

    explicit Impl(TixTlsClientOpenSsl& o) : owner(o) {}
    ~Impl() { SSL_free(ssl); }

    std::size_t Available() const { return owner.extra_.size() - owner.extraRead_ + input.size(); }

    // What the call did not consume waits for the next one.
    void KeepUnread() {
        if (owner.extraRead_ >= owner.extra_.size()) {
            owner.extra_.clear();
            owner.extraRead_ = 0;
        }
        if (!input.empty()) {
            owner.extra_.erase(0, owner.extraRead_);
            owner.extraRead_ = 0;
            owner.extra_.append(input);
            input = {};
        }
    }

    static BIO_METHOD* Method();
    static int Read(BIO* bio, char* out, std::size_t size, std::size_t* done);
    static int Write(BIO* bio, const char* data, std::size_t size, std::size_t* done);
    static long Control(BIO* bio, int command, long number, void* pointer);
    static int VerifyCallback(int ok, X509_STORE_CTX* store);
    static int CertificateCallback(SSL* ssl, void* arg);
};

BIO_METHOD* TixTlsClientOpenSsl::Impl::Method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ixmail memory");
        BIO_meth_set_read_ex(m, Read);
        BIO_meth_set_write_ex(m, Write);
        BIO_meth_set_ctrl(m, Control);
        BIO_meth_set_create(m, [](BIO* bio) {
            BIO_set_init(bio, 1);
            return 1;
        });
        return m;
    }();
    return method;
}

int TixTlsClientOpenSsl::Impl::Read(BIO* bio, char* out, std::size_t size, std::size_t* done) {
    auto* self = static_cast<Impl*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    std::size_t copied = 0;
    std::string& extra = self->owner.extra_;
    std::size_t& extraRead = self->owner.extraRead_;
    if (extraRead < extra.size()) {
        copied = std::min(size, extra.size() - extraRead);
        std::memcpy(out, extra.data() + extraRead, copied);
        extraRead += copied;
    }
    if (copied < size && !self->input.empty()) {
        std::size_t n = std::min(size - copied, self->input.size());
        std::memcpy(out + copied, self->input.data(), n);
        self->input.remove_prefix(n);
        copied += n;
    }
    *done = copied;
    if (copied > 0) return 1;
    // Nothing more this call: wait for the socket, unless the peer has closed it.
    if (!self->eof) BIO_set_retry_read(bio);
    return 0;
}

int TixTlsClientOpenSsl::Impl::Write(BIO* bio, const char* data, std::size_t size, std::size_t* done) {
    auto* self = static_cast<Impl*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    TixByteArray& output = self->owner.output_;
    output.insert(output.end(), reinterpret_cast<const std::uint8_t*>(data),
                  reinterpret_cast<const std::uint8_t*>(data) + size);
    *done = size;
    return 1;
}

long TixTlsClientOpenSsl::Impl::Control(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
    auto* self = static_cast<Impl*>(BIO_get_data(bio));
    switch (command) {
        case BIO_CTRL_FLUSH:
            return 1;
        case BIO_CTRL_EOF:
            return self->eof && self->Available() == 0 ? 1 : 0;
        case BIO_CTRL_PENDING:
            return static_cast<long>(self->Available());
        default:
            return 0;
    }
}

// Records the first failure that no CertificateFlags member ignores and lets the handshake go on:
// the verdict is the stream's to give, after the application has had its say.
int TixTlsClientOpenSsl::Impl::VerifyCallback(int ok, X509_STORE_CTX* store) {
    if (ok == 1) return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = static_cast<Impl*>(SSL_get_app_data(ssl));
    int error = X509_STORE_CTX_get_error(store);
    if (!IsIgnored(error, self->owner.settings_.CertificateFlags) && self->owner.status_ == 0)
        self->owner.status_ = error;
    return 1;
}

int TixTlsClientOpenSsl::Impl::CertificateCallback(SSL* ssl, void* /*arg*/) {
    auto* self = static_cast<Impl*>(SSL_get_app_data(ssl));
    TixCertificateList* list = self->certificates;
    if (list == nullptr || list->Count() == 0) {
        // Suspends the handshake (SSL_ERROR_WANT_X509_LOOKUP) until the application answers.
        self->owner.certificateAsked_ = true;
        return -1;
    }
    detail::TixCertificateHandles& first = list->Items(0)->Handles();
    if (first.key == nullptr || SSL_use_certificate(ssl, first.cert) != 1 ||
        SSL_use_PrivateKey(ssl, first.key) != 1)
        return 0;
    auto addChain = [&](X509* cert) {
        bool selfSigned = X509_check_issued(cert, cert) == X509_V_OK;
        if (!selfSigned || self->owner.settings_.SendRootCertificate) SSL_add1_chain_cert(ssl, cert);
    };
    for (X509* cert : first.chain)
        addChain(cert);
    for (int i = 1; i < list->Count(); ++i)
        addChain(list->Items(i)->Handles().cert);
    return 1;
}

TixTlsClientOpenSsl::TixTlsClientOpenSsl(const TixTlsSettings& settings)
    : impl_(std::make_unique<Impl>(*this)), settings_(settings) {
    std::string package = settings.SecurityPackage;
    package.erase(0, package.find_first_not_of(" \t"));
    package.erase(package.find_last_not_of(" \t") + 1);
    if (!package.empty() && !SameTextAscii(package, "OpenSSL"))
        throw EixSSPIError(IX_SSPI_ACQUIRE_CREDENTIALS);

    SSL_CTX* ctx = TixContextCache::Get(settings);
    impl_->ssl = SSL_new(ctx);
    SSL_CTX_free(ctx);
    if (impl_->ssl == nullptr) RaiseOpenSslError("Cannot create the TLS session");
    SSL* ssl = impl_->ssl;
    SSL_set_app_data(ssl, impl_.get());
    SSL_set_connect_state(ssl);
    SSL_set_verify(ssl, SSL_VERIFY_PEER, Impl::VerifyCallback);
    SSL_set_cert_cb(ssl, Impl::CertificateCallback, nullptr);

    BIO* bio = BIO_new(Impl::Method());
    if (bio == nullptr) RaiseOpenSslError("Cannot create the TLS session");
    BIO_set_data(bio, impl_.get());
    SSL_set_bio(ssl, bio, bio);

    // The name is checked as the peer is named: an address as an address (and without SNI, which
    // carries host names only), a host name with no partial wildcards and never from the CN.
    std::string target = settings.TargetName;
    if (!target.empty() && target.back() == '.') target.pop_back();
    if (target.size() > 2 && target.front() == '[' && target.back() == ']')
        target = target.substr(1, target.size() - 2);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (target.empty()) {
        // No name to check against: no certificate can match.
        if (!IsIgnored(X509_V_ERR_HOSTNAME_MISMATCH, settings.CertificateFlags))
            status_ = X509_V_ERR_HOSTNAME_MISMATCH;
    } else if (IsIpAddress(target)) {
        if (X509_VERIFY_PARAM_set1_ip_asc(param, target.c_str()) != 1)
            RaiseOpenSslError("Cannot set the server address");
    } else {
        X509_VERIFY_PARAM_set_hostflags(
            param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        if (X509_VERIFY_PARAM_set1_host(param, target.c_str(), target.size()) != 1 ||
            SSL_set_tlsext_host_name(ssl, target.c_str()) != 1)
            RaiseOpenSslError("Cannot set the server name");
    }
}

TixTlsClientOpenSsl::~TixTlsClientOpenSsl() = default;

void TixTlsClientOpenSsl::RaiseSslError(int ret, const char* what) {
    int error = SSL_get_error(impl_->ssl, ret);
    if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
        ERR_clear_error();
        throw EixSSPIError(std::string(what) + ": the connection ended in the middle of the TLS exchange",
                           ECONNRESET);
    }
    RaiseOpenSslError(what);
}

TixTlsResult TixTlsClientOpenSsl::HandShake(std::string_view received, TixCertificateList& certificates,
                                            bool retry) {
    if (handshakeComplete_) return trDone;
    impl_->input = received;
    impl_->certificates = &certificates;
    impl_->certificateRetry = retry;
    struct Reset {
        Impl& impl;
        ~Reset() {
            impl.certificates = nullptr;
            impl.KeepUnread();
        }
    } reset{*impl_};
    // With retry, an empty list means "go on without one": the callback is not asked to wait again.
    if (retry && certificates.Count() == 0 && certificateAsked_) return trNeedCertificate;
    ERR_clear_error();
    int ret = SSL_do_handshake(impl_->ssl);
    if (ret == 1) {
        handshakeComplete_ = true;
        Verify();
        return impl_->Available() > 0 ? trDoneWithExtra : trDone;
    }
    switch (SSL_get_error(impl_->ssl, ret)) {
        case SSL_ERROR_WANT_READ:
            return OutputSize() > 0 ? trTokenReady : trNeedMore;
        case SSL_ERROR_WANT_X509_LOOKUP:
            return trNeedCertificate;
        default:
            RaiseSslError(ret, "TLS handshake failed");
    }
}

void TixTlsClientOpenSsl::Encrypt(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        ERR_clear_error();
        std::size_t written = 0;
        int ret = SSL_write_ex(impl_->ssl, bytes, size, &written);
        if (ret != 1) RaiseSslError(ret, "TLS encryption failed");
        bytes += written;
        size -= written;
    }
}

TixTlsResult TixTlsClientOpenSsl::Decrypt(std::string_view received, TixStream& destination, bool eof) {
    impl_->input = received;
    impl_->eof = eof;
    struct Reset {
        Impl& impl;
        ~Reset() { impl.KeepUnread(); }
    } reset{*impl_};
    lastDecrypted_ = 0;
    for (;;) {
        ERR_clear_error();
        std::size_t read = 0;
        int ret = SSL_read_ex(impl_->ssl, impl_->scratch, sizeof impl_->scratch, &read);
        if (ret == 1) {
            destination.WriteBuffer(impl_->scratch, read);
            lastDecrypted_ += read;
            continue;
        }
        int error = SSL_get_error(impl_->ssl, ret);
        if (error == SSL_ERROR_WANT_READ) break;
        if (error == SSL_ERROR_ZERO_RETURN) {
            ERR_clear_error();
            return trClosed;
        }
        RaiseSslError(ret, eof ? "TLS connection truncated" : "TLS decryption failed");
    }
    if (SSL_in_init(impl_->ssl)) {
        renegotiating_ = true;
        return trRenegotiate;
    }
    if (renegotiating_) {
        renegotiating_ = false;
        X509* peer = SSL_get0_peer_certificate(impl_->ssl);
        if (peer == nullptr || serverCertificate_ == nullptr || serverCertificate_->Der() != DerOf(peer))
            throw EixSSPIError("The server changed its certificate in a renegotiation",
                               X509_V_ERR_APPLICATION_VERIFICATION);
    }
    // Only a record cut off by the socket needs more bytes; a record with no plaintext (a session
    // ticket) leaves nothing to wait for.
    if (SSL_has_pending(impl_->ssl) == 0) return trDone;
    return lastDecrypted_ > 0 ? trPartial : trIncomplete;
}

TixTlsResult TixTlsClientOpenSsl::Shutdown() {
    if (shutDown_ || !handshakeComplete_) return trDone;
    shutDown_ = true;
    ERR_clear_error();
    SSL_shutdown(impl_->ssl);
    ERR_clear_error();
    return OutputSize() > 0 ? trCloseToken : trDone;
}

void TixTlsClientOpenSsl::ConsumeOutput(std::size_t count) {
    outputSent_ += std::min(count, OutputSize());
    if (outputSent_ == output_.size()) {
        output_.clear();
        outputSent_ = 0;
    }
}

int TixTlsClientOpenSsl::RecordOverhead() const {
    if (!handshakeComplete_) return 0;
    const SSL_CIPHER* cipher = SSL_get_current_cipher(impl_->ssl);
    // Header 5; TLS 1.3: content type and tag; TLS 1.2 AEAD: explicit nonce and tag; CBC: the
    // largest MAC, IV and padding.
    if (SSL_version(impl_->ssl) >= TLS1_3_VERSION) return 5 + 1 + 16;
    if (cipher != nullptr && SSL_CIPHER_is_aead(cipher)) return 5 + 8 + 16;
    return 5 + 16 + 64 + 256;
}

void TixTlsClientOpenSsl::Verify() {
    X509* peer = SSL_get0_peer_certificate(impl_->ssl);
    if (peer == nullptr) {
        if (status_ == 0) status_ = X509_V_ERR_UNSPECIFIED;
        serverCertificate_.reset();
    } else {
        serverCertificate_ = std::make_unique<TixCertificate>(DerOf(peer));
    }
    // A failure that an ignore flag covers was never recorded.
    verified_ = status_ == 0;
}

std::string TixTlsClientOpenSsl::StatusText() const {
    if (status_ == 0) return "ok";
    return X509_verify_cert_error_string(status_);
}

std::string TixTlsClientOpenSsl::Version() const {
    return handshakeComplete_ ? SSL_get_version(impl_->ssl) : std::string();
}

std::string TixTlsClientOpenSsl::Cipher() const {
    if (!handshakeComplete_) return {};
    const char* name = SSL_get_cipher_name(impl_->ssl);
    return name != nullptr ? name : std::string();
}

}  // namespace ix
