#pragma once
// The line-oriented command client: writes one command line at a time, collects the server's
// response lines in ResponseList and classifies each line (GetResponseCode, overridden by each
// protocol) until one carries a code the caller expects. A line with any other code raises
// EixTcpClientError with the response text and that code; transport errors pass through.
//
// Collection is linear in the response size: each line is split, decoded and classified once.
// A response larger than MaxResponseSize raises instead of taking all memory.

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "base/ixStringList.h"
#include "tls/ixTcpClientTls.h"

namespace ix {

using TixTcpTextEvent = std::function<void(TixObject* Sender, const std::string& Text)>;
using TixTcpListEvent = std::function<void(TixObject* Sender, TixStringList& List)>;
using TixTcpResponseCodeEvent =
    std::function<void(TixObject* Sender, const std::string& Line, int& ResponseCode)>;

// Expected response codes; a 0 ends the list early.
using TixResponseCodes = std::vector<int>;

// The object of ResponseList lines that hold literal data rather than protocol text.
constexpr TixStringList::TixListObject IX_LITERAL_LINE = 1;

// The response grew past MaxResponseSize.
constexpr int IX_RESPONSE_TOO_LARGE = -102;
// A command was started from an event handler while the client's own exchange was in progress.
constexpr int IX_COMMAND_IN_PROGRESS = -103;

class TixTcpCommandClient : public TixTcpClientTls {
public:
    explicit TixTcpCommandClient(TixComponent* owner = nullptr);

    const std::string& UserName() const { return userName_; }
    void SetUserName(const std::string& value) { SetProperty(userName_, value); }
    const std::string& Password() const { return password_; }
    void SetPassword(const std::string& value) { SetProperty(password_, value); }
    const std::string& Authorization() const { return authorization_; }
    virtual void SetAuthorization(const std::string& value) { SetProperty(authorization_, value); }
    const std::string& CharSet() const { return charSet_; }
    void SetCharSet(const std::string& value) { SetProperty(charSet_, value); }
    // Upper bound of one response's bytes (and of one line); generous, for multi-MB fetches.
    std::int64_t MaxResponseSize() const { return maxResponseSize_; }
    void SetMaxResponseSize(std::int64_t value) { SetProperty(maxResponseSize_, value); }

    TixStringList& ResponseList() { return responseList_; }
    // While OnSendCommand runs: whether the line carries credentials (a login's arguments, a SASL
    // answer), and the line as a log may show it, credentials replaced by "****". The event itself
    // still gets the real line.
    bool CommandHasCredentials() const { return credentialDepth_ > 0; }
    const std::string& MaskedCommand() const { return maskedCommand_; }
    int LastResponseCode() const { return lastResponseCode_; }

    // Writes Text + CRLF in the command charset; -6 when not connected.
    void SendCommand(const std::string& text);
    // SendCommand then WaitResponse, with InClose set for the exchange.
    void SendCommandSync(const std::string& text, const TixResponseCodes& expectedCodes);
    // Index of the line that carried an expected code; -1 when nothing is expected and no line came.
    int WaitMultipleResponse(int startIndex, const TixResponseCodes& expectedCodes);
    // Reads an answer that ends with a line holding a single ".".
    virtual void WaitMultipleLines(std::int64_t totalBytes);
    // Sends message lines in batches; with EndLine ".\r\n" lines starting with "." are doubled.
    void SendMultipleLines(const TixStringList& lines, const std::string& endLine);

    TixTcpTextEvent OnSendCommand;
    TixTcpListEvent OnReceiveResponse;
    TixProgressEvent OnProgress;
    TixTcpResponseCodeEvent OnGetResponseCode;

protected:
    void InternalOpen() override;
    void InternalClose(bool notify) override;

    virtual void BeginSession() {}
    virtual void EndSession() {}
    virtual int GetResponseCode(const std::string& line);
    virtual void DoSendCommandSync(const std::string& text, const TixResponseCodes& expectedCodes);
    virtual std::string GetCommandCharSet(const std::string& text);
    virtual std::string GetResponseCharSet(const std::string& data);
    virtual void WaitResponse(const TixResponseCodes& expectedCodes);
    // The byte count of a literal announced at the end of the line, or -1. Literal bytes are
    // stored as lines but never classified, so message text cannot end a wait.
    virtual std::int64_t GetLiteralSize(const std::string& /*line*/) { return -1; }

    virtual void DoSendCommand(const std::string& text);
    virtual void DoReceiveResponse();
    virtual void DoProgress(std::int64_t bytesProceed, std::int64_t totalBytes);

    // Routes the connection's progress to OnProgress for the length of a transfer.
    void AttachProgress();
    void DetachProgress();

    // Sets InClose for its lifetime, restoring the previous value.
    class TixExchangeGuard {
    public:
        explicit TixExchangeGuard(TixTcpCommandClient& client);
        ~TixExchangeGuard();
        TixExchangeGuard(const TixExchangeGuard&) = delete;
        TixExchangeGuard& operator=(const TixExchangeGuard&) = delete;

    private:
        TixTcpCommandClient& client_;
        bool saved_;
    };

    bool InExchange() const { return exchangeDepth_ > 0; }
    // Raises -103 inside a wait or an event of the client's own: protocol clients call it before
    // they touch any state of the exchange in progress.
    void CheckNoCallback() const;

    // Marks the commands sent while it lives as carrying credentials.
    class TixCredentialScope {
    public:
        explicit TixCredentialScope(TixTcpCommandClient& client) : client_(client) {
            ++client_.credentialDepth_;
        }
        ~TixCredentialScope() { --client_.credentialDepth_; }
        TixCredentialScope(const TixCredentialScope&) = delete;
        TixCredentialScope& operator=(const TixCredentialScope&) = delete;

    private:
        TixTcpCommandClient& client_;
    };
    // The line as a log may show it when it carries credentials; protocol clients keep what is
    // safe to show (a tag, a command word). This one shows none of it.
    virtual std::string MaskCommand(const std::string& line);
    // The bytes of literal data a ResponseList line holds as received, its line break included
    // when that belongs to the literal; 0 for protocol lines. Exact whatever line breaks the
    // literal holds (bare LF or CR), and for a line in which a literal ends.
    std::int64_t LiteralBytes(int index) const;
    // How many lines from index on hold literal data until size bytes of it are counted (each line's
    // LiteralBytes, in one pass), and the bytes of the last of them.
    int LiteralLines(int index, std::int64_t size, std::int64_t& lastBytes) const;
    // Bytes received after the line that ended the last wait: lines not yet classified, a partial
    // line or an announced literal.
    bool HasUnreadResponseData() const {
        return !pending_.empty() || literalLeft_ > 0 || classifiedUpTo_ < responseList_.Count();
    }
    // Forgets every byte received so far, as a switch of protocol (STARTTLS) must.
    void DiscardResponseData();

private:
    class TixResponseSink;
    void ReadResponseData();
    void FeedResponseData(const char* data, std::size_t size);
    void CompleteLine(std::string_view received, bool literal);
    void SkipLiteralLines(int from);
    [[noreturn]] void RaiseTooLarge();
    void ResetCollection();

    std::string userName_, password_, authorization_, charSet_;
    std::int64_t maxResponseSize_ = std::int64_t{1} << 30;
    TixStringList responseList_;
    int lastResponseCode_ = 0;
    int exchangeDepth_ = 0;
    // Inside a wait or an event of its own, where a handler must not start another command.
    int callbackDepth_ = 0;
    int credentialDepth_ = 0;
    std::string maskedCommand_;
    friend class TixCallbackScope;

    // Collection state of the response being read.
    std::string pending_;              // bytes after the last complete line
    bool pendingSkipLf_ = false;       // the last read ended with a CR
    bool pendingLfInLiteral_ = false;  // ... and that CR was a literal's byte, so its LF is too
    std::int64_t literalLeft_ = 0;     // literal bytes still to come
    bool literalTail_ = false;         // a literal ended inside the line being read
    std::int64_t responseBytes_ = 0;
    int classifiedUpTo_ = 0;  // lines below this index have been classified
    std::string responseCharSet_;
    // Literal lines whose byte count is not their length plus a CRLF: (line index, bytes), in order.
    std::vector<std::pair<int, std::int64_t>> literalBytes_;
    std::int64_t pendingLiteralBytes_ = 0;  // literal bytes of the line being read
    // Each literal of the response: its first line, its size and, once it has ended, its last line
    // and that line's bytes of it, so that its lines are known without counting them again.
    struct TixLiteralSpan {
        int first = 0;
        std::int64_t size = 0;
        int last = -1;
        std::int64_t lastBytes = 0;
    };
    std::vector<TixLiteralSpan> literalSpans_;
    bool literalEnded_ = false;  // the last literal ended in the line being read
    void EndLiteral(int last, std::int64_t lastBytes);
    std::exception_ptr readError_;  // a TLS failure after complete lines, raised if they do not end the wait
};

}  // namespace ix
