#include "text/ixStringsUtils.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "base/ixError.h"
#include "text/ixTranslator.h"

namespace ix {

namespace {

bool SameAsciiChar(char a, char b) {
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    return upper(a) == upper(b);
}

bool ContainsText(std::string_view line, std::string_view text) {
    return std::search(line.begin(), line.end(), text.begin(), text.end(), SameAsciiChar) != line.end();
}

bool IsUtf8(std::string_view charSet) {
    return charSet.empty() || SameText(charSet, "utf-8") || SameText(charSet, "utf8");
}

// Length of the text without a UTF-8 sequence cut off at its end.
std::size_t CompleteUtf8Prefix(const std::vector<std::uint8_t>& bytes) {
    const std::size_t n = bytes.size();
    std::size_t lead = n;
    for (std::size_t back = 0; back < 4 && lead > 0; ++back) {
        --lead;
        if ((bytes[lead] & 0xC0) != 0x80) break;
    }
    if (lead >= n) return n;
    const std::uint8_t b = bytes[lead];
    const std::size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    return n - lead < need && need > 1 ? lead : n;
}

}  // namespace

TixStringsUtils::TixStringsUtils(TixStringList& strings, std::string charSet)
    : strings_(&strings), charSet_(std::move(charSet)) {}

void TixStringsUtils::DoProgress(std::int64_t ABytesProceed, std::int64_t ATotalBytes) {
    if (OnProgress) OnProgress(this, ABytesProceed, ATotalBytes);
}

std::int64_t TixStringsUtils::AddTextStr(std::string_view text, bool addToLastString) {
    if (const std::size_t zero = text.find('\0'); zero != std::string_view::npos) text = text.substr(0, zero);
    if (text.empty()) return 0;
    TixStringList& list = *strings_;
    const TixListUpdate update(list);
    const std::size_t n = text.size();
    bool first = true;
    std::size_t i = 0;
    while (i < n) {
        const std::size_t start = i;
        while (i < n && text[i] != '\r' && text[i] != '\n')
            ++i;
        const std::string_view piece = text.substr(start, i - start);
        if (first && addToLastString && !list.Empty())
            list.MutableString(list.Count() - 1).append(piece);
        else
            list.AddLine(piece);
        first = false;
        if (i < n && text[i] == '\r') ++i;
        if (i < n && text[i] == '\n') ++i;
    }
    // An unfinished last line (a lone CR included) is continued by the next piece.
    return text.back() == '\n' ? 0 : static_cast<std::int64_t>(n);
}

std::int64_t TixStringsUtils::AddTextStream(TixStream& stream, bool addToLastString, std::int64_t limit) {
    std::int64_t total = std::max<std::int64_t>(0, stream.Remaining());
    if (limit > 0) total = std::min(total, limit);
    const std::int64_t batch = batchSize_ > 0 && batchSize_ < total ? batchSize_ : total;
    const bool utf8 = IsUtf8(charSet_);

    std::vector<std::uint8_t> pending;  // bytes read but not yet converted
    std::int64_t consumed = 0;
    std::int64_t result = 0;
    bool addToLast = addToLastString;
    auto addBytes = [&](std::size_t count) {
        std::string text = TixTranslator::GetString(pending.data(), static_cast<int>(count), charSet_);
        std::replace(text.begin(), text.end(), '\0', ' ');
        result = AddTextStr(text, addToLast);
        addToLast = result > 0;
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
    };
    while (consumed < total) {
        const auto want = static_cast<std::size_t>(std::min(batch, total - consumed));
        const std::size_t old = pending.size();
        pending.resize(old + want);
        const std::size_t got = stream.Read(pending.data() + old, want);
        pending.resize(old + got);
        if (got == 0) break;
        consumed += static_cast<std::int64_t>(got);
        DoProgress(consumed, total);
        if (consumed >= total) break;
        // Convert whole lines only, so a character that spans two batches stays whole.
        std::size_t cut = pending.size();
        const auto lf = std::find(pending.rbegin(), pending.rend(), '\n');
        if (lf != pending.rend())
            cut = static_cast<std::size_t>(pending.rend() - lf);
        else if (utf8)
            cut = CompleteUtf8Prefix(pending);
        // A lone CR ends a line, but a batch cut behind it cannot tell a lone CR from the first
        // half of a CR LF: it waits for the byte after it, so that the next batch's text is never
        // appended to the line the CR ended.
        if (cut > 0 && pending[cut - 1] == '\r') --cut;
        if (cut > 0) addBytes(cut);
    }
    if (!pending.empty()) addBytes(pending.size());
    return result;
}

int TixStringsUtils::IndexOf(std::string_view text, bool exact) const {
    const TixStringList& list = *strings_;
    for (int i = 0; i < list.Count(); ++i)
        if (exact ? SameText(list.View(i), text) : ContainsText(list.View(i), text)) return i;
    return -1;
}

std::int64_t TixStringsUtils::GetStringsSize() const {
    std::int64_t size = 0;
    const TixStringList& list = *strings_;
    for (int i = 0; i < list.Count(); ++i)
        size += static_cast<std::int64_t>(list.View(i).size()) + 2;
    return size;
}

std::int64_t TixStringsUtils::AddTextStr(TixStringList& strings, std::string_view text,
                                         bool addToLastString) {
    return TixStringsUtils(strings).AddTextStr(text, addToLastString);
}

std::int64_t TixStringsUtils::AddTextStream(TixStringList& strings, TixStream& stream, bool addToLastString) {
    return TixStringsUtils(strings).AddTextStream(stream, addToLastString);
}

int TixStringsUtils::IndexOf(const TixStringList& strings, std::string_view text, bool exact) {
    return TixStringsUtils(const_cast<TixStringList&>(strings)).IndexOf(text, exact);
}

std::int64_t TixStringsUtils::GetStringsSize(const TixStringList& strings) {
    return TixStringsUtils(const_cast<TixStringList&>(strings)).GetStringsSize();
}

// --- TixBinaryData ---

TixBinaryData::TixBinaryData(int size) {
    Allocate(size);
}

TixBinaryData::~TixBinaryData() {
    Clear();
}

std::uint8_t* TixBinaryData::AllocateMemory(int size) {
    auto* block = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(size)));
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void TixBinaryData::FreeMemory(std::uint8_t* block) {
    std::free(block);
}

void TixBinaryData::Allocate(int size) {
    Clear();
    if (size > 0) {
        data_ = AllocateMemory(size);
        dataSize_ = size;
    }
}

void TixBinaryData::Clear() {
    if (data_ != nullptr) FreeMemory(data_);
    data_ = nullptr;
    dataSize_ = 0;
}

void TixBinaryData::Assign(const TixByteArray& bytes) {
    SetBytes(bytes, 0, static_cast<int>(bytes.size()));
}

void TixBinaryData::SetBytes(const TixByteArray& bytes, int index, int count) {
    const auto size = static_cast<std::int64_t>(bytes.size());
    std::int64_t available = index >= 0 && index < size ? size - index : 0;
    available = std::clamp<std::int64_t>(count, 0, available);
    Allocate(static_cast<int>(available));
    if (available > 0) std::memcpy(data_, bytes.data() + index, static_cast<std::size_t>(available));
}

void TixBinaryData::Reduce(int newSize) {
    if (newSize < dataSize_) dataSize_ = std::max(newSize, 0);
}

TixByteArray TixBinaryData::ToBytes() const {
    if (dataSize_ < 1) return {};
    return TixByteArray(data_, data_ + dataSize_);
}

std::u16string TixBinaryData::ToWideString() const {
    std::u16string text(static_cast<std::size_t>(std::max(dataSize_, 0) / 2), u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(data_[2 * i] | data_[2 * i + 1] << 8);
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    return text;
}

// --- Byte functions ---

TixByteArray ReverseBytes(const TixByteArray& bytes) {
    return TixByteArray(bytes.rbegin(), bytes.rend());
}

std::string BytesToHex(const TixByteArray& bytes, std::string_view separator) {
    std::string out;
    out.reserve(bytes.size() * (2 + separator.size()));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) out.append(separator);
        out.append(BufferToHex(&bytes[i], 1));
    }
    return out;
}

std::string BufferToHex(const void* buffer, std::size_t count) {
    static constexpr char digits[] = "0123456789ABCDEF";
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    std::string out(count * 2, '0');
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = digits[p[i] >> 4];
        out[2 * i + 1] = digits[p[i] & 15];
    }
    return out;
}

namespace {

void CheckRoom(const TixByteArray& bytes, int index, int size) {
    if (index < 0 || static_cast<std::size_t>(index) + static_cast<std::size_t>(size) > bytes.size())
        throw EixError("Byte array index out of bounds (" + std::to_string(index) + ")");
}

}  // namespace

void ByteArrayWriteWord(std::uint16_t value, TixByteArray& bytes, int& index) {
    CheckRoom(bytes, index, 2);
    bytes[static_cast<std::size_t>(index)] = static_cast<std::uint8_t>(value >> 8);
    bytes[static_cast<std::size_t>(index) + 1] = static_cast<std::uint8_t>(value);
    index += 2;
}

void ByteArrayWriteDWord(std::uint32_t value, TixByteArray& bytes, int& index) {
    CheckRoom(bytes, index, 4);
    ByteArrayWriteWord(static_cast<std::uint16_t>(value >> 16), bytes, index);
    ByteArrayWriteWord(static_cast<std::uint16_t>(value), bytes, index);
}

std::uint16_t ByteArrayReadWord(const TixByteArray& bytes, int& index) {
    CheckRoom(bytes, index, 2);
    const std::uint16_t value =
        MakeWord(bytes[static_cast<std::size_t>(index)], bytes[static_cast<std::size_t>(index) + 1]);
    index += 2;
    return value;
}

std::uint32_t ByteArrayReadDWord(const TixByteArray& bytes, int& index) {
    CheckRoom(bytes, index, 4);
    const std::uint32_t high = ByteArrayReadWord(bytes, index);
    return high << 16 | ByteArrayReadWord(bytes, index);
}

bool CompareBytes(const TixByteArray& a, const TixByteArray& b) {
    return a == b;
}

}  // namespace ix
