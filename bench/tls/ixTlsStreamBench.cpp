// Bulk TLS reading over loopback: an OpenSSL server thread writes 256 MB in 16 KB records with
// TLS_AES_256_GCM_SHA384 over TLS 1.3, read once by TixTcpClientTls (implicit TLS, into a
// counting stream) and once by a plain blocking SSL_read loop on a socket BIO. The runs alternate;
// the rates' medians are compared. Each run includes its connect and handshake; as in a protocol,
// the server starts only when the client asks (one byte), so the data flows after the handshake.
//
//   bench_tls_stream CERT KEY    a server certificate for 127.0.0.1 and its key (PEM); the
//                                certificate is also the client's trust anchor

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ixCountingStream.h"
#include "ixInterleaved.h"
#include "tls/ixTcpClientTls.h"
#include "transport/ixTcpClient.h"

namespace {

constexpr std::int64_t kTotal = 256LL * 1024 * 1024;
constexpr int kRecord = 16384;
constexpr int kRuns = 9;
constexpr const char* kCipher = "TLS_AES_256_GCM_SHA384";

[[noreturn]] void Fail(const std::string& what) {
    ERR_print_errors_fp(stderr);
    throw std::runtime_error(what);
}

SSL_CTX* ServerContext(const char* cert, const char* key) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || SSL_CTX_use_certificate_chain_file(ctx, cert) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_ciphersuites(ctx, kCipher) != 1)
        Fail("cannot set up the server");
    return ctx;
}

struct Listener {
    int fd = -1;
    int port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen");
        port = ntohs(address.sin_port);
    }
    ~Listener() { close(fd); }
};

// The server's side of one run: the handshake, the client's request, kTotal bytes in full records,
// the close alert, and a wait for the client's close so that no byte is cut off by a reset.
void Serve(SSL_CTX* ctx, int listenFd) {
    int fd = accept(listenFd, nullptr, nullptr);
    if (fd < 0) return;
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    std::vector<char> record(kRecord, 'r');
    char request = 0;
    if (SSL_accept(ssl) == 1 && SSL_read(ssl, &request, 1) == 1) {
        for (std::int64_t left = kTotal; left > 0; left -= kRecord)
            if (SSL_write(ssl, record.data(), kRecord) != kRecord) break;
        SSL_shutdown(ssl);
    }
    ::shutdown(fd, SHUT_WR);
    char drain[4096];
    while (recv(fd, drain, sizeof drain, 0) > 0) {
    }
    SSL_free(ssl);
    close(fd);
}

double ThreadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Megabytes per second of one run of the client against a fresh server thread; the client's CPU
// milliseconds per megabyte go to cpuMsPerMb.
double Rate(SSL_CTX* server, const std::function<std::int64_t(int port)>& client,
            std::vector<double>& cpuMsPerMb) {
    Listener listener;
    std::thread thread([&] { Serve(server, listener.fd); });
    std::int64_t received = 0;
    double seconds = 0;
    double cpu = ThreadCpuSeconds();
    try {
        seconds = ix::bench::Seconds([&] { received = client(listener.port); });
        cpu = ThreadCpuSeconds() - cpu;
    } catch (...) {
        // Wakes a server still waiting for the connection; one in mid-transfer fails on the close.
        ::shutdown(listener.fd, SHUT_RDWR);
        thread.join();
        throw;
    }
    thread.join();
    if (received != kTotal)
        throw std::runtime_error("received " + std::to_string(received) + " bytes of " +
                                 std::to_string(kTotal));
    const double mb = static_cast<double>(kTotal) / 1048576.0;
    cpuMsPerMb.push_back(cpu * 1000.0 / mb);
    return mb / seconds;
}

std::int64_t OursRead(int port, const std::string& ca, std::string& cipher) {
    ix::TixTcpClientTls client;
    client.SetServer("127.0.0.1");
    client.SetPort(port);
    client.SetUseTLS(ix::TixClientTlsMode::ctImplicit);
    client.SetCAFile(ca);
    client.Open();
    cipher = client.TlsVersion() + " " + client.TlsCipher();
    ix::TixMemoryStream request("g");
    client.GetConnection().WriteData(&request);
    ix::bench::TixCountingStream sink;
    while (client.Active())
        client.GetConnection().ReadData(&sink);
    return sink.Size();
}

std::int64_t PlainRead(int port, SSL_CTX* ctx, std::string& cipher) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect");
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1) Fail("the plain client's handshake failed");
    cipher = std::string(SSL_get_version(ssl)) + " " + SSL_get_cipher_name(ssl);
    if (SSL_write(ssl, "g", 1) != 1) Fail("the plain client's request failed");
    std::vector<char> buffer(kRecord);
    ix::bench::TixCountingStream sink;
    for (;;) {
        int n = SSL_read(ssl, buffer.data(), kRecord);
        if (n <= 0) break;
        sink.Write(buffer.data(), static_cast<std::size_t>(n));
    }
    SSL_shutdown(ssl);
    SSL_free(ssl);
    close(fd);
    return sink.Size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_tls_stream CERT KEY\n");
        return 2;
    }
    try {
        SSL_CTX* server = ServerContext(argv[1], argv[2]);
        SSL_CTX* plain = SSL_CTX_new(TLS_client_method());
        if (plain == nullptr || SSL_CTX_load_verify_locations(plain, argv[1], nullptr) != 1)
            Fail("plain client");
        SSL_CTX_set_verify(plain, SSL_VERIFY_PEER, nullptr);
        std::string oursCipher, plainCipher;
        std::vector<double> oursCpu, plainCpu;
        auto figures = ix::bench::Interleaved(
            kRuns,
            [&] {
                return Rate(
                    server, [&](int port) { return OursRead(port, argv[1], oursCipher); }, oursCpu);
            },
            [&] {
                return Rate(
                    server, [&](int port) { return PlainRead(port, plain, plainCipher); }, plainCpu);
            });
        std::printf("256 MB over 127.0.0.1 in %d-byte records; ours %s, plain SSL_read loop %s\n", kRecord,
                    oursCipher.c_str(), plainCipher.c_str());
        std::printf("client CPU per MB (medians): ours %.3f ms, plain SSL_read loop %.3f ms\n",
                    ix::bench::Summarize(oursCpu).median, ix::bench::Summarize(plainCpu).median);
        ix::bench::Report("tls_read_256MB_vs_ssl_read_loop", "MB/s", true, kRuns, figures, 0.90);
        SSL_CTX_free(plain);
        SSL_CTX_free(server);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_tls_stream: %s\n", e.what());
        return 1;
    }
    return 0;
}
