// DNS replies of any shape: parsing ends in a message or an EixDnsError, never loops or reads
// beyond the bytes. A message that parses is written again; what was written must read back, and
// writing it again gives the same bytes (the first writing may normalise, e.g. a label holding a
// dot splits in two). Writing may refuse data only with "Server failure": a label "." normalises
// to the root name, which an MX record may not carry when written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dns/ixDnsMessage.h"

using namespace ix;

namespace {

// Parses bytes and writes the message again: 0 when both steps went, 2 when writing refused the
// data, -1 or -2 when reading or writing failed otherwise.
int RoundTrip(const std::uint8_t* data, std::size_t size, TixMemoryStream& out) {
    TixDnsMessage message;
    try {
        message.Parse(data, size);
    } catch (const EixDnsError&) {
        return -1;
    }
    try {
        message.Build(out, 65535);
    } catch (const EixDnsError& e) {
        return e.ErrorCode() == 2 ? 2 : -2;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 65535) return 0;
    TixMemoryStream first;
    if (RoundTrip(data, size, first) != 0) return 0;
    TixMemoryStream second;
    const int again = RoundTrip(first.Memory(), static_cast<std::size_t>(first.Size()), second);
    if (again == 2) return 0;
    if (again != 0 || first.Size() != second.Size() ||
        std::memcmp(first.Memory(), second.Memory(), static_cast<std::size_t>(first.Size())) != 0)
        std::abort();
    return 0;
}
