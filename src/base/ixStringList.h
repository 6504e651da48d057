#pragma once
// Ordered text lines, each carrying an optional integer-sized object (an index, a flag or a pointer),
// with name=value access and ASCII case-insensitive search. Appending is amortised O(1), so a list of
// a million lines is cheap. The change callback fires after every modification unless updates are
// suspended with BeginUpdate; the matching EndUpdate then fires it once if anything changed.
//
// Lines live packed in large blocks, not one heap string each: a fetched message of a million lines
// costs a few allocations and little more memory than its text. View reads a line without making
// a string of it; Strings makes that string on first use and keeps it until the line changes, so
// a list is not to be read from two threads at once.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ix {

class TixStringList {
public:
    using TixListObject = std::intptr_t;
    using TixChangeEvent = std::function<void(TixStringList& Sender)>;

    TixStringList() = default;
    TixStringList(std::initializer_list<std::string> lines);
    TixStringList(const TixStringList& other);
    TixStringList& operator=(const TixStringList& other);  // copies lines and objects, keeps OnChange
    TixStringList(TixStringList&& other) noexcept;
    TixStringList& operator=(TixStringList&& other) noexcept;
    ~TixStringList();

    int Count() const { return static_cast<int>(slots_.size()); }
    bool Empty() const { return slots_.empty(); }
    const std::string& operator[](int index) const { return Strings(index); }
    const std::string& Strings(int index) const;  // throws EixError on a bad index
    // The line's text without a string made of it; valid until the line changes or is deleted.
    std::string_view View(int index) const {
        CheckIndex(index);
        return SlotView(slots_[static_cast<std::size_t>(index)]);
    }
    void SetString(int index, std::string value);
    // Direct access for code that edits a line in place; call Changed() afterwards.
    std::string& MutableString(int index);
    TixListObject Objects(int index) const {
        CheckIndex(index);
        const auto i = static_cast<std::size_t>(index);
        return wide_.empty() ? slots_[i].object : wide_[i];
    }
    void SetObject(int index, TixListObject object);

    int Add(std::string line);
    int AddObject(std::string line, TixListObject object);
    // Appends a copy of the bytes (a line cut from a larger text).
    int AddLine(std::string_view line, TixListObject object = 0);
    // Appends the CRLF-ended lines at the start of text with one copy of their bytes, stopping
    // before the first line that does not end in CRLF within text or that holds a NUL (which is no
    // text; the caller decides what it becomes); answers the bytes taken, line breaks included. For
    // receivers that store a large body a read at a time.
    std::size_t AddCrlfLines(std::string_view text, TixListObject object = 0);
    void AddStrings(const TixStringList& other);
    void Insert(int index, std::string line, TixListObject object = 0);
    void Delete(int index);
    // Deletes count lines from index on at once.
    void DeleteRange(int index, int count);
    void Exchange(int a, int b);
    void Clear();
    void Assign(const TixStringList& other) { *this = other; }
    // Room for at least n lines. Grows at least twofold, so that callers that reserve a little
    // more each time (one announced block after another) stay linear.
    void Reserve(std::size_t n);
    std::size_t Capacity() const { return slots_.capacity(); }

    // Case-insensitive (ASCII) search for a whole line; -1 when not found.
    int IndexOf(std::string_view line) const;
    // Case-sensitive variant.
    int IndexOfExact(std::string_view line) const;

    // name=value access: the name is the part before the first '='.
    std::string Names(int index) const;
    std::string ValueFromIndex(int index) const;
    int IndexOfName(std::string_view name) const;                  // case-insensitive
    std::string Values(std::string_view name) const;               // empty when absent
    void SetValue(std::string_view name, std::string_view value);  // empty value removes the entry

    // The lines joined, each followed by CRLF.
    std::string Text() const;
    // Replaces the lines with the pieces of text split at CRLF, CR or LF.
    void SetText(std::string_view text);
    // Appends those pieces; a final line break adds no empty line.
    void AddText(std::string_view text);

    void BeginUpdate() { ++updateCount_; }
    void EndUpdate();
    int UpdateCount() const { return updateCount_; }
    void Changed();  // raises OnChange now, or once at the end of the update

    bool operator==(const TixStringList& other) const;

    TixChangeEvent OnChange;

    // What iterating a list yields.
    struct Item {
        const std::string& line;
        TixListObject object = 0;
    };
    class Iterator {
    public:
        Iterator(const TixStringList* list, int index) : list_(list), index_(index) {}
        Item operator*() const { return {list_->Strings(index_), list_->Objects(index_)}; }
        Iterator& operator++() {
            ++index_;
            return *this;
        }
        bool operator==(const Iterator& other) const { return index_ == other.index_; }

    private:
        const TixStringList* list_;
        int index_;
    };
    Iterator begin() const { return {this, 0}; }
    Iterator end() const { return {this, Count()}; }

private:
    // A line: bytes in a block, or a string of its own (made by Strings, or given whole). Sixteen
    // bytes, as a message of a million lines has a million of them.
    static constexpr std::uint32_t cOwned = UINT32_MAX;
    struct Slot {
        const void* data = nullptr;  // the bytes, or the std::string when owned
        std::uint32_t size = 0;      // of the bytes in a block, or cOwned
        std::int32_t object = 0;     // when every object fits; else wide_ holds them
    };
    void CheckIndex(int index, bool allowEnd = false) const {
        if (index < 0 || static_cast<std::size_t>(index) >= slots_.size() + (allowEnd ? 1 : 0))
            RaiseIndex(index);
    }
    [[noreturn]] static void RaiseIndex(int index);
    Slot MakeSlot(std::string_view line);
    Slot MakeSlot(std::string&& line);
    // Appends or inserts the slot with its object.
    void Put(std::size_t index, Slot slot, TixListObject object);
    void Release(Slot& slot) const;
    static std::string_view SlotView(const Slot& slot) {
        if (slot.size == cOwned) return *static_cast<const std::string*>(slot.data);
        return {static_cast<const char*>(slot.data), slot.size};
    }
    std::string& Own(int index) const;
    void ReleaseAll();
    char* Allocate(std::size_t size);

    // The slots. Lines deleted from the front stay in place until they outnumber the rest, so
    // that taking the protocol line off a fetched message of a million lines moves none of them.
    class TixSlots {
    public:
        using iterator = std::vector<Slot>::iterator;
        using const_iterator = std::vector<Slot>::const_iterator;
        TixSlots() = default;
        TixSlots(TixSlots&& other) noexcept
            : all_(std::move(other.all_)), head_(std::exchange(other.head_, 0)) {
            other.all_.clear();
        }
        TixSlots& operator=(TixSlots&& other) noexcept {
            all_ = std::move(other.all_);
            head_ = std::exchange(other.head_, 0);
            other.all_.clear();
            return *this;
        }
        std::size_t size() const { return all_.size() - head_; }
        bool empty() const { return size() == 0; }
        std::size_t capacity() const { return all_.capacity() - head_; }
        Slot& operator[](std::size_t i) { return all_[head_ + i]; }
        const Slot& operator[](std::size_t i) const { return all_[head_ + i]; }
        iterator begin() { return all_.begin() + static_cast<std::ptrdiff_t>(head_); }
        iterator end() { return all_.end(); }
        const_iterator begin() const { return all_.begin() + static_cast<std::ptrdiff_t>(head_); }
        const_iterator end() const { return all_.end(); }
        Slot* data() { return all_.data() + head_; }
        void push_back(const Slot& slot) { all_.push_back(slot); }
        void insert(iterator at, const Slot& slot) { all_.insert(at, slot); }
        void erase(iterator first, iterator last) {
            if (first != begin()) {
                all_.erase(first, last);
                return;
            }
            head_ += static_cast<std::size_t>(last - first);
            if (head_ > size()) Compact();
        }
        void erase(iterator at) { erase(at, at + 1); }
        void resize(std::size_t n) { all_.resize(head_ + n); }
        void reserve(std::size_t n) {
            Compact();
            all_.reserve(n);
        }
        void clear() {
            all_.clear();
            head_ = 0;
        }

    private:
        void Compact() {
            all_.erase(all_.begin(), all_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
        std::vector<Slot> all_;
        std::size_t head_ = 0;  // slots of deleted lines before the first line
    };
    mutable TixSlots slots_;
    // Every line's object, once one does not fit a slot; empty until then.
    std::vector<TixListObject> wide_;
    struct BlockFree {
        bool huge = false;  // one huge page, handed on for reuse
        void operator()(char* block) const noexcept;
    };
    char* NewBlock(std::size_t size);

    std::vector<std::unique_ptr<char, BlockFree>> blocks_;
    char* free_ = nullptr;  // the unused end of the newest block
    std::size_t freeSize_ = 0;
    std::size_t nextBlock_ = 0;
    mutable std::size_t owned_ = 0;  // slots that own a string
    int updateCount_ = 0;
    bool changedInUpdate_ = false;
};

// Holds a list's change notifications for a scope, also when the scope ends by an exception.
class TixListUpdate {
public:
    explicit TixListUpdate(TixStringList& list) : list_(list) { list_.BeginUpdate(); }
    ~TixListUpdate() { list_.EndUpdate(); }
    TixListUpdate(const TixListUpdate&) = delete;
    TixListUpdate& operator=(const TixListUpdate&) = delete;

private:
    TixStringList& list_;
};

// The first CR or LF in [p, end), or end when there is none.
const char* FindLineBreak(const char* p, const char* end);

// ASCII case-insensitive comparison helpers shared by every subsystem.
bool SameText(std::string_view a, std::string_view b);
std::string LowerCase(std::string_view text);
std::string UpperCase(std::string_view text);

}  // namespace ix
