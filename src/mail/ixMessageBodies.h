#pragma once
// The parts of a message: text, attachment, inline image and nested multipart, in an ordered list
// that owns them. A part knows its MIME header values, produces its unencoded data for writing
// (GetSourceStream), takes decoded data when read (GetDestinationStream, DataAdded), and consults
// the owning message's settings (charset, encoding, error processing) and raises its events.
// Text is UTF-8: text parts decode from their charset when read and encode to it when written.
// Every change to a part notifies the owning message, which then discards its built source.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/ixStream.h"
#include "base/ixStringList.h"
#include "mail/ixMailHeader.h"
#include "text/ixEncoder.h"

namespace ix {

class TixMailMessage;
class TixMessageBodies;
class TixMessageBody;

// File names from the wire: characters no file system likes become "_", one final space or dot is
// dropped, and an empty result becomes "_".
std::string SanitizeFileName(std::string_view name);
// The name after its last "/", "\" or ":".
std::string ExtractFileName(std::string_view path);
// A Content-Type's leading value when it is a type and a subtype, else fallback (RFC 2045 section
// 5.2: a missing or invalid type reads as text/plain).
std::string MediaTypeOr(std::string_view type, std::string_view fallback);

// Asks the application for the stream a part's data goes to (saving) or comes from (loading).
// The stream handed back is owned by the part, which frees it after use; Handled (loading only)
// says that the handler supplied the data, so no file is opened.
using TixGetBodyStreamEvent =
    std::function<void(TixObject* Sender, TixMessageBody* Body, std::string& FileName,
                       std::unique_ptr<TixStream>& Data, bool& Handled)>;
using TixAttachmentSavedEvent = std::function<void(TixObject* Sender, TixMessageBody* Body,
                                                   const std::string& FileName, TixStream& Data)>;
using TixBodyDataAddedEvent = std::function<void(TixObject* Sender, TixMessageBody* Body, TixStream& Data)>;
using TixBodyEncodingProgress = std::function<void(TixObject* Sender, TixMessageBody* Body,
                                                   std::int64_t ABytesProceed, std::int64_t ATotalBytes)>;

class TixMessageBody : public TixObject {
public:
    ~TixMessageBody() override;
    TixMessageBody(const TixMessageBody&) = delete;
    TixMessageBody& operator=(const TixMessageBody&) = delete;

    // Class name used by the stored form.
    virtual const char* ClassName() const = 0;

    TixMessageBodies& Owner() const { return *owner_; }
    // The message whose settings apply (the outermost one for nested parts).
    TixMailMessage* Message() const;

    virtual void Assign(const TixMessageBody& source);

    const std::string& ContentType() const { return contentType_; }
    virtual void SetContentType(const std::string& value);
    TixEncodeMethod Encoding() const { return encoding_; }
    void SetEncoding(TixEncodeMethod value);
    const std::string& ContentDisposition() const { return contentDisposition_; }
    void SetContentDisposition(const std::string& value);
    TixStringList& ExtraFields() { return extraFields_; }
    const TixStringList& ExtraFields() const { return extraFields_; }
    TixStringList& RawHeader() { return rawHeader_; }
    const TixStringList& RawHeader() const { return rawHeader_; }
    const TixStringList& KnownFields() const { return knownFields_; }
    int EncodedSize() const { return encodedSize_; }
    int EncodedLines() const { return encodedLines_; }
    int EncodedStart() const { return encodedStart_; }
    int HeaderStart() const { return headerStart_; }
    void SetEncodedStart(int value) { encodedStart_ = value; }
    void SetHeaderStart(int value) { headerStart_ = value; }

    virtual bool RecordsEncodedSize() const { return true; }
    // The transfer encoding the part is written with and read by.
    virtual TixEncodeMethod GetEncoding() const;
    // Writes the part's header fields into header (parsed at the place they go).
    virtual void BuildHeader(TixMailHeaderFieldList& header) = 0;
    // Reads the part's values from its header.
    virtual void ParseHeader(const TixMailHeaderFieldList& header);
    // The unencoded data for writing; null when there is none.
    virtual std::unique_ptr<TixStream> GetSourceStream() = 0;
    // Where decoded data goes when reading; null skips the data.
    virtual std::unique_ptr<TixStream> GetDestinationStream() = 0;
    virtual void DataAdded(TixStream& data);
    virtual void DecodeData(TixStream& source, TixStream& destination);
    virtual void EncodeData(TixStream& source, TixStream& destination);
    virtual void ChooseEncoding();
    // The encoding the encoder prefers for the part's data; cmNone without data.
    TixEncodeMethod PreferredEncoding();
    virtual void Clear();

    // Called by the parser with a part's encoded bytes (without the line break that ends them)
    // and their size with it.
    void FinishRead(TixStream& encoded, int lineCount, std::int64_t encodedSize);
    // The encoded data for writing, rewound (empty when the part has no data).
    std::unique_ptr<TixMemoryStream> EncodedData();
    // Name of a transfer encoding in a Content-Transfer-Encoding field ("" for uuencode).
    static const char* EncodingName(TixEncodeMethod method);

protected:
    explicit TixMessageBody(TixMessageBodies& owner);
    virtual void InitBody() {}
    virtual void RegisterKnownFields();
    // Fills ExtraFields with the fields of the header that are not among KnownFields.
    void FillExtraFields(const TixMailHeaderFieldList& header);
    void Changed();
    bool Parsing() const;
    std::string FallbackCharSet() const;

    friend class TixMessageBodies;
    friend class TixMailMessage;

    TixMessageBodies* owner_;
    std::string contentType_;
    TixEncodeMethod encoding_ = cmNone;
    std::unique_ptr<TixEncoder> encoder_;
    std::string contentDisposition_;
    TixStringList extraFields_;
    TixStringList knownFields_;
    TixStringList rawHeader_;
    int encodedSize_ = 0;
    int encodedLines_ = 0;
    int encodedStart_ = 0;
    int headerStart_ = 0;
};

class TixTextBody : public TixMessageBody {
public:
    const char* ClassName() const override { return "TixTextBody"; }
    void Assign(const TixMessageBody& source) override;
    const std::string& CharSet() const { return charSet_; }
    void SetCharSet(const std::string& value);
    TixStringList& Strings() { return strings_; }
    const TixStringList& Strings() const { return strings_; }
    void SetText(std::string_view text) { strings_.SetText(text); }
    // The part's own charset in a multipart message, else the message's.
    std::string EffectiveCharSet() const;
    // The charset written: the effective one when it holds every character of the text, else utf-8.
    std::string WriteCharSet() const;

    void BuildHeader(TixMailHeaderFieldList& header) override;
    void ParseHeader(const TixMailHeaderFieldList& header) override;
    std::unique_ptr<TixStream> GetSourceStream() override;
    std::unique_ptr<TixStream> GetDestinationStream() override;
    void DataAdded(TixStream& data) override;
    void Clear() override;

protected:
    using TixMessageBody::TixMessageBody;
    void InitBody() override;
    friend class TixMessageBodies;
    friend class TixMailMessage;

    std::string charSet_;
    TixStringList strings_;
};

class TixAttachmentBody : public TixMessageBody {
public:
    const char* ClassName() const override { return "TixAttachmentBody"; }
    void Assign(const TixMessageBody& source) override;
    const std::string& ContentID() const { return contentId_; }
    void SetContentID(const std::string& value);
    const std::string& FileName() const { return fileName_; }
    virtual void SetFileName(const std::string& value);

    TixEncodeMethod GetEncoding() const override;
    void BuildHeader(TixMailHeaderFieldList& header) override;
    void ParseHeader(const TixMailHeaderFieldList& header) override;
    std::unique_ptr<TixStream> GetSourceStream() override;
    std::unique_ptr<TixStream> GetDestinationStream() override;
    void DataAdded(TixStream& data) override;
    void ChooseEncoding() override;
    void Clear() override;

protected:
    using TixMessageBody::TixMessageBody;
    void RegisterKnownFields() override;
    // Writes name/filename items (and their RFC 2231 forms when asked or needed).
    void AddNameItem(TixMailHeaderFieldList& header, std::string_view field, std::string_view item,
                     bool extensions);
    friend class TixMessageBodies;
    friend class TixMailMessage;

    std::string contentId_;
    std::string fileName_;
    bool choosingEncoding_ = false;
};

class TixImageBody : public TixAttachmentBody {
public:
    const char* ClassName() const override { return "TixImageBody"; }
    void SetFileName(const std::string& value) override;
    void BuildHeader(TixMailHeaderFieldList& header) override;
    void ParseHeader(const TixMailHeaderFieldList& header) override;
    void Clear() override;

protected:
    using TixAttachmentBody::TixAttachmentBody;
    friend class TixMessageBodies;
};

class TixMultipartBody : public TixMessageBody {
public:
    ~TixMultipartBody() override;
    const char* ClassName() const override { return "TixMultipartBody"; }
    void Assign(const TixMessageBody& source) override;
    void SetContentType(const std::string& value) override;
    const std::string& ContentSubType() const { return contentSubType_; }
    void SetContentSubType(const std::string& value);
    TixMailMessage& NestedMessage() const { return *nested_; }
    TixMessageBodies& Bodies() const;
    const std::string& Boundary() const;
    void SetBoundary(const std::string& value);

    bool RecordsEncodedSize() const override { return false; }
    void BuildHeader(TixMailHeaderFieldList& header) override;
    void ParseHeader(const TixMailHeaderFieldList& header) override;
    std::unique_ptr<TixStream> GetSourceStream() override;
    std::unique_ptr<TixStream> GetDestinationStream() override;
    void DataAdded(TixStream& data) override;
    void Clear() override;

protected:
    using TixMessageBody::TixMessageBody;
    void InitBody() override;
    friend class TixMessageBodies;
    friend class TixMailMessage;

    std::unique_ptr<TixMailMessage> nested_;
    std::string contentSubType_;
};

class TixMessageBodies : public TixObject {
public:
    explicit TixMessageBodies(TixMailMessage* message);
    ~TixMessageBodies() override;
    TixMessageBodies(const TixMessageBodies&) = delete;
    TixMessageBodies& operator=(const TixMessageBodies&) = delete;

    TixMailMessage* Message() const { return message_; }
    // Nested lists use the settings and events of the outer message.
    void SetMessage(TixMailMessage* message) { message_ = message; }

    int Count() const { return static_cast<int>(items_.size()); }
    TixMessageBody& Items(int index) const;
    TixMessageBody& operator[](int index) const { return Items(index); }

    // Creates a part of class T at the end of the list (InitBody, then Clear).
    template <class T>
    T& Add() {
        auto* body = new T(*this);
        Adopt(std::unique_ptr<TixMessageBody>(body));
        return *body;
    }
    TixTextBody& AddText(std::string_view text);
    TixTextBody& AddHtml(std::string_view text);
    TixMultipartBody& AddMultipart();
    TixAttachmentBody& AddAttachment(const std::string& fileName);
    TixImageBody& AddImage(const std::string& fileName);
    // A new part of the class the stored form names; null for an unknown name.
    TixMessageBody* AddByClassName(std::string_view className);

    void Delete(int index);
    void Move(int from, int to);
    void Clear();
    void Assign(const TixMessageBodies& source);

    // The stored form: a line-based text (see the implementation) that LoadFromStream reads back.
    void SaveToStream(TixStream& stream) const;
    void LoadFromStream(TixStream& stream);

private:
    void Adopt(std::unique_ptr<TixMessageBody> body);
    void Changed();

    TixMailMessage* message_;
    std::vector<std::unique_ptr<TixMessageBody>> items_;
};

}  // namespace ix
