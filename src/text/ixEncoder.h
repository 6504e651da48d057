#pragma once
// Content transfer encodings (quoted-printable, base64, uuencode) and the pass-through 7bit/8bit
// methods, stream to stream, with byte-array and text wrappers (text converted with CharSet).
// Every stream operation reads from the source's position to its end and writes at the
// destination's position. Raises EixEncoderError: -1 for a method outside the enumeration, -2 for a
// bad base64 symbol with epStop. Quoted-printable and uuencode decoding never raise. Progress goes
// to OnProgress synchronously. One thread at a time per instance.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/ixComponent.h"
#include "base/ixError.h"
#include "base/ixStream.h"
#include "base/ixTypes.h"

namespace ix {

// Unscoped so both cmBase64 and TixEncodeMethod::cmBase64 read naturally.
enum TixEncodeMethod : int { cmNone, cmQuotedPrintable, cmBase64, cmUUEncode, cm8Bit };
enum TixEncodeErrorProcessing : int { epStop, epContinue };

inline constexpr int cEncoderUnsupportedFormatCode = -1;
inline constexpr int cEncoderWrongSymbolsCode = -2;
inline constexpr const char* cEncoderUnsupportedFormat = "Unsupported format.";
inline constexpr const char* cEncoderWrongSymbols = "Wrong symbols in source stream.";

class EixEncoderError : public EixCodedError {
public:
    using EixCodedError::EixCodedError;
};

class TixEncoder : public TixComponent {
public:
    explicit TixEncoder(TixComponent* owner = nullptr);

    // Plain fields: setters store without notification.
    int CharsPerLine() const { return charsPerLine_; }
    void SetCharsPerLine(int value) { charsPerLine_ = value; }
    TixEncodeMethod EncodeMethod() const { return encodeMethod_; }
    void SetEncodeMethod(TixEncodeMethod value) { encodeMethod_ = value; }
    // One unbroken line: no line breaks, no soft breaks, no uuencode end line.
    bool SuppressCrlf() const { return suppressCrlf_; }
    void SetSuppressCrlf(bool value) { suppressCrlf_ = value; }
    // Bytes per step of the base64 decoder; values below 1 count as 1.
    int BatchSize() const { return batchSize_; }
    void SetBatchSize(int value) { batchSize_ = value; }
    // GetPreferredEncoding treats ESC (27) as text.
    bool AllowESC() const { return allowEsc_; }
    void SetAllowESC(bool value) { allowEsc_ = value; }
    const std::string& CharSet() const { return charSet_; }
    void SetCharSet(std::string value) { charSet_ = std::move(value); }
    TixEncodeErrorProcessing ErrorProcessing() const { return errorProcessing_; }
    void SetErrorProcessing(TixEncodeErrorProcessing value) { errorProcessing_ = value; }
    // Set when an epContinue base64 decode stopped at a bad symbol; cleared when one starts.
    bool DecodeFailed() const { return decodeFailed_; }

    TixProgressEvent OnProgress;

    void Encode(TixStream& source, TixStream& destination);
    void Decode(TixStream& source, TixStream& destination);
    std::string Encode(TixStream& source);
    // count is cut so that index + count stays inside the array.
    std::string Encode(const TixByteArray& bytes, int index, int count);
    std::string Encode(const TixByteArray& bytes);
    std::string Encode(std::string_view text);
    void Decode(std::string_view text, TixStream& destination);
    std::string Decode(std::string_view text);
    TixByteArray DecodeToBytes(std::string_view text);

    // cmNone, cmQuotedPrintable or cmBase64 for the bytes from the stream's position; the position
    // is restored.
    TixEncodeMethod GetPreferredEncoding(TixStream& source);
    // The effective line length for the current method.
    int GetCharsPerLine() const;

    // Temporary encoders with default settings and the given method.
    static std::string EncodeBytes(const TixByteArray& bytes, TixEncodeMethod method);         // one line
    static std::string EncodeBytesWrapped(const TixByteArray& bytes, TixEncodeMethod method);  // with breaks
    static std::string EncodeString(std::string_view text, TixEncodeMethod method);            // one line
    static std::string DecodeString(std::string_view text, TixEncodeMethod method);
    static TixByteArray DecodeBytes(std::string_view text, TixEncodeMethod method);

protected:
    virtual void DoProgress(std::int64_t ABytesProceed, std::int64_t ATotalBytes);

private:
    void CopyStream(TixStream& source, TixStream& destination, std::int64_t size);
    void Base64Encode(TixStream& source, TixStream& destination, std::int64_t size);
    void Base64Decode(TixStream& source, TixStream& destination, std::int64_t size);
    void QuotedPrintableEncode(TixStream& source, TixStream& destination, std::int64_t size);
    void QuotedPrintableDecode(TixStream& source, TixStream& destination, std::int64_t size);
    void UUEncode(TixStream& source, TixStream& destination, std::int64_t size);
    void UUDecode(TixStream& source, TixStream& destination, std::int64_t size);
    std::string EncodeBuffer(const std::uint8_t* data, std::size_t size);
    void DecodeBuffer(const std::uint8_t* data, std::size_t size, TixStream& destination);

    int charsPerLine_ = 76;
    TixEncodeMethod encodeMethod_ = cmBase64;
    bool suppressCrlf_ = false;
    int batchSize_ = 8192;
    bool allowEsc_ = false;
    std::string charSet_;
    TixEncodeErrorProcessing errorProcessing_ = epStop;
    bool decodeFailed_ = false;
};

}  // namespace ix
