// DNS replies of any shape: parsing ends in a message or an EixDnsError, never loops or reads
// beyond the bytes. A message that parses is written again; once written, reading and writing
// must be stable (the first writing may normalise, e.g. a label holding a dot splits in two).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dns/ixDnsMessage.h"

using namespace ix;

namespace {

// Parses bytes and writes the message again; false when either step refuses.
bool RoundTrip(const std::uint8_t* data, std::size_t size, TixMemoryStream& out) {
    TixDnsMessage message;
    try {
        message.Parse(data, size);
        message.Build(out, 65535);
    } catch (const EixDnsError&) {
        return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 65535) return 0;
    TixMemoryStream first;
    if (!RoundTrip(data, size, first)) return 0;
    TixMemoryStream second;
    if (!RoundTrip(first.Memory(), static_cast<std::size_t>(first.Size()), second)) std::abort();
    if (first.Size() != second.Size() ||
        std::memcmp(first.Memory(), second.Memory(), static_cast<std::size_t>(first.Size())) != 0)
        std::abort();
    return 0;
}
