#include "text/ixEncoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
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

// Two output symbols per lookup: entry v holds the symbols of the 12-bit value v.
constexpr std::array<std::array<char, 2>, 4096> MakeBase64Pairs() {
    std::array<std::array<char, 2>, 4096> table{};
    for (int v = 0; v < 4096; ++v)
        table[static_cast<std::size_t>(v)] = {cBase64Alphabet[v >> 6], cBase64Alphabet[v & 63]};
    return table;
}
constexpr std::array<std::array<char, 2>, 4096> cBase64Pairs = MakeBase64Pairs();

// Decoding tables with each symbol's bits already in place for its slot of a group; a symbol that
// is not in the alphabet sets the top bit, so one test checks a whole group.
constexpr std::uint32_t cNotSymbol = 0x80000000u;
constexpr std::array<std::uint32_t, 256> MakeBase64Slot(int shift) {
    std::array<std::uint32_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const std::uint8_t value = cBase64Values[static_cast<std::size_t>(c)];
        table[static_cast<std::size_t>(c)] = value < 64 ? std::uint32_t{value} << shift : cNotSymbol;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> cBase64Slot0 = MakeBase64Slot(18);
constexpr std::array<std::uint32_t, 256> cBase64Slot1 = MakeBase64Slot(12);
constexpr std::array<std::uint32_t, 256> cBase64Slot2 = MakeBase64Slot(6);
constexpr std::array<std::uint32_t, 256> cBase64Slot3 = MakeBase64Slot(0);

constexpr std::array<std::int8_t, 256> MakeHexValues() {
    std::array<std::int8_t, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[static_cast<std::size_t>(c)] = c >= '0' && c <= '9'   ? static_cast<std::int8_t>(c - '0')
                                             : c >= 'A' && c <= 'F' ? static_cast<std::int8_t>(c - 'A' + 10)
                                             : c >= 'a' && c <= 'f' ? static_cast<std::int8_t>(c - 'a' + 10)
                                                                    : std::int8_t{-1};
    return table;
}
// The value of a hexadecimal digit, -1 for any other byte.
constexpr std::array<std::int8_t, 256> cHexValues = MakeHexValues();

char UuChar(unsigned value) {
    value &= 63;
    return value == 0 ? '`' : static_cast<char>(value + 32);
}

// The remaining size bytes of a source, read as a whole. A memory stream lends its own block (the
// position moves on as a read would); any other stream is copied.
class TixInputView {
public:
    TixInputView(TixStream& source, std::int64_t size) {
        const auto n = static_cast<std::size_t>(std::max<std::int64_t>(size, 0));
        if (auto* memory = dynamic_cast<TixMemoryStream*>(&source);
            memory != nullptr && memory->Position() + size <= memory->Size()) {
            data_ = memory->Memory() + memory->Position();
            memory->Seek(size, TixSeekOrigin::soCurrent);
        } else {
            copy_.reset(new std::uint8_t[n > 0 ? n : 1]);  // filled by the read, not zeroed first
            if (n > 0) source.ReadBuffer(copy_.get(), n);
            data_ = copy_.get();
        }
        size_ = n;
    }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::uint8_t operator[](std::size_t i) const { return data_[i]; }

private:
    std::unique_ptr<std::uint8_t[]> copy_;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

void WriteText(TixStream& destination, const std::string& text) {
    if (!text.empty()) destination.WriteBuffer(text.data(), text.size());
}

// Buffered small writes: quoted-printable produces a few bytes per input byte.
class TixOutputBuffer {
public:
    explicit TixOutputBuffer(TixStream& destination) : destination_(destination) {}
    TixOutputBuffer(const TixOutputBuffer&) = delete;
    TixOutputBuffer& operator=(const TixOutputBuffer&) = delete;
    ~TixOutputBuffer() = default;

    // Room for at least n more bytes (n at most the buffer size) at the returned pointer; the
    // caller writes there and hands the end back to Commit.
    char* Room(std::size_t n) {
        if (static_cast<std::size_t>(buffer_.end() - position_) < n) Flush();
        return position_;
    }
    void Commit(char* end) { position_ = end; }
    void Put(char c) { *Room(1) = c, ++position_; }
    void Put(const char* text, std::size_t size) {
        while (size > 0) {
            const std::size_t piece = std::min(size, buffer_.size());
            char* out = Room(piece);
            std::copy_n(text, piece, out);
            position_ = out + piece;
            text += piece;
            size -= piece;
        }
    }
    void Flush() {
        destination_.WriteBuffer(buffer_.data(), static_cast<std::size_t>(position_ - buffer_.data()));
        position_ = buffer_.data();
    }

    static constexpr std::size_t cSize = 65536;

private:
    TixStream& destination_;
    std::array<char, cSize> buffer_;
    char* position_ = buffer_.data();
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
    constexpr std::size_t cBlock = 3 << 14;  // input and output stay in the cache
    const std::size_t blockBytes =
        suppressCrlf_ ? cBlock : perLine * std::max<std::size_t>(1, cBlock / perLine);
    const std::size_t inputSize = std::min(blockBytes, n);
    destination.Reserve(static_cast<std::size_t>(destination.Position()) + outputSize);
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
                const unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | in[i + 2];
                const auto& high = cBase64Pairs[v >> 12];
                const auto& low = cBase64Pairs[v & 4095];
                out[0] = high[0];
                out[1] = high[1];
                out[2] = low[0];
                out[3] = low[1];
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
    destination.Reserve(static_cast<std::size_t>(destination.Position() + size / 4 * 3 + 3));
    std::vector<std::uint8_t> buffer(batch);
    // Symbols held over from the previous batch add at most one more group.
    std::vector<std::uint8_t> decoded(batch / 4 * 3 + 6);
    int state = 0;
    unsigned held = 0;
    std::int64_t left = size;
    while (left > 0) {
        std::size_t chunk =
            source.Read(buffer.data(), static_cast<std::size_t>(std::min<std::int64_t>(left, batch)));
        if (chunk == 0) break;
        left -= static_cast<std::int64_t>(chunk);
        const std::uint8_t* in = buffer.data();
        std::uint8_t* out = decoded.data();
        bool stopped = false;
        std::size_t i = 0;
        while (i < chunk) {
            if (state == 0) {
                // Whole groups of four symbols, the common case between line breaks.
                while (i + 4 <= chunk) {
                    const std::uint32_t v = cBase64Slot0[in[i]] | cBase64Slot1[in[i + 1]] |
                                            cBase64Slot2[in[i + 2]] | cBase64Slot3[in[i + 3]];
                    if ((v & cNotSymbol) != 0) break;
                    out[0] = static_cast<std::uint8_t>(v >> 16);
                    out[1] = static_cast<std::uint8_t>(v >> 8);
                    out[2] = static_cast<std::uint8_t>(v);
                    out += 3;
                    i += 4;
                }
                if (i >= chunk) break;
            }
            const std::uint8_t value = cBase64Values[in[i++]];
            if (value == cSkip) continue;
            if (value == cBad) {
                if (errorProcessing_ == epStop) {
                    destination.WriteBuffer(decoded.data(), static_cast<std::size_t>(out - decoded.data()));
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
                    *out++ = static_cast<std::uint8_t>((held << 2) | (value >> 4));
                    held = value & 15;
                    break;
                case 2:
                    *out++ = static_cast<std::uint8_t>((held << 4) | (value >> 2));
                    held = value & 3;
                    break;
                default:
                    *out++ = static_cast<std::uint8_t>((held << 6) | value);
                    break;
            }
            state = (state + 1) & 3;
        }
        destination.WriteBuffer(decoded.data(), static_cast<std::size_t>(out - decoded.data()));
        if (stopped) {
            decodeFailed_ = true;
            break;
        }
        DoProgress(source.Position() - start, size);
    }
}

// ---- Quoted-printable ----

namespace {

// Quoted-printable classes of a byte when encoding: written as it is, escaped, or a CR.
enum : std::uint8_t { cQpLiteral, cQpEscape, cQpCr };
constexpr std::array<std::uint8_t, 256> MakeQpClasses() {
    std::array<std::uint8_t, 256> table{};
    for (int b = 0; b < 256; ++b)
        table[static_cast<std::size_t>(b)] =
            (b >= 32 && b <= 60) || (b >= 62 && b <= 126) ? cQpLiteral : cQpEscape;
    table['\r'] = cQpCr;
    return table;
}
constexpr std::array<std::uint8_t, 256> cQpClasses = MakeQpClasses();

// "=XX" of every byte, padded to four characters for a single store.
constexpr std::array<std::array<char, 4>, 256> MakeQpEscapes() {
    std::array<std::array<char, 4>, 256> table{};
    for (int b = 0; b < 256; ++b)
        table[static_cast<std::size_t>(b)] = {'=', cHexDigits[b >> 4], cHexDigits[b & 15], '\0'};
    return table;
}
constexpr std::array<std::array<char, 4>, 256> cQpEscapes = MakeQpEscapes();

// Bytes that interrupt a run of plain text when decoding.
constexpr std::array<bool, 256> MakeQpStops() {
    std::array<bool, 256> table{};
    table['='] = table['\r'] = table['\n'] = true;
    return table;
}
constexpr std::array<bool, 256> cQpStops = MakeQpStops();

// The top bit of each byte of word that equals c; exact for the lowest such byte (little-endian
// order), which is all the callers use.
constexpr std::uint64_t ByteMatches(std::uint64_t word, std::uint8_t c) {
    constexpr std::uint64_t cOnes = 0x0101010101010101u;
    const std::uint64_t x = word ^ (cOnes * c);
    return (x - cOnes) & ~x & (cOnes << 7);
}

}  // namespace

void TixEncoder::QuotedPrintableEncode(TixStream& source, TixStream& destination, std::int64_t size) {
    DoProgress(0, size);
    const TixInputView input(source, size);
    const int limit = GetCharsPerLine() - 6;
    destination.Reserve(static_cast<std::size_t>(destination.Position()) + input.size() + input.size() / 8);
    TixOutputBuffer out(destination);
    // Bytes per burst: each may take a soft break and an escape, six characters at most.
    constexpr std::size_t cBurst = 4096;
    int column = 0;
    const std::size_t n = input.size();
    const std::uint8_t* in = input.data();
    std::size_t i = 0;
    while (i < n) {
        char* o = out.Room(6 * cBurst + 8);
        const std::size_t stop = std::min(n, i + cBurst);
        while (i < stop) {
            // A line always takes at least one byte, so a tiny line length cannot stall the encoder.
            if (!suppressCrlf_ && column > limit && column > 0) {
                std::memcpy(o, "=\r\n", 3);
                o += 3;
                column = 0;
                DoProgress(static_cast<std::int64_t>(i), size);
            }
            const std::uint8_t b = in[i];
            const std::uint8_t kind = cQpClasses[b];
            if (kind == cQpLiteral) {
                *o++ = static_cast<char>(b);
                ++column;
                ++i;
            } else if (kind == cQpCr && i + 1 < n && in[i + 1] == '\n') {
                o[0] = '\r';
                o[1] = '\n';
                o += 2;
                i += 2;
                column = 0;
                DoProgress(static_cast<std::int64_t>(i), size);
            } else {
                std::memcpy(o, cQpEscapes[b].data(), 4);  // the fourth byte is overwritten next
                o += 3;
                column += 3;
                ++i;
            }
        }
        out.Commit(o);
    }
    out.Flush();
    DoProgress(size, size);
}

void TixEncoder::QuotedPrintableDecode(TixStream& source, TixStream& destination, std::int64_t size) {
    DoProgress(0, size);
    const TixInputView input(source, size);
    const std::size_t n = input.size();
    const std::uint8_t* in = input.data();
    destination.Reserve(static_cast<std::size_t>(destination.Position()) + n);
    TixOutputBuffer out(destination);
    bool pending = false;  // the previous line ended inside an escape
    bool inEscape = false;
    bool haveDigit = false;
    int value = 0;
    std::size_t i = 0;
    while (i < n) {
        // Line breaks before the content; CR LF counts once.
        int breaks = 0;
        while (i < n && (in[i] == '\r' || in[i] == '\n')) {
            if (in[i] == '\r' || i == 0 || in[i - 1] != '\r') ++breaks;
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
        const std::size_t lineStart = i;
        while (i < n && in[i] != '\r' && in[i] != '\n') {
            if (!inEscape) {
                std::size_t run = i;
                // Eight bytes at a time while none of them ends the run.
                bool found = false;
                while (run + 8 <= n) {
                    std::uint64_t word;
                    std::memcpy(&word, in + run, 8);
                    const std::uint64_t stops =
                        ByteMatches(word, '=') | ByteMatches(word, '\r') | ByteMatches(word, '\n');
                    if (stops != 0) {
                        // Only the lowest match is exact, and only little-endian order puts it first.
                        if constexpr (std::endian::native == std::endian::little) {
                            run += static_cast<std::size_t>(std::countr_zero(stops)) / 8;
                            found = true;
                        }
                        break;
                    }
                    run += 8;
                }
                if (!found)
                    while (run < n && !cQpStops[in[run]])
                        ++run;
                if (run > i) {
                    out.Put(reinterpret_cast<const char*>(in + i), run - i);
                    i = run;
                    continue;
                }
                if (in[i] != '=') break;  // CR or LF: the line ends
                // A complete escape, the common case, in one step.
                if (i + 2 < n) {
                    const int high = cHexValues[in[i + 1]], low = cHexValues[in[i + 2]];
                    if ((high | low) >= 0) {
                        out.Put(static_cast<char>(high * 16 + low));
                        i += 3;
                        continue;
                    }
                }
                ++i;
                inEscape = true;
                haveDigit = false;
                value = 0;
                continue;
            }
            const std::uint8_t c = in[i++];
            const int digit = cHexValues[c];
            if (digit >= 0) {
                if (!haveDigit) {
                    value = digit;
                    haveDigit = true;
                } else {
                    out.Put(static_cast<char>(value * 16 + digit));
                    inEscape = false;
                }
            } else {
                const char literal[2] = {'=', static_cast<char>(c)};
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
    const TixInputView input(source, size);
    const std::size_t n = input.size();
    // The length character holds at most 63: a longer line could not be decoded again.
    std::size_t perLine = suppressCrlf_ ? n : static_cast<std::size_t>(GetCharsPerLine()) * 3 / 4;
    perLine = std::clamp<std::size_t>(perLine, 1, 63);
    const std::size_t lines = n / perLine + 1;
    std::string output(lines * (perLine / 3 * 4 + 8) + 8, '\0');
    char* out = output.data();
    std::size_t position = 0;
    for (std::size_t line = 0; line < lines; ++line) {
        const std::size_t count = std::min(perLine, n - position);
        *out++ = UuChar(static_cast<unsigned>(count));
        const std::uint8_t* in = input.data() + position;
        std::size_t i = 0;
        for (; i + 3 <= count; i += 3) {
            const unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | in[i + 2];
            out[0] = UuChar(v >> 18);
            out[1] = UuChar(v >> 12);
            out[2] = UuChar(v >> 6);
            out[3] = UuChar(v);
            out += 4;
        }
        if (i < count) {
            unsigned v = unsigned(in[i]) << 16;
            if (i + 1 < count) v |= unsigned(in[i + 1]) << 8;
            *out++ = UuChar(v >> 18);
            *out++ = UuChar(v >> 12);
            if (i + 1 < count) *out++ = UuChar(v >> 6);
        }
        position += count;
        // A uuencoded line holds at most 63 bytes, so "one line" cannot hold more: longer data
        // still gets its line breaks (none after the last), or it could not be decoded again.
        if (!suppressCrlf_ || position < n) {
            *out++ = '\r';
            *out++ = '\n';
        }
        DoProgress(static_cast<std::int64_t>(position), size);
    }
    if (!suppressCrlf_) {
        std::memcpy(out, "`\r\n", 3);
        out += 3;
    }
    output.resize(static_cast<std::size_t>(out - output.data()));
    WriteText(destination, output);
}

void TixEncoder::UUDecode(TixStream& source, TixStream& destination, std::int64_t size) {
    DoProgress(0, size);
    const TixInputView input(source, size);
    const std::size_t n = input.size();
    // A line of L symbols yields at most L * 3 / 4 + 1 bytes.
    std::vector<std::uint8_t> output(n / 4 * 3 + 4);
    std::uint8_t* out = output.data();
    std::size_t i = 0;
    // A leading "begin" line belongs to the framing, not to the data.
    std::size_t firstLine = 0;
    while (firstLine < n && (input[firstLine] == '\r' || input[firstLine] == '\n'))
        ++firstLine;
    if (n - firstLine >= 5 && std::memcmp(input.data() + firstLine, "begin", 5) == 0) {
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
        // A short line may announce up to 63 bytes: make room for them.
        if (const auto used = static_cast<std::size_t>(out - output.data()); output.size() - used < 64) {
            output.resize(std::max(output.size() * 2, used + 64));
            out = output.data() + used;
        }
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
            out[0] = static_cast<std::uint8_t>((v[0] << 2) | (v[1] >> 4));
            out[1] = static_cast<std::uint8_t>((v[1] << 4) | (v[2] >> 2));
            out[2] = static_cast<std::uint8_t>((v[2] << 6) | v[3]);
            out += 3;
            produced += 3;
        }
        const std::uint8_t* v = values + groups * 4;
        if (produced < length) *out++ = static_cast<std::uint8_t>((v[0] << 2) | (v[1] >> 4));
        if (produced + 1 < length) *out++ = static_cast<std::uint8_t>((v[1] << 4) | (v[2] >> 2));
        DoProgress(static_cast<std::int64_t>(i), size);
    }
    destination.WriteBuffer(output.data(), static_cast<std::size_t>(out - output.data()));
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
