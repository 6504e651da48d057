#pragma once
// Line lists fed from text or byte streams (lines split across reads are joined again), blocks of
// owned memory, and byte helpers: hex text, big-endian numbers in byte arrays, reverse, compare.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/ixStream.h"
#include "base/ixStringList.h"
#include "base/ixTypes.h"

namespace ix {

// Adds lines to a string list it does not own. AddTextStr returns 0 when the text ended with a
// line break and the text's length otherwise, so that the caller passes addToLastString for the
// next piece; a CR that ends one piece and an LF that starts the next count as one line break.
class TixStringsUtils : public TixObject {
public:
    explicit TixStringsUtils(TixStringList& strings, std::string charSet = {});

    TixStringList& Strings() const { return *strings_; }
    // Bytes read per step by AddTextStream; 0 (or not below the size) reads everything at once.
    int BatchSize() const { return batchSize_; }
    void SetBatchSize(int value) { batchSize_ = value; }
    const std::string& CharSet() const { return charSet_; }
    void SetCharSet(std::string value) { charSet_ = std::move(value); }

    std::int64_t AddTextStr(std::string_view text, bool addToLastString);
    // Reads the stream from its position to the end (or to limit bytes when limit > 0), converts the
    // bytes from CharSet, turns zero bytes into spaces and adds the lines; fires OnProgress before
    // each batch. Returns the result of the last AddTextStr (0 when nothing was read).
    std::int64_t AddTextStream(TixStream& stream, bool addToLastString = false, std::int64_t limit = 0);
    // First line equal to (exact) or containing (not exact) text, ignoring ASCII case; -1 when none.
    int IndexOf(std::string_view text, bool exact) const;
    // Size of the lines written with CR LF after each.
    std::int64_t GetStringsSize() const;

    static std::int64_t AddTextStr(TixStringList& strings, std::string_view text, bool addToLastString);
    static std::int64_t AddTextStream(TixStringList& strings, TixStream& stream,
                                      bool addToLastString = false);
    static int IndexOf(const TixStringList& strings, std::string_view text, bool exact);
    static std::int64_t GetStringsSize(const TixStringList& strings);

    TixProgressEvent OnProgress;

protected:
    virtual void DoProgress(std::int64_t ABytesProceed, std::int64_t ATotalBytes);

private:
    TixStringList* strings_;
    int batchSize_ = 0;
    std::string charSet_;
};

// One owned block of memory of known size. Subclasses may replace the allocator; a subclass that
// does must call Clear() in its own destructor (the base destructor cannot reach the override).
class TixBinaryData {
public:
    TixBinaryData() = default;
    explicit TixBinaryData(int size);
    virtual ~TixBinaryData();
    TixBinaryData(const TixBinaryData&) = delete;
    TixBinaryData& operator=(const TixBinaryData&) = delete;

    std::uint8_t* Data() const { return data_; }
    int DataSize() const { return dataSize_; }

    // Frees the block; a size above 0 gets a new block of that size (contents undefined).
    void Allocate(int size);
    void Clear();
    void Assign(const TixByteArray& bytes);
    // Copies count bytes from index (cut to what the array holds).
    void SetBytes(const TixByteArray& bytes, int index, int count);
    // Lowers DataSize; the block stays.
    void Reduce(int newSize);
    TixByteArray ToBytes() const;
    // The block read as DataSize div 2 UTF-16 units, without a final zero unit.
    std::u16string ToWideString() const;

protected:
    virtual void FreeMemory(std::uint8_t* block);
    virtual std::uint8_t* AllocateMemory(int size);

private:
    std::uint8_t* data_ = nullptr;
    int dataSize_ = 0;
};

TixByteArray ReverseBytes(const TixByteArray& bytes);
// Two upper-case hex digits per byte, separator between bytes.
std::string BytesToHex(const TixByteArray& bytes, std::string_view separator = {});
std::string BufferToHex(const void* buffer, std::size_t count);
// Big-endian reads and writes at index, which advances by 2 or 4. The array is not grown: an access
// past its end raises EixError instead of touching memory it does not own.
void ByteArrayWriteWord(std::uint16_t value, TixByteArray& bytes, int& index);
void ByteArrayWriteDWord(std::uint32_t value, TixByteArray& bytes, int& index);
std::uint16_t ByteArrayReadWord(const TixByteArray& bytes, int& index);
std::uint32_t ByteArrayReadDWord(const TixByteArray& bytes, int& index);
bool CompareBytes(const TixByteArray& a, const TixByteArray& b);
constexpr std::uint16_t MakeWord(std::uint8_t high, std::uint8_t low) {
    return static_cast<std::uint16_t>(high << 8 | low);
}

}  // namespace ix
