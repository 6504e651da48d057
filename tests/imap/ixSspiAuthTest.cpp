#include "imap/ixSspiAuth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "crypto/ixCryptMac.h"
#include "ixNtlmTestValues.h"
#include "ixTestSupport.h"
#include "tls/ixSspi.h"

namespace ix {
namespace {

using test::FixedNtlmClient;
using test::Hex;
const char* const kChallenge = test::kNtlmChallenge;

// One client step: the server's bytes in (none to start), the client's token out.
TixByteArray Step(FixedNtlmClient& client, TixAuthIdentity& identity, const TixByteArray& in, bool last) {
    TixMemoryStream buffer(in);
    EXPECT_EQ(client.GetNextToken("NTLM", buffer, &identity, "Server"), last);
    TixByteArray token(static_cast<std::size_t>(buffer.Size()));
    buffer.Read(token.data(), token.size());
    return token;
}

// The published negotiate and authenticate messages, which hold the published key, are the wire
// NTLM login's exact bytes.
TEST(NtlmTest, UserNameCaseAndTheSessionKey) {
    // The user is upper-cased, letters beyond ASCII too (é and É); the domain keeps its case.
    EXPECT_EQ(NtOwfV2("J\xC3\xA9r\xC3\xB4me", "D", "pw"), NtOwfV2("J\xC3\x89R\xC3\x94ME", "D", "pw"));
    EXPECT_NE(NtOwfV2("User", "domain", "Password"), NtOwfV2("User", "Domain", "Password"));
    FixedNtlmClient client;
    TixAuthIdentity identity("Domain\\User", "Password");
    Step(client, identity, {}, false);
    Step(client, identity, Hex(kChallenge), true);
    EXPECT_EQ(client.ExportedSessionKey(), Hex("55555555555555555555555555555555"));
}

// With a server time stamp: zero LMv2 answer, the MIC flag in the echoed pairs, a MIC that
// is the HMAC of all three messages under the session key.
TEST(NtlmTest, TimeStampBringsTheMic) {
    TixByteArray challenge = Hex(kChallenge);
    // Replace the EOL pair with a time stamp pair and a new EOL: target info grows by 12.
    challenge.resize(challenge.size() - 4);
    TixByteArray stamp = Hex("0700080001020304050607080000 0000");
    challenge.insert(challenge.end(), stamp.begin(), stamp.end());
    challenge[40] = 0x30;
    challenge[42] = 0x30;
    FixedNtlmClient client;
    TixAuthIdentity identity("User", "Password");
    TixByteArray negotiate = Step(client, identity, {}, false);
    TixByteArray token = Step(client, identity, challenge, true);
    EXPECT_EQ(token[28 + 4], 88);  // the payload starts after the 16-byte MIC
    std::uint32_t lmOffset = token[16] | (token[17] << 8);
    EXPECT_EQ(TixByteArray(token.begin() + lmOffset, token.begin() + lmOffset + 24), TixByteArray(24, 0));
    std::uint32_t ntOffset = token[24] | (token[25] << 8);
    // The client's time is the server's: bytes 8..15 of the blob after NTProofStr.
    EXPECT_EQ(TixByteArray(token.begin() + ntOffset + 24, token.begin() + ntOffset + 32),
              Hex("0102030405060708"));
    const TixByteArray echoed = Hex("0600040002000000 00000000");
    EXPECT_NE(std::search(token.begin(), token.end(), echoed.begin(), echoed.end()), token.end());
    TixByteArray mic(token.begin() + 72, token.begin() + 88);
    std::fill(token.begin() + 72, token.begin() + 88, 0);
    TixHmacMd5 mac;
    mac.Init(client.ExportedSessionKey(), 0, 16);
    mac.Update(negotiate);
    mac.Update(challenge);
    mac.Update(token);
    EXPECT_EQ(mic, mac.Digest());
}

TEST(NtlmTest, IdentitySplitsDomainAtTheFirstSeparator) {
    struct Case {
        const char* text;
        const char* domain;
        const char* user;
    };
    for (const Case& c : {Case{"DOM\\user", "DOM", "user"}, Case{"DOM/user", "DOM", "user"},
                          Case{"a/b\\c", "a/b", "c"}, Case{"a\\b/c", "a", "b/c"}, Case{"user", "", "user"}}) {
        TixAuthIdentity identity(c.text, "pw");
        EXPECT_EQ(identity.Domain(), c.domain) << c.text;
        EXPECT_EQ(identity.User(), c.user) << c.text;
        EXPECT_EQ(identity.Password(), "pw");
    }
}

// A missing user name is the wire SASL case's (no token, the code); damaged challenges are seeds of
// the NTLM fuzz target, which replays them under the sanitizers (only EixSSPIError may escape), and
// the wire SASL cases check that a hostile or empty challenge gets no answer.

}  // namespace
}  // namespace ix
