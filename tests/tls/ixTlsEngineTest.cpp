#include "tls/ixOpenSslTls.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "ixTestSupport.h"
#include "ixTlsTestSupport.h"
#include "tls/ixSspi.h"

namespace ix {
namespace {

using test::CertPath;
using test::MemoryTlsServer;
using test::ServerOptions;

ServerOptions MaxVersion(int version) {
    ServerOptions options;
    options.maxVersion = version;
    return options;
}

TixTlsSettings Settings(const std::string& target = "mail.example.test") {
    TixTlsSettings settings;
    settings.TargetName = target;
    settings.CAFile = CertPath("ca.crt");
    return settings;
}

std::string TakeOutput(TixTlsClientOpenSsl& client) {
    std::string bytes(reinterpret_cast<const char*>(client.OutputData()), client.OutputSize());
    client.ConsumeOutput(bytes.size());
    return bytes;
}

// Runs the handshake, handing each server flight over in pieces; answers the last result and
// every result seen.
TixTlsResult Handshake(TixTlsClientOpenSsl& client, MemoryTlsServer& server, std::size_t piece = 1 << 20,
                       std::vector<TixTlsResult>* seen = nullptr) {
    TixCertificateList none(false);
    TixTlsResult result = client.HandShake({}, none, false);
    for (int round = 0; round < 10 && (result == trTokenReady || result == trNeedMore); ++round) {
        server.Feed(TakeOutput(client));
        // A failing server still sends its alert, which the client must take as the end.
        server.Handshake();
        std::string flight = server.Drain();
        if (flight.empty()) return result;
        for (std::size_t at = 0; at < flight.size(); at += piece) {
            result = client.HandShake(std::string_view(flight).substr(at, piece), none, false);
            if (seen != nullptr) seen->push_back(result);
            if (result != trNeedMore) break;
        }
    }
    // The client's last flight (its Finished) completes the server's side.
    server.Feed(TakeOutput(client));
    server.Handshake();
    return result;
}

// What the server reads of the text the client encrypts.
std::string ToServer(TixTlsClientOpenSsl& client, MemoryTlsServer& server, std::string_view text) {
    client.Encrypt(text.data(), text.size());
    server.Feed(TakeOutput(client));
    return server.Read();
}

std::string Decrypted(TixTlsClientOpenSsl& client, std::string_view bytes, TixTlsResult& result) {
    TixMemoryStream plain;
    result = client.Decrypt(bytes, plain);
    return std::string(plain.View());
}

// The server's certificate as the client holds it is the client window's certificate question.
TEST(TlsEngine, HandshakeInPiecesForEachVersion) {
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{97}, std::size_t{1} << 20}) {
            SCOPED_TRACE(std::to_string(version) + " in pieces of " + std::to_string(piece));
            MemoryTlsServer server(MaxVersion(version));
            TixTlsClientOpenSsl client(Settings());
            std::vector<TixTlsResult> seen;
            EXPECT_EQ(Handshake(client, server, piece, &seen), trDone);
            EXPECT_TRUE(client.HandshakeComplete());
            EXPECT_TRUE(client.Verified()) << client.StatusText();
            EXPECT_EQ(client.Version(), version == TLS1_3_VERSION ? "TLSv1.3" : "TLSv1.2");
            EXPECT_GT(client.RecordOverhead(), 0);
            if (piece == 1) {
                EXPECT_GT(std::count(seen.begin(), seen.end(), trNeedMore), 100);
            }
        }
    }
}

TEST(TlsEngine, DataBothWaysRecordsSplitAcrossReadsAKeyUpdateAndACloseWithoutTheAlert) {
    MemoryTlsServer server;
    TixTlsClientOpenSsl client(Settings());
    ASSERT_EQ(Handshake(client, server), trDone);
    EXPECT_EQ(ToServer(client, server, "a0001 NOOP\r\n"), "a0001 NOOP\r\n");

    // Tickets of TLS 1.3 come as records without data: nothing to wait for once they are read.
    TixTlsResult result;
    std::string tickets = server.Drain();
    EXPECT_EQ(Decrypted(client, tickets, result), "");
    EXPECT_EQ(result, trDone);

    server.Write("first");
    server.Write("second record");
    std::string records = server.Drain();
    std::size_t firstEnd = records.size() / 2;
    EXPECT_EQ(Decrypted(client, std::string_view(records).substr(0, 3), result), "");
    EXPECT_EQ(result, trIncomplete);
    EXPECT_EQ(Decrypted(client, std::string_view(records).substr(3, firstEnd + 2 - 3), result), "first");
    EXPECT_EQ(result, trPartial);
    EXPECT_EQ(Decrypted(client, std::string_view(records).substr(firstEnd + 2), result), "second record");
    EXPECT_EQ(result, trDone);

    // A key update is answered without a wait: the client's own waits in the output, ahead of
    // what it sends next.
    ASSERT_EQ(SSL_key_update(server.Ssl(), SSL_KEY_UPDATE_REQUESTED), 1);
    server.Write("* 1 EXISTS\r\n");
    EXPECT_EQ(Decrypted(client, server.Drain(), result), "* 1 EXISTS\r\n");
    EXPECT_EQ(result, trDone);
    EXPECT_EQ(ToServer(client, server, "a0003 NOOP\r\n"), "a0003 NOOP\r\n");
    EXPECT_EQ(SSL_get_key_update_type(server.Ssl()), SSL_KEY_UPDATE_NONE);

    // A whole record and then a TCP close without the close alert (which ends the reads cleanly, the
    // TLS stream's case) raises: the data may have been cut short.
    server.Write("a0004 OK FETCH done\r\n");
    EXPECT_EQ(Decrypted(client, server.Drain(), result), "a0004 OK FETCH done\r\n");
    TixMemoryStream plain;
    EXPECT_THROW(client.Decrypt({}, plain, true), EixSSPIError);
}

TEST(TlsEngine, RenegotiationRequestRunsANewHandshakeAndDataFlowsOn) {
    MemoryTlsServer server(MaxVersion(TLS1_2_VERSION));
    TixTlsClientOpenSsl client(Settings());
    ASSERT_EQ(Handshake(client, server), trDone);
    ASSERT_EQ(SSL_renegotiate(server.Ssl()), 1);
    SSL_do_handshake(server.Ssl());
    TixTlsResult result;
    std::string flight = server.Drain();
    for (int round = 0; round < 10; ++round) {
        EXPECT_EQ(Decrypted(client, flight, result), "");
        std::string toServer = TakeOutput(client);
        if (result != trRenegotiate && toServer.empty()) break;
        server.Feed(toServer);
        server.Read();
        flight = server.Drain();
    }
    EXPECT_EQ(result, trDone);
    EXPECT_EQ(SSL_renegotiate_pending(server.Ssl()), 0);
    server.Write("after");
    EXPECT_EQ(Decrypted(client, server.Drain(), result), "after");
    EXPECT_EQ(result, trDone);
    EXPECT_EQ(ToServer(client, server, "still here"), "still here");
}

// A client certificate on the server's request is the TLS stream's case (OnGetCertificate, and the
// open failing without one).

TEST(TlsEngine, OldProtocolsOnlyWhenAskedFor) {
    // The cipher needs an RSA key.
    ServerOptions tls1 = MaxVersion(TLS1_VERSION);
    tls1.cert = "weakkey.crt";
    tls1.key = "weakkey.key";
    tls1.cipherList = "AES128-SHA@SECLEVEL=0";
    {
        MemoryTlsServer server(tls1);
        TixTlsClientOpenSsl client(Settings("localhost"));
        EXPECT_THROW(Handshake(client, server), EixSSPIError);
    }
    MemoryTlsServer server(tls1);
    TixTlsSettings settings = Settings("localhost");
    settings.UseSystemTLSFlags = false;
    settings.TLSFlags = tfUseSSL3 | tfUseTLS;
    settings.SecurityLevel = 0;
    TixTlsClientOpenSsl client(settings);
    EXPECT_EQ(Handshake(client, server), trDone);
    EXPECT_EQ(client.Version(), "TLSv1");

    settings.TLSFlags = tfUseSSL2 | tfUseSSL3;
    EXPECT_EQ(test::CodeOf([&] { TixTlsClientOpenSsl nothing(settings); }), IX_SSPI_NOT_SUPPORTED);
    settings = Settings();
    settings.SecurityPackage = "Microsoft Unified Security Protocol Provider";
    EXPECT_EQ(test::CodeOf([&] { TixTlsClientOpenSsl other(settings); }), IX_SSPI_ACQUIRE_CREDENTIALS);
}

// The server's certificate, the name the client asks for, the flags, and OpenSSL's verify code
// the client must report (0: accepted).
struct VerifyCase {
    const char* name;
    const char* cert;  // NAME or NAME-chain: NAME.crt and NAME.key
    const char* target;
    int expected;
    TixCertificateVerifyFlags ignoring;  // the member that must let exactly this failure pass
};

// OpenSSL's own name and date rules (wildcards over two labels or a bare domain, a date not yet
// valid) are not repeated here: the cases check what the client sets and how it maps each failure.
// A chain missing its intermediate fails as the unknown CA does, with the same code; a self-signed
// certificate takes the unknown CA's flag, and a leaf's weak key and an intermediate that is no CA
// the SHA-1 signature's (only the chain policy flag passes them).
TEST(TlsEngine, CertificateChecksAndTheFlagThatIgnoresEach) {
    const VerifyCase cases[] = {
        {"good chain", "good-chain", "mail.example.test", 0, 0},
        {"trailing dot", "good-chain", "mail.example.test.", 0, 0},
        {"IP in the alt names", "good-chain", "127.0.0.1", 0, 0},
        {"expired", "expired", "mail.example.test", X509_V_ERR_CERT_HAS_EXPIRED, cfIgnoreDateInvalid},
        {"wrong host", "wrongname", "mail.example.test", X509_V_ERR_HOSTNAME_MISMATCH,
         cfIgnoreCommonNameInvalid},
        {"address named as DNS", "dnsip", "127.0.0.1", X509_V_ERR_IP_ADDRESS_MISMATCH,
         cfIgnoreCommonNameInvalid},
        {"wildcard, one label", "wildcard", "mail.example.test", 0, 0},
        {"partial wildcard", "wildcard", "mx.partial.test", X509_V_ERR_HOSTNAME_MISMATCH,
         cfIgnoreCommonNameInvalid},
        {"unknown CA", "unknownca", "mail.example.test", X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY,
         cfIgnoreUnknownAuthority},
        {"client-only usage", "clientonly", "mail.example.test", X509_V_ERR_INVALID_PURPOSE,
         cfIgnoreWrongUsage},
        {"SHA-1 signature", "sha1", "mail.example.test", X509_V_ERR_CA_MD_TOO_WEAK,
         cfIgnoreChainPolicyErrors},
    };
    const TixCertificateVerifyFlags members[] = {cfIgnoreCommonNameInvalid, cfIgnoreDateInvalid,
                                                 cfIgnoreUnknownAuthority,  cfIgnoreRevocation,
                                                 cfIgnoreWrongUsage,        cfIgnoreChainPolicyErrors};
    for (const VerifyCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (TixCertificateVerifyFlags flags : members) {
            if (c.expected == 0 && flags != cfIgnoreRevocation) continue;
            ServerOptions options;
            options.cert = std::string(c.cert) + ".crt";
            options.key = std::string(c.cert).substr(0, std::string(c.cert).find("-chain")) + ".key";
            MemoryTlsServer server(options);
            TixTlsSettings settings = Settings(c.target);
            settings.CertificateFlags = c.expected == 0 ? 0 : flags;
            TixTlsClientOpenSsl client(settings);
            ASSERT_EQ(Handshake(client, server), trDone) << "flags " << flags;
            bool passes = c.expected == 0 || flags == c.ignoring || flags == cfIgnoreChainPolicyErrors;
            EXPECT_EQ(client.Verified(), passes) << "flags " << flags << ": " << client.StatusText();
            EXPECT_EQ(client.Status(), passes ? 0 : c.expected)
                << "flags " << flags << ": " << client.StatusText();
        }
    }
}

}  // namespace
}  // namespace ix
