#include "mail/ixMessageBodies.h"

#include <chrono>
#include <random>

#include "mail/ixMailMessage.h"
#include "text/ixIdnTranslator.h"
#include "text/ixTranslator.h"

namespace ix {

namespace {

int RandomBelow(int n) {
    static thread_local std::minstd_rand generator(
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return static_cast<int>(generator() % static_cast<unsigned>(n));
}

std::string ReadAll(TixStream& stream, bool fromStart = true) {
    if (fromStart) stream.SetPosition(0);
    std::string data(static_cast<std::size_t>(stream.Remaining()), '\0');
    if (!data.empty()) data.resize(stream.Read(data.data(), data.size()));
    return data;
}

// The RFC 2231 form of a parameter wins over the plain one, whose value may hold encoded words.
std::string Param(const TixMailHeaderFieldList& header, std::string_view field, std::string_view item) {
    const std::string value = header.GetFieldValue(field);
    std::string result = header.GetDecodedFieldValueItem(value, std::string(item) + "*");
    if (result.empty()) result = header.GetDecodedFieldValueItem(value, item);
    return result;
}

std::string LeadingValue(const TixMailHeaderFieldList& header, std::string_view field) {
    return header.GetFieldValueItem(header.GetFieldValue(field), "");
}

}  // namespace

std::string SanitizeFileName(std::string_view name) {
    std::string out(name);
    for (char& c : out)
        if (c == '\0' || std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos) c = '_';
    if (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
    return out.empty() ? std::string("_") : out;
}

std::string MediaTypeOr(std::string_view type, std::string_view fallback) {
    const auto isToken = [](std::string_view t) {
        return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) {
            const auto b = static_cast<unsigned char>(c);
            return b > 32 && b < 127 &&
                   std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
        });
    };
    const auto slash = type.find('/');
    if (slash != std::string_view::npos && isToken(type.substr(0, slash)) && isToken(type.substr(slash + 1)))
        return std::string(type);
    return std::string(fallback);
}

std::string ExtractFileName(std::string_view path) {
    const auto pos = path.find_last_of("/\\:");
    return std::string(pos == std::string_view::npos ? path : path.substr(pos + 1));
}

// ---- TixMessageBody ----

TixMessageBody::TixMessageBody(TixMessageBodies& owner)
    : owner_(&owner), encoder_(std::make_unique<TixEncoder>()) {
    encoder_->OnProgress = [this](TixObject*, std::int64_t done, std::int64_t total) {
        if (TixMailMessage* m = Message()) m->DoEncodingProgress(this, done, total);
    };
    extraFields_.OnChange = [this](TixStringList&) { Changed(); };
}

TixMessageBody::~TixMessageBody() = default;

TixMailMessage* TixMessageBody::Message() const {
    return owner_->Message();
}

bool TixMessageBody::Parsing() const {
    const TixMailMessage* m = Message();
    return m != nullptr && m->IsParsing();
}

std::string TixMessageBody::FallbackCharSet() const {
    const TixMailMessage* m = Message();
    return m != nullptr ? m->CharSet() : std::string();
}

void TixMessageBody::Changed() {
    if (TixMailMessage* m = Message()) m->DoChanged();
}

void TixMessageBody::RegisterKnownFields() {
    knownFields_.Clear();
    knownFields_.Add("Content-Type");
    knownFields_.Add("Content-Transfer-Encoding");
    knownFields_.Add("Content-Disposition");
}

void TixMessageBody::Assign(const TixMessageBody& source) {
    TixMailMessage* m = Message();
    if (m != nullptr) m->BeginUpdate();
    try {
        extraFields_.Assign(source.extraFields_);
        contentType_.clear();
        SetContentType(source.contentType_);
        encoding_ = source.GetEncoding();
        contentDisposition_ = source.contentDisposition_;
        rawHeader_.Assign(source.rawHeader_);
        encodedSize_ = source.encodedSize_;
        encodedLines_ = source.encodedLines_;
        encodedStart_ = source.encodedStart_;
        headerStart_ = source.headerStart_;
    } catch (...) {
        if (m != nullptr) m->EndUpdate();
        throw;
    }
    if (m != nullptr) m->EndUpdate();
}

void TixMessageBody::SetContentType(const std::string& value) {
    if (contentType_ == value) return;
    contentType_ = value;
    Changed();
}

void TixMessageBody::SetEncoding(TixEncodeMethod value) {
    if (encoding_ == value) return;
    encoding_ = value;
    Changed();
}

void TixMessageBody::SetContentDisposition(const std::string& value) {
    if (contentDisposition_ == value) return;
    contentDisposition_ = value;
    Changed();
}

TixEncodeMethod TixMessageBody::GetEncoding() const {
    const TixMailMessage* m = Message();
    if (m == nullptr || m->IsMultipart()) return encoding_;
    return m->Encoding() != cmNone ? m->Encoding() : encoding_;
}

void TixMessageBody::ParseHeader(const TixMailHeaderFieldList& header) {
    contentType_ = MediaTypeOr(LeadingValue(header, "Content-Type"), "text/plain");
    const TixMailMessage* m = Message();
    encoding_ = m != nullptr ? m->Encoding() : cmNone;
    const std::string cte = LowerCase(header.GetFieldValue("Content-Transfer-Encoding"));
    if (cte == "quoted-printable")
        encoding_ = cmQuotedPrintable;
    else if (cte == "base64")
        encoding_ = cmBase64;
    else if (cte == "x-uuencode" || cte == "x-uue" || cte == "uuencode")
        encoding_ = cmUUEncode;
    contentDisposition_ = LeadingValue(header, "Content-Disposition");
}

void TixMessageBody::FillExtraFields(const TixMailHeaderFieldList& header) {
    extraFields_.BeginUpdate();
    extraFields_.Clear();
    for (int i = 0; i < header.Count(); ++i) {
        const std::string name = header.GetFieldName(i);
        if (knownFields_.IndexOf(name) >= 0) continue;
        extraFields_.Add(name + ": " + header.GetFieldValue(i));
    }
    extraFields_.EndUpdate();
}

void TixMessageBody::DataAdded(TixStream& data) {
    data.SetPosition(0);
    if (TixMailMessage* m = Message()) m->DoDataAdded(this, data);
}

void TixMessageBody::DecodeData(TixStream& source, TixStream& destination) {
    const TixMailMessage* m = Message();
    const TixMessageErrorProcessing mode = m != nullptr ? m->ErrorProcessing() : meExtractMaximumData;
    encoder_->SetEncodeMethod(GetEncoding());
    encoder_->SetErrorProcessing(mode == meExtractMaximumData ? epContinue : epStop);
    const std::int64_t start = source.Position();
    try {
        encoder_->Decode(source, destination);
    } catch (const EixEncoderError&) {
        if (mode == meStop) throw;
        // meIgnore: keep the data as it came.
        destination.SetSize(0);
        destination.SetPosition(0);
        source.SetPosition(start);
        destination.CopyFrom(source);
    }
}

void TixMessageBody::EncodeData(TixStream& source, TixStream& destination) {
    const TixMailMessage* m = Message();
    encoder_->SetAllowESC(m != nullptr && m->AllowESC());
    encoder_->SetCharsPerLine(m != nullptr ? m->CharsPerLine() : 76);
    encoder_->SetEncodeMethod(GetEncoding());
    encoder_->Encode(source, destination);
}

std::unique_ptr<TixMemoryStream> TixMessageBody::EncodedData() {
    auto out = std::make_unique<TixMemoryStream>();
    std::unique_ptr<TixStream> source = GetSourceStream();
    if (source) {
        source->SetPosition(0);
        EncodeData(*source, *out);
    }
    out->SetPosition(0);
    return out;
}

void TixMessageBody::ChooseEncoding() {
    if (GetEncoding() != cmNone || Parsing()) return;
    SetEncoding(PreferredEncoding());
}

TixEncodeMethod TixMessageBody::PreferredEncoding() {
    std::unique_ptr<TixStream> source = GetSourceStream();
    if (!source) return cmNone;
    const TixMailMessage* m = Message();
    encoder_->SetAllowESC(m != nullptr && m->AllowESC());
    encoder_->SetCharsPerLine(m != nullptr ? m->CharsPerLine() : 76);
    source->SetPosition(0);
    return encoder_->GetPreferredEncoding(*source);
}

void TixMessageBody::Clear() {
    extraFields_.Clear();
    rawHeader_.Clear();
    contentType_.clear();
    contentDisposition_.clear();
    const TixMailMessage* m = Message();
    encoding_ = m != nullptr ? m->Encoding() : cmNone;
    encodedSize_ = encodedLines_ = encodedStart_ = headerStart_ = 0;
}

void TixMessageBody::FinishRead(TixStream& encoded, int lineCount, std::int64_t encodedSize) {
    std::unique_ptr<TixStream> destination = GetDestinationStream();
    if (RecordsEncodedSize() && encodedSize > 0 && lineCount > 0) {
        encodedSize_ = static_cast<int>(std::min<std::int64_t>(encodedSize, INT32_MAX));
        encodedLines_ = lineCount;
    }
    if (destination) {
        encoded.SetPosition(0);
        DecodeData(encoded, *destination);
        DataAdded(*destination);
    }
}

const char* TixMessageBody::EncodingName(TixEncodeMethod method) {
    switch (method) {
        case cmQuotedPrintable:
            return "quoted-printable";
        case cmBase64:
            return "base64";
        case cm8Bit:
            return "8bit";
        case cmUUEncode:
            return "";
        default:
            return "7bit";
    }
}

// ---- TixTextBody ----

void TixTextBody::InitBody() {
    strings_.OnChange = [this](TixStringList&) {
        ChooseEncoding();
        Changed();
    };
}

void TixTextBody::Assign(const TixMessageBody& source) {
    TixMessageBody::Assign(source);
    if (const auto* text = dynamic_cast<const TixTextBody*>(&source)) {
        strings_.Assign(text->strings_);
        charSet_ = text->EffectiveCharSet();
    }
}

void TixTextBody::SetCharSet(const std::string& value) {
    if (charSet_ == value) return;
    charSet_ = value;
    Changed();
}

std::string TixTextBody::EffectiveCharSet() const {
    const TixMailMessage* m = Message();
    if (m == nullptr || m->IsMultipart()) return charSet_;
    return m->CharSet();
}

std::string TixTextBody::WriteCharSet() const {
    std::string cs = EffectiveCharSet();
    if (cs.empty() && Message() != nullptr) cs = Message()->CharSet();
    const std::string text = strings_.Text();
    if (TixIdnTranslator::IsBasicString(text)) return cs.empty() ? std::string("us-ascii") : cs;
    return TixMailHeaderFieldList::WritingCharSet(text, cs);
}

void TixTextBody::BuildHeader(TixMailHeaderFieldList& header) {
    header.AddField("Content-Type", contentType_);
    const std::string cs = WriteCharSet();
    if (!contentType_.empty() && !cs.empty()) header.AddQuotedFieldItem("Content-Type", "charset", cs);
    header.AddField("Content-Transfer-Encoding", EncodingName(GetEncoding()));
    header.AddFields(extraFields_);
}

void TixTextBody::ParseHeader(const TixMailHeaderFieldList& header) {
    TixMessageBody::ParseHeader(header);
    // A part without a type is plain text (RFC 2045 section 5.2).
    if (contentType_.empty()) contentType_ = "text/plain";
    charSet_ = Param(header, "Content-Type", "charset");
}

std::unique_ptr<TixStream> TixTextBody::GetSourceStream() {
    std::string text = strings_.Text();
    if (text.size() > 2) text.resize(text.size() - 2);
    const std::string cs = WriteCharSet();
    const std::string bytes = TixIdnTranslator::IsBasicString(text) || SameText(cs, "utf-8")
                                  ? text
                                  : TixTranslator::FromLocal(text, cs);
    return std::make_unique<TixMemoryStream>(bytes);
}

std::unique_ptr<TixStream> TixTextBody::GetDestinationStream() {
    return std::make_unique<TixMemoryStream>();
}

void TixTextBody::DataAdded(TixStream& data) {
    std::string copy;
    std::string_view bytes;
    if (const auto* memory = dynamic_cast<const TixMemoryStream*>(&data)) {
        bytes = memory->View();
    } else {
        copy = ReadAll(data);
        bytes = copy;
    }
    TixTranslator::ToLocalLines(bytes, EffectiveCharSet(), strings_);
    TixMessageBody::DataAdded(data);
}

void TixTextBody::Clear() {
    TixMessageBody::Clear();
    strings_.Clear();
    contentType_ = "text/plain";
    charSet_ = FallbackCharSet();
}

// ---- TixAttachmentBody ----

void TixAttachmentBody::RegisterKnownFields() {
    TixMessageBody::RegisterKnownFields();
    knownFields_.Add("Content-Description");
    knownFields_.Add("Content-ID");
}

void TixAttachmentBody::Assign(const TixMessageBody& source) {
    TixMessageBody::Assign(source);
    if (const auto* a = dynamic_cast<const TixAttachmentBody*>(&source)) {
        fileName_ = a->fileName_;
        contentId_ = a->contentId_;
    }
}

void TixAttachmentBody::SetContentID(const std::string& value) {
    if (contentId_ == value) return;
    contentId_ = value;
    Changed();
}

void TixAttachmentBody::SetFileName(const std::string& value) {
    if (fileName_ == value) return;
    fileName_ = value;
    ChooseEncoding();
    Changed();
}

TixEncodeMethod TixAttachmentBody::GetEncoding() const {
    const TixMailMessage* m = Message();
    if (m != nullptr && m->MessageFormat() == mfUUencode) return cmUUEncode;
    return TixMessageBody::GetEncoding();
}

void TixAttachmentBody::ChooseEncoding() {
    choosingEncoding_ = true;
    try {
        TixMessageBody::ChooseEncoding();
        // The 8-bit form an iso-2022-jp message gives its parts carries text, not a file's bytes:
        // a NUL, a control byte or a bare CR or LF would not come back as it was sent.
        if (encoding_ == cm8Bit && !Parsing() && PreferredEncoding() == cmBase64) SetEncoding(cmBase64);
    } catch (...) {
        choosingEncoding_ = false;
        throw;
    }
    choosingEncoding_ = false;
}

void TixAttachmentBody::AddNameItem(TixMailHeaderFieldList& header, std::string_view field,
                                    std::string_view item, bool extensions) {
    const std::string name = ExtractFileName(fileName_);
    const TixEncodeMethod method = header.HeaderEncoding();
    header.AddEncodedFieldItem(field, item, name);
    // Readers take the RFC 2231 form over encoded words inside quotes, which the standard does not
    // define for parameters: write it for every name that is not plain ASCII.
    if ((extensions || !TixIdnTranslator::IsBasicString(name)) && method != cmUUEncode && method != cm8Bit)
        header.AddEncodedFieldItem(field, std::string(item) + "*", name);
}

void TixAttachmentBody::BuildHeader(TixMailHeaderFieldList& header) {
    const TixMailMessage* m = Message();
    const bool extensions = m != nullptr && m->UseHeaderEncodingExtensions();
    header.AddField("Content-Type", contentType_);
    const std::string name = ExtractFileName(fileName_);
    if (!contentType_.empty() && !name.empty()) AddNameItem(header, "Content-Type", "name", extensions);
    header.AddField("Content-Transfer-Encoding", EncodingName(GetEncoding()));
    header.AddField("Content-Disposition",
                    contentDisposition_.empty() ? std::string("attachment") : contentDisposition_);
    if (!name.empty()) AddNameItem(header, "Content-Disposition", "filename", extensions);
    if (!contentId_.empty()) header.AddField("Content-ID", "<" + contentId_ + ">");
    header.AddFields(extraFields_);
}

void TixAttachmentBody::ParseHeader(const TixMailHeaderFieldList& header) {
    TixMessageBody::ParseHeader(header);
    std::string name = Param(header, "Content-Disposition", "filename");
    if (name.empty()) name = Param(header, "Content-Type", "filename");
    // The name parameter comes before the description: a description is prose ("Scanned
    // document"), the name is what the sender called the file.
    if (name.empty()) name = Param(header, "Content-Type", "name");
    if (name.empty()) {
        std::string description = header.GetDecodedFieldValue("Content-Description");
        if (!description.empty()) {
            if (description.size() <= 3 || description[description.size() - 4] != '.') description += ".dat";
            name = SanitizeFileName(description);
        }
    }
    if (name.empty() && SameText(contentType_, "message/rfc822") && header.Source() != nullptr) {
        TixMailHeaderFieldList embedded;
        embedded.SetCharSet(header.CharSet());
        embedded.Parse(header.BodyStart(), header.Source());
        const std::string subject = embedded.GetDecodedFieldValue("Subject");
        if (!subject.empty()) name = subject + ".eml";
    }
    // Names from the wire never carry a path.
    fileName_ = name.empty() ? name : SanitizeFileName(ExtractFileName(name));
    std::string id = TrimHeaderText(header.GetFieldValue("Content-ID"));
    if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
    contentId_ = id;
}

std::unique_ptr<TixStream> TixAttachmentBody::GetSourceStream() {
    std::string name = fileName_;
    std::unique_ptr<TixStream> data;
    bool handled = false;
    if (TixMailMessage* m = Message()) m->DoLoadAttachment(this, name, data, handled);
    fileName_ = name;
    if (handled) return data;
    data.reset();
    if (fileName_.empty()) return nullptr;
    try {
        return std::make_unique<TixFileStream>(fileName_, TixFileMode::fmOpenRead);
    } catch (const EixStreamError&) {
        if (choosingEncoding_) return nullptr;
        throw;
    }
}

std::unique_ptr<TixStream> TixAttachmentBody::GetDestinationStream() {
    std::string name = fileName_;
    std::unique_ptr<TixStream> data;
    bool handled = false;
    if (TixMailMessage* m = Message()) m->DoSaveAttachment(this, name, data, handled);
    fileName_ = name;
    return data;
}

void TixAttachmentBody::DataAdded(TixStream& data) {
    TixMessageBody::DataAdded(data);
    data.SetPosition(0);
    if (TixMailMessage* m = Message()) m->DoAttachmentSaved(this, fileName_, data);
}

void TixAttachmentBody::Clear() {
    TixMessageBody::Clear();
    fileName_.clear();
    contentId_.clear();
    contentType_ = "application/octet-stream";
}

// ---- TixImageBody ----

void TixImageBody::SetFileName(const std::string& value) {
    if (fileName_ == value) return;
    TixAttachmentBody::SetFileName(value);
    if (!fileName_.empty() && contentId_.empty()) {
        char day[32];
        std::snprintf(day, sizeof day, "%.8f", Now());
        SetContentID(ExtractFileName(fileName_) + "@" + day + "." + std::to_string(RandomBelow(1000)));
    }
    if (!fileName_.empty() && contentType_.empty()) {
        const auto pos = fileName_.find_last_of(".\\/:");
        if (pos != std::string::npos && fileName_[pos] == '.')
            SetContentType("image/" + LowerCase(fileName_.substr(pos + 1)));
    }
}

void TixImageBody::BuildHeader(TixMailHeaderFieldList& header) {
    header.AddField("Content-Type", contentType_);
    const std::string name = ExtractFileName(fileName_);
    if (!name.empty()) AddNameItem(header, "Content-Type", "name", false);
    header.AddField("Content-Transfer-Encoding", EncodingName(GetEncoding()));
    if (!contentDisposition_.empty()) {
        header.AddField("Content-Disposition", contentDisposition_);
        if (!name.empty()) AddNameItem(header, "Content-Disposition", "filename", false);
    }
    if (!contentId_.empty()) header.AddField("Content-ID", "<" + contentId_ + ">");
    header.AddFields(extraFields_);
}

void TixImageBody::ParseHeader(const TixMailHeaderFieldList& header) {
    TixAttachmentBody::ParseHeader(header);
    // Content-Disposition's file name comes first here too (RFC 2183).
    if (!Param(header, "Content-Disposition", "filename").empty()) return;
    const std::string name = Param(header, "Content-Type", "name");
    if (!name.empty()) fileName_ = SanitizeFileName(name);
}

void TixImageBody::Clear() {
    TixAttachmentBody::Clear();
    contentType_.clear();
    encoding_ = cmBase64;
}

// ---- TixMultipartBody ----

TixMultipartBody::~TixMultipartBody() = default;

void TixMultipartBody::InitBody() {
    nested_ = std::make_unique<TixMailMessage>();
    nested_->Bodies().SetMessage(Message());
}

TixMessageBodies& TixMultipartBody::Bodies() const {
    return nested_->Bodies();
}
const std::string& TixMultipartBody::Boundary() const {
    return nested_->Boundary();
}
void TixMultipartBody::SetBoundary(const std::string& value) {
    nested_->SetBoundary(value);
}

void TixMultipartBody::Assign(const TixMessageBody& source) {
    TixMessageBody::Assign(source);
    if (const auto* mp = dynamic_cast<const TixMultipartBody*>(&source)) {
        Bodies().Assign(mp->Bodies());
        SetBoundary(mp->Boundary());
        contentSubType_ = mp->contentSubType_;
    }
}

void TixMultipartBody::SetContentType(const std::string& value) {
    TixMessageBody::SetContentType(value);
    if (nested_) nested_->SetContentType(value);
}

void TixMultipartBody::SetContentSubType(const std::string& value) {
    if (contentSubType_ == value) return;
    contentSubType_ = value;
    Changed();
}

void TixMultipartBody::BuildHeader(TixMailHeaderFieldList& header) {
    nested_->GenerateBoundary();
    header.AddField("Content-Type", contentType_);
    if (!contentType_.empty() && !contentSubType_.empty())
        header.AddQuotedFieldItem("Content-Type", "type", contentSubType_);
    header.AddQuotedFieldItem("Content-Type", "boundary", Boundary());
    header.AddFields(extraFields_);
}

void TixMultipartBody::ParseHeader(const TixMailHeaderFieldList& header) {
    TixMessageBody::ParseHeader(header);
    nested_->contentType_ = contentType_;
    const std::string type = header.GetFieldValue("Content-Type");
    SetBoundary(header.GetParameter(type, "boundary"));
    contentSubType_ = header.GetDecodedFieldValueItem(type, "type");
    encoding_ = cmNone;
}

std::unique_ptr<TixStream> TixMultipartBody::GetSourceStream() {
    TixStringList lines;
    nested_->WriteBodyList(Bodies(), Boundary(), lines);
    return std::make_unique<TixMemoryStream>(lines.Text());
}

std::unique_ptr<TixStream> TixMultipartBody::GetDestinationStream() {
    return std::make_unique<TixMemoryStream>();
}

void TixMultipartBody::DataAdded(TixStream& data) {
    // The parser reads nested parts in place (ParseMultipart); data handed in here is parsed the
    // same way.
    TixStringList lines;
    lines.SetText(ReadAll(data));
    if (TixMailMessage* m = Message())
        m->ParseMultipart(lines, 0, lines.Count(), Boundary(), Bodies(), 1,
                          SameText(ContentType(), "multipart/digest"));
    encodedLines_ = lines.Count();
}

void TixMultipartBody::Clear() {
    TixMessageBody::Clear();
    if (nested_) {
        Bodies().Clear();
        nested_->SetBoundary({});
        nested_->contentType_ = "multipart/mixed";
    }
    contentType_ = "multipart/mixed";
    contentSubType_.clear();
    encoding_ = cmNone;
}

// ---- TixMessageBodies ----

TixMessageBodies::TixMessageBodies(TixMailMessage* message) : message_(message) {}

TixMessageBodies::~TixMessageBodies() {
    message_ = nullptr;  // parts being freed notify no one
    items_.clear();
}

TixMessageBody& TixMessageBodies::Items(int index) const {
    if (index < 0 || index >= Count())
        throw EixError("List index out of bounds (" + std::to_string(index) + ")");
    return *items_[static_cast<std::size_t>(index)];
}

void TixMessageBodies::Adopt(std::unique_ptr<TixMessageBody> body) {
    TixMessageBody& b = *body;
    items_.push_back(std::move(body));
    b.InitBody();
    b.RegisterKnownFields();
    b.Clear();
    Changed();
}

void TixMessageBodies::Changed() {
    if (message_ != nullptr) message_->DoChanged();
}

TixTextBody& TixMessageBodies::AddText(std::string_view text) {
    TixTextBody& body = Add<TixTextBody>();
    body.SetText(text);
    return body;
}

TixTextBody& TixMessageBodies::AddHtml(std::string_view text) {
    TixTextBody& body = AddText(text);
    body.SetContentType("text/html");
    return body;
}

TixMultipartBody& TixMessageBodies::AddMultipart() {
    return Add<TixMultipartBody>();
}

TixAttachmentBody& TixMessageBodies::AddAttachment(const std::string& fileName) {
    TixAttachmentBody& body = Add<TixAttachmentBody>();
    body.SetFileName(fileName);
    return body;
}

TixImageBody& TixMessageBodies::AddImage(const std::string& fileName) {
    TixImageBody& body = Add<TixImageBody>();
    body.SetFileName(fileName);
    return body;
}

TixMessageBody* TixMessageBodies::AddByClassName(std::string_view className) {
    if (className == "TixTextBody") return &Add<TixTextBody>();
    if (className == "TixAttachmentBody") return &Add<TixAttachmentBody>();
    if (className == "TixImageBody") return &Add<TixImageBody>();
    if (className == "TixMultipartBody") return &Add<TixMultipartBody>();
    return nullptr;
}

void TixMessageBodies::Delete(int index) {
    (void)Items(index);
    items_.erase(items_.begin() + index);
    Changed();
}

void TixMessageBodies::Move(int from, int to) {
    (void)Items(from);
    (void)Items(to);
    if (from == to) return;
    auto body = std::move(items_[static_cast<std::size_t>(from)]);
    items_.erase(items_.begin() + from);
    items_.insert(items_.begin() + to, std::move(body));
    Changed();
}

void TixMessageBodies::Clear() {
    if (items_.empty()) return;
    items_.clear();
    Changed();
}

void TixMessageBodies::Assign(const TixMessageBodies& source) {
    if (&source == this) return;
    if (message_ != nullptr) message_->BeginUpdate();
    try {
        items_.clear();
        for (const auto& part : source.items_)
            if (TixMessageBody* copy = AddByClassName(part->ClassName())) copy->Assign(*part);
    } catch (...) {
        if (message_ != nullptr) message_->EndUpdate();
        throw;
    }
    if (message_ != nullptr) message_->EndUpdate();
}

// Stored form. A text in lines, every value on its own line, escaped so that it holds no line
// break: "\\" for a backslash, "\n" for LF and "\r" for CR.
//   ixbodies 1
//   item <ClassName>
//     text parts:      <Strings text> <effective charset>
//     attachments:     <FileName>
//     multipart parts: <ContentSubType>, then the nested list as "begin" ... "end"
//   then for every part: <ExtraFields text> <ContentType> <Encoding as integer> <ContentDisposition>
//   end
namespace {

std::string Escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::string Unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char c = text[++i];
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
        } else {
            out += text[i];
        }
    }
    return out;
}

void SaveList(const TixMessageBodies& bodies, TixStringList& out) {
    for (int i = 0; i < bodies.Count(); ++i) {
        TixMessageBody& part = bodies[i];
        out.Add(std::string("item ") + part.ClassName());
        if (auto* text = dynamic_cast<TixTextBody*>(&part)) {
            out.Add(Escape(text->Strings().Text()));
            out.Add(Escape(text->EffectiveCharSet()));
        } else if (auto* mp = dynamic_cast<TixMultipartBody*>(&part)) {
            out.Add(Escape(mp->ContentSubType()));
            out.Add("begin");
            SaveList(mp->Bodies(), out);
            out.Add("end");
        } else if (auto* a = dynamic_cast<TixAttachmentBody*>(&part)) {
            out.Add(Escape(a->FileName()));
        }
        out.Add(Escape(part.ExtraFields().Text()));
        out.Add(Escape(part.ContentType()));
        out.Add(std::to_string(static_cast<int>(part.Encoding())));
        out.Add(Escape(part.ContentDisposition()));
    }
}

struct Reader {
    const TixStringList& lines;
    int pos = 0;
    bool More() const { return pos < lines.Count(); }
    std::string Next() { return More() ? lines[pos++] : std::string(); }
};

void LoadList(TixMessageBodies& bodies, Reader& in, int depth) {
    while (in.More()) {
        const std::string line = in.Next();
        if (line == "end") return;
        if (line.rfind("item ", 0) != 0) continue;
        const std::string className = line.substr(5);
        TixMessageBody* part = bodies.AddByClassName(className);
        // An unknown class: its fields are skipped up to the next entry.
        if (part == nullptr) continue;
        if (auto* text = dynamic_cast<TixTextBody*>(part)) {
            text->SetText(Unescape(in.Next()));
            text->SetCharSet(Unescape(in.Next()));
        } else if (auto* mp = dynamic_cast<TixMultipartBody*>(part)) {
            mp->SetContentSubType(Unescape(in.Next()));
            if (in.Next() == "begin") {
                if (depth < TixMailMessage::cMaxNestingDepth) {
                    LoadList(mp->Bodies(), in, depth + 1);
                } else {
                    for (int nest = 1; in.More() && nest > 0;) {
                        const std::string l = in.Next();
                        nest += l == "begin" ? 1 : l == "end" ? -1 : 0;
                    }
                }
            }
        } else if (auto* a = dynamic_cast<TixAttachmentBody*>(part)) {
            a->SetFileName(Unescape(in.Next()));
        }
        part->ExtraFields().SetText(Unescape(in.Next()));
        part->SetContentType(Unescape(in.Next()));
        const std::string enc = in.Next();
        const int method = enc.size() == 1 && enc[0] >= '0' && enc[0] <= '4' ? enc[0] - '0' : 0;
        part->SetEncoding(static_cast<TixEncodeMethod>(method));
        part->SetContentDisposition(Unescape(in.Next()));
    }
}

}  // namespace

void TixMessageBodies::SaveToStream(TixStream& stream) const {
    TixStringList out;
    out.Add("ixbodies 1");
    SaveList(*this, out);
    out.Add("end");
    const std::string text = out.Text();
    stream.WriteBuffer(text.data(), text.size());
}

void TixMessageBodies::LoadFromStream(TixStream& stream) {
    TixStringList lines;
    lines.SetText(ReadAll(stream, false));
    if (message_ != nullptr) message_->BeginUpdate();
    try {
        Clear();
        Reader in{lines};
        if (in.Next() == "ixbodies 1") LoadList(*this, in, 0);
    } catch (...) {
        if (message_ != nullptr) message_->EndUpdate();
        throw;
    }
    if (message_ != nullptr) message_->EndUpdate();
}

}  // namespace ix
