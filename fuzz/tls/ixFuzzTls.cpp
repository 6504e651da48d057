// A hostile server's bytes reach the TLS engine twice: as its answer to the client's hello and as
// the records after a handshake. Neither crashes, hangs or leaks; the engine fails only with
// EixSSPIError.
//
// The input: byte 0 chooses what runs. Bit 0 clear: the answer to a fresh client's hello, with
// bit 3 ignoring every certificate failure, bit 4 checking revocation along the chain and bit 5
// naming the server by address. Bit 0 set: records after a real handshake with an in-process
// server, TLS 1.2 with bit 2, else TLS 1.3. Bit 1: the last call says the connection ended.
// Bytes 1-2 (big-endian) cut the rest in two calls (0 or past the end: one call); the rest is
// what the server sends. IX_FUZZ_TRACE=1 prints each call's result.
//
// OpenSSL's random bytes are fixed, so the client's hello and the keys of the handshake before
// the records are the same in every run: recorded answers of a real server stay valid seeds, and
// each input's records go to a fresh client that has replayed the server's side of one real
// handshake made at start-up (a pair kept across inputs would make them depend on each other,
// and most inputs end the session anyway). IX_FUZZ_TLS_SEEDS=DIR writes such seeds to DIR.
//
// The fixed random bytes go through the legacy RAND_METHOD hook, the one that needs no provider.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/ixStream.h"
#include "tls/ixOpenSslTls.h"
#include "tls/ixSspi.h"

namespace {

constexpr const char* kHost = "mail.fuzz.test";

// Never a zero byte, and the same bytes for every call: whoever draws first, the client's hello
// and keys come out the same (and loops that redraw zero bytes end).
int FixedBytes(unsigned char* buffer, int count) {
    for (int i = 0; i < count; ++i)
        buffer[i] = static_cast<unsigned char>(1 + (i * 37) % 251);
    return 1;
}
int FixedSeed(const void*, int) {
    return 1;
}
int FixedAdd(const void*, int, double) {
    return 1;
}
int FixedStatus() {
    return 1;
}
const RAND_METHOD kFixedRandom = {FixedSeed, FixedBytes, nullptr, FixedAdd, FixedBytes, FixedStatus};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "ix_fuzz_tls: %s\n", what);
    ERR_print_errors_fp(stderr);
    std::abort();
}

// A self-signed EC P-256 certificate for kHost with fixed dates: its bytes, and so the
// handshake's transcript and keys, do not change between runs. A client-only one (for the
// seeds) differs in its serial number and its usage.
struct Identity {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;

    explicit Identity(bool clientOnly = false) {
        key = EVP_EC_gen("P-256");
        cert = X509_new();
        if (key == nullptr || cert == nullptr) Fail("cannot make the server key");
        X509_set_version(cert, X509_VERSION_3);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), clientOnly ? 2 : 1);
        ASN1_TIME_set_string(X509_getm_notBefore(cert), "20240101000000Z");
        ASN1_TIME_set_string(X509_getm_notAfter(cert), "20440101000000Z");
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(kHost),
                                   -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509_set_pubkey(cert, key);
        X509V3_CTX v3;
        X509V3_set_ctx_nodb(&v3);
        X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
        std::string san = std::string("DNS:") + kHost;
        AddExtension(v3, NID_subject_alt_name, san.c_str());
        if (clientOnly) AddExtension(v3, NID_ext_key_usage, "clientAuth");
        if (X509_sign(cert, key, EVP_sha256()) == 0) Fail("cannot sign the server certificate");
    }
    void AddExtension(X509V3_CTX& v3, int nid, const char* value) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
        if (extension == nullptr || X509_add_ext(cert, extension, -1) != 1)
            Fail("cannot make the server certificate");
        X509_EXTENSION_free(extension);
    }
    ~Identity() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
    Identity(const Identity&) = delete;
    Identity& operator=(const Identity&) = delete;
};

SSL_CTX* ServerContext(const Identity& identity, int version) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || SSL_CTX_use_certificate(ctx, identity.cert) != 1 ||
        SSL_CTX_use_PrivateKey(ctx, identity.key) != 1)
        Fail("cannot make the server context");
    SSL_CTX_set_min_proto_version(ctx, version);
    SSL_CTX_set_max_proto_version(ctx, version);
    // No tickets and no cache: nothing the server sends depends on the clock, and nothing grows.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    return ctx;
}

struct Process {
    Identity identity;
    SSL_CTX* tls12 = ServerContext(identity, TLS1_2_VERSION);
    SSL_CTX* tls13 = ServerContext(identity, TLS1_3_VERSION);
    // The server's flights of one real handshake for each version, replayed to a fresh client
    // before each input's records: the server's half of the work is done once.
    std::vector<std::string> flights12;
    std::vector<std::string> flights13;
};

// Made once; the fuzzer's leak check ignores what lives as long as the process.
Process* TheProcess = nullptr;

// An OpenSSL server on memory BIOs.
class Server {
public:
    explicit Server(SSL_CTX* ctx)
        : ssl_(SSL_new(ctx)), in_(BIO_new(BIO_s_mem())), out_(BIO_new(BIO_s_mem())) {
        if (ssl_ == nullptr || in_ == nullptr || out_ == nullptr) Fail("cannot make the server");
        BIO_set_mem_eof_return(in_, -1);
        SSL_set_bio(ssl_, in_, out_);
        SSL_set_accept_state(ssl_);
    }
    ~Server() { SSL_free(ssl_); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    SSL* Ssl() const { return ssl_; }
    void Feed(std::string_view bytes) {
        if (!bytes.empty()) BIO_write(in_, bytes.data(), static_cast<int>(bytes.size()));
    }
    std::string Drain() {
        std::string bytes;
        char buffer[4096];
        for (int n; (n = BIO_read(out_, buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, static_cast<std::size_t>(n));
        return bytes;
    }
    void Step() {
        ERR_clear_error();
        SSL_do_handshake(ssl_);
        ERR_clear_error();
    }
    void Write(std::string_view text) { SSL_write(ssl_, text.data(), static_cast<int>(text.size())); }

private:
    SSL* ssl_;
    BIO* in_;
    BIO* out_;
};

// The handshake's checks as byte 0 asks; the records' handshake keeps the defaults, since its
// hello decides its keys.
ix::TixTlsSettings ClientSettings(std::uint8_t flags = 0) {
    ix::TixTlsSettings settings;
    settings.TargetName = (flags & 32) != 0 ? "127.0.0.1" : kHost;
    if ((flags & 8) != 0)
        settings.CertificateFlags = ix::cfIgnoreCommonNameInvalid | ix::cfIgnoreDateInvalid |
                                    ix::cfIgnoreUnknownAuthority | ix::cfIgnoreRevocation |
                                    ix::cfIgnoreWrongUsage;
    if ((flags & 16) != 0) settings.CertChainFlags = ix::rfCheckAll;
    return settings;
}

std::string TakeOutput(ix::TixTlsClientOpenSsl& client) {
    std::string bytes(reinterpret_cast<const char*>(client.OutputData()), client.OutputSize());
    client.ConsumeOutput(bytes.size());
    return bytes;
}

// Runs the handshake to its end on both sides; flights gets each answer of the server, and a
// greeting goes out as soon as the server's side is done.
bool Connect(ix::TixTlsClientOpenSsl& client, Server& server, std::vector<std::string>* flights = nullptr,
             std::string_view greeting = {}) {
    ix::TixCertificateList none(false);
    client.HandShake({}, none, false);
    for (int round = 0; round < 8 && !client.HandshakeComplete(); ++round) {
        server.Feed(TakeOutput(client));
        server.Step();
        if (!greeting.empty() && SSL_is_init_finished(server.Ssl()) == 1) {
            server.Write(greeting);
            greeting = {};
        }
        std::string flight = server.Drain();
        if (flight.empty()) return false;
        if (flights != nullptr) flights->push_back(flight);
        if (client.HandShake(flight, none, false) == ix::trNeedCertificate) return false;
    }
    // The client's Finished completes the server's side.
    server.Feed(TakeOutput(client));
    server.Step();
    return client.HandshakeComplete() && SSL_is_init_finished(server.Ssl()) == 1;
}

bool Tracing = false;

ix::TixTlsResult Note(const char* call, ix::TixTlsResult result) {
    if (Tracing) std::fprintf(stderr, "%s: %d\n", call, static_cast<int>(result));
    return result;
}

struct Input {
    std::uint8_t flags = 0;
    std::string_view first;
    std::string_view second;

    bool Records() const { return (flags & 1) != 0; }
    bool Eof() const { return (flags & 2) != 0; }
    int Version() const { return (flags & 4) != 0 ? TLS1_2_VERSION : TLS1_3_VERSION; }
};

void Handshake(const Input& input) {
    ix::TixTlsClientOpenSsl client(ClientSettings(input.flags));
    ix::TixCertificateList none(false);
    ix::TixMemoryStream plain;
    client.HandShake({}, none, false);
    for (std::string_view piece : {input.first, input.second}) {
        if (client.HandshakeComplete()) {
            Note("decrypt", client.Decrypt(piece, plain));
            continue;
        }
        // As the stream does: with no certificate to give, the retry says so and the handshake ends.
        if (Note("handshake", client.HandShake(piece, none, false)) == ix::trNeedCertificate &&
            Note("handshake without a certificate", client.HandShake({}, none, true)) ==
                ix::trNeedCertificate)
            return;
        client.ConsumeOutput(client.OutputSize());
    }
    if (!client.HandshakeComplete()) return;
    // What the server chose, read back as the stream reports it.
    std::string chosen =
        client.Version() + ' ' + client.Cipher() + ' ' + std::to_string(client.RecordOverhead());
    if (Tracing) std::fprintf(stderr, "%s, verdict: %s\n", chosen.c_str(), client.StatusText().c_str());
    Note("decrypt the rest", client.Decrypt({}, plain, input.Eof()));
    if (Tracing) std::fprintf(stderr, "plaintext: %lld bytes\n", static_cast<long long>(plain.Size()));
    client.Encrypt("a0001 LOGOUT\r\n", 14);
    client.Shutdown();
}

std::vector<std::string> RecordHandshake(SSL_CTX* ctx) {
    Server server(ctx);
    ix::TixTlsClientOpenSsl client(ClientSettings());
    std::vector<std::string> flights;
    if (!Connect(client, server, &flights)) Fail("the handshake before the records failed");
    return flights;
}

void Records(const Input& input) {
    ix::TixTlsClientOpenSsl client(ClientSettings());
    ix::TixCertificateList none(false);
    client.HandShake({}, none, false);
    for (const std::string& flight :
         input.Version() == TLS1_2_VERSION ? TheProcess->flights12 : TheProcess->flights13) {
        client.HandShake(flight, none, false);
        client.ConsumeOutput(client.OutputSize());
    }
    if (!client.HandshakeComplete()) Fail("the recorded handshake did not complete");
    ix::TixMemoryStream plain;
    Note("decrypt", client.Decrypt(input.first, plain, input.Eof() && input.second.empty()));
    if (!input.second.empty()) Note("decrypt the rest", client.Decrypt(input.second, plain, input.Eof()));
    if (Tracing) std::fprintf(stderr, "plaintext: %lld bytes\n", static_cast<long long>(plain.Size()));
}

Input Parse(const std::uint8_t* data, std::size_t size) {
    Input input;
    if (size < 3) return input;
    input.flags = data[0];
    std::size_t cut = static_cast<std::size_t>(data[1]) << 8 | data[2];
    std::string_view rest(reinterpret_cast<const char*>(data) + 3, size - 3);
    if (cut == 0 || cut >= rest.size()) {
        input.first = rest;
    } else {
        input.first = rest.substr(0, cut);
        input.second = rest.substr(cut);
    }
    return input;
}

// Seeds: the real server's answers for each kind of handshake, and real records after one.
void WriteSeed(const std::string& dir, const std::string& name, std::uint8_t flags, const std::string& first,
               const std::string& second = {}) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    std::size_t cut = second.empty() ? 0 : first.size();
    out << static_cast<char>(flags) << static_cast<char>(cut >> 8) << static_cast<char>(cut & 0xff) << first
        << second;
    if (!out) Fail("cannot write a seed");
}

// The server's flights of a handshake that setup changes; the cut falls after the first.
void HandshakeSeed(const std::string& dir, const std::string& name, int version, void (*setup)(SSL*),
                   std::string_view greeting = {}, std::uint8_t flags = 0) {
    Server server(version == TLS1_2_VERSION ? TheProcess->tls12 : TheProcess->tls13);
    if (setup != nullptr) setup(server.Ssl());
    ix::TixTlsClientOpenSsl client(ClientSettings(flags));
    std::vector<std::string> flights;
    Connect(client, server, &flights, greeting);
    std::string rest;
    for (std::size_t i = 1; i < flights.size(); ++i)
        rest += flights[i];
    WriteSeed(dir, name, flags, flights.empty() ? std::string() : flights[0], rest);
}

// The records a server's actions produce after the handshake; the cut falls after the first part
// when the client's answer to it decides the second (a renegotiation).
void RecordSeed(const std::string& dir, const std::string& name, int version,
                void (*act)(Server&, ix::TixTlsClientOpenSsl&, std::string& first, std::string& second),
                bool eof = false) {
    Server server(version == TLS1_2_VERSION ? TheProcess->tls12 : TheProcess->tls13);
    ix::TixTlsClientOpenSsl client(ClientSettings());
    if (!Connect(client, server)) Fail("the handshake for the seeds failed");
    std::string first, second;
    act(server, client, first, second);
    WriteSeed(dir, name, (version == TLS1_2_VERSION ? 5 : 1) | (eof ? 2 : 0), first, second);
}

const Identity& ClientOnlyIdentity() {
    static const Identity identity(true);
    return identity;
}

void UseIdentity(SSL* ssl, const Identity& identity) {
    if (SSL_use_certificate(ssl, identity.cert) != 1 || SSL_use_PrivateKey(ssl, identity.key) != 1)
        Fail("cannot change the server certificate");
}

// The HelloRequest and the renegotiation that follows, cut where the client's hello goes out.
void Renegotiate(Server& server, ix::TixTlsClientOpenSsl& client, std::string& first, std::string& second) {
    SSL_renegotiate(server.Ssl());
    server.Step();
    first = server.Drain();
    ix::TixMemoryStream plain;
    client.Decrypt(first, plain);
    for (int round = 0; round < 4; ++round) {
        server.Feed(TakeOutput(client));
        // A server that has finished one handshake goes on with the next inside its reads.
        char buffer[256];
        SSL_read(server.Ssl(), buffer, sizeof buffer);
        std::string flight = server.Drain();
        if (flight.empty()) break;
        second += flight;
        try {
            client.Decrypt(flight, plain);
        } catch (const ix::EixSSPIError&) {
            break;  // the client refuses the server's new certificate; the server is done all the same
        }
    }
    server.Write("* OK renegotiated\r\n");
    second += server.Drain();
}

void MakeSeeds(const std::string& dir) {
    HandshakeSeed(dir, "hello-tls13", TLS1_3_VERSION, nullptr);
    HandshakeSeed(dir, "hello-tls12", TLS1_2_VERSION, nullptr);
    // The client's key share is for X25519 first: a server that wants P-256 asks again.
    HandshakeSeed(dir, "hello-retry", TLS1_3_VERSION, [](SSL* ssl) { SSL_set1_groups_list(ssl, "P-256"); });
    HandshakeSeed(dir, "hello-certificate-request", TLS1_3_VERSION,
                  [](SSL* ssl) { SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr); });
    // A TLS 1.2 server that sends its greeting with its Finished.
    HandshakeSeed(dir, "hello-tls12-greeting", TLS1_2_VERSION, nullptr, "* OK ready\r\n");
    // Revocation checks that find no lists, and flags that ignore what fails.
    HandshakeSeed(dir, "hello-tls12-lenient", TLS1_2_VERSION, nullptr, {}, 8 | 16);
    HandshakeSeed(dir, "hello-tls12-wrong-usage", TLS1_2_VERSION,
                  [](SSL* ssl) { UseIdentity(ssl, ClientOnlyIdentity()); });
    // Records with a MAC and padding instead of an AEAD tag.
    HandshakeSeed(
        dir, "hello-tls12-cbc", TLS1_2_VERSION,
        [](SSL* ssl) { SSL_set_cipher_list(ssl, "ECDHE-ECDSA-AES128-SHA256"); }, "* OK ready\r\n");
    WriteSeed(dir, "alert", 0, std::string("\x15\x03\x03\x00\x02\x02\x28", 7));

    auto data = [](Server& server, ix::TixTlsClientOpenSsl&, std::string& first, std::string&) {
        server.Write("* OK ready\r\n");
        server.Write(std::string(3000, 'x'));
        first = server.Drain();
    };
    auto close = [](Server& server, ix::TixTlsClientOpenSsl&, std::string& first, std::string&) {
        server.Write("* BYE\r\n");
        SSL_shutdown(server.Ssl());
        first = server.Drain();
    };
    auto keyUpdate = [](Server& server, ix::TixTlsClientOpenSsl&, std::string& first, std::string&) {
        SSL_key_update(server.Ssl(), SSL_KEY_UPDATE_REQUESTED);
        server.Write("* OK after the update\r\n");
        first = server.Drain();
    };
    auto ticket = [](Server& server, ix::TixTlsClientOpenSsl&, std::string& first, std::string&) {
        SSL_new_session_ticket(server.Ssl());
        server.Write("* OK\r\n");
        first = server.Drain();
    };
    // The same, with another certificate the second time.
    auto renegotiateAs = [](Server& server, ix::TixTlsClientOpenSsl& client, std::string& first,
                            std::string& second) {
        UseIdentity(server.Ssl(), ClientOnlyIdentity());
        Renegotiate(server, client, first, second);
    };
    auto truncated = [](Server& server, ix::TixTlsClientOpenSsl&, std::string& first, std::string&) {
        server.Write("* OK cut short\r\n");
        first = server.Drain();
        first.resize(first.size() - 4);
    };
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        std::string suffix = version == TLS1_2_VERSION ? "-tls12" : "-tls13";
        RecordSeed(dir, "data" + suffix, version, data);
        RecordSeed(dir, "close" + suffix, version, close);
    }
    RecordSeed(dir, "key-update-tls13", TLS1_3_VERSION, keyUpdate);
    RecordSeed(dir, "ticket-tls13", TLS1_3_VERSION, ticket);
    RecordSeed(dir, "renegotiate-tls12", TLS1_2_VERSION, Renegotiate);
    RecordSeed(dir, "renegotiate-new-certificate-tls12", TLS1_2_VERSION, renegotiateAs);
    RecordSeed(dir, "truncated-tls13", TLS1_3_VERSION, truncated, true);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (RAND_set_rand_method(&kFixedRandom) != 1) Fail("cannot fix the random bytes");
    // No trust store of the machine's: the verdict is the same everywhere, and no handshake scans
    // the system's certificate folder for the server's issuer.
    setenv("SSL_CERT_FILE", "/dev/null", 1);
    setenv("SSL_CERT_DIR", "/dev/null/none", 1);
    Tracing = std::getenv("IX_FUZZ_TRACE") != nullptr;
    TheProcess = new Process;
    TheProcess->flights12 = RecordHandshake(TheProcess->tls12);
    TheProcess->flights13 = RecordHandshake(TheProcess->tls13);
    if (const char* dir = std::getenv("IX_FUZZ_TLS_SEEDS")) {
        MakeSeeds(dir);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1 << 16)) return 0;
    Input input = Parse(data, size);
    try {
        if (input.Records())
            Records(input);
        else
            Handshake(input);
    } catch (const ix::EixSSPIError& error) {
        // Anything a server sends may fail the session, with this error only.
        if (Tracing) std::fprintf(stderr, "raised: %s\n", error.what());
    }
    ERR_clear_error();
    return 0;
}
