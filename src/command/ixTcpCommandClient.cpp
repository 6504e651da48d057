#include "command/ixTcpCommandClient.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "base/ixStream.h"
#include "text/ixTranslator.h"
#include "tls/ixSspi.h"

namespace ix {

namespace {

std::string Trimmed(const std::string& text) {
    auto isSpace = [](unsigned char c) { return c <= ' '; };
    auto begin = std::find_if_not(text.begin(), text.end(), isSpace);
    auto end = std::find_if_not(text.rbegin(), text.rend(), isSpace).base();
    return begin < end ? std::string(begin, end) : std::string();
}

}  // namespace

// The destination of the connection's reads: each received batch goes straight into the response
// lines, so a server that sends faster than it is read never piles up more than one batch outside
// them. A parse error stops the read at once (the connection is aborted) and is raised once the
// connection has handed control back.
class TixTcpCommandClient::TixResponseSink final : public TixStream {
public:
    explicit TixResponseSink(TixTcpCommandClient& client) : client_(client) {}

    std::size_t Write(const void* buffer, std::size_t count) override {
        if (error_ || count == 0) return count;
        try {
            const char* data = static_cast<const char*>(buffer);
            client_.responseCharSet_ =
                client_.GetResponseCharSet(std::string(data, std::min<std::size_t>(count, 256)));
            client_.FeedResponseData(data, count);
        } catch (...) {
            error_ = std::current_exception();
            client_.GetConnection().Abort();
        }
        return count;
    }
    std::size_t Read(void*, std::size_t) override { return 0; }
    std::int64_t Seek(std::int64_t, TixSeekOrigin) override { return 0; }
    std::int64_t Size() const override { return 0; }
    void SetSize(std::int64_t) override {}

    std::exception_ptr Error() const { return error_; }

private:
    TixTcpCommandClient& client_;
    std::exception_ptr error_;
};

// Counts a wait or an event of the client's own for its lifetime.
class TixCallbackScope {
public:
    explicit TixCallbackScope(TixTcpCommandClient& client) : client_(client) { ++client_.callbackDepth_; }
    ~TixCallbackScope() { --client_.callbackDepth_; }
    TixCallbackScope(const TixCallbackScope&) = delete;
    TixCallbackScope& operator=(const TixCallbackScope&) = delete;

private:
    TixTcpCommandClient& client_;
};

void TixTcpCommandClient::CheckNoCallback() const {
    // A second command would read the answer of the first as its own.
    if (callbackDepth_ > 0)
        throw EixTcpClientError(
            "A command is in progress on this connection; another cannot start from within it",
            IX_COMMAND_IN_PROGRESS);
}

std::string TixTcpCommandClient::MaskCommand(const std::string& /*line*/) {
    return "****\r\n";
}

TixTcpCommandClient::TixExchangeGuard::TixExchangeGuard(TixTcpCommandClient& client)
    : client_(client), saved_(client.InClose()) {
    client_.SetInClose(true);
    ++client_.exchangeDepth_;
}

TixTcpCommandClient::TixExchangeGuard::~TixExchangeGuard() {
    --client_.exchangeDepth_;
    client_.SetInClose(saved_);
}

TixTcpCommandClient::TixTcpCommandClient(TixComponent* owner) : TixTcpClientTls(owner) {}

void TixTcpCommandClient::InternalOpen() {
    TixTcpClientTls::InternalOpen();
    pendingSkipLf_ = false;
    BeginSession();
}

void TixTcpCommandClient::InternalClose(bool notify) {
    try {
        if (GetConnection().Active() && !InClose()) EndSession();
    } catch (...) {
        TixTcpClientTls::InternalClose(notify);
        throw;
    }
    TixTcpClientTls::InternalClose(notify);
}

std::string TixTcpCommandClient::GetCommandCharSet(const std::string& /*text*/) {
    return charSet_;
}

std::string TixTcpCommandClient::GetResponseCharSet(const std::string& /*data*/) {
    return charSet_;
}

int TixTcpCommandClient::GetResponseCode(const std::string& line) {
    int code = 0;
    if (OnGetResponseCode) {
        TixCallbackScope scope(*this);
        OnGetResponseCode(this, line, code);
    }
    return code;
}

void TixTcpCommandClient::DoSendCommand(const std::string& text) {
    if (!OnSendCommand) return;
    TixCallbackScope scope(*this);
    maskedCommand_ = credentialDepth_ > 0 ? MaskCommand(text) : text;
    OnSendCommand(this, text);
}

void TixTcpCommandClient::DoReceiveResponse() {
    if (!OnReceiveResponse) return;
    TixCallbackScope scope(*this);
    OnReceiveResponse(this, responseList_);
}

void TixTcpCommandClient::DoProgress(std::int64_t bytesProceed, std::int64_t totalBytes) {
    if (!OnProgress) return;
    TixCallbackScope scope(*this);
    OnProgress(this, bytesProceed, totalBytes);
}

void TixTcpCommandClient::AttachProgress() {
    GetConnection().OnProgress = [this](TixObject*, std::int64_t done, std::int64_t total) {
        if (done <= total) DoProgress(done, total);
    };
}

void TixTcpCommandClient::DetachProgress() {
    GetConnection().OnProgress = nullptr;
}

void TixTcpCommandClient::SendCommand(const std::string& text) {
    CheckNoCallback();
    CheckConnected();
    std::string line = text + "\r\n";
    TixTcpClientConnection& connection = GetConnection();
    connection.InitProgress(0, 0);
    {
        TixCallbackScope waiting(*this);
        connection.WriteString(line, GetCommandCharSet(line));
    }
    DoSendCommand(line);
}

void TixTcpCommandClient::DoSendCommandSync(const std::string& text, const TixResponseCodes& expectedCodes) {
    SendCommand(text);
    WaitResponse(expectedCodes);
}

void TixTcpCommandClient::SendCommandSync(const std::string& text, const TixResponseCodes& expectedCodes) {
    TixExchangeGuard guard(*this);
    DoSendCommandSync(text, expectedCodes);
}

void TixTcpCommandClient::ResetCollection() {
    responseList_.Clear();
    literalBytes_.clear();
    pendingLiteralBytes_ = 0;
    literalSpans_.clear();
    literalEnded_ = false;
    pending_.clear();
    // pendingSkipLf_ stays: a CRLF split between two responses still ends one line.
    literalLeft_ = 0;
    literalTail_ = false;
    responseBytes_ = 0;
    classifiedUpTo_ = 0;
}

void TixTcpCommandClient::DiscardResponseData() {
    ResetCollection();
    pendingSkipLf_ = false;
}

void TixTcpCommandClient::WaitResponse(const TixResponseCodes& expectedCodes) {
    ResetCollection();
    WaitMultipleResponse(0, expectedCodes);
    DoReceiveResponse();
}

void TixTcpCommandClient::CompleteLine(std::string_view received, bool literal) {
    // Without a charset the received bytes are the line, copied once into the list.
    std::string converted;
    std::string_view line = received;
    if (!responseCharSet_.empty()) {
        converted = TixTranslator::GetString(reinterpret_cast<const std::uint8_t*>(received.data()),
                                             static_cast<int>(received.size()), responseCharSet_);
        line = converted;
    }
    // A NUL is no text; it is rare, so a fast search comes before the rewrite.
    if (std::memchr(line.data(), '\0', line.size()) != nullptr) {
        if (converted.empty()) converted.assign(line);
        std::replace(converted.begin(), converted.end(), '\0', ' ');
        line = converted;
    }
    // This line holds the end of the last literal; its end is noted before a new one begins.
    if (literal && literalEnded_) {
        literalEnded_ = false;
        EndLiteral(responseList_.Count(), pendingLiteralBytes_);
    }
    // A line whose literal ended inside it goes on as protocol text and may announce another.
    bool checkLiteral = !literal || literalTail_;
    literalTail_ = false;
    if (checkLiteral) {
        std::int64_t size = GetLiteralSize(std::string(line));
        if (size >= 0) {
            if (size > maxResponseSize_ - responseBytes_) RaiseTooLarge();
            literalLeft_ = size;
            // Its lines follow this one, which goes to the list below.
            literalSpans_.push_back({responseList_.Count() + 1, size});
            if (size == 0) EndLiteral(responseList_.Count(), 0);
            // Literals are mail, whose lines are rarely shorter than 40 bytes: room for them at once
            // spares the list its copies while it grows. Capped, so that an announcement alone
            // takes little.
            responseList_.Reserve(static_cast<std::size_t>(responseList_.Count()) +
                                  static_cast<std::size_t>(std::min<std::int64_t>(size / 40, 1 << 20)));
        }
    }
    // Most literal lines hold their text and a CRLF of the literal; the others (a bare LF or CR, a
    // literal that ends inside the line) keep their exact count.
    if (literal && pendingLiteralBytes_ != static_cast<std::int64_t>(line.size()) + 2)
        literalBytes_.emplace_back(responseList_.Count(), pendingLiteralBytes_);
    pendingLiteralBytes_ = 0;
    responseList_.AddLine(line, literal ? IX_LITERAL_LINE : 0);
    SkipLiteralLines(responseList_.Count() - 1);
}

void TixTcpCommandClient::SkipLiteralLines(int from) {
    // Literal lines are never classified: when every line before them was, the wait has nothing
    // to look at in them.
    if (classifiedUpTo_ == from && from < responseList_.Count() &&
        responseList_.Objects(from) == IX_LITERAL_LINE)
        classifiedUpTo_ = responseList_.Count();
}

std::int64_t TixTcpCommandClient::LiteralBytes(int index) const {
    if (index < 0 || index >= responseList_.Count() || responseList_.Objects(index) != IX_LITERAL_LINE)
        return 0;
    auto found =
        std::lower_bound(literalBytes_.begin(), literalBytes_.end(), index,
                         [](const std::pair<int, std::int64_t>& entry, int i) { return entry.first < i; });
    if (found != literalBytes_.end() && found->first == index) return found->second;
    return static_cast<std::int64_t>(responseList_.View(index).size()) + 2;
}

void TixTcpCommandClient::EndLiteral(int last, std::int64_t lastBytes) {
    if (literalSpans_.empty()) return;
    literalSpans_.back().last = last;
    literalSpans_.back().lastBytes = lastBytes;
}

int TixTcpCommandClient::LiteralLines(int index, std::int64_t size, std::int64_t& lastBytes) const {
    lastBytes = 0;
    if (index < 0) return 0;
    // A literal as it was received is known at once; a message is a million lines.
    auto span = std::lower_bound(literalSpans_.begin(), literalSpans_.end(), index,
                                 [](const TixLiteralSpan& each, int i) { return each.first < i; });
    if (span != literalSpans_.end() && span->first == index && span->size == size && span->last >= 0 &&
        span->last < responseList_.Count()) {
        lastBytes = span->lastBytes;
        return span->last - index + 1;
    }
    auto exact =
        std::lower_bound(literalBytes_.begin(), literalBytes_.end(), index,
                         [](const std::pair<int, std::int64_t>& entry, int i) { return entry.first < i; });
    std::int64_t count = 0;
    int i = index;
    for (; i < responseList_.Count() && count < size; ++i) {
        if (responseList_.Objects(i) != IX_LITERAL_LINE) break;
        if (exact != literalBytes_.end() && exact->first == i)
            lastBytes = (exact++)->second;
        else
            lastBytes = static_cast<std::int64_t>(responseList_.View(i).size()) + 2;
        count += lastBytes;
    }
    return i - index;
}

void TixTcpCommandClient::RaiseTooLarge() {
    throw EixTcpClientError(
        "The response is larger than the limit of " + std::to_string(maxResponseSize_) + " bytes",
        IX_RESPONSE_TOO_LARGE);
}

void TixTcpCommandClient::FeedResponseData(const char* data, std::size_t size) {
    responseBytes_ += static_cast<std::int64_t>(size);
    std::size_t i = 0;
    if (pendingSkipLf_ && size > 0) {
        // The CR that ended the previous read was the first half of a CRLF.
        pendingSkipLf_ = false;
        if (data[0] == '\n') {
            i = 1;
            // The CRLF of a line that announced a literal is no byte of that literal.
            if (pendingLfInLiteral_ && literalLeft_ > 0) {
                --literalLeft_;
                // The LF completes the CRLF of the literal line stored at the CR.
                int last = responseList_.Count() - 1;
                if (!literalBytes_.empty() && literalBytes_.back().first == last) {
                    ++literalBytes_.back().second;
                    if (literalBytes_.back().second ==
                        static_cast<std::int64_t>(responseList_.View(last).size()) + 2)
                        literalBytes_.pop_back();
                }
                if (literalLeft_ == 0) EndLiteral(last, LiteralBytes(last));
            }
        }
    }
    // Without a charset the lines are the bytes; a line with a NUL is left to CompleteLine.
    const bool plain = responseCharSet_.empty();
    while (i < size) {
        if (plain && literalLeft_ > 0 && pending_.empty() && !literalTail_) {
            // The bulk of a message: whole CRLF lines inside the literal, stored as they are.
            const std::size_t inside =
                std::min<std::size_t>(size - i, static_cast<std::size_t>(literalLeft_));
            const int before = responseList_.Count();
            const std::size_t taken =
                responseList_.AddCrlfLines(std::string_view(data + i, inside), IX_LITERAL_LINE);
            literalLeft_ -= static_cast<std::int64_t>(taken);
            const int last = responseList_.Count() - 1;
            if (literalLeft_ == 0)
                EndLiteral(last, static_cast<std::int64_t>(responseList_.View(last).size()) + 2);
            SkipLiteralLines(before);
            i += taken;
            if (i >= size) break;
        }
        bool inLiteral = literalLeft_ > 0;
        std::size_t limit =
            inLiteral ? std::min<std::size_t>(size, i + static_cast<std::size_t>(literalLeft_)) : size;
        const std::size_t j = static_cast<std::size_t>(FindLineBreak(data + i, data + limit) - data);
        // A line that came whole in this read goes to the list straight from it.
        const bool whole = j < limit && pending_.empty();
        if (!whole) pending_.append(data + i, j - i);
        if (static_cast<std::int64_t>(whole ? j - i : pending_.size()) > maxResponseSize_) RaiseTooLarge();
        if (inLiteral) {
            literalLeft_ -= static_cast<std::int64_t>(j - i);
            pendingLiteralBytes_ += static_cast<std::int64_t>(j - i);
            if (literalLeft_ == 0) literalEnded_ = true;
        }
        if (j == limit) {
            i = j;
            // The literal ended inside a line: the rest of the line is protocol text again.
            if (inLiteral && literalLeft_ == 0) literalTail_ = true;
            continue;
        }
        std::size_t lineBreak = 1;
        if (data[j] == '\r') {
            if (j + 1 < size) {
                if (data[j + 1] == '\n') lineBreak = 2;
            } else {
                pendingSkipLf_ = true;
                pendingLfInLiteral_ = inLiteral;
            }
        }
        if (inLiteral) {
            std::int64_t inside = std::min<std::int64_t>(static_cast<std::int64_t>(lineBreak), literalLeft_);
            literalLeft_ -= inside;
            pendingLiteralBytes_ += inside;
            if (literalLeft_ == 0) literalEnded_ = true;
        }
        CompleteLine(whole ? std::string_view(data + i, j - i) : std::string_view(pending_),
                     inLiteral || literalTail_);
        pending_.clear();
        i = j + lineBreak;
    }
    if (responseBytes_ > maxResponseSize_) RaiseTooLarge();
}

void TixTcpCommandClient::ReadResponseData() {
    TixTcpClientConnection& connection = GetConnection();
    TixResponseSink sink(*this);
    // Read on until a new complete line has come: the lines are classified while the rest of a
    // partial line or literal is still on its way, and bytes after the line that ends the wait
    // never hold it up.
    int known = classifiedUpTo_;
    TixCallbackScope waiting(*this);
    do {
        try {
            connection.ReadData(&sink);
        } catch (const EixSSPIError&) {
            // A TLS failure (a close without the close alert, say) after a complete answer loses
            // nothing: the wait decides whether the answer was whole.
            if (sink.Error() || responseList_.Count() <= known) throw;
            readError_ = std::current_exception();
            return;
        }
        if (sink.Error()) {
            // The rest of the response is never read, so the session cannot go on.
            connection.Close(false);
            std::rethrow_exception(sink.Error());
        }
    } while ((!pending_.empty() || literalLeft_ > 0 || literalTail_) && responseList_.Count() <= known);
}

int TixTcpCommandClient::WaitMultipleResponse(int startIndex, const TixResponseCodes& expectedCodes) {
    CheckNoCallback();
    TixResponseCodes codes(expectedCodes.begin(), std::find(expectedCodes.begin(), expectedCodes.end(), 0));
    bool multiLine = codes.size() == 1 && codes[0] == 1;
    lastResponseCode_ = 0;
    readError_ = nullptr;
    classifiedUpTo_ = std::max(startIndex, 0);
    for (;;) {
        ReadResponseData();
        int count = responseList_.Count();
        if (count <= startIndex && codes.empty()) return -1;
        // Each line is classified once; the code of the last line that carried one stays in
        // LastResponseCode.
        for (; classifiedUpTo_ < count; ++classifiedUpTo_) {
            int index = classifiedUpTo_;
            if (responseList_.Objects(index) == IX_LITERAL_LINE) continue;
            int code = GetResponseCode(responseList_.Strings(index));
            if (code == 0) continue;
            lastResponseCode_ = code;
            if (std::find(codes.begin(), codes.end(), code) != codes.end()) {
                ++classifiedUpTo_;
                readError_ = nullptr;
                return index;
            }
        }
        // The server's own answer says more than the way its connection ended.
        if (!multiLine && lastResponseCode_ != 0)
            throw EixTcpClientError(Trimmed(responseList_.Text()), lastResponseCode_);
        if (readError_) std::rethrow_exception(std::exchange(readError_, nullptr));
    }
}

void TixTcpCommandClient::SendMultipleLines(const TixStringList& lines, const std::string& endLine) {
    CheckNoCallback();
    int batchSize = GetBatchSize();
    if (batchSize < 1) RaiseSocketError(IX_INVALID_BATCH_SIZE);
    std::string end = endLine;
    if (!end.empty() && end.back() != '\n') end += "\r\n";
    bool dotStuffing = end == ".\r\n";

    struct Cleanup {
        TixTcpCommandClient& client;
        ~Cleanup() { client.DetachProgress(); }
    } cleanup{*this};
    AttachProgress();
    TixExchangeGuard guard(*this);
    TixTcpClientConnection& connection = GetConnection();
    std::int64_t total = static_cast<std::int64_t>(end.size());
    for (int i = 0; i < lines.Count(); ++i)
        total += static_cast<std::int64_t>(lines.View(i).size()) + 2;
    connection.InitProgress(0, total);

    TixMemoryStream buffer;
    auto append = [&](const std::string& piece) {
        TixByteArray bytes = TixTranslator::GetBytes(piece, GetCommandCharSet(piece));
        buffer.WriteBuffer(bytes.data(), bytes.size());
    };
    auto flush = [&] {
        if (buffer.Size() == 0) return;
        buffer.SetPosition(0);
        TixCallbackScope waiting(*this);
        connection.WriteData(&buffer);
        buffer.Clear();
    };
    std::string line;  // one string reused: the lines are read as views, not made strings each
    for (int i = 0; i < lines.Count(); ++i) {
        line.assign(lines.View(i));
        std::int64_t needed = static_cast<std::int64_t>(line.size()) + 3;
        if (needed <= batchSize) {
            if (buffer.Size() > 0 && buffer.Size() + needed > batchSize) flush();
            if (dotStuffing && !line.empty() && line[0] == '.') append(".");
            append(line);
            append("\r\n");
        } else {
            flush();
            append(line + "\r\n");
            flush();
        }
    }
    flush();
    if (!end.empty()) {
        append(end);
        flush();
    }
}

void TixTcpCommandClient::WaitMultipleLines(std::int64_t totalBytes) {
    struct Cleanup {
        TixTcpCommandClient& client;
        ~Cleanup() { client.DetachProgress(); }
    } cleanup{*this};
    AttachProgress();
    {
        TixExchangeGuard guard(*this);
        TixTcpClientConnection& connection = GetConnection();
        if (totalBytes > 0) {
            std::int64_t done = static_cast<std::int64_t>(responseList_.Text().size());
            connection.InitProgress(done, totalBytes);
        } else {
            connection.InitProgress(0, 0);
        }
        if (responseList_.Count() > 0) responseList_.Delete(0);
        if (responseList_.Count() == 0 || responseList_.View(responseList_.Count() - 1) != ".")
            WaitMultipleResponse(0, {1});
        for (int i = 0; i < responseList_.Count(); ++i) {
            const std::string_view line = responseList_.View(i);
            if (line.size() >= 2 && line[0] == '.' && line[1] == '.')
                responseList_.SetString(i, std::string(line.substr(1)));
        }
        if (responseList_.Count() > 0) responseList_.Delete(responseList_.Count() - 1);
    }
    if (totalBytes > 0) DoProgress(totalBytes, totalBytes);
}

}  // namespace ix
