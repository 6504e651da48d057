// Header values from a remote message: encoded words, RFC 2231 items and address lists decode to
// valid UTF-8 without crashing, looping or reading outside the text, and re-encoding what was
// decoded reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/ixStringList.h"
#include "mail/ixMailHeader.h"
#include "text/ixTranslator.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using ix::TixMailHeaderFieldList;
    if (size == 0) return 0;
    static const char* const charSets[] = {"", "utf-8", "iso-8859-1", "koi8-r", "windows-1251", "x-unknown"};
    const char* charSet = charSets[data[0] % 6];
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    const std::string decoded = TixMailHeaderFieldList::DecodeText(text, charSet);
    Check(ix::TixTranslator::IsValidUtf8(decoded));

    ix::TixStringList lines;
    lines.SetText(text);
    TixMailHeaderFieldList header(charSet, data[0] % 90, static_cast<ix::TixEncodeMethod>(data[0] % 3));
    header.Parse(0, &lines);
    for (int i = 0; i < header.Count() && i < 64; ++i) {
        const std::string value = header.GetFieldValue(i);
        const std::string name = header.GetFieldName(i);
        Check(ix::TixTranslator::IsValidUtf8(header.GetDecodedFieldValue(name)));
        (void)header.GetDecodedEmail(name);
        ix::TixEmailAddressList list;
        header.GetDecodedEmailList(name, list);
        Check(ix::TixTranslator::IsValidUtf8(header.GetDecodedFieldValueItem(value, "filename*")));
        (void)header.GetDecodedFieldValueItem(value, "name");
        (void)header.GetDecodedFieldValueItem(value, "");
    }

    // What we decoded goes back out and reads back as the same text.
    const std::string subject = ix::TrimHeaderText(decoded.substr(0, 400));
    ix::TixStringList out;
    TixMailHeaderFieldList writer("utf-8", 76, ix::cmNone);
    writer.Parse(0, &out);
    writer.AddEncodedField("Subject", subject);
    writer.AddEncodedField("Content-Type", "application/octet-stream");
    writer.AddEncodedFieldItem("Content-Type", "name*", subject);
    if (!subject.empty()) {
        Check(writer.GetDecodedFieldValue("subject") == subject);
        Check(writer.GetDecodedFieldValueItem(writer.GetFieldValue("content-type"), "name*") == subject);
    }
    return 0;
}
