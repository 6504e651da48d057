#include "imap/ixImapUtils.h"

#include <gtest/gtest.h>

#include "crypto/ixCryptMac.h"
#include "ixTestSupport.h"
#include "text/ixTranslator.h"

namespace ix {
namespace {

using Utf7 = TixImapUtf7Encoder;

// Names of Latin, Cyrillic, CJK and astral letters, "&", quotes and "%" round trip through the real
// servers' LIST as they were created: the sandbox's and the second server's mailbox life cycles.
TEST(ImapUtf7Test, EncodesByTheModifiedRulesAndDecodesMalformedNamesToValidText) {
    EXPECT_EQ(Utf7::Encode("INBOX/Sent Items"), "INBOX/Sent Items");
    EXPECT_EQ(Utf7::Encode("T\xC3\xABst"), "T&AOs-st");  // one accented letter: three symbols, no padding
    EXPECT_EQ(Utf7::Encode("\xE5\x8F\xB0\xE5\x8C\x97"), "&U,BTFw-");  // "/" of base64 becomes ","
    EXPECT_EQ(Utf7::Encode("a\tb~\x7F"), "a&AAk-b~&AH8-");            // controls and DEL are encoded
    EXPECT_EQ(Utf7::Decode("&-"), "&");
    EXPECT_EQ(Utf7::Decode("Mail&"), "Mail");          // a trailing lone "&" is dropped
    EXPECT_EQ(Utf7::Decode("&AOs"), "\xC3\xAB");       // a missing "-" ends at the end of the text
    EXPECT_EQ(Utf7::Decode("&2D0-"), "\xEF\xBF\xBD");  // a lone surrogate
    EXPECT_TRUE(TixTranslator::IsValidUtf8(Utf7::Decode("&!!\x80\xFF-&,,,,,,,,-&A-")));
}

// The test vectors of RFC 2202 for a key longer than a block and data longer than one; short keys are
// the NTLM tests' published values and the sandbox's CRAM-MD5 logins.
TEST(HmacMd5Test, MatchesTheReferenceVectors) {
    struct Vector {
        std::string key, data, digest;
    };
    const Vector vectors[] = {
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e"},
    };
    for (const Vector& v : vectors)
        EXPECT_EQ(HmacMd5Hex(v.data, v.key), v.digest) << v.data;

    // The MAC object keeps its key across messages and hashes numbers most significant byte first.
    TixHmacMd5 mac;
    TixByteArray key(16, 0x0b);
    mac.Init(key, 0, key.size());
    mac.Update(TixByteArray{'H', 'i', ' '});
    mac.Update(reinterpret_cast<const std::uint8_t*>("xThere"), 1, 5);
    mac.Digest();
    mac.Update(0x48692054u);  // "Hi T"
    mac.Update(reinterpret_cast<const std::uint8_t*>("here"), 0, 4);
    EXPECT_EQ(mac.Digest(), test::Hex("9294727a3638bb1c13f48ef8158bfc9d"));

    EXPECT_EQ(HmacMd5Hex("", "key"), "");
    EXPECT_EQ(HmacMd5Hex("text", ""), "");
}

}  // namespace
}  // namespace ix
