#pragma once
// Header values that need a character set: RFC 2047 encoded words ("=?charset?Q?...?=" and "B"),
// RFC 2231 parameter values (name*=charset''%xx..., numbered continuations), and addresses whose
// display names carry such words. Local text is UTF-8: decoding always yields UTF-8, encoding writes
// the bytes of CharSet, or of utf-8 when CharSet cannot hold the text.
// Nothing here throws apart from out-of-memory. Decoders accept hostile input: a malformed encoded
// word is copied as it stands, run time is linear in the input and memory bounded by it.

#include <cstdint>
#include <string>
#include <string_view>

#include "mail/ixEmailAddress.h"
#include "mail/ixHeaderFieldList.h"
#include "text/ixEncoder.h"
#include "text/ixPercentEncoder.h"

namespace ix {

// Percent escapes for RFC 2231 parameter values. Only attribute-chars (letters, digits and
// ! # $ & + - . ^ _ ` { | } ~) stay as they are; every other byte is escaped.
class TixRfc2231HeaderEncoder : public TixPercentEncoder {
public:
    TixRfc2231HeaderEncoder() = default;

    const std::string& Language() const { return language_; }
    void SetLanguage(std::string value) { language_ = std::move(value); }
    const std::string& CharSet() const { return charSet_; }
    void SetCharSet(std::string value) { charSet_ = std::move(value); }

    bool IsEscapeNeeded(std::uint8_t symbol) override;

    // "charset'language'text": stores CharSet and Language and returns the text. Without two
    // apostrophes both are emptied and the whole value is the text.
    virtual std::string SplitValue(std::string_view value);
    // CharSet, "'", Language, "'", text.
    virtual std::string JoinValue(std::string_view text) const;

    // Local text to a complete value: the charset (utf-8 when CharSet is empty, unknown or cannot
    // hold the text; the one used is stored in CharSet), "'", Language, "'", escaped bytes.
    std::string EncodeValue(std::string_view text);
    // A complete value (or bare escaped text) back to local text; stores CharSet and Language.
    std::string DecodeValue(std::string_view value);

private:
    std::string language_;
    std::string charSet_;
};

class TixMailHeaderFieldList : public TixHeaderFieldList {
public:
    TixMailHeaderFieldList();
    TixMailHeaderFieldList(std::string charSet, int charsPerLine, TixEncodeMethod headerEncoding);

    // Charset of outgoing text and of unencoded 8-bit text read from a header.
    const std::string& CharSet() const { return charSet_; }
    void SetCharSet(std::string value) { charSet_ = std::move(value); }
    // cmNone chooses per text, cmQuotedPrintable writes "Q", cmBase64 "B"; cmUUEncode and cm8Bit
    // write text as given, without encoded words.
    TixEncodeMethod HeaderEncoding() const { return headerEncoding_; }
    void SetHeaderEncoding(TixEncodeMethod value) { headerEncoding_ = value; }

    // "subject": the unfolded value as it stands. Address fields (from, to, cc, ...): unfolded with
    // a "," added where a line ending in ">" is continued without one, then trimmed. Others: as
    // the base list does.
    std::string GetFieldValue(int index) const override;
    using TixHeaderFieldList::GetFieldValue;

    // Writers; every one parses the list again afterwards. An empty value adds nothing.
    void AddEncodedField(std::string_view name, std::string_view value);
    void AddEncodedEmail(std::string_view name, std::string_view address);
    // One address per line, separated by ",".
    void AddEncodedEmailList(std::string_view name, const TixEmailAddressList& list);
    // Adds itemName=value below the field. An item name ending in "*" writes the RFC 2231 form
    // (numbered continuations when the value does not fit one line); otherwise a quoted value,
    // encoded words inside when needed. Nothing happens for an unknown field or an empty value.
    void AddEncodedFieldItem(std::string_view fieldName, std::string_view itemName, std::string_view value);

    // Readers; all results are UTF-8.
    std::string GetDecodedFieldValue(std::string_view name) const;
    // The address with its display name decoded (name quoted again where it needs it).
    std::string GetDecodedEmail(std::string_view name) const;
    // Clears list, then adds every address of the field, display names decoded.
    void GetDecodedEmailList(std::string_view name, TixEmailAddressList& list) const;
    // An item of value. An item name ending in "*" reads the RFC 2231 forms (name*=, or the
    // continuations name*0, name*0*, name*1*, ...); otherwise encoded words in it are decoded.
    std::string GetDecodedFieldValueItem(std::string_view value, std::string_view itemName) const;
    // A parameter that is a token, such as charset or boundary: its RFC 2231 form when there is
    // one, else the plain item as written (no encoded words are read in it).
    std::string GetParameter(std::string_view value, std::string_view itemName) const;

    // Class-level encoders and decoder.

    // text in charSet (utf-8 when it cannot hold the text) as one encoded word; with encoding
    // cmNone the method is chosen and reported back. Returns the text as given when the method
    // has no encoded-word letter.
    static std::string EncodeWord(std::string_view text, std::string_view charSet, TixEncodeMethod& encoding);
    // text as encoded words of at most room (and at most 75) characters each, joined by CR LF,
    // never splitting a character; plain text that needs no encoding and fits the room stays as it
    // is. An empty text, cmUUEncode and cm8Bit return the text unchanged.
    static std::string EncodeText(std::string_view text, std::string_view charSet, int room,
                                  TixEncodeMethod encoding);
    // An address with its display name encoded; the address moves whole to a new line (CR LF
    // before "<") when it does not fit the room left. Text without a display name is unchanged.
    static std::string EncodeEmail(std::string_view text, std::string_view charSet, int room,
                                   TixEncodeMethod encoding);
    // Decodes every well-formed encoded word; white space between two adjacent words is dropped.
    // Text outside words that is not valid UTF-8 is translated from fallbackCharSet.
    static std::string DecodeText(std::string_view text, std::string_view fallbackCharSet);
    // The charset text is written in: charSet when it is known and holds every character of the
    // text, else utf-8.
    static std::string WritingCharSet(std::string_view text, std::string_view charSet);

protected:
    std::string_view GetQuoteChars() const override;

private:
    static bool IsAddressField(std::string_view lowerName);
    std::string DecodeAddress(std::string_view text) const;
    std::string DecodeContinuations(std::string_view value, std::string_view itemName) const;
    void InsertItemLines(int fieldIndex, std::string_view itemText);
    void InsertValueLines(std::string_view firstLine, std::string_view rest);

    std::string charSet_;
    TixEncodeMethod headerEncoding_ = cmNone;
    // Set only while an RFC 2231 item is being read: apostrophes then separate, not quote.
    mutable bool rfc2231Mode_ = false;
};

}  // namespace ix
