// A key record from a DNS reply: parsing it, writing it back and reading the result again never
// crash and fail only with the library's errors; what was read survives the round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dkim/ixDkimKey.h"
#include "dkim/ixDkimUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ix::TixDkimKey key;
    try {
        key.Parse(text);
    } catch (const ix::EixDkimError&) {
        return 0;
    }
    ix::TixDkimKey again;
    try {
        again.Parse(key.Build());
    } catch (const ix::EixDkimError&) {
        // Values as read may hold characters a tag value cannot carry back (";" in k= or v=).
        return 0;
    }
    if (again.PublicKey != key.PublicKey && key.PublicKey.find(';') == std::string::npos) std::abort();
    (void)ix::DkimQPDecode(ix::DkimQPEncode(text));
    return 0;
}
