#include "base/ixStringList.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/ixError.h"

namespace ix {

namespace {

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}
char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c;
}

}  // namespace

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

std::string LowerCase(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = AsciiLower(c);
    return result;
}

std::string UpperCase(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = AsciiUpper(c);
    return result;
}

namespace {

// Lines up to this size are copied into the blocks; a longer given string is kept as it is.
constexpr std::size_t cCopyLimit = 1024;
constexpr std::size_t cFirstBlock = 256;
constexpr std::size_t cHugePage = std::size_t{2} << 20;
constexpr std::size_t cLargestBlock = cHugePage;

// Large regions are asked to be backed by huge pages where the system allows it on request: a
// fetched message then costs a page fault per 2 MB rather than per 4 KB.
void AdviseHugePages(void* start, std::size_t size) {
    const auto begin = (reinterpret_cast<std::uintptr_t>(start) + cHugePage - 1) & ~(cHugePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(start) + size) & ~(cHugePage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Huge-page blocks that lists gave back, kept for the next large response: a fresh page costs the
// system a zero-fill, most of the cost of receiving a big message. A bounded number is kept, and
// marked free to the system (MADV_FREE), which takes their memory back when it runs short.
class TixBlockCache {
public:
    static TixBlockCache& Instance() {
        // Never destroyed: lists that live until exit give their blocks back after static
        // destruction has begun.
        static auto* cache = new TixBlockCache;
        return *cache;
    }
    char* Take() {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (blocks_.empty()) return nullptr;
        char* block = blocks_.back();
        blocks_.pop_back();
        return block;
    }
    bool Keep(char* block) noexcept {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (blocks_.size() >= cMaxBlocks) return false;
        madvise(block, cHugePage, MADV_FREE);
        blocks_.push_back(block);  // reserved: never throws
        return true;
    }

private:
    static constexpr std::size_t cMaxBlocks = 32;  // 64 MB
    TixBlockCache() { blocks_.reserve(cMaxBlocks); }
    std::mutex mutex_;
    std::vector<char*> blocks_;
};

}  // namespace

void TixStringList::BlockFree::operator()(char* block) const noexcept {
    if (huge && TixBlockCache::Instance().Keep(block)) return;
    std::free(block);
}

char* TixStringList::NewBlock(std::size_t size) {
    void* block = nullptr;
    const bool huge = size == cHugePage;
    if (huge) block = TixBlockCache::Instance().Take();
    if (block == nullptr && size >= cHugePage) {
        const std::size_t rounded = (size + cHugePage - 1) & ~(cHugePage - 1);
        block = std::aligned_alloc(cHugePage, rounded);
        if (block != nullptr) AdviseHugePages(block, rounded);
    } else if (block == nullptr) {
        block = std::malloc(size);
    }
    if (block == nullptr) throw std::bad_alloc();
    if (blocks_.size() == blocks_.capacity()) blocks_.reserve(blocks_.size() * 2 + 4);
    blocks_.emplace_back(static_cast<char*>(block), BlockFree{huge});
    return static_cast<char*>(block);
}

TixStringList::TixStringList(std::initializer_list<std::string> lines) {
    slots_.reserve(lines.size());
    for (const auto& line : lines)
        slots_.push_back(MakeSlot(std::string_view(line)));
}

TixStringList::TixStringList(const TixStringList& other) {
    Reserve(other.slots_.size());
    for (int i = 0; i < other.Count(); ++i)
        Put(slots_.size(), MakeSlot(other.View(i)), other.Objects(i));
}

TixStringList& TixStringList::operator=(const TixStringList& other) {
    if (this != &other) {
        ReleaseAll();
        Reserve(other.slots_.size());
        for (int i = 0; i < other.Count(); ++i)
            Put(slots_.size(), MakeSlot(other.View(i)), other.Objects(i));
        Changed();
    }
    return *this;
}

TixStringList::TixStringList(TixStringList&& other) noexcept
    : slots_(std::move(other.slots_)),
      wide_(std::move(other.wide_)),
      blocks_(std::move(other.blocks_)),
      free_(std::exchange(other.free_, nullptr)),
      freeSize_(std::exchange(other.freeSize_, 0)),
      nextBlock_(std::exchange(other.nextBlock_, 0)),
      owned_(std::exchange(other.owned_, 0)) {
    other.slots_.clear();
    other.wide_.clear();
    other.blocks_.clear();
}

TixStringList& TixStringList::operator=(TixStringList&& other) noexcept {
    if (this != &other) {
        ReleaseAll();
        slots_ = std::move(other.slots_);
        wide_ = std::move(other.wide_);
        blocks_ = std::move(other.blocks_);
        free_ = std::exchange(other.free_, nullptr);
        freeSize_ = std::exchange(other.freeSize_, 0);
        nextBlock_ = std::exchange(other.nextBlock_, 0);
        owned_ = std::exchange(other.owned_, 0);
        other.slots_.clear();
        other.wide_.clear();
        other.blocks_.clear();
        Changed();
    }
    return *this;
}

TixStringList::~TixStringList() {
    if (owned_ > 0)
        for (Slot& slot : slots_)
            Release(slot);
}

void TixStringList::ReleaseAll() {
    // Most lists own no string: a million lines are let go without a look at each.
    if (owned_ > 0)
        for (Slot& slot : slots_)
            Release(slot);
    slots_.clear();
    wide_.clear();
    blocks_.clear();
    free_ = nullptr;
    freeSize_ = 0;
    nextBlock_ = 0;
    owned_ = 0;
}

char* TixStringList::Allocate(std::size_t size) {
    if (size <= freeSize_) {
        char* p = free_;
        free_ += size;
        freeSize_ -= size;
        return p;
    }
    // Blocks grow with the list, so that a short list takes little and a long one few blocks.
    nextBlock_ = nextBlock_ == 0 ? cFirstBlock : std::min(nextBlock_ * 2, cLargestBlock);
    if (size > nextBlock_ / 4) {
        // A long line gets a block of its own; the current one stays in use.
        return NewBlock(size);
    }
    char* block = NewBlock(nextBlock_);
    free_ = block + size;
    freeSize_ = nextBlock_ - size;
    return block;
}

TixStringList::Slot TixStringList::MakeSlot(std::string_view line) {
    Slot slot;
    if (line.size() >= cOwned) {
        slot.data = new std::string(line);
        slot.size = cOwned;
        ++owned_;
    } else if (!line.empty()) {
        char* p = Allocate(line.size());
        std::memcpy(p, line.data(), line.size());
        slot.data = p;
        slot.size = static_cast<std::uint32_t>(line.size());
    }
    return slot;
}

TixStringList::Slot TixStringList::MakeSlot(std::string&& line) {
    if (line.size() <= cCopyLimit) return MakeSlot(std::string_view(line));
    Slot slot;
    slot.data = new std::string(std::move(line));
    slot.size = cOwned;
    ++owned_;
    return slot;
}

void TixStringList::Put(std::size_t index, Slot slot, TixListObject object) {
    if (slots_.size() == slots_.capacity()) Reserve(slots_.size() + 1);
    const bool fits = object >= INT32_MIN && object <= INT32_MAX;
    if (wide_.empty() && !fits) {
        wide_.reserve(slots_.capacity());
        for (const Slot& each : slots_)
            wide_.push_back(each.object);
    }
    if (!wide_.empty()) wide_.insert(wide_.begin() + static_cast<std::ptrdiff_t>(index), object);
    slot.object = fits ? static_cast<std::int32_t>(object) : 0;
    if (index == slots_.size())
        slots_.push_back(slot);
    else
        slots_.insert(slots_.begin() + static_cast<std::ptrdiff_t>(index), slot);
}

void TixStringList::Release(Slot& slot) const {
    if (slot.size == cOwned) {
        delete static_cast<const std::string*>(slot.data);
        --owned_;
    }
    slot.data = nullptr;
    slot.size = 0;
}

std::string& TixStringList::Own(int index) const {
    Slot& slot = slots_[static_cast<std::size_t>(index)];
    if (slot.size != cOwned) {
        // The block keeps the old bytes; they go with the list.
        slot.data = new std::string(SlotView(slot));
        slot.size = cOwned;
        ++owned_;
    }
    return *static_cast<std::string*>(const_cast<void*>(slot.data));
}

void TixStringList::RaiseIndex(int index) {
    throw EixError("List index out of bounds (" + std::to_string(index) + ")");
}

const std::string& TixStringList::Strings(int index) const {
    CheckIndex(index);
    return Own(index);
}

void TixStringList::SetString(int index, std::string value) {
    CheckIndex(index);
    Slot& slot = slots_[static_cast<std::size_t>(index)];
    Slot fresh = MakeSlot(std::move(value));
    fresh.object = slot.object;
    Release(slot);
    slot = fresh;
    Changed();
}

std::string& TixStringList::MutableString(int index) {
    CheckIndex(index);
    return Own(index);
}

void TixStringList::SetObject(int index, TixListObject object) {
    CheckIndex(index);
    const auto i = static_cast<std::size_t>(index);
    if (wide_.empty() && object >= INT32_MIN && object <= INT32_MAX) {
        slots_[i].object = static_cast<std::int32_t>(object);
    } else {
        // The slot goes out and back in with its object, which widens the objects if need be.
        Slot slot = slots_[i];
        slots_.erase(slots_.begin() + index);
        if (!wide_.empty()) wide_.erase(wide_.begin() + index);
        Put(i, slot, object);
    }
    Changed();
}

int TixStringList::Add(std::string line) {
    return AddObject(std::move(line), 0);
}

int TixStringList::AddObject(std::string line, TixListObject object) {
    if (slots_.size() == slots_.capacity()) Reserve(slots_.size() + 1);
    Put(slots_.size(), MakeSlot(std::move(line)), object);
    Changed();
    return Count() - 1;
}

int TixStringList::AddLine(std::string_view line, TixListObject object) {
    if (slots_.size() == slots_.capacity()) Reserve(slots_.size() + 1);
    Put(slots_.size(), MakeSlot(line), object);
    Changed();
    return Count() - 1;
}

namespace {

bool IsBreakOrNul(char c) {
    return c == '\r' || c == '\n' || c == '\0';
}

// Bit k is set when p[k] is a CR, an LF or a NUL, for the 64 bytes from p. One pass over a
// message finds every line break this way, where a search per line would start afresh each time.
std::uint64_t BreaksOf64(const char* p) {
    std::uint64_t mask = 0;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), nul = _mm_setzero_si128();
    for (int k = 0; k < 4; ++k) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf)),
                                          _mm_cmpeq_epi8(bytes, nul));
        mask |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(hits))) << (16 * k);
    }
#else
    for (int k = 0; k < 64; ++k)
        mask |= static_cast<std::uint64_t>(IsBreakOrNul(p[k])) << k;
#endif
    return mask;
}

}  // namespace

std::size_t TixStringList::AddCrlfLines(std::string_view text, TixListObject object) {
    const bool fits = object >= INT32_MIN && object <= INT32_MAX;
    if (!wide_.empty() || !fits || text.size() >= cOwned) {
        std::size_t taken = 0;
        for (;;) {
            const char* const line = text.data() + taken;
            const char* const stop = FindLineBreak(line, text.data() + text.size());
            const auto length = static_cast<std::size_t>(stop - line);
            if (text.size() - taken - length < 2 || stop[0] != '\r' || stop[1] != '\n' ||
                std::memchr(line, '\0', length) != nullptr)
                return taken;
            AddLine(std::string_view(line, length), object);
            taken += length + 2;
        }
    }
    // The lines are found in the caller's bytes, then copied as one piece, breaks and all, and
    // their slots moved onto the copy. Until then no slot may stay behind on a failure.
    const std::size_t first = slots_.size();
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* p = begin;  // where the next line starts
    char* copy = nullptr;
    try {
        Reserve(first + text.size() / 40 + 1);
        // Takes the line that ends at stop when a CRLF ends it there.
        const auto take = [&](const char* stop) {
            if (*stop != '\r' || end - stop < 2 || stop[1] != '\n') return false;
            if (slots_.size() == slots_.capacity()) Reserve(slots_.size() + 1);
            Slot slot;
            slot.data = p;
            slot.size = static_cast<std::uint32_t>(stop - p);
            slot.object = static_cast<std::int32_t>(object);
            slots_.push_back(slot);
            p = stop + 2;
            return true;
        };
        const char* block = begin;
        bool stopped = false;
        for (; !stopped && end - block >= 64; block += 64) {
            std::uint64_t breaks = BreaksOf64(block);
            if (p > block) breaks &= ~std::uint64_t{1};  // the LF of a CRLF from the block before
            while (breaks != 0) {
                const int k = std::countr_zero(breaks);
                if (!take(block + k)) {
                    stopped = true;
                    break;
                }
                breaks &= breaks - 1;
                breaks &= ~(std::uint64_t{2} << k);  // its LF
            }
        }
        // The bytes after the last whole block, one at a time.
        for (const char* s = std::max(p, block); !stopped && s < end; ++s) {
            if (!IsBreakOrNul(*s)) continue;
            if (!take(s)) break;
            s = p - 1;
        }
        if (p == begin) return 0;
        copy = Allocate(static_cast<std::size_t>(p - begin));
    } catch (...) {
        slots_.resize(first);
        throw;
    }
    std::memcpy(copy, begin, static_cast<std::size_t>(p - begin));
    for (std::size_t k = first; k < slots_.size(); ++k) {
        Slot& slot = slots_[k];
        slot.data = slot.size == 0 ? nullptr : copy + (static_cast<const char*>(slot.data) - begin);
    }
    Changed();
    return static_cast<std::size_t>(p - begin);
}

void TixStringList::AddStrings(const TixStringList& other) {
    if (other.slots_.empty()) return;
    const int count = other.Count();
    Reserve(slots_.size() + static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        Put(slots_.size(), MakeSlot(other.View(i)), other.Objects(i));
    Changed();
}

void TixStringList::Insert(int index, std::string line, TixListObject object) {
    CheckIndex(index, true);
    if (slots_.size() == slots_.capacity()) Reserve(slots_.size() + 1);
    Put(static_cast<std::size_t>(index), MakeSlot(std::move(line)), object);
    Changed();
}

void TixStringList::Delete(int index) {
    DeleteRange(index, 1);
}

void TixStringList::DeleteRange(int index, int count) {
    if (count <= 0) return;
    CheckIndex(index);
    if (count > Count() - index) RaiseIndex(Count());
    for (int i = index; i < index + count; ++i)
        Release(slots_[static_cast<std::size_t>(i)]);
    slots_.erase(slots_.begin() + index, slots_.begin() + index + count);
    if (!wide_.empty()) wide_.erase(wide_.begin() + index, wide_.begin() + index + count);
    Changed();
}

void TixStringList::Exchange(int a, int b) {
    CheckIndex(a);
    CheckIndex(b);
    std::swap(slots_[static_cast<std::size_t>(a)], slots_[static_cast<std::size_t>(b)]);
    if (!wide_.empty()) std::swap(wide_[static_cast<std::size_t>(a)], wide_[static_cast<std::size_t>(b)]);
    Changed();
}

void TixStringList::Clear() {
    if (slots_.empty()) return;
    ReleaseAll();
    Changed();
}

int TixStringList::IndexOf(std::string_view line) const {
    for (std::size_t i = 0; i < slots_.size(); ++i)
        if (SameText(SlotView(slots_[i]), line)) return static_cast<int>(i);
    return -1;
}

int TixStringList::IndexOfExact(std::string_view line) const {
    for (std::size_t i = 0; i < slots_.size(); ++i)
        if (SlotView(slots_[i]) == line) return static_cast<int>(i);
    return -1;
}

std::string TixStringList::Names(int index) const {
    const std::string_view line = View(index);
    const auto eq = line.find('=');
    return eq == std::string_view::npos ? std::string() : std::string(line.substr(0, eq));
}

std::string TixStringList::ValueFromIndex(int index) const {
    const std::string_view line = View(index);
    const auto eq = line.find('=');
    return eq == std::string_view::npos ? std::string() : std::string(line.substr(eq + 1));
}

int TixStringList::IndexOfName(std::string_view name) const {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const std::string_view line = SlotView(slots_[i]);
        const auto eq = line.find('=');
        if (eq != std::string_view::npos && SameText(line.substr(0, eq), name)) return static_cast<int>(i);
    }
    return -1;
}

std::string TixStringList::Values(std::string_view name) const {
    const int i = IndexOfName(name);
    return i < 0 ? std::string() : ValueFromIndex(i);
}

void TixStringList::SetValue(std::string_view name, std::string_view value) {
    const int i = IndexOfName(name);
    if (value.empty()) {
        if (i >= 0) Delete(i);
        return;
    }
    std::string line;
    line.reserve(name.size() + 1 + value.size());
    line.append(name).append(1, '=').append(value);
    if (i >= 0)
        SetString(i, std::move(line));
    else
        Add(std::move(line));
}

std::string TixStringList::Text() const {
    std::size_t size = 0;
    for (const Slot& slot : slots_)
        size += SlotView(slot).size() + 2;
    std::string result;
    result.reserve(size);
    for (const Slot& slot : slots_)
        result.append(SlotView(slot)).append("\r\n");
    return result;
}

void TixStringList::SetText(std::string_view text) {
    ReleaseAll();
    AddText(text);
}

// memchr is vectorised; a window keeps a text without one of the two bytes from being scanned to its
// end for every line.
const char* FindLineBreak(const char* p, const char* end) {
    constexpr std::ptrdiff_t window = 256;
    while (p < end) {
        const auto size = static_cast<std::size_t>(std::min(end - p, window));
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', size));
        const char* stop = lf != nullptr ? lf : p + size;
        const char* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(stop - p)));
        if (cr != nullptr) return cr;
        if (lf != nullptr) return lf;
        p += size;
    }
    return end;
}

void TixStringList::Reserve(std::size_t n) {
    if (n <= slots_.capacity()) return;
    slots_.reserve(std::max(n, 2 * slots_.capacity()));
    if (slots_.capacity() * sizeof(Slot) >= 2 * cHugePage)
        AdviseHugePages(slots_.data(), slots_.capacity() * sizeof(Slot));
}

void TixStringList::AddText(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    // Mail lines are rarely shorter than 40 bytes: reserve for that.
    Reserve(slots_.size() + text.size() / 40 + 1);
    while (p < end) {
        const char* stop = FindLineBreak(p, end);
        if (slots_.size() == slots_.capacity()) Reserve(slots_.size() + 1);
        Put(slots_.size(), MakeSlot(std::string_view(p, static_cast<std::size_t>(stop - p))), 0);
        p = stop;
        if (p < end && *p == '\r') ++p;
        if (p < end && *p == '\n') ++p;
    }
    Changed();
}

void TixStringList::EndUpdate() {
    if (updateCount_ == 0) return;
    if (--updateCount_ == 0 && changedInUpdate_) {
        changedInUpdate_ = false;
        if (OnChange) OnChange(*this);
    }
}

void TixStringList::Changed() {
    if (updateCount_ > 0) {
        changedInUpdate_ = true;
        return;
    }
    if (OnChange) OnChange(*this);
}

bool TixStringList::operator==(const TixStringList& other) const {
    return std::equal(slots_.begin(), slots_.end(), other.slots_.begin(), other.slots_.end(),
                      [](const Slot& a, const Slot& b) { return SlotView(a) == SlotView(b); });
}

}  // namespace ix
