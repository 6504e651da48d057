#include "mail/ixHeaderFieldList.h"

#include <algorithm>

namespace ix {

namespace {

bool IsFoldSpace(char c) {
    return c == ' ' || c == '\t';
}

bool StartsWithFoldSpace(const std::string& line) {
    return !line.empty() && IsFoldSpace(line[0]);
}

// Printable ASCII but the colon (RFC 5322 section 3.6.8).
bool IsFieldName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b > 32 && b < 127 && b != ':';
    });
}

}  // namespace

std::string TrimHeaderText(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32)
        --e;
    return std::string(text.substr(b, e - b));
}

std::string UnquoteHeaderText(std::string_view text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return std::string(text);
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == '\\' && i + 2 < text.size()) ++i;
        result += text[i];
    }
    return result;
}

std::string QuoteHeaderText(std::string_view text) {
    std::string result = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') result += '\\';
        result += c;
    }
    result += '"';
    return result;
}

TixHeaderFieldList::TixHeaderFieldList() = default;
TixHeaderFieldList::~TixHeaderFieldList() = default;

std::string_view TixHeaderFieldList::GetQuoteChars() const {
    return "\"'";
}
std::string_view TixHeaderFieldList::GetItemDelimiters() const {
    return ",;";
}
std::string_view TixHeaderFieldList::GetSpecialChars() const {
    return "\"'(),;<>";
}
std::string_view TixHeaderFieldList::GetWhiteSpaces() const {
    return "\t\n\r ";
}

bool TixHeaderFieldList::IsWhiteSpace(char c) const {
    return GetWhiteSpaces().find(c) != std::string_view::npos;
}

int TixHeaderFieldList::Parse(int startIndex, TixStringList* source) {
    startIndex_ = startIndex;
    source_ = source;
    fields_.clear();
    firstByName_.clear();
    const int first = std::max(startIndex, 0);
    const int count = source ? source->Count() : 0;
    int i = first;
    for (; i < count; ++i) {
        const std::string& line = (*source)[i];
        if (line.empty()) break;
        if (IsFoldSpace(line[0])) continue;
        const auto colon = line.find(':');
        std::size_t nameEnd = colon == std::string::npos ? 0 : colon;
        // Obsolete syntax allows white space before the colon (RFC 5322 section 4.5).
        while (nameEnd > 0 && IsFoldSpace(line[nameEnd - 1]))
            --nameEnd;
        const std::string_view rawName = std::string_view(line).substr(0, nameEnd);
        if (!IsFieldName(rawName)) {
            // An mbox "From " line ahead of the header belongs to the mailbox file, not the body.
            if (i == first && line.starts_with("From ")) continue;
            break;
        }
        std::string name = LowerCase(rawName);
        firstByName_.try_emplace(name, static_cast<int>(fields_.size()));
        fields_.push_back({std::move(name), i, colon + 1});
    }
    headerEnd_ = std::min(i, count);
    if (headerEnd_ < startIndex_) headerEnd_ = count;
    return headerEnd_;
}

int TixHeaderFieldList::BodyStart() const {
    if (!source_ || headerEnd_ >= source_->Count() || !(*source_)[headerEnd_].empty()) return headerEnd_;
    return headerEnd_ + 1;
}

int TixHeaderFieldList::FieldLine(int index) const {
    if (index < 0 || index >= Count()) return -1;
    return fields_[static_cast<std::size_t>(index)].line;
}

int TixHeaderFieldList::GetFieldIndex(std::string_view name) const {
    const auto it = firstByName_.find(LowerCase(name));
    return it == firstByName_.end() ? -1 : it->second;
}

std::string TixHeaderFieldList::GetFieldName(int index) const {
    if (index < 0 || index >= Count() || !source_) return {};
    const Field& f = fields_[static_cast<std::size_t>(index)];
    return (*source_)[f.line].substr(0, f.name.size());
}

std::string TixHeaderFieldList::GetRawFieldValue(int index) const {
    if (index < 0 || index >= Count() || !source_) return {};
    const Field& f = fields_[static_cast<std::size_t>(index)];
    const std::string& first = (*source_)[f.line];
    std::string value = first.substr(std::min(first.size(), f.valueStart));
    if (!value.empty() && IsFoldSpace(value[0])) value.erase(0, 1);
    // Standard unfolding: the line break goes, the white space that follows it stays.
    for (int i = f.line + 1; i < source_->Count(); ++i) {
        const std::string& line = (*source_)[i];
        if (!StartsWithFoldSpace(line)) break;
        value += line;
    }
    return value;
}

std::string TixHeaderFieldList::GetFieldValue(int index) const {
    return TrimHeaderText(GetRawFieldValue(index));
}

std::string TixHeaderFieldList::GetFieldValue(std::string_view name) const {
    const int index = GetFieldIndex(name);
    return index < 0 ? std::string() : GetFieldValue(index);
}

void TixHeaderFieldList::GetFieldLines(int index, TixStringList& destination) const {
    destination.Clear();
    if (index < 0 || index >= Count() || !source_) return;
    const int first = fields_[static_cast<std::size_t>(index)].line;
    destination.Add((*source_)[first]);
    for (int i = first + 1; i < source_->Count() && StartsWithFoldSpace((*source_)[i]); ++i)
        destination.Add((*source_)[i]);
}

std::size_t TixHeaderFieldList::ScanItemValue(std::string_view value, std::size_t pos) const {
    const std::string_view quotes = GetQuoteChars();
    const std::string_view delimiters = GetItemDelimiters();
    std::size_t i = pos;
    while (i < value.size() && IsFoldSpace(value[i]))
        ++i;
    // A quote only opens a quoted section at the start of the value, so an apostrophe inside a
    // plain name (O'Brien.pdf) does not swallow the items after it.
    if (i < value.size() && quotes.find(value[i]) != std::string_view::npos) {
        const char q = value[i];
        for (std::size_t j = i + 1; j < value.size(); ++j) {
            if (q == '"' && value[j] == '\\') {
                ++j;
                continue;
            }
            if (value[j] == q) return j + 1;
        }
        return value.size();
    }
    while (i < value.size() && delimiters.find(value[i]) == std::string_view::npos)
        ++i;
    return i;
}

int TixHeaderFieldList::FindFieldValueItem(std::string_view value, std::string_view itemName, int& length,
                                           std::string& rawValue) const {
    length = 0;
    rawValue.clear();
    if (itemName.empty()) {
        const std::size_t end = ScanItemValue(value, 0);
        rawValue = std::string(value.substr(0, end));
        length = static_cast<int>(end);
        return 1;
    }
    const std::string wanted = LowerCase(itemName);
    const std::string_view delimiters = GetItemDelimiters();
    std::size_t pos = 0;
    // Items start at the beginning of the value and after each delimiter; quoted values are
    // stepped over whole, so "charset=" inside a quoted boundary is never taken for an item.
    while (pos <= value.size()) {
        std::size_t start = pos;
        while (start < value.size() && IsWhiteSpace(value[start]))
            ++start;
        std::size_t eq = start;
        while (eq < value.size() && value[eq] != '=' &&
               delimiters.find(value[eq]) == std::string_view::npos &&
               GetQuoteChars().find(value[eq]) == std::string_view::npos)
            ++eq;
        std::size_t next;
        if (eq < value.size() && value[eq] == '=') {
            std::size_t nameEnd = eq;
            while (nameEnd > start && IsWhiteSpace(value[nameEnd - 1]))
                --nameEnd;
            const std::size_t valueEnd = ScanItemValue(value, eq + 1);
            if (nameEnd - start == wanted.size() &&
                LowerCase(value.substr(start, nameEnd - start)) == wanted) {
                rawValue = std::string(value.substr(eq + 1, valueEnd - eq - 1));
                length = static_cast<int>(valueEnd - start);
                return static_cast<int>(start) + 1;
            }
            next = valueEnd;
        } else {
            next = ScanItemValue(value, start);
        }
        while (next < value.size() && delimiters.find(value[next]) == std::string_view::npos)
            ++next;
        if (next >= value.size()) break;
        pos = next + 1;
    }
    return 0;
}

std::string TixHeaderFieldList::GetFieldValueItem(std::string_view value, std::string_view itemName) const {
    int length = 0;
    std::string raw;
    FindFieldValueItem(value, itemName, length, raw);
    std::string result = TrimHeaderText(raw);
    const std::string_view quotes = GetQuoteChars();
    if (result.size() >= 2 && quotes.find(result.front()) != std::string_view::npos &&
        quotes.find(result.back()) != std::string_view::npos) {
        if (result.front() == '"' && result.back() == '"') return UnquoteHeaderText(result);
        return result.substr(1, result.size() - 2);
    }
    return result;
}

void TixHeaderFieldList::AddField(std::string_view name, std::string_view value) {
    if (value.empty()) return;
    InsertField(headerEnd_, std::string(name) + ": " + std::string(value), true);
}

void TixHeaderFieldList::AddFieldAlways(std::string_view name, std::string_view value) {
    InsertField(headerEnd_, std::string(name) + ":" + (value.empty() ? "" : " " + std::string(value)), true);
}

void TixHeaderFieldList::AddFieldNoFold(std::string_view name, std::string_view value) {
    if (value.empty()) return;
    InsertField(headerEnd_, std::string(name) + ": " + std::string(value), false);
}

void TixHeaderFieldList::AddFields(const TixStringList& lines) {
    for (const auto& item : lines)
        InsertField(headerEnd_, item.line, true);
}

std::vector<std::string> TixHeaderFieldList::FoldLine(std::string_view line) const {
    std::vector<std::string> pieces;
    const std::size_t limit = charsPerLine_ > 0 ? static_cast<std::size_t>(charsPerLine_) : line.size();
    // Never cut before the first word of the value, so the first line carries the name and
    // something after it.
    std::size_t minCut = 1;
    const auto colon = line.find(':');
    if (colon != std::string_view::npos) {
        minCut = colon + 1;
        while (minCut < line.size() && IsFoldSpace(line[minCut]))
            ++minCut;
        ++minCut;
    }
    std::size_t start = 0;
    while (line.size() - start > limit) {
        // A cut is a position p where line[p] is white space followed by a non-space character;
        // the piece ends before p and the next one starts with that white space.
        std::size_t best = std::string_view::npos;
        const std::size_t lo = std::max(start + 1, minCut);
        const std::size_t hi = start + limit;  // piece [start, p) must have p - start <= limit
        for (std::size_t p = lo; p <= hi && p + 1 < line.size(); ++p)
            if (IsFoldSpace(line[p]) && !IsFoldSpace(line[p + 1])) best = p;
        if (best == std::string_view::npos) {
            // The word is longer than a line: keep it whole and cut at the next white space.
            for (std::size_t p = std::max(hi + 1, lo); p + 1 < line.size(); ++p)
                if (IsFoldSpace(line[p]) && !IsFoldSpace(line[p + 1])) {
                    best = p;
                    break;
                }
        }
        if (best == std::string_view::npos) break;
        pieces.emplace_back(line.substr(start, best - start));
        start = best;
    }
    pieces.emplace_back(line.substr(start));
    return pieces;
}

int TixHeaderFieldList::InsertPieces(int line, const std::vector<std::string>& pieces,
                                     std::string_view firstPrefix) {
    bool first = true;
    for (const auto& piece : pieces) {
        source_->Insert(line, first ? std::string(firstPrefix) + piece : piece);
        first = false;
        ++line;
        ++headerEnd_;
    }
    return line;
}

void TixHeaderFieldList::InsertField(int position, const std::string& line, bool fold) {
    if (!source_ || line.empty()) return;
    position = std::clamp(position, 0, headerEnd_);
    if (!fold || charsPerLine_ < 1) {
        source_->Insert(position, line);
        ++headerEnd_;
    } else {
        InsertPieces(position, FoldLine(line), "");
    }
    Parse(startIndex_, source_);
}

void TixHeaderFieldList::AddFieldItem(std::string_view fieldName, std::string_view itemName,
                                      std::string_view value, bool newLine) {
    const int index = GetFieldIndex(fieldName);
    if (index >= 0) AddFieldItem(index, itemName, value, newLine);
}

void TixHeaderFieldList::AddFieldItem(int index, std::string_view itemName, std::string_view value,
                                      bool newLine) {
    if (index < 0 || index >= Count() || !source_) return;
    const std::string trimmed = TrimHeaderText(value);
    if (trimmed.empty()) return;
    std::string item(itemName);
    if (!item.empty() && item.back() != '=') item += '=';
    item += trimmed;

    int last = fields_[static_cast<std::size_t>(index)].line;
    while (last + 1 < source_->Count() && StartsWithFoldSpace((*source_)[last + 1]))
        ++last;
    std::string line = (*source_)[last];
    const std::string lineTrimmed = TrimHeaderText(line);
    if (!lineTrimmed.empty() && lineTrimmed.back() != itemDelimiter_) {
        line = std::string(line.substr(0, line.find_last_not_of(" \t") + 1)) + itemDelimiter_;
    }
    const bool fits =
        charsPerLine_ < 1 || line.size() + item.size() + 2 <= static_cast<std::size_t>(charsPerLine_);
    if (!newLine && fits) {
        source_->SetString(last, line + " " + item);
    } else {
        source_->SetString(last, line);
        if (charsPerLine_ < 1) {
            source_->Insert(last + 1, "\t" + item);
            ++headerEnd_;
        } else {
            // The TAB before the item is real folding white space between two parameters.
            TixHeaderFieldList probe;
            probe.charsPerLine_ = charsPerLine_ - 1;
            InsertPieces(last + 1, probe.FoldLine(item), "\t");
        }
    }
    Parse(startIndex_, source_);
}

void TixHeaderFieldList::AddQuotedFieldItem(std::string_view fieldName, std::string_view itemName,
                                            std::string_view value) {
    const std::string trimmed = TrimHeaderText(value);
    if (trimmed.empty()) return;
    const bool quoted = trimmed.size() >= 2 && trimmed.front() == '"' && trimmed.back() == '"';
    AddFieldItem(fieldName, itemName, quoted ? trimmed : QuoteHeaderText(trimmed), false);
}

void TixHeaderFieldList::AddEndOfHeader() {
    if (!source_ || source_->Empty()) return;
    if (headerEnd_ >= source_->Count()) {
        if (!(*source_)[source_->Count() - 1].empty()) source_->Add("");
    } else if (!(*source_)[headerEnd_].empty()) {
        source_->Insert(headerEnd_, "");
    }
}

void TixHeaderFieldList::RemoveField(int index) {
    if (index < 0 || index >= Count() || !source_) return;
    const int first = fields_[static_cast<std::size_t>(index)].line;
    source_->Delete(first);
    --headerEnd_;
    while (first < source_->Count() && StartsWithFoldSpace((*source_)[first])) {
        source_->Delete(first);
        --headerEnd_;
    }
}

void TixHeaderFieldList::InsertLines(int lineIndex, const TixStringList& lines) {
    if (!source_) return;
    lineIndex = std::clamp(lineIndex, 0, source_->Count());
    for (const auto& item : lines)
        source_->Insert(lineIndex++, item.line);
    headerEnd_ += lines.Count();
}

std::string TixHeaderFieldList::RemoveItemFromValue(std::string_view value, std::string_view itemName) const {
    int length = 0;
    std::string raw;
    const int pos = FindFieldValueItem(value, itemName, length, raw);
    if (pos == 0) return std::string(value);
    std::string text(value);
    std::size_t start = static_cast<std::size_t>(pos - 1);
    std::size_t end = start + static_cast<std::size_t>(length);
    if (end < text.size() && text[end] == itemDelimiter_) ++end;
    bool onlySpaceAfter = true;
    for (std::size_t i = end; i < text.size(); ++i)
        if (!IsWhiteSpace(text[i])) {
            onlySpaceAfter = false;
            break;
        }
    if (onlySpaceAfter) {
        while (start > 0 && (text[start - 1] == itemDelimiter_ || IsWhiteSpace(text[start - 1])))
            --start;
    } else {
        while (start > 0 && IsWhiteSpace(text[start - 1]))
            --start;
    }
    text.erase(start, end - start);
    return text;
}

std::string TixHeaderFieldList::ClearItemValue(std::string_view value, std::string_view itemName) const {
    int length = 0;
    std::string raw;
    const int pos = FindFieldValueItem(value, itemName, length, raw);
    if (pos == 0) return std::string(value);
    std::string text(value);
    const std::size_t end = static_cast<std::size_t>(pos - 1 + length);
    text.erase(end - raw.size(), raw.size());
    return text;
}

void TixHeaderFieldList::RemoveFieldItem(std::string_view fieldName, std::string_view itemName,
                                         bool clearOnly) {
    const int index = GetFieldIndex(fieldName);
    if (index < 0 || !source_) return;
    TixStringList lines;
    GetFieldLines(index, lines);
    std::string joined;
    for (int i = 0; i < lines.Count(); ++i) {
        if (i > 0) joined += "\r\n";
        joined += lines[i];
    }
    const std::string changed =
        clearOnly ? ClearItemValue(joined, itemName) : RemoveItemFromValue(joined, itemName);
    const int first = fields_[static_cast<std::size_t>(index)].line;
    RemoveField(index);
    TixStringList result;
    result.SetText(changed);
    InsertLines(first, result);
}

}  // namespace ix
