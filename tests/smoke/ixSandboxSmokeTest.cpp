// Proves the sandbox fixture: the plain port greets, the implicit-TLS port's chain verifies against
// the generated CA (and only against it), and the test user sees the sample folders.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "ixTestSupport.h"

namespace {

int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until a line starting with the tag (or any line when tag is empty) has arrived.
std::string ReadUntil(int fd, const std::string& tag) {
    std::string data;
    char buf[4096];
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return data;
        data.append(buf, static_cast<std::size_t>(n));
        const auto last = data.size() >= 3 ? data.rfind("\r\n", data.size() - 3) : std::string::npos;
        const std::string lastLine = data.substr(last == std::string::npos ? 0 : last + 2);
        if (data.size() >= 2 && data.compare(data.size() - 2, 2, "\r\n") == 0 &&
            (tag.empty() || lastLine.rfind(tag, 0) == 0))
            return data;
    }
}

void Send(int fd, const std::string& line) {
    ASSERT_EQ(send(fd, line.data(), line.size(), 0), (ssize_t)line.size());
}

struct TlsResult {
    bool verified = false;
    std::string greeting;
};

TlsResult TlsConnect(const ix::test::SandboxInfo& sb, bool useCa) {
    TlsResult result;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (useCa)
        SSL_CTX_load_verify_locations(ctx, sb.caFile.c_str(), nullptr);
    else
        SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    const int fd = Connect(sb.imapsPort);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "localhost");
    SSL_set1_host(ssl, "localhost");
    if (SSL_connect(ssl) == 1 && SSL_get_verify_result(ssl) == X509_V_OK) {
        result.verified = true;
        char buf[512];
        const int n = SSL_read(ssl, buf, sizeof buf);
        if (n > 0) result.greeting.assign(buf, static_cast<std::size_t>(n));
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    return result;
}

}  // namespace

TEST(SandboxSmoke, PlainPortGreetsAndOffersStartTls) {
    const auto sb = ix::test::Sandbox();
    const int fd = Connect(sb.imapPort);
    ASSERT_GE(fd, 0);
    const std::string greeting = ReadUntil(fd, "");
    EXPECT_EQ(greeting.rfind("* OK", 0), 0u) << greeting;
    Send(fd, "a1 CAPABILITY\r\n");
    const std::string caps = ReadUntil(fd, "a1 ");
    EXPECT_NE(caps.find("STARTTLS"), std::string::npos) << caps;
    EXPECT_NE(caps.find("AUTH=CRAM-MD5"), std::string::npos) << caps;
    close(fd);
}

TEST(SandboxSmoke, ImplicitTlsChainVerifiesOnlyAgainstTheSandboxCa) {
    const auto sb = ix::test::Sandbox();
    const TlsResult withCa = TlsConnect(sb, true);
    EXPECT_TRUE(withCa.verified);
    EXPECT_EQ(withCa.greeting.rfind("* OK", 0), 0u) << withCa.greeting;
    EXPECT_FALSE(TlsConnect(sb, false).verified);
}

TEST(SandboxSmoke, TestUserSeesTheSampleFolders) {
    const auto sb = ix::test::Sandbox();
    const int fd = Connect(sb.imapPort);
    ASSERT_GE(fd, 0);
    ReadUntil(fd, "");
    Send(fd, "a1 LOGIN " + sb.user + " " + sb.password + "\r\n");
    EXPECT_NE(ReadUntil(fd, "a1 ").find("a1 OK"), std::string::npos);
    Send(fd, "a2 LIST \"\" \"*\"\r\n");
    const std::string list = ReadUntil(fd, "a2 ");
    for (const char* name : {"INBOX", "Sent", "Archive/2024", "Entw&APw-rfe"})
        EXPECT_NE(list.find(name), std::string::npos) << name << " missing in\n" << list;
    Send(fd, "a3 STATUS INBOX (MESSAGES)\r\n");
    EXPECT_NE(ReadUntil(fd, "a3 ").find("MESSAGES 5"), std::string::npos);
    Send(fd, "a4 LOGOUT\r\n");
    ReadUntil(fd, "a4 ");
    close(fd);
}

TEST(SandboxSmoke, FillAddsTheRequestedNumberOfMessages) {
    const auto sb = ix::test::Sandbox();
    const std::string cmd =
        ix::test::SourcePath("scripts/sandbox-server.sh") + " fill " + sb.dir + " Bulk 300";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const int fd = Connect(sb.imapPort);
    ASSERT_GE(fd, 0);
    ReadUntil(fd, "");
    Send(fd, "a1 LOGIN " + sb.user + " " + sb.password + "\r\n");
    ReadUntil(fd, "a1 ");
    Send(fd, "a2 STATUS Bulk (MESSAGES)\r\n");
    EXPECT_NE(ReadUntil(fd, "a2 ").find("MESSAGES 300"), std::string::npos);
    close(fd);
}
