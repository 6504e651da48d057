#pragma once
// What the TLS tests share: the certificates of make-certs.sh, made once per process, and an
// OpenSSL server over memory BIOs that a test pumps by hand.

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ixLoopbackServer.h"

namespace ix::test {

// The folder of make-certs.sh's output; made on first use, removed at exit.
inline const std::string& CertDir() {
    static const std::string dir = [] {
        std::string templ = (std::filesystem::temp_directory_path() / "ixtls-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        std::string command = std::string(IX_MAKE_CERTS) + " " + templ + " >/dev/null";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("make-certs.sh failed");
        static struct Remover {
            std::string path;
            ~Remover() {
                std::error_code ignored;
                std::filesystem::remove_all(path, ignored);
            }
        } remover{templ};
        return templ;
    }();
    return dir;
}

inline std::string CertPath(const std::string& name) {
    return CertDir() + "/" + name;
}

struct ServerOptions {
    std::string cert = "good-chain.crt";
    std::string key = "good.key";
    int maxVersion = 0;      // 0: OpenSSL's highest
    std::string cipherList;  // TLS 1.2 and below
    bool requireClientCertificate = false;
};

// A server context with the options' certificate, versions and client certificate demand.
inline SSL_CTX* ServerContext(const ServerOptions& options) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    // The test server serves weak certificates on purpose; judging them is the client's job.
    SSL_CTX_set_security_level(ctx, 0);
    if (options.maxVersion != 0) SSL_CTX_set_max_proto_version(ctx, options.maxVersion);
    if (!options.cipherList.empty()) SSL_CTX_set_cipher_list(ctx, options.cipherList.c_str());
    if (SSL_CTX_use_certificate_chain_file(ctx, CertPath(options.cert).c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, CertPath(options.key).c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(ctx);
        throw std::runtime_error("test server: cannot load " + options.cert);
    }
    if (options.requireClientCertificate) {
        SSL_CTX_load_verify_locations(ctx, CertPath("ca.crt").c_str(), nullptr);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    return ctx;
}

using SslContextPtr = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;
using SslPtr = std::unique_ptr<SSL, decltype(&SSL_free)>;

// A TLS server on memory BIOs: Feed gives it the client's bytes, Drain takes what it sends.
class MemoryTlsServer {
public:
    explicit MemoryTlsServer(const ServerOptions& options = {}) : ctx_(ServerContext(options), SSL_CTX_free) {
        in_ = BIO_new(BIO_s_mem());
        out_ = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(in_, -1);
        SSL_set_bio(ssl_.get(), in_, out_);
        SSL_set_accept_state(ssl_.get());
    }

    void Feed(std::string_view bytes) {
        if (!bytes.empty()) BIO_write(in_, bytes.data(), static_cast<int>(bytes.size()));
    }
    std::string Drain() {
        std::string bytes;
        char buffer[4096];
        int n;
        while ((n = BIO_read(out_, buffer, sizeof buffer)) > 0)
            bytes.append(buffer, static_cast<std::size_t>(n));
        return bytes;
    }
    // One handshake step; how it went shows in what the client is sent.
    void Handshake() {
        ERR_clear_error();
        SSL_do_handshake(ssl_.get());
    }
    void Write(std::string_view text) { SSL_write(ssl_.get(), text.data(), static_cast<int>(text.size())); }
    std::string Read() {
        std::string text;
        char buffer[16384];
        int n;
        ERR_clear_error();
        while ((n = SSL_read(ssl_.get(), buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }
    SSL* Ssl() const { return ssl_.get(); }

private:
    SslContextPtr ctx_;
    SslPtr ssl_{SSL_new(ctx_.get()), SSL_free};
    BIO* in_ = nullptr;  // both owned by ssl_
    BIO* out_ = nullptr;
};

// The server's side of TLS on a scripted connection (a blocking socket).
class TlsPeer {
public:
    TlsPeer(int fd, const ServerOptions& options = {}) : ctx_(ServerContext(options), SSL_CTX_free) {
        SSL_set_fd(ssl_.get(), fd);
        if (SSL_accept(ssl_.get()) != 1) throw std::runtime_error("TLS handshake failed on the server");
    }
    template <class Peer>
    explicit TlsPeer(Peer& peer) : TlsPeer(peer.Fd()) {}

    void Send(std::string_view text) { SSL_write(ssl_.get(), text.data(), static_cast<int>(text.size())); }
    // Reads exactly size bytes (fewer when the client closes).
    std::string Read(std::size_t size) {
        std::string got(size, '\0');
        std::size_t at = 0, n = 0;
        while (at < size && SSL_read_ex(ssl_.get(), got.data() + at, size - at, &n) == 1)
            at += n;
        got.resize(at);
        return got;
    }
    void Expect(const std::string& line) {
        std::string got = Read(line.size());
        if (got != line) throw std::runtime_error("expected " + line + " got " + got);
    }
    void Play(const std::vector<LoopbackPeer::Step>& steps) {
        for (const auto& step : steps) {
            if (!step.line.empty()) Expect(step.line);
            Send(step.reply);
        }
    }
    void Shutdown() { SSL_shutdown(ssl_.get()); }

private:
    SslContextPtr ctx_;
    SslPtr ssl_{SSL_new(ctx_.get()), SSL_free};
};

}  // namespace ix::test
