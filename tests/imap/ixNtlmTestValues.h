#pragma once
// The NTLMv2 example of MS-NLMP 4.2.4 (user "User", domain "Domain", password "Password",
// client challenge aa.., session key 55.., time 0, workstation "COMPUTER").

#include <cstring>
#include <string>

#include "base/ixTypes.h"
#include "imap/ixSspiAuth.h"
#include "ixTestSupport.h"

namespace ix::test {

inline const char* const kNtlmChallenge =
    "4e544c4d53535000 02000000 0c000c00 38000000 33828ae2 0123456789abcdef 0000000000000000"
    "24002400 44000000 060070170000000f 53006500720076006500720002000c00"
    "44006f006d00610069006e00 01000c00 530065007200760065007200 00000000";

// The published message, except the version field (informational), which is this client's.
inline const char* const kNtlmAuthenticate =
    "4e544c4d53535000 03000000 18001800 6c000000 54005400 84000000 0c000c00 48000000"
    "08000800 54000000 10001000 5c000000 10001000 d8000000 358288e2 060100000000000f"
    "44006f006d00610069006e00 5500730065007200 43004f004d0050005500540045005200"
    "86c35097ac9cec102554764a57cccc19 aaaaaaaaaaaaaaaa"
    "68cd0ab851e51c96aabc927bebef6a1c 0101000000000000 0000000000000000 aaaaaaaaaaaaaaaa 00000000"
    "02000c0044006f006d00610069006e00 01000c00530065007200760065007200 00000000 00000000"
    "c5dad2544fc9799094ce1ce90bc9d03e";

inline const char* const kNtlmNegotiate =
    "4e544c4d53535000 01000000 358288e2 0000000000000000 0000000000000000 060100000000000f";

// The example's fixed values in place of the random ones, the clock and the host name.
class FixedNtlmClient : public TixNtAuthClientSspi {
protected:
    void RandomBytes(std::uint8_t* bytes, std::size_t count) override {
        std::memset(bytes, count == 8 ? 0xAA : 0x55, count);
    }
    std::uint64_t CurrentFileTime() override { return 0; }
    std::string Workstation() override { return "COMPUTER"; }
};

}  // namespace ix::test
