#pragma once
// Ordered text lines, each carrying an optional integer-sized object (an index, a flag or a pointer),
// with name=value access and ASCII case-insensitive search. Appending is amortised O(1), so a list of
// a million lines is cheap. The change callback fires after every modification unless updates are
// suspended with BeginUpdate; the matching EndUpdate then fires it once if anything changed.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
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
    ~TixStringList() = default;

    int Count() const { return static_cast<int>(items_.size()); }
    bool Empty() const { return items_.empty(); }
    const std::string& operator[](int index) const { return Strings(index); }
    const std::string& Strings(int index) const;  // throws EixError on a bad index
    void SetString(int index, std::string value);
    // Direct access for code that edits a line in place; call Changed() afterwards.
    std::string& MutableString(int index);
    TixListObject Objects(int index) const;
    void SetObject(int index, TixListObject object);

    int Add(std::string line);
    int AddObject(std::string line, TixListObject object);
    void AddStrings(const TixStringList& other);
    void Insert(int index, std::string line, TixListObject object = 0);
    void Delete(int index);
    void Exchange(int a, int b);
    void Clear();
    void Assign(const TixStringList& other) { *this = other; }
    // Room for at least n lines. Grows at least twofold, so that callers that reserve a little
    // more each time (one announced block after another) stay linear.
    void Reserve(std::size_t n);
    std::size_t Capacity() const { return items_.capacity(); }

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

    struct Item {
        std::string line;
        TixListObject object = 0;
    };
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    void CheckIndex(int index, bool allowEnd = false) const;

    std::vector<Item> items_;
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
