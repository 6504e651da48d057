// The contract between a connection and a stream that runs an exchange of its own, pinned with a
// toy protocol: the client says "HI\n", the server answers "OK\n", then each record is a length
// byte and that many bytes, each one more than the byte it carries.
#include "transport/ixSocket.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <future>

#include "ixLoopbackClientFixture.h"
#include "ixLoopbackServer.h"
#include "ixTestSupport.h"
#include "transport/ixTcpClient.h"

namespace ix {
namespace {

using test::LoopbackClientFixture;
using test::LoopbackPeer;

std::string Record(const std::string& plain) {
    std::string record(1, static_cast<char>(plain.size()));
    for (char c : plain)
        record += static_cast<char>(c + 1);
    return record;
}

class ToyStream : public TixNetworkStream {
public:
    std::string out;  // socket bytes still to send
    std::int64_t raw = 0;
    int readies = 0;

    void InitClientSession() override {
        established_ = false;
        handshakePending_ = true;
        SetNextAction(naWrite);
    }
    void StreamReady() override {}
    void UpdateProgress(std::int64_t count) override { raw += count; }

    bool Write(TixStream* source) override {
        ClearNextAction();
        if (handshakePending_) {
            handshakePending_ = false;
            out = "HI\n";
        } else if (source != nullptr && source->Remaining() > 0) {
            return WriteRecords(*source);
        }
        bool done = Flush();
        if (!done)
            SetNextAction(naWrite);
        else if (!established_)
            SetNextAction(naRead);
        return done;
    }

    bool Read(TixStream* destination) override {
        ClearNextAction();
        if (destination != nullptr && plain_.Size() > 0) {
            std::int64_t size = plain_.Size();
            destination->WriteBuffer(plain_.Memory(), static_cast<std::size_t>(size));
            plain_.Clear();
            TixNetworkStream::UpdateProgress(size);
            return true;
        }
        char buffer[64];
        for (;;) {
            long n = ReceiveBuffer(buffer, sizeof buffer);
            if (n < 0 && IsWouldBlock(errno)) break;
            if (n < 0) RaiseLastSocketError();
            if (n == 0) {
                NeedClose = ClosedGracefully = true;
                break;
            }
            UpdateProgress(n);
            in_.append(buffer, static_cast<std::size_t>(n));
        }
        if (!established_) {
            std::size_t end = in_.find("OK\n");
            if (end == std::string::npos) {
                SetNextAction(naRead);
                return true;
            }
            in_.erase(0, end + 3);
            established_ = true;
            ++readies;
            TixNetworkStream::StreamReady();
        }
        TixStream& target = destination != nullptr ? *destination : plain_;
        while (!in_.empty() && in_.size() > static_cast<unsigned char>(in_[0])) {
            std::size_t length = static_cast<unsigned char>(in_[0]);
            std::string plain;
            for (std::size_t i = 1; i <= length; ++i)
                plain += static_cast<char>(in_[i] - 1);
            in_.erase(0, length + 1);
            target.WriteBuffer(plain.data(), plain.size());
            if (destination != nullptr) TixNetworkStream::UpdateProgress(static_cast<std::int64_t>(length));
        }
        HasReadData = plain_.Size() > 0;
        // A record cut short by the socket: the rest is on its way.
        if (!in_.empty()) SetNextAction(naRead);
        return true;
    }

private:
    bool Flush() {
        while (!out.empty()) {
            long n = SendBuffer(out.data(), static_cast<int>(out.size()));
            if (n < 0 && IsWouldBlock(errno)) return false;
            if (n < 0) RaiseLastSocketError();
            UpdateProgress(n);
            out.erase(0, static_cast<std::size_t>(n));
        }
        return true;
    }

    bool WriteRecords(TixStream& source) {
        while (source.Remaining() > 0) {
            if (pendingChunk_ == 0) {
                char chunk[255];
                std::size_t n = source.Read(chunk, sizeof chunk);
                source.Seek(-static_cast<std::int64_t>(n), TixSeekOrigin::soCurrent);
                out += Record(std::string(chunk, n));
                pendingChunk_ = static_cast<std::int64_t>(n);
            }
            if (!Flush()) return false;
            source.Seek(pendingChunk_, TixSeekOrigin::soCurrent);
            TixNetworkStream::UpdateProgress(pendingChunk_);
            pendingChunk_ = 0;
        }
        return true;
    }

    bool handshakePending_ = false;
    bool established_ = false;
    std::string in_;
    TixMemoryStream plain_;
    std::int64_t pendingChunk_ = 0;
};

class ToyClient : public TixTcpClient {
public:
    ToyStream* stream = nullptr;

protected:
    std::unique_ptr<TixNetworkStream> CreateNetworkStream() override {
        auto created = std::make_unique<ToyStream>();
        stream = created.get();
        return created;
    }
};

using StreamContractTest = LoopbackClientFixture<ToyClient>;

TEST_F(StreamContractTest, HandshakeSplitOverManySegmentsThenDataInItsLastSegment) {
    // The script may still be sending when the test is over: it holds its own share of the signal.
    std::promise<void> done;
    server.Serve([finished = done.get_future().share()](LoopbackPeer& peer) {
        peer.Expect("HI\n");
        peer.SendSplit("O", 1, 0);
        peer.SendSplit("K\n" + Record("* OK greeting\r\n"), 1024, 0);
        finished.wait();
    });
    client.Open();
    EXPECT_EQ(client.stream->readies, 1);
    EXPECT_EQ(readyEvents, 1);
    // The greeting came with the handshake's end: the next read hands it over without a wait
    // (the server sends nothing more, so a wait would end in the time-out).
    TixMemoryStream data;
    client.GetConnection().ReadData(&data);
    EXPECT_EQ(data.View(), "* OK greeting\r\n");
    EXPECT_EQ(client.stream->BytesProceed(), 15);
    EXPECT_EQ(client.stream->NextAction(), naNone);
    done.set_value();
}

TEST_F(StreamContractTest, RecordSplitAcrossReadsAndReadsWithoutDestination) {
    auto second = std::make_shared<std::promise<void>>();
    server.Serve([second](LoopbackPeer& peer) {
        peer.Expect("HI\n");
        peer.Send("OK\n");
        std::string record = Record("split record");
        peer.SendSplit(record, 3, 1);
        second->get_future().wait();
        peer.Send(Record("read ahead"));
        peer.WaitForClose(3000);
    });
    client.Open();
    TixMemoryStream data;
    // One ReadData serves the stream's requests until the record is whole.
    client.GetConnection().ReadData(&data);
    while (data.Size() < 12)
        client.GetConnection().ReadData(&data);
    EXPECT_EQ(data.View(), "split record");
    second->set_value();
    // A read for the stream itself keeps the bytes for the next read with a destination.
    client.GetConnection().ReadData(nullptr);
    while (!client.stream->HasReadData)
        client.GetConnection().ReadData(nullptr);
    data.Clear();
    client.GetConnection().ReadData(&data);
    EXPECT_EQ(data.View(), "read ahead");
}

TEST_F(StreamContractTest, WriteThatBlocksMidRecordFinishesThatRecordFirst) {
    std::string payload(96 * 1024, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 23);
    auto blocked = std::make_shared<std::promise<void>>();
    auto decoded = std::make_shared<std::string>();
    server.Serve([blocked, decoded, size = payload.size()](LoopbackPeer& peer) {
        int small = 4096;
        setsockopt(peer.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        peer.Expect("HI\n");
        peer.Send("OK\n");
        blocked->get_future().wait();
        int large = 1 << 20;
        setsockopt(peer.Fd(), SOL_SOCKET, SO_RCVBUF, &large, sizeof large);
        std::string raw = peer.ReadExactly(size + (size + 254) / 255);
        for (std::size_t at = 0; at < raw.size(); at += 1 + static_cast<unsigned char>(raw[at]))
            for (std::size_t i = 1; i <= static_cast<unsigned char>(raw[at]) && at + i < raw.size(); ++i)
                *decoded += static_cast<char>(raw[at + i] - 1);
    });
    client.Open();
    // Small buffers make the socket block long before the payload is through.
    int small = 4096;
    setsockopt(client.GetConnection().Socket().Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ToyStream& stream = *client.stream;
    TixMemoryStream source(payload);
    client.SetBatchSize(1 << 20);
    source.SetPosition(0);
    std::int64_t rawBefore = stream.raw;
    bool complete = stream.Write(&source);
    ASSERT_FALSE(complete) << "the socket took it all without blocking";
    // The source stands at the start of the record still in flight, and nothing is asked for.
    EXPECT_EQ(source.Position() % 255, 0);
    EXPECT_FALSE(stream.out.empty());
    EXPECT_EQ(stream.NextAction(), naNone);
    EXPECT_EQ(stream.BytesProceed(), source.Position());
    blocked->set_value();
    while (!complete) {
        pollfd fd{client.GetConnection().Socket().Handle(), POLLOUT, 0};
        ASSERT_EQ(poll(&fd, 1, 3000), 1);
        complete = stream.Write(&source);
    }
    EXPECT_EQ(stream.BytesProceed(), static_cast<std::int64_t>(payload.size()));
    EXPECT_EQ(stream.raw - rawBefore,
              static_cast<std::int64_t>(payload.size() + (payload.size() + 254) / 255));
    client.Close();
    EXPECT_EQ(server.Join(), "");
    EXPECT_TRUE(*decoded == payload);
}

}  // namespace
}  // namespace ix
