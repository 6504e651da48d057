// Transfer-encoded bodies and charset text come from anyone: every decoder takes any bytes without
// crashing, base64 only raises its own error, and what each encoder writes decodes back exactly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "base/ixStream.h"
#include "text/ixEncoder.h"
#include "text/ixTranslator.h"

namespace {

std::string Transform(ix::TixEncoder& encoder, std::string_view input, bool encode) {
    ix::TixMemoryStream source, destination;
    if (!input.empty()) source.WriteBuffer(input.data(), input.size());
    source.SetPosition(0);
    if (encode)
        encoder.Encode(source, destination);
    else
        encoder.Decode(source, destination);
    return std::string(destination.View());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (auto method : {ix::cmQuotedPrintable, ix::cmBase64, ix::cmUUEncode}) {
        ix::TixEncoder encoder;
        encoder.SetEncodeMethod(method);
        encoder.SetErrorProcessing(ix::epContinue);
        encoder.SetCharsPerLine(size > 0 ? data[0] : 76);
        (void)Transform(encoder, text, false);
        if (Transform(encoder, Transform(encoder, text, true), false) != text) std::abort();
        (void)encoder.GetPreferredEncoding(*std::make_unique<ix::TixMemoryStream>());
    }
    ix::TixEncoder strict;
    try {
        (void)Transform(strict, text, false);
    } catch (const ix::EixEncoderError&) {
    }
    std::string clean = ix::TixTranslator::Utf8Sanitize(text);
    if (!ix::TixTranslator::IsValidUtf8(clean)) std::abort();
    (void)ix::TixTranslator::ToLocal(text, "koi8-r");
    (void)ix::TixTranslator::FromLocal(text, "iso-8859-1");
    (void)ix::TixTranslator::Utf8Decode(text);
    return 0;
}
