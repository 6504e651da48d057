#pragma once
// An index over a message header held as text lines. The list never copies the header: it keeps a
// pointer to the caller's lines and remembers the line on which every field starts. Readers unfold
// continuation lines the standard way (line breaks removed, the folding white space kept); writers
// fold long lines at white space only, so any reader unfolds them back to the value written.
// Nothing here throws apart from out-of-memory; unknown names read as empty and write nothing.

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/ixStringList.h"
#include "base/ixTypes.h"

namespace ix {

class TixHeaderFieldList : public TixObject {
public:
    TixHeaderFieldList();
    ~TixHeaderFieldList() override;
    TixHeaderFieldList(const TixHeaderFieldList&) = delete;
    TixHeaderFieldList& operator=(const TixHeaderFieldList&) = delete;

    // Indexes source from startIndex up to the first empty line, or up to a line that is neither a
    // field nor a continuation (RFC 5322 section 2.1: such a line starts the body); returns HeaderEnd.
    virtual int Parse(int startIndex, TixStringList* source);

    int Count() const { return static_cast<int>(fields_.size()); }
    TixStringList* Source() const { return source_; }
    int HeaderEnd() const { return headerEnd_; }
    // The first line of the body: after the empty line that ends the header, or the line that
    // ended it by not being a field.
    int BodyStart() const;
    int StartIndex() const { return startIndex_; }
    int CharsPerLine() const { return charsPerLine_; }
    void SetCharsPerLine(int value) { charsPerLine_ = value; }
    char ItemDelimiter() const { return itemDelimiter_; }
    void SetItemDelimiter(char value) { itemDelimiter_ = value; }
    // Line index in Source of the first line of field index.
    int FieldLine(int index) const;

    int GetFieldIndex(std::string_view name) const;
    std::string GetFieldName(int index) const;
    virtual std::string GetRawFieldValue(int index) const;
    virtual std::string GetFieldValue(int index) const;
    std::string GetFieldValue(std::string_view name) const;
    void GetFieldLines(int index, TixStringList& destination) const;

    // Locates item inside value. Returns the 1-based start of "name=" (0 when absent); length
    // covers the name, the "=" and the raw value. An empty item name selects the leading value.
    virtual int FindFieldValueItem(std::string_view value, std::string_view itemName, int& length,
                                   std::string& rawValue) const;
    virtual std::string GetFieldValueItem(std::string_view value, std::string_view itemName) const;

    void AddField(std::string_view name, std::string_view value);
    // Inserts "name:" even for an empty value (signature fields that are filled in later).
    void AddFieldAlways(std::string_view name, std::string_view value);
    void AddFieldNoFold(std::string_view name, std::string_view value);
    void AddFields(const TixStringList& lines);
    virtual void InsertField(int position, const std::string& line, bool fold);

    void AddFieldItem(std::string_view fieldName, std::string_view itemName, std::string_view value,
                      bool newLine = false);
    virtual void AddFieldItem(int index, std::string_view itemName, std::string_view value, bool newLine);
    // Adds name="value"; quotes and backslashes inside the value are escaped.
    void AddQuotedFieldItem(std::string_view fieldName, std::string_view itemName, std::string_view value);
    void AddEndOfHeader();

    // These three leave the names index stale: run Parse before further lookups.
    virtual void RemoveField(int index);
    virtual void InsertLines(int lineIndex, const TixStringList& lines);
    void RemoveFieldItem(std::string_view fieldName, std::string_view itemName, bool clearOnly = false);

    virtual std::string RemoveItemFromValue(std::string_view value, std::string_view itemName) const;
    virtual std::string ClearItemValue(std::string_view value, std::string_view itemName) const;

    // Splits line into pieces no longer than CharsPerLine where white space allows; every piece
    // after the first starts with the white space it was cut at. Exposed for the encoders.
    std::vector<std::string> FoldLine(std::string_view line) const;

protected:
    virtual std::string_view GetQuoteChars() const;
    virtual std::string_view GetItemDelimiters() const;
    virtual std::string_view GetSpecialChars() const;
    virtual std::string_view GetWhiteSpaces() const;

    bool IsWhiteSpace(char c) const;
    // Scans an item value starting at pos; returns the end (exclusive).
    std::size_t ScanItemValue(std::string_view value, std::size_t pos) const;
    // Inserts pieces at line, growing HeaderEnd; returns the line after the last inserted.
    int InsertPieces(int line, const std::vector<std::string>& pieces, std::string_view firstPrefix);

    struct Field {
        std::string name;  // lower case
        int line;
        std::size_t valueStart;  // after the colon
    };
    std::vector<Field> fields_;
    std::unordered_map<std::string, int> firstByName_;
    TixStringList* source_ = nullptr;
    int headerEnd_ = 0;
    int startIndex_ = 0;
    int charsPerLine_ = 0;
    char itemDelimiter_ = ';';
};

// Removes leading and trailing white space and control characters (bytes up to 32).
std::string TrimHeaderText(std::string_view text);
// Unescapes a double-quoted string: strips the quotes and resolves backslash escapes.
std::string UnquoteHeaderText(std::string_view text);
// Wraps text in double quotes, escaping quotes and backslashes inside.
std::string QuoteHeaderText(std::string_view text);

}  // namespace ix
