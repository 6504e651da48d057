#pragma once
// The mail message component: header properties, the list of body parts, parsing of a message
// given as text lines (LoadMessage, LoadHeader) and building of its complete text (MessageSource).
// Text is UTF-8; header text is decoded from RFC 2047/2231 when read and encoded when written.
// Parsing never throws on malformed input, except transfer-decoding failures with ErrorProcessing
// meStop (EixEncoderError). The command clients hold a weak link to a message (their MailMessage
// property), so it is a component: it tells them when it goes away.

#include <memory>
#include <string>
#include <string_view>

#include "base/ixComponent.h"
#include "base/ixDateTime.h"
#include "base/ixStringList.h"
#include "mail/ixEmailAddress.h"
#include "mail/ixMailDkimLink.h"
#include "mail/ixMessageBodies.h"
#include "text/ixEncoder.h"

namespace ix {

enum TixMessagePriority : int { mpLow, mpNormal, mpHigh };
enum TixMessageFormat : int { mfNone, mfMIME, mfUUencode };
enum TixMessageErrorProcessing : int { meExtractMaximumData, meIgnore, meStop };

class TixMailMessage : public TixComponent {
public:
    explicit TixMailMessage(TixComponent* owner = nullptr);
    ~TixMailMessage() override;

    // Parts nested deeper than this are kept as opaque attachments.
    static constexpr int cMaxNestingDepth = 64;

    TixMessageBodies& Bodies() { return *bodies_; }
    const TixMessageBodies& Bodies() const { return *bodies_; }
    void SetBodies(const TixMessageBodies& value);
    const std::string& Subject() const { return subject_; }
    void SetSubject(const std::string& value) { SetProperty(subject_, value); }
    // Changes inside From and the address lists do not notify; assigning a whole list does.
    TixEmailAddressItem& From() { return from_; }
    const TixEmailAddressItem& From() const { return from_; }
    TixEmailAddressList& ToList() { return toList_; }
    const TixEmailAddressList& ToList() const { return toList_; }
    void SetToList(const TixEmailAddressList& value);
    TixEmailAddressList& CCList() { return ccList_; }
    const TixEmailAddressList& CCList() const { return ccList_; }
    void SetCCList(const TixEmailAddressList& value);
    TixEmailAddressList& BCCList() { return bccList_; }
    const TixEmailAddressList& BCCList() const { return bccList_; }
    void SetBCCList(const TixEmailAddressList& value);
    TixMessagePriority Priority() const { return priority_; }
    void SetPriority(TixMessagePriority value) { SetProperty(priority_, value); }
    TixDateTime Date() const { return date_; }
    void SetDate(TixDateTime value) { SetProperty(date_, value); }
    const std::string& CharSet() const { return charSet_; }
    void SetCharSet(const std::string& value);
    const std::string& ContentType() const { return contentType_; }
    void SetContentType(const std::string& value) { SetProperty(contentType_, value); }
    const std::string& ContentSubType() const { return contentSubType_; }
    void SetContentSubType(const std::string& value) { SetProperty(contentSubType_, value); }
    const std::string& ContentDisposition() const { return contentDisposition_; }
    void SetContentDisposition(const std::string& value) { SetProperty(contentDisposition_, value); }
    TixMessageFormat MessageFormat() const { return messageFormat_; }
    void SetMessageFormat(TixMessageFormat value) { SetProperty(messageFormat_, value); }
    TixEncodeMethod Encoding() const { return encoding_; }
    void SetEncoding(TixEncodeMethod value) { SetProperty(encoding_, value); }
    TixEncodeMethod HeaderEncoding() const { return headerEncoding_; }
    void SetHeaderEncoding(TixEncodeMethod value) { SetProperty(headerEncoding_, value); }
    const std::string& MimeOLE() const { return mimeOle_; }
    void SetMimeOLE(const std::string& value) { SetProperty(mimeOle_, value); }
    const std::string& Mailer() const { return mailer_; }
    void SetMailer(const std::string& value) { SetProperty(mailer_, value); }
    const std::string& ReplyTo() const { return replyTo_; }
    void SetReplyTo(const std::string& value) { SetProperty(replyTo_, value); }
    TixStringList& References() { return references_; }
    const TixStringList& References() const { return references_; }
    void SetReferences(const TixStringList& value) { references_.Assign(value); }
    TixStringList& NewsGroups() { return newsGroups_; }
    const TixStringList& NewsGroups() const { return newsGroups_; }
    void SetNewsGroups(const TixStringList& value) { newsGroups_.Assign(value); }
    TixStringList& ExtraFields() { return extraFields_; }
    const TixStringList& ExtraFields() const { return extraFields_; }
    void SetExtraFields(const TixStringList& value) { extraFields_.Assign(value); }
    const std::string& ReadReceiptTo() const { return readReceiptTo_; }
    void SetReadReceiptTo(const std::string& value) { SetProperty(readReceiptTo_, value); }
    const std::string& MessageID() const { return messageId_; }
    void SetMessageID(const std::string& value) { SetProperty(messageId_, value); }
    const std::string& InReplyTo() const { return inReplyTo_; }
    void SetInReplyTo(const std::string& value) { SetProperty(inReplyTo_, value); }
    const std::string& ListUnsubscribe() const { return listUnsubscribe_; }
    void SetListUnsubscribe(const std::string& value) { SetProperty(listUnsubscribe_, value); }
    int CharsPerLine() const { return charsPerLine_; }
    void SetCharsPerLine(int value) { SetProperty(charsPerLine_, value); }
    bool AllowESC() const { return allowEsc_; }
    void SetAllowESC(bool value) { SetProperty(allowEsc_, value); }
    bool UseHeaderEncodingExtensions() const { return useHeaderEncodingExtensions_; }
    void SetUseHeaderEncodingExtensions(bool value) { SetProperty(useHeaderEncodingExtensions_, value); }
    TixMessageErrorProcessing ErrorProcessing() const { return errorProcessing_; }
    void SetErrorProcessing(TixMessageErrorProcessing value) { SetProperty(errorProcessing_, value); }
    TixMailDkimLink* Dkim() const { return dkim_; }
    void SetDkim(TixMailDkimLink* value) { SetLink(dkim_, value); }

    const std::string& Boundary() const { return boundary_; }
    void SetBoundary(const std::string& value) { boundary_ = value; }
    const TixStringList& RawHeader() const { return rawHeader_; }
    const TixStringList& KnownFields() const { return knownFields_; }

    TixGetBodyStreamEvent OnSaveAttachment;
    TixGetBodyStreamEvent OnLoadAttachment;
    TixAttachmentSavedEvent OnAttachmentSaved;
    TixBodyDataAddedEvent OnDataAdded;
    TixBodyEncodingProgress OnEncodingProgress;

    // Parses a whole message (one line per entry, no line ends); notifies once at the end.
    void LoadMessage(const TixStringList& lines);
    // Parses only the header.
    void LoadHeader(const TixStringList& lines);
    void BuildMessage(const std::string& text, const std::string& html);
    void BuildMessage(const std::string& text, const std::string& html, const TixStringList& attachments,
                      const TixStringList& images);
    // The complete message, built on first use after a change.
    const TixStringList& MessageSource();
    // The readable text: the first HTML part, else the plain text parts, else all text parts.
    const TixStringList& MessageText();
    void GenerateBoundary();
    bool IsMultipart() const;
    bool IsParsing() const { return parsingCount_ > 0; }
    void BeginUpdate() { ++updateCount_; }
    void EndUpdate();

    virtual void Clear();

    // Raisers of the part events (called by the parts).
    virtual void DoSaveAttachment(TixMessageBody* body, std::string& fileName,
                                  std::unique_ptr<TixStream>& data, bool& handled);
    virtual void DoLoadAttachment(TixMessageBody* body, std::string& fileName,
                                  std::unique_ptr<TixStream>& data, bool& handled);
    virtual void DoAttachmentSaved(TixMessageBody* body, const std::string& fileName, TixStream& data);
    virtual void DoDataAdded(TixMessageBody* body, TixStream& data);
    virtual void DoEncodingProgress(TixMessageBody* body, std::int64_t done, std::int64_t total);
    // Notifies OnChanged unless held back, loading or being destroyed; discards the built text.
    void DoChanged() override;

    // Writes the parts as lines (boundaries included) after the header; returns the line count.
    int WriteBodies(TixStringList& lines);

protected:
    void Notification(TixComponent* component, TixOperation operation) override;
    virtual void ResetForLoad();
    // The class of a part read from a multipart message.
    virtual TixMessageBody& CreateBody(TixMessageBodies& bodies, std::string_view contentType,
                                       std::string_view disposition, int depth);
    virtual void ReadContentFields(const TixMailHeaderFieldList& header);
    virtual void WriteContentFields(TixMailHeaderFieldList& header);
    virtual void RegisterKnownFields();

private:
    friend class TixMultipartBody;
    // LoadMessage and LoadHeader: notifications held back, the parsing flag set meanwhile.
    void Parse(const TixStringList& lines, bool headerOnly);
    void ParseHeaderLines(const TixStringList& lines);
    void ParseBodies(const TixStringList& lines, int headerEnd);
    void ParseSinglePart(const TixStringList& lines, int headerEnd);
    // Reads the parts between lines [from, to) delimited by boundary into bodies.
    // In a multipart/digest (digest true) a part without a type is a message/rfc822.
    void ParseMultipart(const TixStringList& lines, int from, int to, const std::string& boundary,
                        TixMessageBodies& bodies, int depth, bool digest);
    void StartPart(TixMessageBody& body, const TixStringList& lines, const TixMailHeaderFieldList& header,
                   int headerStart, int headerEnd);
    void BuildHeaderLines(TixStringList& lines, int& linesPlace);
    void WriteBodyList(TixMessageBodies& bodies, const std::string& boundary, TixStringList& lines);
    void AddAlternative(TixMessageBodies& bodies, const std::string& text, const std::string& html,
                        std::string& type);
    std::string HeaderCharSet() const;
    TixEncodeMethod EffectiveHeaderEncoding() const;

    std::unique_ptr<TixMessageBodies> bodies_;
    std::string subject_;
    TixEmailAddressItem from_;
    TixEmailAddressList toList_, ccList_, bccList_;
    TixMessagePriority priority_ = mpNormal;
    TixDateTime date_ = 0;
    std::string charSet_ = "iso-8859-1";
    std::string contentType_ = "text/plain";
    std::string contentSubType_;
    std::string contentDisposition_;
    TixMessageFormat messageFormat_ = mfNone;
    TixEncodeMethod encoding_ = cmNone;
    TixEncodeMethod headerEncoding_ = cmNone;
    std::string mimeOle_, mailer_, replyTo_;
    TixStringList references_, newsGroups_, extraFields_;
    std::string readReceiptTo_, messageId_, inReplyTo_, listUnsubscribe_;
    int charsPerLine_ = 76;
    bool allowEsc_ = false;
    bool useHeaderEncodingExtensions_ = false;
    TixMessageErrorProcessing errorProcessing_ = meExtractMaximumData;
    TixMailDkimLink* dkim_ = nullptr;

    std::string boundary_;
    TixStringList rawHeader_;
    TixStringList knownFields_;
    int updateCount_ = 0;
    int parsingCount_ = 0;
    bool destroying_ = false;
    TixStringList messageSource_;
    TixStringList messageText_;
    bool textBuilt_ = false;
};

}  // namespace ix
