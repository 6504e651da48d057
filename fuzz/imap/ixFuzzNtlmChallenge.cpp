// A server's NTLM CHALLENGE is anyone's bytes: parsing it and answering it never crashes, never
// reads outside it and fails only with EixSSPIError.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/ixStream.h"
#include "imap/ixSspiAuth.h"
#include "tls/ixSspi.h"

namespace {

// Fixed random values and clock: the same input always takes the same path.
class FuzzNtlmClient : public ix::TixNtAuthClientSspi {
protected:
    void RandomBytes(std::uint8_t* bytes, std::size_t count) override { std::memset(bytes, 0x5A, count); }
    std::uint64_t CurrentFileTime() override { return 0; }
    std::string Workstation() override { return "FUZZ"; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly the input's bytes on the heap, so a read past them is caught.
    auto* copy = new std::uint8_t[size > 0 ? size : 1];
    if (size > 0) std::memcpy(copy, data, size);
    try {
        ix::ParseNtlmChallenge(copy, size);
    } catch (const ix::EixSSPIError&) {
    }
    try {
        FuzzNtlmClient client;
        ix::TixAuthIdentity identity("DOMAIN\\user", "password");
        ix::TixMemoryStream buffer;
        client.GetNextToken("NTLM", buffer, &identity, "host");
        buffer.SetSize(0);
        buffer.Write(copy, size);
        buffer.SetPosition(0);
        client.GetNextToken("NTLM", buffer, &identity, "host");
    } catch (const ix::EixSSPIError&) {
    }
    delete[] copy;
    return 0;
}
