#include "tls/ixTlsStream.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <future>

#include "ixLoopbackClientFixture.h"
#include "ixLoopbackServer.h"
#include "ixTestSupport.h"
#include "ixTlsTestSupport.h"
#include "tls/ixSspi.h"
#include "tls/ixTcpClientTls.h"

namespace ix {
namespace {

using test::CertPath;
using test::LoopbackClientFixture;
using test::LoopbackPeer;
using test::TlsPeer;

class TlsStreamTest : public LoopbackClientFixture<TixTcpClientTls> {
protected:
    void SetUp() override {
        LoopbackClientFixture::SetUp();
        client.SetUseTLS(TixClientTlsMode::ctImplicit);
        client.SetCAFile(CertPath("ca.crt"));
    }
    TixTlsNetworkStream& Stream() { return *client.TlsStream(); }
};

TEST_F(TlsStreamTest, GreetingWithTheLastFlightIsReadWithoutAWait) {
    // The script may still be writing when the test is over: it holds its own share of the signal.
    std::promise<void> done;
    server.Serve([finished = done.get_future().share()](LoopbackPeer& peer) {
        // TLS 1.2: the server's Finished and the greeting leave in one write.
        test::ServerOptions options;
        options.maxVersion = TLS1_2_VERSION;
        test::SslContextPtr ctx(test::ServerContext(options), SSL_CTX_free);
        test::SslPtr owner(SSL_new(ctx.get()), SSL_free);
        SSL* ssl = owner.get();
        BIO* bio = BIO_new_socket(peer.Fd(), BIO_NOCLOSE);
        BIO* buffered = BIO_new(BIO_f_buffer());
        BIO_push(buffered, bio);
        BIO_up_ref(bio);  // both ends own it
        SSL_set_bio(ssl, bio, buffered);
        SSL_accept(ssl);
        SSL_write(ssl, "* OK ready\r\n", 12);
        BIO_flush(buffered);
        finished.wait();
    });
    client.Open();
    EXPECT_EQ(readyEvents, 1);
    // The server sends nothing more: a wait for the socket would end in the time-out.
    EXPECT_EQ(test::ReadUntil(client, "\r\n"), "* OK ready\r\n");
    EXPECT_EQ(Stream().BytesProceed(), 12);
    EXPECT_GT(Stream().RawBytesProceed(), 12);
    done.set_value();
}

TEST_F(TlsStreamTest, AWriteThatBlocksMidRecordSendsThatRecordAndOnlyThenMovesOn) {
    std::string payload(64 * 1024, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 131 >> 4);
    auto blocked = std::make_shared<std::promise<void>>();
    auto read = std::make_shared<std::promise<void>>();
    auto received = std::make_shared<std::string>();
    server.Serve([blocked, read, received, size = payload.size()](LoopbackPeer& peer) {
        int small = 4096;
        setsockopt(peer.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        TlsPeer tls(peer);
        blocked->get_future().wait();
        int large = 1 << 20;
        setsockopt(peer.Fd(), SOL_SOCKET, SO_RCVBUF, &large, sizeof large);
        *received = tls.Read(size);
        read->set_value();
    });
    client.Open();
    int small = 4096;
    setsockopt(client.GetConnection().Socket().Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    TixTlsNetworkStream& stream = Stream();
    TixMemoryStream source(payload);
    bool complete = stream.Write(&source);
    ASSERT_FALSE(complete) << "the socket took it all without blocking";
    // The source stands at the start of the chunk whose record is still in flight.
    EXPECT_EQ(source.Position() % client.BatchSize(), 0);
    EXPECT_EQ(stream.BytesProceed(), source.Position());
    EXPECT_GT(stream.Engine()->OutputSize(), 0u);
    EXPECT_EQ(stream.NextAction(), naNone);
    blocked->set_value();
    while (!complete) {
        pollfd fd{client.GetConnection().Socket().Handle(), POLLOUT, 0};
        ASSERT_EQ(poll(&fd, 1, 3000), 1);
        complete = stream.Write(&source);
    }
    EXPECT_EQ(stream.BytesProceed(), static_cast<std::int64_t>(payload.size()));
    EXPECT_GT(stream.RawBytesProceed(), stream.BytesProceed());
    // Closing with the server's tickets unread would reset the connection under the server's reads.
    read->get_future().wait();
    client.Close();
    EXPECT_EQ(server.Join(), "");
    EXPECT_TRUE(*received == payload) << received->size() << " of " << payload.size() << " bytes";
}

// A read for the stream itself (no destination) keeps what it decrypts for the next read; the
// close alert then ends the reads cleanly.
TEST_F(TlsStreamTest, AReadWithoutDestinationKeepsTheDataAndTheCloseAlertEndsTheReadsCleanly) {
    auto sent = std::make_shared<std::promise<void>>();
    server.Serve([sent](LoopbackPeer& peer) {
        TlsPeer tls(peer);
        tls.Send("* 1 EXISTS\r\n");
        sent->get_future().wait_for(std::chrono::seconds(10));
        tls.Send("* BYE\r\n");
        tls.Shutdown();
        peer.WaitForClose(3000);
    });
    client.Open();
    while (!Stream().HasReadData && client.Active())
        client.GetConnection().ReadData(nullptr);
    sent->set_value();
    TixMemoryStream data;
    while (client.Active())
        client.GetConnection().ReadData(&data);
    EXPECT_EQ(data.View(), "* 1 EXISTS\r\n* BYE\r\n");
}

TEST_F(TlsStreamTest, ClientCertificateComesFromOnGetCertificateOrTheOpenFails) {
    auto certificate = TixCertificate::LoadFromPkcs12(CertPath("client.p12"), "secret");
    for (bool give : {false, true}) {
        SCOPED_TRACE(give);
        server.Serve([give](LoopbackPeer& peer) {
            test::ServerOptions options;
            options.requireClientCertificate = true;
            try {
                TlsPeer tls(peer.Fd(), options);
                if (!give) throw std::runtime_error("accepted a client without a certificate");
                tls.Send("* OK hello\r\n");
            } catch (const std::runtime_error&) {
                if (give) throw;
            }
            peer.ReadToEnd();
        });
        int asked = 0;
        client.OnGetCertificate = [&](TixObject*, TixCertificate*& chosen, TixCertificateList&,
                                      bool& handled) {
            ++asked;
            if (give) chosen = certificate.get();
            handled = give;
        };
        if (give) {
            client.Open();
            EXPECT_EQ(test::ReadUntil(client, "\r\n"), "* OK hello\r\n");
            client.Close();
        } else {
            EXPECT_EQ(test::CodeOf([&] { client.Open(); }), IX_SSPI_LOCAL_CERTIFICATE);
        }
        EXPECT_EQ(asked, 1);
        EXPECT_FALSE(client.Active());
    }
}

}  // namespace
}  // namespace ix
