// Header lines from a remote message: indexing, reading every field and item, and writing fields
// and items back never crash or read outside the lines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/ixStringList.h"
#include "mail/ixHeaderFieldList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ix::TixStringList lines;
    lines.SetText(text);
    ix::TixHeaderFieldList header;
    header.SetCharsPerLine(size > 0 ? data[0] % 90 : 76);
    header.Parse(0, &lines);
    for (int i = 0; i < header.Count(); ++i) {
        const std::string value = header.GetFieldValue(i);
        (void)header.GetFieldName(i);
        (void)header.GetFieldValueItem(value, "");
        (void)header.GetFieldValueItem(value, "charset");
        (void)header.GetFieldValueItem(value, "boundary");
        (void)header.RemoveItemFromValue(value, "name");
        (void)header.ClearItemValue(value, "b");
    }
    header.AddField("Subject", text.substr(0, 300));
    header.AddFieldItem("content-type", "name", text.substr(0, 120));
    header.RemoveFieldItem("content-type", "charset");
    header.Parse(0, &lines);
    header.AddEndOfHeader();
    return 0;
}
