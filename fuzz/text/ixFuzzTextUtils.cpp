// Header dates, address lists, percent escapes and host names arrive from anyone: the readers take
// any bytes, raise only their own errors, and the encoders' output reads back exactly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/ixStringList.h"
#include "text/ixIdnTranslator.h"
#include "text/ixPercentEncoder.h"
#include "text/ixStringsUtils.h"
#include "text/ixUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        ix::TixDateTime bias = 0;
        (void)ix::MailTimeToDateTime(text, bias);
        if (bias <= -1 || bias >= 1) std::abort();
    } catch (const ix::EixConvertError&) {
    }

    ix::TixStringList list;
    ix::SplitQuotedText(text, list, ',', "\"(", "\")", true);
    std::size_t total = 0;
    for (const auto& item : list)
        total += item.line.size();
    if (total > size) std::abort();
    ix::SplitText(text, list, ",;");
    (void)ix::WordCount(text, ": ");
    (void)ix::ExtractWord(3, text, ":");

    ix::TixPercentEncoder encoder;
    (void)encoder.Decode(text);
    encoder.SetSpecialSymbols("%");
    const ix::TixByteArray bytes(data, data + size);
    const std::string escaped = encoder.Encode(bytes);
    // Zero bytes are escaped too, so everything comes back.
    if (encoder.Decode(escaped) != bytes) std::abort();

    try {
        const std::string host = ix::TixIdnTranslator::Encode(text);
        for (unsigned char c : host)
            if (c >= 0x80) std::abort();
    } catch (const ix::EixIdnError&) {
    }

    list.Clear();
    const std::int64_t rest = ix::TixStringsUtils::AddTextStr(list, text, false);
    if (rest < 0 || rest > static_cast<std::int64_t>(size)) std::abort();
    return 0;
}
