// A DKIM-Signature field from a remote message: parsing the value and verifying the message it
// heads (with a fixed key, no DNS) never crash, never read outside the input, and fail only with
// the library's errors.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/ixStringList.h"
#include "dkim/ixDkim.h"
#include "dkim/ixDkimSignature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ix::TixDkimSignature signature;
    try {
        signature.Parse(std::string(text));
        (void)ix::GetHashAlgorithm(signature);
        (void)ix::GetBodyCanonicalization(signature);
    } catch (const ix::EixError&) {
    }
    ix::TixStringList lines;
    lines.SetText("DKIM-Signature: " + std::string(text) + "\r\nFrom: a@example.org\r\n\r\nbody\r\n");
    ix::TixDkim dkim;
    dkim.SetVerifyMode(ix::TixDkimVerifyMode::dvmVerifyAll);
    // A short fixed key: every signature reaches the key checks without a lookup.
    dkim.OnGetPublicKey = [](ix::TixDkim*, ix::TixDkimSignature&, ix::TixByteArray& key) {
        key = {0x30, 0x00};
    };
    dkim.Verify(lines);
    return 0;
}
