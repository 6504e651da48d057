#include "text/ixEncoder.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <vector>

#include "base/ixStream.h"
#include "text/ixTranslator.h"

namespace ix {

namespace {

constexpr char cBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char cHexDigits[] = "0123456789ABCDEF";

// 0..63 for alphabet symbols, cSkip for what the decoder passes over, cBad for the rest.
constexpr std::uint8_t cSkip = 0xFE;
constexpr std::uint8_t cBad = 0xFF;

constexpr std::array<std::uint8_t, 256> MakeBase64Table() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table)
        entry = cBad;
    for (int i = 0; i < 64; ++i)
        table[static_cast<std::uint8_t>(cBase64Alphabet[i])] = static_cast<std::uint8_t>(i);
    table['\n'] = table['\r'] = table[' '] = table['='] = cSkip;
    return table;
}
constexpr std::array<std::uint8_t, 256> cBase64Values = MakeBase64Table();

int HexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

char UuChar(unsigned value) {
    value &= 63;
    return value == 0 ? '`' : static_cast<char>(value + 32);
}

std::vector<std::uint8_t> ReadAll(TixStream& source, std::int64_t size) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
    if (size > 0) source.ReadBuffer(data.data(), data.size());
    return data;
}

void WriteText(TixStream& destination, const std::string& text) {
    if (!text.empty()) destination.WriteBuffer(text.data(), text.size());
}

// Buffered small writes: quoted-printable produces a few bytes per input byte.
class TixOutputBuffer {
public:
    explicit TixOutputBuffer(TixStream& destination) : destination_(destination) {
        buffer_.reserve(cFlushAt + 8);
    }
    ~TixOutputBuffer() = default;
    void Put(char c) {
        buffer_.push_back(c);
        if (buffer_.size() >= cFlushAt) Flush();
    }
    void Put(const char* text, std::size_t size) {
        buffer_.append(text, size);
        if (buffer_.size() >= cFlushAt) Flush();
    }
    void Flush() {
        WriteText(destination_, buffer_);
        buffer_.clear();
    }

private:
    static constexpr std::size_t cFlushAt = 65536;
    TixStream& destination_;
    std::string buffer_;
};

}  // namespace

TixEncoder::TixEncoder(TixComponent* owner) : TixComponent(owner) {}

void TixEncoder::DoProgress(std::int64_t ABytesProceed, std::int64_t ATotalBytes) {
    if (OnProgress) OnProgress(this, ABytesProceed, ATotalBytes);
}

int TixEncoder::GetCharsPerLine() const {
    int c = charsPerLine_;
    switch (encodeMethod_) {
        case cmQuotedPrintable:
            return std::clamp(c, 4, 132);
        case cmBase64:
            if (c < 64) return 64;
            // A multiple of 4 so that every line but the last holds whole groups.
            return 4 * static_cast<int>(std::min(std::nearbyint(c / 4.0 + 0.25), double(INT_MAX / 4)));
        case cmUUEncode:
            return std::clamp(c, 3, 132);
        default:
            return c < 1 ? 76 : c;
    }
}

// ---- Dispatch ----

void TixEncoder::Encode(TixStream& source, TixStream& destination) {
    if (encodeMethod_ < cmNone || encodeMethod_ > cm8Bit)
        throw EixEncoderError(cEncoderUnsupportedFormat, cEncoderUnsupportedFormatCode);
    std::int64_t size = source.Remaining();
    if (size <= 0) return;
    switch (encodeMethod_) {
        case cmQuotedPrintable:
            QuotedPrintableEncode(source, destination, size);
            break;
        case cmBase64:
            Base64Encode(source, destination, size);
            break;
        case cmUUEncode:
            UUEncode(source, destination, size);
            break;
        default:
            CopyStream(source, destination, size);
    }
}

void TixEncoder::Decode(TixStream& source, TixStream& destination) {
    if (encodeMethod_ < cmNone || encodeMethod_ > cm8Bit)
        throw EixEncoderError(cEncoderUnsupportedFormat, cEncoderUnsupportedFormatCode);
    std::int64_t size = source.Remaining();
    if (size <= 0) return;
    switch (encodeMethod_) {
        case cmQuotedPrintable:
            QuotedPrintableDecode(source, destination, size);
            break;
        case cmBase64:
            Base64Decode(source, destination, size);
            break;
        case cmUUEncode:
            UUDecode(source, destination, size);
            break;
        default:
            CopyStream(source, destination, size);
    }
}

std::string TixEncoder::Encode(TixStream& source) {
    TixMemoryStream output;
    Encode(source, output);
    if (output.Size() == 0) return {};
    return TixTranslator::ToLocal(output.View(), charSet_);
}

std::string TixEncoder::Encode(const TixByteArray& bytes, int index, int count) {
    if (bytes.empty() || index < 0 || count <= 0 || static_cast<std::size_t>(index) >= bytes.size())
        return {};
    std::size_t available = bytes.size() - static_cast<std::size_t>(index);
    std::size_t taken = std::min(available, static_cast<std::size_t>(count));
    TixMemoryStream input;
    input.WriteBuffer(bytes.data() + index, taken);
    input.SetPosition(0);
    return Encode(input);
}

std::string TixEncoder::Encode(const TixByteArray& bytes) {
    return Encode(bytes, 0, static_cast<int>(bytes.size()));
}

std::string TixEncoder::Encode(std::string_view text) {
    std::string bytes = TixTranslator::FromLocal(text, charSet_);
    TixMemoryStream input;
    if (!bytes.empty()) input.WriteBuffer(bytes.data(), bytes.size());
    input.SetPosition(0);
    return Encode(input);
}

void TixEncoder::Decode(std::string_view text, TixStream& destination) {
    std::string bytes = TixTranslator::FromLocal(text, charSet_);
    TixMemoryStream input;
    if (!bytes.empty()) input.WriteBuffer(bytes.data(), bytes.size());
    input.SetPosition(0);
    Decode(input, destination);
}

std::string TixEncoder::Decode(std::string_view text) {
    TixMemoryStream output;
    Decode(text, output);
    if (output.Size() == 0) return {};
    return TixTranslator::ToLocal(output.View(), charSet_);
}

TixByteArray TixEncoder::DecodeToBytes(std::string_view text) {
    TixMemoryStream output;
    Decode(text, output);
    std::string_view view = output.View();
    return TixByteArray(view.begin(), view.end());
}

// ---- Shortcuts ----

std::string TixEncoder::EncodeBytes(const TixByteArray& bytes, TixEncodeMethod method) {
    TixEncoder encoder;
    encoder.SetEncodeMethod(method);
    encoder.SetSuppressCrlf(true);
    return encoder.Encode(bytes);
}

std::string TixEncoder::EncodeBytesWrapped(const TixByteArray& bytes, TixEncodeMethod method) {
    TixEncoder encoder;
    encoder.SetEncodeMethod(method);
    return encoder.Encode(bytes);
}

std::string TixEncoder::EncodeString(std::string_view text, TixEncodeMethod method) {
    TixEncoder encoder;
    encoder.SetEncodeMethod(method);
    encoder.SetSuppressCrlf(true);
    return encoder.Encode(text);
}

std::string TixEncoder::DecodeString(std::string_view text, TixEncodeMethod method) {
    TixEncoder encoder;
    encoder.SetEncodeMethod(method);
    return encoder.Decode(text);
}

TixByteArray TixEncoder::DecodeBytes(std::string_view text, TixEncodeMethod method) {
    TixEncoder encoder;
    encoder.SetEncodeMethod(method);
    return encoder.DecodeToBytes(text);
}

// ---- Copy ----

void TixEncoder::CopyStream(TixStream& source, TixStream& destination, std::int64_t size) {
    DoProgress(0, size);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::int64_t>(size, 1 << 20)));
    std::int64_t left = size;
    while (left > 0) {
        std::size_t chunk = static_cast<std::size_t>(std::min<std::int64_t>(left, buffer.size()));
        source.ReadBuffer(buffer.data(), chunk);
        destination.WriteBuffer(buffer.data(), chunk);
        left -= static_cast<std::int64_t>(chunk);
    }
    DoProgress(size, size);
}

// ---- Base64 ----

void TixEncoder::Base64Encode(TixStream& source, TixStream& destination, std::int64_t size) {
    DoProgress(0, size);
    const std::size_t n = static_cast<std::size_t>(size);
    const std::size_t perLine = suppressCrlf_ ? n : static_cast<std::size_t>(GetCharsPerLine()) * 3 / 4;
    const std::size_t lines = suppressCrlf_ ? 1 : (n + perLine - 1) / perLine;
    const std::size_t outputSize = (n + 2) / 3 * 4 + (lines - 1) * 2;
    // Whole lines (or, on one line, whole groups) per block, so only the last block can end in a
    // padded group; the output is the same as from one pass over all the bytes.
    constexpr std::size_t cBlock = 3 << 18;
    const std::size_t blockBytes =
        suppressCrlf_ ? cBlock : perLine * std::max<std::size_t>(1, cBlock / perLine);
    const std::size_t inputSize = std::min(blockBytes, n);
    std::vector<std::uint8_t> input(inputSize);
    std::string output(inputSize / 3 * 4 + 4 + (suppressCrlf_ ? 0 : (inputSize / perLine + 1) * 2), '\0');

    // Progress rises from half of the size towards the whole in about a thousand steps.
    const std::size_t step = outputSize / 1000;
    std::size_t nextReport = 0;
    std::int64_t reports = 0;
    const std::int64_t half = size / 2;
    std::size_t written = 0;

    for (std::size_t blockStart = 0; blockStart < n; blockStart += blockBytes) {
        const std::size_t count = std::min(blockBytes, n - blockStart);
        source.ReadBuffer(input.data(), count);
        const std::uint8_t* in = input.data();
        char* out = output.data();
        for (std::size_t lineStart = 0; lineStart < count;) {
            if (!suppressCrlf_ && blockStart + lineStart > 0) {
                *out++ = '\r';
                *out++ = '\n';
            }
            const std::size_t lineEnd = suppressCrlf_ ? count : std::min(count, lineStart + perLine);
            std::size_t i = lineStart;
            for (; i + 3 <= lineEnd; i += 3) {
                unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | in[i + 2];
                out[0] = cBase64Alphabet[v >> 18];
                out[1] = cBase64Alphabet[(v >> 12) & 63];
                out[2] = cBase64Alphabet[(v >> 6) & 63];
                out[3] = cBase64Alphabet[v & 63];
                out += 4;
            }
            if (i < lineEnd) {
                unsigned v = unsigned(in[i]) << 16;
                if (i + 1 < lineEnd) v |= unsigned(in[i + 1]) << 8;
                out[0] = cBase64Alphabet[v >> 18];
                out[1] = cBase64Alphabet[(v >> 12) & 63];
                out[2] = i + 1 < lineEnd ? cBase64Alphabet[(v >> 6) & 63] : '=';
                out[3] = '=';
                out += 4;
            }
            lineStart = lineEnd;
            if (step > 0 && OnProgress) {
                std::size_t position = written + static_cast<std::size_t>(out - output.data());
                while (position > nextReport) {
                    std::int64_t value = reports * half / 1000 + half + 1;
                    if (value < size) DoProgress(value, size);
                    ++reports;
                    nextReport = static_cast<std::size_t>(reports) * step;
                }
            }
        }
        const std::size_t produced = static_cast<std::size_t>(out - output.data());
        destination.WriteBuffer(output.data(), produced);
        written += produced;
    }
    DoProgress(size, size);
}

void TixEncoder::Base64Decode(TixStream& source, TixStream& destination, std::int64_t size) {
    DoProgress(0, size);
    decodeFailed_ = false;
    const std::int64_t start = source.Position();
    const std::size_t batch = static_cast<std::size_t>(std::min<std::int64_t>(std::max(batchSize_, 1), size));
    std::vector<std::uint8_t> buffer(batch);
    std::vector<std::uint8_t> decoded;
    decoded.reserve(batch / 4 * 3 + 3);
    int state = 0;
    unsigned held = 0;
    std::int64_t left = size;
    while (left > 0) {
        std::size_t chunk =
            source.Read(buffer.data(), static_cast<std::size_t>(std::min<std::int64_t>(left, batch)));
        if (chunk == 0) break;
        left -= static_cast<std::int64_t>(chunk);
        decoded.clear();
        bool stopped = false;
        for (std::size_t i = 0; i < chunk; ++i) {
            std::uint8_t value = cBase64Values[buffer[i]];
            if (value == cSkip) continue;
            if (value == cBad) {
                if (errorProcessing_ == epStop) {
                    if (!decoded.empty()) destination.WriteBuffer(decoded.data(), decoded.size());
                    throw EixEncoderError(cEncoderWrongSymbols, cEncoderWrongSymbolsCode);
                }
                stopped = true;
                break;
            }
            switch (state) {
                case 0:
                    held = value;
                    break;
                case 1:
                    decoded.push_back(static_cast<std::uint8_t>((held << 2) | (value >> 4)));
                    held = value & 15;
                    break;
                case 2:
                    decoded.push_back(static_cast<std::uint8_t>((held << 4) | (value >> 2)));
                    held = value & 3;
                    break;
                default:
                    decoded.push_back(static_cast<std::uint8_t>((held << 6) | value));
                    break;
            }
            state = (state + 1) & 3;
        }
        if (!decoded.empty()) destination.WriteBuffer(decoded.data(), decoded.size());
        if (stopped) {
            decodeFailed_ = true;
            break;
        }
        DoProgress(source.Position() - start, size);
    }
}

// ---- Quoted-printable ----

void TixEncoder::QuotedPrintableEncode(TixStream& source, TixStream& destination, std::int64_t size) {
    DoProgress(0, size);
    std::vector<std::uint8_t> input = ReadAll(source, size);
    const int limit = GetCharsPerLine() - 6;
    TixOutputBuffer out(destination);
    int column = 0;
    const std::size_t n = input.size();
    for (std::size_t i = 0; i < n; ++i) {
        // A line always takes at least one byte, so a tiny line length cannot stall the encoder.
        if (!suppressCrlf_ && column > limit && column > 0) {
            out.Put("=\r\n", 3);
            column = 0;
            DoProgress(static_cast<std::int64_t>(i), size);
        }
        std::uint8_t b = input[i];
        if ((b >= 32 && b <= 60) || (b >= 62 && b <= 126)) {
            out.Put(static_cast<char>(b));
            ++column;
        } else if (b == '\r' && i + 1 < n && input[i + 1] == '\n') {
            out.Put("\r\n", 2);
            ++i;
            column = 0;
            DoProgress(static_cast<std::int64_t>(i + 1), size);
        } else {
            char escape[3] = {'=', cHexDigits[b >> 4], cHexDigits[b & 15]};
            out.Put(escape, 3);
            column += 3;
        }
    }
    out.Flush();
    DoProgress(size, size);
}

void TixEncoder::QuotedPrintableDecode(TixStream& source, TixStream& destination, std::int64_t size) {
    DoProgress(0, size);
    std::vector<std::uint8_t> input = ReadAll(source, size);
    const std::size_t n = input.size();
    TixOutputBuffer out(destination);
    bool pending = false;  // the previous line ended inside an escape
    bool inEscape = false;
    bool haveDigit = false;
    int value = 0;
    std::size_t i = 0;
    while (i < n) {
        // Line breaks before the content; CR LF counts once.
        int breaks = 0;
        while (i < n && (input[i] == '\r' || input[i] == '\n')) {
            if (input[i] == '\r' || i == 0 || input[i - 1] != '\r') ++breaks;
            ++i;
        }
        if (breaks > 0) {
            // An escape never runs across a line end; an open "=" there was a soft break.
            if (pending) --breaks;
            pending = false;
            inEscape = false;
            haveDigit = false;
        }
        for (int k = 0; k < breaks; ++k)
            out.Put("\r\n", 2);
        std::size_t lineStart = i;
        while (i < n && input[i] != '\r' && input[i] != '\n') {
            std::uint8_t c = input[i++];
            if (!inEscape) {
                if (c == '=') {
                    inEscape = true;
                    haveDigit = false;
                    value = 0;
                } else {
                    out.Put(static_cast<char>(c));
                }
                continue;
            }
            int digit = HexValue(c);
            if (digit >= 0) {
                if (!haveDigit) {
                    value = digit;
                    haveDigit = true;
                } else {
                    out.Put(static_cast<char>(value * 16 + digit));
                    inEscape = false;
                }
            } else {
                char literal[2] = {'=', static_cast<char>(c)};
                out.Put(literal, 2);
                inEscape = false;
            }
        }
        // A "=" still open at the end of the line is the soft line break.
        pending = inEscape;
        if (i > lineStart || breaks > 0) DoProgress(static_cast<std::int64_t>(i), size);
    }
    out.Flush();
}

// ---- Uuencode ----

void TixEncoder::UUEncode(TixStream& source, TixStream& destination, std::int64_t size) {
    DoProgress(0, size);
    std::vector<std::uint8_t> input = ReadAll(source, size);
    const std::size_t n = input.size();
    // The length character holds at most 63: a longer line could not be decoded again.
    std::size_t perLine = suppressCrlf_ ? n : static_cast<std::size_t>(GetCharsPerLine()) * 3 / 4;
    perLine = std::clamp<std::size_t>(perLine, 1, 63);
    std::string output;
    output.reserve((n / perLine + 1) * (perLine / 3 * 4 + 8) + 8);
    std::size_t lines = n / perLine + 1;
    std::size_t position = 0;
    for (std::size_t line = 0; line < lines; ++line) {
        std::size_t count = std::min(perLine, n - position);
        output.push_back(UuChar(static_cast<unsigned>(count)));
        const std::uint8_t* in = input.data() + position;
        std::size_t i = 0;
        for (; i + 3 <= count; i += 3) {
            unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | in[i + 2];
            output.push_back(UuChar(v >> 18));
            output.push_back(UuChar(v >> 12));
            output.push_back(UuChar(v >> 6));
            output.push_back(UuChar(v));
        }
        if (i < count) {
            unsigned v = unsigned(in[i]) << 16;
            if (i + 1 < count) v |= unsigned(in[i + 1]) << 8;
            output.push_back(UuChar(v >> 18));
            output.push_back(UuChar(v >> 12));
            if (i + 1 < count) output.push_back(UuChar(v >> 6));
        }
        position += count;
        if (!suppressCrlf_) output += "\r\n";
        DoProgress(static_cast<std::int64_t>(position), size);
    }
    if (!suppressCrlf_) output += "`\r\n";
    WriteText(destination, output);
}

void TixEncoder::UUDecode(TixStream& source, TixStream& destination, std::int64_t size) {
    DoProgress(0, size);
    std::vector<std::uint8_t> input = ReadAll(source, size);
    const std::size_t n = input.size();
    std::vector<std::uint8_t> output;
    output.reserve(n / 4 * 3 + 3);
    std::size_t i = 0;
    // A leading "begin" line belongs to the framing, not to the data.
    std::size_t firstLine = 0;
    while (firstLine < n && (input[firstLine] == '\r' || input[firstLine] == '\n'))
        ++firstLine;
    if (n - firstLine >= 5 && std::equal(input.begin() + firstLine, input.begin() + firstLine + 5, "begin")) {
        i = firstLine;
        while (i < n && input[i] != '\r' && input[i] != '\n')
            ++i;
    }
    std::uint8_t values[96];  // the longest line takes 85 values; the rest is zero padding
    while (i < n) {
        while (i < n && (input[i] == '\r' || input[i] == '\n'))
            ++i;
        if (i >= n) break;
        unsigned length = static_cast<unsigned>(input[i] - 32) & 63;
        ++i;
        if (length == 0) break;
        std::size_t wanted = length * 4 / 3 + 1;
        std::size_t taken = 0;
        while (i < n && input[i] != '\r' && input[i] != '\n') {
            if (taken < wanted) values[taken++] = static_cast<std::uint8_t>((input[i] - 32) & 63);
            ++i;
        }
        std::fill(values + taken, values + wanted + 4, 0);
        std::size_t symbols = length * 4 / 3;
        std::size_t groups = symbols / 4;
        std::size_t produced = 0;
        for (std::size_t g = 0; g < groups; ++g) {
            const std::uint8_t* v = values + g * 4;
            output.push_back(static_cast<std::uint8_t>((v[0] << 2) | (v[1] >> 4)));
            output.push_back(static_cast<std::uint8_t>((v[1] << 4) | (v[2] >> 2)));
            output.push_back(static_cast<std::uint8_t>((v[2] << 6) | v[3]));
            produced += 3;
        }
        const std::uint8_t* v = values + groups * 4;
        if (produced < length) output.push_back(static_cast<std::uint8_t>((v[0] << 2) | (v[1] >> 4)));
        if (produced + 1 < length) output.push_back(static_cast<std::uint8_t>((v[1] << 4) | (v[2] >> 2)));
        DoProgress(static_cast<std::int64_t>(i), size);
    }
    if (!output.empty()) destination.WriteBuffer(output.data(), output.size());
}

// ---- Choosing an encoding ----

TixEncodeMethod TixEncoder::GetPreferredEncoding(TixStream& source) {
    const std::int64_t start = source.Position();
    const std::int64_t size = source.Remaining();
    const std::int64_t halfSize = size / 2;
    TixEncodeMethod result = cmNone;
    std::int64_t eightBit = 0;
    std::int64_t lineLength = 0;
    std::vector<std::uint8_t> buffer(65536);
    bool stop = false;
    while (!stop) {
        std::size_t chunk = source.Read(buffer.data(), buffer.size());
        if (chunk == 0) break;
        for (std::size_t i = 0; i < chunk && !stop; ++i) {
            std::uint8_t b = buffer[i];
            if (b == '\n' || b == '\r') {
                if (lineLength > charsPerLine_) result = cmQuotedPrintable;
                lineLength = 0;
            } else if (b == 27) {
                if (!allowEsc_) {
                    result = cmBase64;
                    stop = true;
                } else {
                    ++lineLength;
                }
            } else if (b < 32) {
                result = cmBase64;
                stop = true;
            } else if (b >= 127) {
                result = cmQuotedPrintable;
                if (++eightBit > halfSize) {
                    result = cmBase64;
                    stop = true;
                }
            } else {
                ++lineLength;
            }
        }
    }
    if (lineLength > charsPerLine_ && result == cmNone) result = cmQuotedPrintable;
    source.SetPosition(start);
    return result;
}

}  // namespace ix
