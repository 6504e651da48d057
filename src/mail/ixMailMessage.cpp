#include "mail/ixMailMessage.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

#include "text/ixUtils.h"

namespace ix {

namespace {

bool StartsWithText(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

bool OnlyWhiteSpace(std::string_view text) {
    for (char c : text)
        if (c != ' ' && c != '\t') return false;
    return true;
}

bool BlankText(const TixStringList& lines) {
    for (int i = 0; i < lines.Count(); ++i)
        for (unsigned char c : lines.View(i))
            if (c > ' ') return false;
    return true;
}

std::string Join(const TixStringList& list, std::string_view separator) {
    std::string out;
    for (int i = 0; i < list.Count(); ++i) {
        if (i > 0) out += separator;
        out += list[i];
    }
    return out;
}

// Adds the pieces of text between delimiters, trimmed, that are not empty.
void SplitNonEmpty(std::string_view text, TixStringList& list, std::string_view delimiters) {
    list.BeginUpdate();
    list.Clear();
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || delimiters.find(text[i]) != std::string_view::npos) {
            const std::string piece = TrimHeaderText(text.substr(start, i - start));
            if (!piece.empty()) list.Add(piece);
            start = i + 1;
        }
    }
    list.EndUpdate();
}

// A read-only view of lines [begin, end) joined by CR LF, without the final line break (that
// belongs to the delimiter that follows) unless asked to keep it. Parts are decoded straight from the
// message's lines, so a large attachment is not held a second time in encoded form.
class TixLinesStream : public TixStream {
public:
    TixLinesStream(const TixStringList& lines, int begin, int end, bool keepLastBreak = false)
        : lines_(lines), begin_(begin) {
        for (int i = begin; i < end; ++i)
            size_ += static_cast<std::int64_t>(lines.View(i).size()) + 2;
        if (size_ > 0 && !keepLastBreak) size_ -= 2;
        encodedSize_ = begin < end ? (keepLastBreak ? size_ : size_ + 2) : 0;
        Rewind();
    }
    std::size_t Read(void* buffer, std::size_t count) override {
        auto* out = static_cast<char*>(buffer);
        std::size_t done = 0;
        while (done < count && position_ < size_) {
            const std::string_view line = lines_.View(line_);  // in range: position_ < size_
            if (offset_ < line.size()) {
                const std::size_t n = std::min(count - done, line.size() - offset_);
                std::memcpy(out + done, line.data() + offset_, n);
                done += n;
                offset_ += n;
                position_ += static_cast<std::int64_t>(n);
                continue;
            }
            const std::size_t breakOffset = offset_ - line.size();  // 0: at CR, 1: at LF
            out[done++] = breakOffset == 0 ? '\r' : '\n';
            ++position_;
            if (++offset_ == line.size() + 2) {
                ++line_;
                offset_ = 0;
            }
        }
        return done;
    }
    std::size_t Write(const void*, std::size_t) override { return 0; }
    std::int64_t Seek(std::int64_t offset, TixSeekOrigin origin) override {
        const std::int64_t base = origin == TixSeekOrigin::soBeginning ? 0
                                  : origin == TixSeekOrigin::soCurrent ? position_
                                                                       : size_;
        const std::int64_t target = std::clamp<std::int64_t>(base + offset, 0, size_);
        if (target == position_) return position_;
        if (target < position_) Rewind();
        char skip[4096];
        while (position_ < target)
            Read(skip, static_cast<std::size_t>(std::min<std::int64_t>(target - position_, sizeof skip)));
        return position_;
    }
    std::int64_t Size() const override { return size_; }
    void SetSize(std::int64_t) override { throw EixStreamError("Stream write error", -1); }
    // Bytes of the lines with every line break, the last one included.
    std::int64_t EncodedSize() const { return encodedSize_; }

private:
    void Rewind() {
        line_ = begin_;
        offset_ = 0;
        position_ = 0;
    }

    const TixStringList& lines_;
    int begin_;
    int line_ = 0;
    std::size_t offset_ = 0;
    std::int64_t position_ = 0;
    std::int64_t size_ = 0;
    std::int64_t encodedSize_ = 0;
};

// A received date that cannot be read counts as 0, the same as one without day, month or year.
TixDateTime ReadMailDate(std::string_view text) {
    try {
        return MailTimeToDateTime(text);
    } catch (const EixConvertError&) {
        return 0;
    }
}

enum class TixDelimiter { None, Open, Close };

// RFC 2046 section 5.1.1: a delimiter line may carry trailing white space.
TixDelimiter Classify(std::string_view line, std::string_view open) {
    if (line.size() < open.size() || line.substr(0, open.size()) != open) return TixDelimiter::None;
    std::string_view rest = line.substr(open.size());
    if (rest.size() >= 2 && rest[0] == '-' && rest[1] == '-')
        return OnlyWhiteSpace(rest.substr(2)) ? TixDelimiter::Close : TixDelimiter::None;
    return OnlyWhiteSpace(rest) ? TixDelimiter::Open : TixDelimiter::None;
}

// The first body line of a header that ends at headerEnd: after the empty line, or the line that
// ended the header by not being a field.
int BodyStart(const TixStringList& lines, int headerEnd) {
    return headerEnd < lines.Count() && lines.View(headerEnd).empty() ? headerEnd + 1 : headerEnd;
}

// "begin <mode> <file name>" opening a uuencoded section.
bool IsUuBegin(std::string_view line, std::string& fileName) {
    if (line.size() < 6 || !SameText(line.substr(0, 5), "begin") || line[5] != ' ') return false;
    std::string_view rest = line.substr(6);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
        rest.remove_prefix(1);
    const auto space = rest.find(' ');
    if (space == std::string_view::npos || space == 0) return false;
    for (char c : rest.substr(0, space))
        if (c < '0' || c > '7') return false;
    std::string name = TrimHeaderText(rest.substr(space + 1));
    if (name.empty()) return false;
    if (name.size() > 1000) name.resize(1000);
    fileName = SanitizeFileName(ExtractFileName(name));
    return true;
}

std::string ReplaceText(const std::string& text, const std::string& what, const std::string& with) {
    if (what.empty()) return text;
    const std::string lowerText = LowerCase(text), lowerWhat = LowerCase(what);
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        const auto hit = lowerText.find(lowerWhat, pos);
        if (hit == std::string::npos) break;
        out.append(text, pos, hit - pos);
        out += with;
        pos = hit + what.size();
    }
    out.append(text, pos, std::string::npos);
    return out;
}

}  // namespace

TixMailMessage::TixMailMessage(TixComponent* owner)
    : TixComponent(owner), bodies_(std::make_unique<TixMessageBodies>(this)) {
    references_.OnChange = [this](TixStringList&) { DoChanged(); };
    newsGroups_.OnChange = [this](TixStringList&) { DoChanged(); };
    extraFields_.OnChange = [this](TixStringList&) { DoChanged(); };
    RegisterKnownFields();
    Clear();
}

TixMailMessage::~TixMailMessage() {
    destroying_ = true;
    bodies_.reset();
}

void TixMailMessage::RegisterKnownFields() {
    knownFields_.Clear();
    for (const char* name : {"Content-Type",
                             "Content-Disposition",
                             "Content-Transfer-Encoding",
                             "From",
                             "To",
                             "Cc",
                             "Bcc",
                             "Subject",
                             "Date",
                             "Importance",
                             "X-Priority",
                             "X-MSMail-Priority",
                             "X-MimeOLE",
                             "X-Mailer",
                             "Reply-To",
                             "In-Reply-To",
                             "Disposition-Notification-To",
                             "Message-ID",
                             "MIME-Version",
                             "Newsgroups",
                             "References",
                             "List-Unsubscribe"})
        knownFields_.Add(name);
}

void TixMailMessage::DoChanged() {
    if (updateCount_ > 0 || Loading() || destroying_) return;
    messageSource_.Clear();
    messageText_.Clear();
    textBuilt_ = false;
    TixComponent::DoChanged();
}

void TixMailMessage::EndUpdate() {
    if (updateCount_ > 0) --updateCount_;
    DoChanged();
}

void TixMailMessage::Notification(TixComponent* component, TixOperation operation) {
    TixComponent::Notification(component, operation);
    if (operation == TixOperation::opRemove && component == dkim_) dkim_ = nullptr;
}

void TixMailMessage::SetBodies(const TixMessageBodies& value) {
    bodies_->Assign(value);
    DoChanged();
}

void TixMailMessage::SetToList(const TixEmailAddressList& value) {
    toList_.Assign(value);
    DoChanged();
}

void TixMailMessage::SetCCList(const TixEmailAddressList& value) {
    ccList_.Assign(value);
    DoChanged();
}

void TixMailMessage::SetBCCList(const TixEmailAddressList& value) {
    bccList_.Assign(value);
    DoChanged();
}

void TixMailMessage::SetCharSet(const std::string& value) {
    if (SameText(value, "iso-2022-jp")) {
        // A 7-bit charset that shifts with ESC: written as it is, never re-encoded.
        BeginUpdate();
        charSet_ = "iso-2022-jp";
        encoding_ = cm8Bit;
        allowEsc_ = true;
        EndUpdate();
        return;
    }
    SetProperty(charSet_, value);
}

bool TixMailMessage::IsMultipart() const {
    return bodies_->Count() >= 2 || StartsWithText(contentType_, "multipart/");
}

void TixMailMessage::Clear() {
    BeginUpdate();
    boundary_.clear();
    subject_.clear();
    from_.Clear();
    toList_.Clear();
    ccList_.Clear();
    bccList_.Clear();
    priority_ = mpNormal;
    date_ = Now();
    bodies_->Clear();
    messageFormat_ = mfNone;
    contentType_ = "text/plain";
    contentSubType_.clear();
    mimeOle_.clear();
    mailer_.clear();
    messageId_.clear();
    inReplyTo_.clear();
    replyTo_.clear();
    references_.Clear();
    newsGroups_.Clear();
    extraFields_.Clear();
    readReceiptTo_.clear();
    listUnsubscribe_.clear();
    contentDisposition_.clear();
    rawHeader_.Clear();
    charSet_ = "iso-8859-1";
    encoding_ = cmNone;
    headerEncoding_ = cmNone;
    EndUpdate();
}

void TixMailMessage::ResetForLoad() {
    const std::string charSet = charSet_;
    const TixEncodeMethod encoding = encoding_, headerEncoding = headerEncoding_;
    Clear();
    charSet_ = charSet;
    encoding_ = encoding;
    headerEncoding_ = headerEncoding;
}

TixEncodeMethod TixMailMessage::EffectiveHeaderEncoding() const {
    if (headerEncoding_ != cmNone) return headerEncoding_;
    // Headers are 7-bit (RFC 5322 section 2.2): an 8bit or uuencoded body, as iso-2022-jp sets,
    // must not leave header text unencoded.
    return encoding_ == cmQuotedPrintable || encoding_ == cmBase64 ? encoding_ : cmNone;
}

std::string TixMailMessage::HeaderCharSet() const {
    return charSet_;
}

// ---- events ----

void TixMailMessage::DoSaveAttachment(TixMessageBody* body, std::string& fileName,
                                      std::unique_ptr<TixStream>& data, bool& handled) {
    if (OnSaveAttachment) OnSaveAttachment(this, body, fileName, data, handled);
}

void TixMailMessage::DoLoadAttachment(TixMessageBody* body, std::string& fileName,
                                      std::unique_ptr<TixStream>& data, bool& handled) {
    if (OnLoadAttachment) OnLoadAttachment(this, body, fileName, data, handled);
}

void TixMailMessage::DoAttachmentSaved(TixMessageBody* body, const std::string& fileName, TixStream& data) {
    if (OnAttachmentSaved) OnAttachmentSaved(this, body, fileName, data);
}

void TixMailMessage::DoDataAdded(TixMessageBody* body, TixStream& data) {
    if (OnDataAdded) OnDataAdded(this, body, data);
}

void TixMailMessage::DoEncodingProgress(TixMessageBody* body, std::int64_t done, std::int64_t total) {
    if (OnEncodingProgress) OnEncodingProgress(this, body, done, total);
}

// ---- parsing ----

void TixMailMessage::Parse(const TixStringList& lines, bool headerOnly) {
    BeginUpdate();
    ++parsingCount_;
    try {
        ResetForLoad();
        ParseHeaderLines(lines);
        if (!headerOnly) {
            ParseBodies(lines, rawHeader_.Count());
            if (dkim_ != nullptr) dkim_->Verify(lines);
        }
    } catch (...) {
        --parsingCount_;
        EndUpdate();
        throw;
    }
    --parsingCount_;
    EndUpdate();
}

void TixMailMessage::LoadMessage(const TixStringList& lines) {
    Parse(lines, false);
}

void TixMailMessage::LoadHeader(const TixStringList& lines) {
    Parse(lines, true);
}

void TixMailMessage::ReadContentFields(const TixMailHeaderFieldList& header) {
    const std::string typeText = header.GetFieldValue("Content-Type");
    contentType_ = MediaTypeOr(header.GetFieldValueItem(typeText, ""), "text/plain");
    messageFormat_ = !typeText.empty() || !header.GetFieldValue("MIME-Version").empty() ? mfMIME : mfUUencode;
    contentSubType_ = header.GetDecodedFieldValueItem(typeText, "type");
    boundary_ = header.GetParameter(typeText, "boundary");
    const std::string charSet = header.GetParameter(typeText, "charset");
    if (!charSet.empty()) {
        if (SameText(charSet, "iso-2022-jp")) {
            charSet_ = "iso-2022-jp";
            encoding_ = cm8Bit;
            allowEsc_ = true;
        } else {
            charSet_ = charSet;
        }
    }
    contentDisposition_ = header.GetFieldValueItem(header.GetFieldValue("Content-Disposition"), "");
    const std::string cte = LowerCase(header.GetFieldValue("Content-Transfer-Encoding"));
    encoding_ = cte == "quoted-printable" ? cmQuotedPrintable : cte == "base64" ? cmBase64 : cmNone;
}

void TixMailMessage::ParseHeaderLines(const TixStringList& lines) {
    auto* source = const_cast<TixStringList*>(&lines);  // the index only reads its source
    TixMailHeaderFieldList header;
    const int headerEnd = header.Parse(0, source);
    ReadContentFields(header);
    header.SetCharSet(charSet_);

    // Of several authors (RFC 5322 section 3.6.2) the first stands for the message.
    TixEmailAddressList authors;
    header.GetDecodedEmailList("From", authors);
    if (authors.Count() > 0) from_.Assign(authors.Items(0));
    header.GetDecodedEmailList("To", toList_);
    header.GetDecodedEmailList("Cc", ccList_);
    header.GetDecodedEmailList("Bcc", bccList_);
    subject_ = header.GetDecodedFieldValue("Subject");

    date_ = Now();
    if (header.GetFieldIndex("Date") >= 0) {
        date_ = ReadMailDate(header.GetFieldValue("Date"));
    } else if (header.GetFieldIndex("Received") >= 0) {
        const std::string received = header.GetFieldValue("Received");
        const auto semicolon = received.rfind(';');
        if (semicolon != std::string::npos)
            date_ = ReadMailDate(TrimHeaderText(received.substr(semicolon + 1)));
    }

    auto priorityOf = [&](std::string_view field, std::string_view low, std::string_view high) {
        if (priority_ != mpNormal) return;
        const std::string value = header.GetFieldValue(field);
        if (SameText(value, low))
            priority_ = mpLow;
        else if (SameText(value, high))
            priority_ = mpHigh;
    };
    priority_ = mpNormal;
    priorityOf("Importance", "Low", "High");
    priorityOf("X-Priority", "5", "1");
    priorityOf("X-MSMail-Priority", "Low", "High");

    replyTo_ = header.GetDecodedEmail("Reply-To");
    readReceiptTo_ = header.GetDecodedEmail("Disposition-Notification-To");
    // A list of URLs in angle brackets, not a mailbox: kept whole.
    listUnsubscribe_ = header.GetDecodedFieldValue("List-Unsubscribe");
    messageId_ = header.GetFieldValue("Message-ID");
    inReplyTo_ = header.GetFieldValue("In-Reply-To");
    mimeOle_ = header.GetFieldValue("X-MimeOLE");
    mailer_ = header.GetFieldValue("X-Mailer");
    SplitNonEmpty(header.GetFieldValue("Newsgroups"), newsGroups_, ",");
    SplitNonEmpty(header.GetFieldValue("References"), references_, " \t");

    rawHeader_.BeginUpdate();
    rawHeader_.Clear();
    rawHeader_.Reserve(static_cast<std::size_t>(headerEnd));
    for (int i = 0; i < headerEnd; ++i)
        rawHeader_.AddLine(lines.View(i));
    rawHeader_.EndUpdate();

    extraFields_.BeginUpdate();
    extraFields_.Clear();
    for (int i = 0; i < header.Count(); ++i) {
        const std::string name = header.GetFieldName(i);
        if (knownFields_.IndexOf(name) < 0) extraFields_.Add(name + ": " + header.GetFieldValue(i));
    }
    extraFields_.EndUpdate();
}

TixMessageBody& TixMailMessage::CreateBody(TixMessageBodies& bodies, std::string_view contentType,
                                           std::string_view disposition, int depth) {
    const bool attachment = SameText(disposition, "attachment");
    if (StartsWithText(contentType, "multipart/")) {
        // Beyond the depth limit a nested multipart is kept as one opaque part.
        if (depth + 1 < cMaxNestingDepth) return bodies.Add<TixMultipartBody>();
        return bodies.Add<TixAttachmentBody>();
    }
    if (StartsWithText(contentType, "image/") && !attachment) return bodies.Add<TixImageBody>();
    if (attachment) return bodies.Add<TixAttachmentBody>();
    for (const char* prefix : {"application/", "message/", "audio/", "video/", "image/"})
        if (StartsWithText(contentType, prefix)) return bodies.Add<TixAttachmentBody>();
    // A part without a type is plain text (RFC 2045 section 5.2).
    if (contentType.empty() || StartsWithText(contentType, "text/")) return bodies.Add<TixTextBody>();
    return bodies.Add<TixAttachmentBody>();
}

void TixMailMessage::ParseBodies(const TixStringList& lines, int headerEnd) {
    if (IsMultipart()) {
        ParseMultipart(lines, BodyStart(lines, headerEnd), lines.Count(), boundary_, *bodies_, 0,
                       SameText(contentType_, "multipart/digest"));
        if (bodies_->Count() > 0) return;
    }
    ParseSinglePart(lines, headerEnd);
    for (int i = bodies_->Count() - 1; i >= 0; --i) {
        auto* text = dynamic_cast<TixTextBody*>(&bodies_->Items(i));
        if (text != nullptr && BlankText(text->Strings())) bodies_->Delete(i);
    }
}

void TixMailMessage::StartPart(TixMessageBody& body, const TixStringList& lines,
                               const TixMailHeaderFieldList& header, int headerStart, int headerEnd) {
    body.ParseHeader(header);
    body.rawHeader_.BeginUpdate();
    body.rawHeader_.Clear();
    for (int i = headerStart; i < headerEnd; ++i)
        body.rawHeader_.AddLine(lines.View(i));
    body.rawHeader_.EndUpdate();
    body.FillExtraFields(header);
    body.headerStart_ = headerStart;
}

void TixMailMessage::ParseSinglePart(const TixStringList& lines, int headerEnd) {
    if (headerEnd >= lines.Count()) return;  // a header without a body
    TixMessageBody* single = nullptr;
    const bool attachment =
        SameText(contentDisposition_, "attachment") || StartsWithText(contentType_, "application/") ||
        StartsWithText(contentType_, "message/") || StartsWithText(contentType_, "audio/") ||
        StartsWithText(contentType_, "video/") || StartsWithText(contentType_, "image/");
    if (attachment)
        single = &bodies_->Add<TixAttachmentBody>();
    else
        single = &bodies_->Add<TixTextBody>();
    {
        TixMailHeaderFieldList header;
        header.SetCharSet(charSet_);
        header.Parse(0, const_cast<TixStringList*>(&lines));
        StartPart(*single, lines, header, 0, headerEnd);
    }
    if (auto* text = dynamic_cast<TixTextBody*>(single); text != nullptr && text->charSet_.empty())
        text->charSet_ = charSet_;
    const int bodyStart = BodyStart(lines, headerEnd);
    single->encodedStart_ = bodyStart < lines.Count() ? bodyStart : lines.Count() - 1;

    // Text and uuencoded sections are runs of lines, each decoded straight from the lines.
    int runStart = bodyStart;
    auto finishRun = [&](TixMessageBody* part, int end, int lineCount) {
        // The single part keeps its last line break: it is data (no delimiter owns it), so a
        // body that is not transfer-encoded reads back as the bytes that were sent, and an empty
        // line before a uuencoded section is not lost.
        TixLinesStream data(lines, runStart, end, part == single);
        part->FinishRead(data, lineCount, data.EncodedSize());
        runStart = end + 1;
    };
    TixAttachmentBody* uu = nullptr;
    std::string fileName;
    for (int i = bodyStart; i < lines.Count(); ++i) {
        const std::string_view line = lines.View(i);
        if (IsUuBegin(line, fileName)) {
            messageFormat_ = mfUUencode;
            finishRun(uu != nullptr ? static_cast<TixMessageBody*>(uu) : single, i, 0);
            uu = &bodies_->Add<TixAttachmentBody>();
            uu->fileName_ = fileName;
            uu->encoding_ = cmUUEncode;
            uu->encodedStart_ = uu->headerStart_ = i + 1;
        } else if (uu != nullptr && SameText(TrimHeaderText(line), "end")) {
            finishRun(uu, i, 0);
            uu = nullptr;
        }
    }
    // An unterminated uuencoded section is not an attachment: its lines stay text.
    finishRun(single, lines.Count(), lines.Count() - bodyStart);
}

void TixMailMessage::ParseMultipart(const TixStringList& lines, int from, int to, const std::string& boundary,
                                    TixMessageBodies& bodies, int depth, bool digest) {
    if (boundary.empty() || from >= to) return;
    const std::string open = "--" + boundary;
    TixMessageBody* current = nullptr;
    int dataStart = 0;

    auto finish = [&](TixMessageBody& part, int begin, int end) {
        if (auto* mp = dynamic_cast<TixMultipartBody*>(&part)) {
            // Nested parts are read in place, with positions counted in this message's lines.
            ParseMultipart(lines, begin, end, mp->Boundary(), mp->Bodies(), depth + 1,
                           SameText(mp->ContentType(), "multipart/digest"));
            mp->encodedLines_ = end - begin;
            return;
        }
        TixLinesStream data(lines, begin, end);
        part.FinishRead(data, end - begin, data.EncodedSize());
    };

    for (int i = from; i < to; ++i) {
        const TixDelimiter kind = Classify(lines.View(i), open);
        if (kind == TixDelimiter::None) continue;
        if (current != nullptr) finish(*current, dataStart, i);
        current = nullptr;
        if (kind == TixDelimiter::Close) break;  // the epilogue is ignored

        // The part header ends at an empty line; a delimiter or the end of the range ends it too.
        int j = i + 1;
        while (j < to && !lines.View(j).empty() && Classify(lines.View(j), open) == TixDelimiter::None)
            ++j;
        TixStringList headerLines;
        headerLines.Reserve(static_cast<std::size_t>(j - i - 1));
        for (int k = i + 1; k < j; ++k)
            headerLines.AddLine(lines.View(k));
        TixMailHeaderFieldList header;
        header.SetCharSet(charSet_);
        if (const int end = header.Parse(0, &headerLines); end < headerLines.Count()) {
            // A line that is not a field ended the header: the part's data starts there.
            j = i + 1 + end;
            TixStringList fields;
            for (int k = 0; k < end; ++k)
                fields.AddLine(headerLines.View(k));
            headerLines = std::move(fields);
            header.Parse(0, &headerLines);
        }
        // RFC 2046 section 5.1.5: the parts of a digest are messages unless they say otherwise.
        const std::string type =
            MediaTypeOr(header.GetFieldValueItem(header.GetFieldValue("Content-Type"), ""),
                        digest ? "message/rfc822" : "text/plain");
        const std::string disposition =
            header.GetFieldValueItem(header.GetFieldValue("Content-Disposition"), "");
        TixMessageBody& body = CreateBody(bodies, type, disposition, depth);
        body.ParseHeader(header);
        body.contentType_ = type;
        body.FillExtraFields(header);  // before the move: the header indexes headerLines
        body.rawHeader_ = std::move(headerLines);
        body.headerStart_ = i + 1;
        const bool hasBody = j < to && lines.View(j).empty();
        dataStart = hasBody ? j + 1 : j;
        body.encodedStart_ = dataStart;
        if (auto* attachment = dynamic_cast<TixAttachmentBody*>(&body);
            attachment != nullptr && attachment->fileName_.empty() && SameText(type, "message/rfc822")) {
            // Named after the embedded message's subject; only its header is looked at.
            TixStringList embedded;
            for (int k = dataStart; k < to && k < dataStart + 500 && !lines.View(k).empty(); ++k)
                embedded.AddLine(lines.View(k));
            TixMailHeaderFieldList embeddedHeader;
            embeddedHeader.Parse(0, &embedded);
            embeddedHeader.SetCharSet(charSet_);
            const std::string subject = embeddedHeader.GetDecodedFieldValue("Subject");
            if (!subject.empty()) attachment->fileName_ = SanitizeFileName(subject + ".eml");
        }
        current = &body;
        i = hasBody ? j : j - 1;
    }
    if (current != nullptr) finish(*current, dataStart, to);
}

// ---- building ----

void TixMailMessage::GenerateBoundary() {
    // The number runs on from a random start: boundaries made within one millisecond (a message
    // and the parts nested in it) never share it, as two random draws below 1000 would now and
    // then, and a nested part whose boundary is its parent's breaks the message.
    static std::atomic<std::uint64_t> next{
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) % 1000};
    const auto ticks = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      std::chrono::steady_clock::now().time_since_epoch())
                                                      .count());
    const std::uint64_t number = next.fetch_add(1) % 1000;
    boundary_ = "Mark=_" + std::to_string(ticks) + std::to_string(ticks / 2) + std::to_string(number);
}

void TixMailMessage::WriteContentFields(TixMailHeaderFieldList& header) {
    if (messageFormat_ == mfUUencode) return;
    header.AddField("MIME-Version", "1.0");
    if (IsMultipart()) {
        const std::string type = TrimHeaderText(contentType_);
        header.AddField("Content-Type", type.empty() ? std::string("multipart/mixed") : type);
        if (!contentSubType_.empty()) header.AddQuotedFieldItem("Content-Type", "type", contentSubType_);
        header.AddQuotedFieldItem("Content-Type", "boundary", boundary_);
    } else {
        const std::string type = TrimHeaderText(contentType_);
        header.AddField("Content-Type", type.empty() ? std::string("text/plain") : type);
        std::string cs = charSet_;
        if (bodies_->Count() == 1)
            if (auto* text = dynamic_cast<TixTextBody*>(&bodies_->Items(0))) cs = text->WriteCharSet();
        if (!cs.empty()) header.AddQuotedFieldItem("Content-Type", "charset", cs);
    }
}

void TixMailMessage::BuildHeaderLines(TixStringList& lines, int& linesPlace) {
    GenerateBoundary();
    TixMailHeaderFieldList header(HeaderCharSet(), charsPerLine_, EffectiveHeaderEncoding());
    header.Parse(0, &lines);
    header.AddField("Message-ID", messageId_);
    header.AddField("In-Reply-To", inReplyTo_);
    header.AddEncodedEmail("From", from_.FullAddress());
    header.AddEncodedEmail("Reply-To", replyTo_);
    header.AddField("Newsgroups", Join(newsGroups_, ","));
    header.AddField("References", Join(references_, " "));
    header.AddEncodedEmailList("To", toList_);
    header.AddEncodedEmailList("Cc", ccList_);
    header.AddEncodedEmailList("Bcc", bccList_);
    header.AddEncodedField("Subject", subject_);
    header.AddField("Date", DateTimeToMailTime(date_));
    linesPlace = lines.Count();
    WriteContentFields(header);
    header.AddField("Content-Disposition", contentDisposition_);
    if (!IsMultipart()) {
        TixEncodeMethod cte = encoding_;
        if (cte == cmNone && bodies_->Count() == 1) cte = bodies_->Items(0).GetEncoding();
        if (messageFormat_ != mfUUencode)
            header.AddField("Content-Transfer-Encoding", TixMessageBody::EncodingName(cte));
    }
    header.AddField("Importance", priority_ == mpLow ? "Low" : priority_ == mpHigh ? "High" : "");
    header.AddField("X-Priority", priority_ == mpLow ? "5" : priority_ == mpHigh ? "1" : "");
    header.AddField("X-MimeOLE", mimeOle_);
    header.AddField("X-Mailer", mailer_);
    header.AddEncodedEmail("Disposition-Notification-To", readReceiptTo_);
    header.AddFieldNoFold("List-Unsubscribe", listUnsubscribe_);
    header.AddFields(extraFields_);
    lines.Add("");
}

void TixMailMessage::WriteBodyList(TixMessageBodies& bodies, const std::string& boundary,
                                   TixStringList& lines) {
    const bool multipart =
        messageFormat_ != mfUUencode && (bodies.Count() >= 2 || StartsWithText(contentType_, "multipart/"));
    const TixMailMessage* settings = bodies.Message() != nullptr ? bodies.Message() : this;
    for (int i = 0; i < bodies.Count(); ++i) {
        TixMessageBody& part = bodies[i];
        if (multipart) {
            lines.Add("--" + boundary);
            TixMailHeaderFieldList header(settings->HeaderCharSet(), settings->charsPerLine_,
                                          settings->EffectiveHeaderEncoding());
            header.Parse(lines.Count(), &lines);
            part.BuildHeader(header);
            lines.Add("");
        }
        if (auto* mp = dynamic_cast<TixMultipartBody*>(&part)) {
            mp->NestedMessage().WriteBodyList(mp->Bodies(), mp->Boundary(), lines);
            continue;
        }
        const bool uuAttachment =
            settings->messageFormat_ == mfUUencode && dynamic_cast<TixAttachmentBody*>(&part) != nullptr;
        if (uuAttachment)
            lines.Add("begin 644 " + ExtractFileName(static_cast<TixAttachmentBody&>(part).FileName()));
        const std::unique_ptr<TixMemoryStream> data = part.EncodedData();
        const std::string_view encoded = data->View();
        lines.AddText(encoded);
        // The line break in front of a boundary belongs to the boundary, and a reader drops it: a
        // file whose text ends in a line break keeps it only with a line of its own behind it.
        const TixEncodeMethod method = part.GetEncoding();
        if (method != cmBase64 && method != cmUUEncode && encoded.ends_with('\n') &&
            dynamic_cast<TixAttachmentBody*>(&part) != nullptr)
            lines.Add("");
        if (uuAttachment) lines.Add("end");
    }
    if (multipart) lines.Add("--" + boundary + "--");
}

int TixMailMessage::WriteBodies(TixStringList& lines) {
    if (boundary_.empty()) GenerateBoundary();
    const int before = lines.Count();
    WriteBodyList(*bodies_, boundary_, lines);
    return lines.Count() - before;
}

const TixStringList& TixMailMessage::MessageSource() {
    if (!messageSource_.Empty()) return messageSource_;
    TixStringList lines;
    int linesPlace = 0;
    BuildHeaderLines(lines, linesPlace);
    if (IsMultipart() && messageFormat_ != mfUUencode) {
        lines.Add("This is a multi-part message in MIME format.");
        lines.Add("");
    }
    const int count = WriteBodies(lines);
    if (newsGroups_.Count() > 0) lines.Insert(linesPlace, "Lines: " + std::to_string(count));
    if (dkim_ != nullptr) dkim_->Sign(lines);
    messageSource_ = std::move(lines);
    return messageSource_;
}

const TixStringList& TixMailMessage::MessageText() {
    if (textBuilt_) return messageText_;
    messageText_.Clear();
    std::vector<TixTextBody*> texts;
    TixTextBody* html = nullptr;
    auto walk = [&](auto&& self, const TixMessageBodies& bodies) -> void {
        for (int i = 0; i < bodies.Count(); ++i) {
            TixMessageBody& part = bodies[i];
            if (auto* mp = dynamic_cast<TixMultipartBody*>(&part)) {
                self(self, mp->Bodies());
            } else if (auto* text = dynamic_cast<TixTextBody*>(&part)) {
                texts.push_back(text);
                if (html == nullptr && SameText(text->ContentType(), "text/html")) html = text;
            }
        }
    };
    walk(walk, *bodies_);
    if (html != nullptr) {
        messageText_.Assign(html->Strings());
    } else {
        for (TixTextBody* text : texts)
            if (SameText(text->ContentType(), "text/plain")) messageText_.AddStrings(text->Strings());
        if (BlankText(messageText_))
            for (TixTextBody* text : texts)
                messageText_.AddStrings(text->Strings());
    }
    textBuilt_ = true;
    return messageText_;
}

void TixMailMessage::AddAlternative(TixMessageBodies& bodies, const std::string& text,
                                    const std::string& html, std::string& type) {
    if (!text.empty()) bodies.AddText(text);
    if (!html.empty()) bodies.AddHtml(html);
    type = !text.empty() && !html.empty() ? "multipart/alternative"
           : !html.empty()                ? "text/html"
                                          : "text/plain";
}

void TixMailMessage::BuildMessage(const std::string& text, const std::string& html) {
    BuildMessage(text, html, TixStringList(), TixStringList());
}

void TixMailMessage::BuildMessage(const std::string& text, const std::string& html,
                                  const TixStringList& attachments, const TixStringList& images) {
    BeginUpdate();
    try {
        ResetForLoad();
        auto alternativeIn = [&](TixMessageBodies& bodies, const std::string& htmlText, std::string& type) {
            if (!text.empty() && !htmlText.empty()) {
                TixMultipartBody& mp = bodies.AddMultipart();
                mp.SetContentType("multipart/alternative");
                AddAlternative(mp.Bodies(), text, htmlText, type);
            } else {
                AddAlternative(bodies, text, htmlText, type);
            }
        };
        auto relatedIn = [&](TixMessageBodies& bodies, std::string& type) {
            std::string rewritten = html;
            for (const auto& item : images) {
                TixImageBody& image = bodies.AddImage(item.line);
                rewritten = ReplaceText(rewritten, item.line, "cid:" + image.ContentID());
            }
            alternativeIn(bodies, rewritten, type);
            if (bodies.Count() > 1) bodies.Move(bodies.Count() - 1, 0);
        };
        std::string type;
        if (attachments.Empty() && images.Empty()) {
            AddAlternative(*bodies_, text, html, type);
            contentType_ = type;
        } else if (images.Empty()) {
            alternativeIn(*bodies_, html, type);
            if (bodies_->Count() == 0) bodies_->AddText("");
            for (const auto& item : attachments)
                bodies_->AddAttachment(item.line);
            contentType_ = "multipart/mixed";
        } else if (attachments.Empty()) {
            relatedIn(*bodies_, type);
            contentSubType_ = type;
            contentType_ = "multipart/related";
        } else {
            TixMultipartBody& mp = bodies_->AddMultipart();
            relatedIn(mp.Bodies(), type);
            mp.SetContentSubType(type);
            mp.SetContentType("multipart/related");
            for (const auto& item : attachments)
                bodies_->AddAttachment(item.line);
            contentType_ = "multipart/mixed";
        }
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

}  // namespace ix
