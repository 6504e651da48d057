#include "base/ixStringList.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

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

TixStringList::TixStringList(std::initializer_list<std::string> lines) {
    items_.reserve(lines.size());
    for (const auto& line : lines)
        items_.push_back({line, 0});
}

TixStringList::TixStringList(const TixStringList& other) : items_(other.items_) {}

TixStringList& TixStringList::operator=(const TixStringList& other) {
    if (this != &other) {
        items_ = other.items_;
        Changed();
    }
    return *this;
}

TixStringList::TixStringList(TixStringList&& other) noexcept : items_(std::move(other.items_)) {}

TixStringList& TixStringList::operator=(TixStringList&& other) noexcept {
    if (this != &other) {
        items_ = std::move(other.items_);
        other.items_.clear();
        Changed();
    }
    return *this;
}

void TixStringList::CheckIndex(int index, bool allowEnd) const {
    const int limit = allowEnd ? Count() + 1 : Count();
    if (index < 0 || index >= limit)
        throw EixError("List index out of bounds (" + std::to_string(index) + ")");
}

const std::string& TixStringList::Strings(int index) const {
    CheckIndex(index);
    return items_[static_cast<std::size_t>(index)].line;
}

void TixStringList::SetString(int index, std::string value) {
    CheckIndex(index);
    items_[static_cast<std::size_t>(index)].line = std::move(value);
    Changed();
}

std::string& TixStringList::MutableString(int index) {
    CheckIndex(index);
    return items_[static_cast<std::size_t>(index)].line;
}

TixStringList::TixListObject TixStringList::Objects(int index) const {
    CheckIndex(index);
    return items_[static_cast<std::size_t>(index)].object;
}

void TixStringList::SetObject(int index, TixListObject object) {
    CheckIndex(index);
    items_[static_cast<std::size_t>(index)].object = object;
    Changed();
}

int TixStringList::Add(std::string line) {
    return AddObject(std::move(line), 0);
}

int TixStringList::AddObject(std::string line, TixListObject object) {
    items_.push_back({std::move(line), object});
    Changed();
    return Count() - 1;
}

void TixStringList::AddStrings(const TixStringList& other) {
    if (other.items_.empty()) return;
    items_.insert(items_.end(), other.items_.begin(), other.items_.end());
    Changed();
}

void TixStringList::Insert(int index, std::string line, TixListObject object) {
    CheckIndex(index, true);
    items_.insert(items_.begin() + index, Item{std::move(line), object});
    Changed();
}

void TixStringList::Delete(int index) {
    CheckIndex(index);
    items_.erase(items_.begin() + index);
    Changed();
}

void TixStringList::Exchange(int a, int b) {
    CheckIndex(a);
    CheckIndex(b);
    std::swap(items_[static_cast<std::size_t>(a)], items_[static_cast<std::size_t>(b)]);
    Changed();
}

void TixStringList::Clear() {
    if (items_.empty()) return;
    items_.clear();
    Changed();
}

int TixStringList::IndexOf(std::string_view line) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (SameText(items_[i].line, line)) return static_cast<int>(i);
    return -1;
}

int TixStringList::IndexOfExact(std::string_view line) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].line == line) return static_cast<int>(i);
    return -1;
}

std::string TixStringList::Names(int index) const {
    const std::string& line = Strings(index);
    const auto eq = line.find('=');
    return eq == std::string::npos ? std::string() : line.substr(0, eq);
}

std::string TixStringList::ValueFromIndex(int index) const {
    const std::string& line = Strings(index);
    const auto eq = line.find('=');
    return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

int TixStringList::IndexOfName(std::string_view name) const {
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const std::string& line = items_[i].line;
        const auto eq = line.find('=');
        if (eq != std::string::npos && SameText(std::string_view(line).substr(0, eq), name))
            return static_cast<int>(i);
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
    for (const auto& item : items_)
        size += item.line.size() + 2;
    std::string result;
    result.reserve(size);
    for (const auto& item : items_)
        result.append(item.line).append("\r\n");
    return result;
}

void TixStringList::SetText(std::string_view text) {
    items_.clear();
    AddText(text);
}

// Eight bytes at a time.
const char* FindLineBreak(const char* p, const char* end) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        const std::uint64_t cr = word ^ (ones * '\r'), lf = word ^ (ones * '\n');
        // A zero byte in cr or lf marks a match; the test has no false negatives, and a false
        // positive only sends the scan to the byte loop below.
        if ((((cr - ones) & ~cr) | ((lf - ones) & ~lf)) & highs) break;
        p += 8;
    }
    while (p < end && *p != '\r' && *p != '\n')
        ++p;
    return p;
}

void TixStringList::Reserve(std::size_t n) {
    if (n > items_.capacity()) items_.reserve(std::max(n, 2 * items_.capacity()));
}

void TixStringList::AddText(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    // Mail lines are rarely shorter than 40 bytes: reserve for that.
    Reserve(items_.size() + text.size() / 40 + 1);
    while (p < end) {
        const char* stop = FindLineBreak(p, end);
        items_.push_back({std::string(p, stop), 0});
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
    return std::equal(items_.begin(), items_.end(), other.items_.begin(), other.items_.end(),
                      [](const Item& a, const Item& b) { return a.line == b.line; });
}

}  // namespace ix
