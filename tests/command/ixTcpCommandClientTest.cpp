#include "command/ixTcpCommandClient.h"

#include <gtest/gtest.h>

#include "ixTestSupport.h"

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "command/ixMC.h"
#include "ixLoopbackClientFixture.h"

namespace ix {
namespace {

using test::LoopbackPeer;

using test::CodeOf;

// Announces a literal with "{N}" at the end of a line, as IMAP does.
class LiteralClient : public TixCustomMail {
public:
    using TixTcpCommandClient::LiteralBytes;

protected:
    std::int64_t GetLiteralSize(const std::string& line) override {
        const auto open = line.rfind('{');
        return line.empty() || line.back() != '}' || open == std::string::npos
                   ? -1
                   : std::stoll(line.substr(open + 1, line.size() - open - 2));
    }
};

// A line protocol for the tests: "OK ..." is 10, "NO ..." 20, "." 1; everything else carries no code.
class CommandClientTest : public test::LoopbackClientFixture<LiteralClient> {
protected:
    void SetUp() override {
        LoopbackClientFixture::SetUp();
        client.SetTimeOut(2000);
        client.OnGetResponseCode = [this](TixObject*, const std::string& line, int& code) {
            ++classified;
            if (line.rfind("OK", 0) == 0) code = 10;
            if (line.rfind("NO", 0) == 0) code = 20;
            if (line == ".") code = 1;
        };
        client.OnReceiveResponse = [this](TixObject*, TixStringList& list) { received = list.Count(); };
    }
    int received = -1;
    int classified = 0;
};

TEST_F(CommandClientTest, UnexpectedCodesRaiseWithTheResponseText) {
    server.Serve([](LoopbackPeer& peer) {
        peer.ReadLine();
        peer.Send("info\r\nNO not allowed  \r\n");
        peer.ReadLine();
        peer.Send("NO again\r\n");
        peer.ReadLine();
        peer.Send("nothing with a code\r\n");
        peer.WaitForClose(5000);
    });
    client.Open();
    std::string message;
    EXPECT_EQ(CodeOf([&] { client.SendCommandSync("A", {10}); }, &message), 20);
    EXPECT_EQ(message, "info\r\nNO not allowed");
    EXPECT_EQ(received, -1);  // no OnReceiveResponse for a refusal
    // A 0 ends the list: 20 after it is not expected.
    EXPECT_EQ(CodeOf([&] { client.SendCommandSync("B", {10, 0, 20}); }), 20);
    // Lines without a code keep the client reading until the time-out.
    client.SetTimeOut(300);
    EXPECT_EQ(CodeOf([&] { client.SendCommandSync("C", {10}); }), IX_TIMEOUT_ERROR);
    EXPECT_EQ(client.ResponseList().Strings(0), "nothing with a code");
}

TEST_F(CommandClientTest, AFloodingServerIsCutOffWithinOneBatchOfTheLimit) {
    // A server that sends faster than the client parses must not get more than the limit (and one
    // receive batch) into memory before the client stops reading: one endless line, or many lines.
    client.SetMaxResponseSize(64 * 1024);
    std::string lines;
    for (int i = 0; i < 80000; ++i)
        lines += std::string(99, 'x') + "\r\n";
    for (const std::string& flood : {std::string(8 << 20, 'x'), lines}) {
        server.Serve([flood](LoopbackPeer& peer) {
            peer.ReadLine();
            try {
                peer.Send(flood);
            } catch (const test::LoopbackScriptError&) {
                // The client closed the connection halfway, as it should.
            }
        });
        client.Open();
        std::string message;
        EXPECT_EQ(CodeOf([&] { client.SendCommandSync("FLOOD", {10}); }, &message), IX_RESPONSE_TOO_LARGE);
        EXPECT_EQ(message, "The response is larger than the limit of 65536 bytes");
        EXPECT_FALSE(client.Active());
        // The count takes in the command sent too.
        EXPECT_LE(client.GetConnection().BytesProceed, 64 * 1024 + client.GetBatchSize() + 7);
        EXPECT_EQ(server.Join(), "");
    }
}

TEST_F(CommandClientTest, LinesKeepTheirExactBytesHoweverTheReadsCutThem) {
    // Line ends of every kind and a NUL, before and inside a literal that ends inside a line; whole
    // reads and reads that cut lines and CRLFs anywhere.
    const std::string literal = std::string("first\r\nse\0cond\r\nbare\nlone\rlast\r\nta", 34);
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{4096}}) {
        SCOPED_TRACE(piece);
        classified = 0;
        server.Serve([literal, piece](LoopbackPeer& peer) {
            peer.Expect("FETCH\r\n");
            peer.SendSplit(std::string("fir\0st\rsecond\n* 1 {34}\r\n", 24) + literal + "il)\r\nOK done\r\n",
                           piece, 1);
        });
        client.Open();
        client.SendCommandSync("FETCH", {10});
        const TixStringList& list = client.ResponseList();
        const std::vector<std::string> lines{"fir st", "second", "* 1 {34}", "first", "se cond",
                                             "bare",   "lone",   "last",     "tail)", "OK done"};
        ASSERT_EQ(list.Count(), static_cast<int>(lines.size()));
        std::int64_t bytes = 0;
        for (int i = 0; i < list.Count(); ++i) {
            EXPECT_EQ(list.View(i), lines[static_cast<std::size_t>(i)]);
            bytes += client.LiteralBytes(i);
        }
        EXPECT_EQ(bytes, 34);
        EXPECT_EQ(client.LiteralBytes(8), 2);  // "ta" of "tail)"
        EXPECT_EQ(received, list.Count());
        // Each line is classified once however many reads the response took.
        EXPECT_LE(classified, list.Count());
        client.Close();
        EXPECT_EQ(server.Join(), "");
    }
}

TEST_F(CommandClientTest, TheCrlfAnnouncingALiteralIsNoneOfItsBytesWhenAReadEndsAtItsCr) {
    // The rest goes out once the client has the announcing line, so its next read starts at the LF.
    auto announced = std::make_shared<std::promise<void>>();
    auto told = std::make_shared<bool>(false);
    client.OnGetResponseCode = [announced, told](TixObject*, const std::string& line, int& code) {
        if (line == "* 1 {4}" && !*told) {
            *told = true;
            announced->set_value();
        }
        if (line.rfind("OK", 0) == 0) code = 10;
    };
    server.Serve([announced](LoopbackPeer& peer) {
        peer.Expect("FETCH\r\n");
        peer.Send("* 1 {4}\r");
        if (announced->get_future().wait_for(std::chrono::seconds(10)) != std::future_status::ready)
            throw test::LoopbackScriptError{"the client never took the announcing line"};
        peer.Send("\nab\r\n)\r\nOK done\r\n");
    });
    client.Open();
    client.SendCommandSync("FETCH", {10});
    ASSERT_EQ(client.ResponseList().Count(), 4);
    EXPECT_EQ(client.LiteralBytes(1), 4);  // "ab" and its CRLF
}

TEST_F(CommandClientTest, MultipleLinesAreDotStuffedOnlyForADotEnd) {
    client.SetBatchSize(16);
    server.Serve([](LoopbackPeer& peer) {
        peer.Expect("line one\r\n..\r\n..hidden\r\n");
        peer.Expect(std::string(40, 'L') + "\r\n");
        peer.Expect("tail\r\n.\r\n");
        peer.Expect(".\r\nplain\r\nEND\r\n");
        peer.Expect("LIST\r\n");
        peer.Send("OK list follows\r\n..dotted\r\nbody\r\n.\r\n");
    });
    client.Open();
    TixStringList lines;
    lines.SetText("line one\r\n.\r\n.hidden\r\n" + std::string(40, 'L') + "\r\ntail");
    std::vector<std::int64_t> progress;
    client.OnProgress = [&](TixObject*, std::int64_t done, std::int64_t total) {
        EXPECT_LE(done, total);
        progress.push_back(done);
    };
    client.SendMultipleLines(lines, ".\r\n");
    client.OnProgress = nullptr;  // later exchanges report too, after `progress` is gone
    ASSERT_FALSE(progress.empty());
    TixStringList plain;
    plain.SetText(".\r\nplain");
    client.SendMultipleLines(plain, "END");
    // A multi-line answer: the status line and the "." go, ".." loses one dot.
    client.SendCommandSync("LIST", {10});
    client.WaitMultipleLines(0);
    ASSERT_EQ(client.ResponseList().Count(), 2);
    EXPECT_EQ(client.ResponseList().Strings(0), ".dotted");
    EXPECT_EQ(client.ResponseList().Strings(1), "body");

    client.SetBatchSize(0);
    EXPECT_EQ(CodeOf([&] { client.SendMultipleLines(lines, ""); }), IX_INVALID_BATCH_SIZE);
}

// A token switching SASL on and the XOAUTH2 credentials it builds are the IMAP wire SASL cases.

}  // namespace
}  // namespace ix
