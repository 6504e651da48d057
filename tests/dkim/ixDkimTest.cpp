#include "dkim/ixDkim.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <map>

#include "dkim/ixDkimCanonicalizer.h"
#include "dkim/ixDkimUtils.h"
#include "ixTestSupport.h"
#include "mail/ixMailMessage.h"
#include "text/ixUtils.h"

namespace ix {
namespace {

using test::CodeOf;

TixStringList Lines(std::string_view text) {
    TixStringList lines;
    lines.SetText(text);
    return lines;
}

const char* const kMessage =
    "From: Alice <alice@example.org>\r\n"
    "To: bob@example.net\r\n"
    "Subject:  Hello\r\n   World \r\n"
    "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\n"
    "\r\n"
    "Hi  there \r\n\r\nsecond\tline\r\n\r\n";

// Malformed tag lists are seeds of the signature fuzz target; a duplicate tag is the key record's
// case, a closing semicolon the signature's.
TEST(DkimFormatTest, SignatureParseReadsTagsAndRefusesBadOnes) {
    TixDkimSignature s;
    s.Parse(
        "v=1; a=rsa-sha256; d=example.org; s=sel; h=From : to;\r\n\t l=; i=user=40x@mail.example.org;"
        " t=17966716390001; z=From:a=7Cb|To:c; bh=AB C=; b=x\r\n y;");
    EXPECT_EQ(s.SignedHeaderFields, (TixStringList{"From", "to"}));
    EXPECT_EQ(s.BodyLength, 0);
    EXPECT_EQ(s.UserIdentity, "user@x@mail.example.org");
    EXPECT_EQ(s.Timestamp, 179667163900);
    EXPECT_EQ(s.CopiedHeaderFields, (TixStringList{"From:a|b", "To:c"}));
    EXPECT_EQ(s.BodyHash, "ABC=");
    EXPECT_EQ(s.Signature, "xy");
    EXPECT_EQ(GetHeaderCanonicalization(s), "simple");
    s.Canonicalization = "relaxed";
    EXPECT_EQ(GetBodyCanonicalization(s), "simple");

    for (const char* bad :
         {"a=rsa-sha256; d=x; s=y; h=from; bh=a; b=b", "v=0; a=r-s; d=x; s=y; h=from; bh=a; b=b",
          "v=1; a=r-s; d=x; s=y; h=from; bh=a", "v=1; a=r-s; d=x; s=y; h=from; l=-1; bh=a; b=b",
          "v=1; a=r-s; d=x.org; s=y; h=from; i=a@y.org; bh=a; b=b"})
        EXPECT_EQ(CodeOf([&] { s.Parse(bad); }), ixcDkimInvalidFormat) << bad;
    s.SignatureAlgorithm = "rsa-sha-256";
    EXPECT_EQ(CodeOf([&] { GetHashAlgorithm(s); }), ixcDkimInvalidAlgorithm);
}

TEST(DkimFormatTest, KeyRecordRoundTrip) {
    TixDkimKey key;
    key.Parse("v=DKIM1; h=sha1 : sha256; k=rsa; n=a=3Bb; s=email:other; t=y:s:z; p=AB\r\n\tCD");
    EXPECT_EQ(key.HashAlgorithms, (TixStringList{"sha1", "sha256"}));
    EXPECT_EQ(key.Notes, "a;b");
    EXPECT_TRUE(key.ServiceEmail && !key.ServiceAll && key.TestingDomain && key.CheckUserIdentityDomain);
    EXPECT_EQ(key.Build(), "v=DKIM1; h=sha1:sha256; k=rsa; n=a=3Bb; s=email; t=y:s; p=ABCD");
    EXPECT_EQ(CodeOf([&] { key.Parse("p=a; p=b"); }), ixcDkimDuplicateTag);
}

// Folded and padded fields, trailing white space, empty lines at the end, a body cut by l=, and
// header names signed once more than they occur are the DKIM interop case's, in all four
// canonicalizations, verified by the peers.
TEST(DkimCanonicalizationTest, HeadersAndBodiesAsTheRfcHasThem) {
    TixDkimRelaxedCanonicalizer relaxed;
    TixDkimSimpleCanonicalizer simple;
    EXPECT_EQ(relaxed.CanonicalizeHeaderField("X:"), "x:\r\n");
    // Repeated names take the fields from the bottom up; absent ones add nothing.
    TixStringList fields = Lines("From: a\r\nTo: x\r\nfrom : b\r\n\r\n");
    TixDkimHeaderFieldList header;
    header.Parse(0, &fields);
    EXPECT_EQ(relaxed.CanonicalizeHeaders({"from", "From", "from", "x-absent", "to"}, header),
              "from:b\r\nfrom:a\r\nto:x\r\n");
    struct Case {
        const char* body;
        const char* simple;
        const char* relaxed;
    } cases[] = {
        {"", "\r\n", ""},
        {"\r\n\r\n\r\n", "\r\n", ""},
        {" \t\r\n", " \t\r\n", ""},
        {"a  b \t\r\n \r\nc\r\n\r\n", "a  b \t\r\n \r\nc\r\n", "a b\r\n\r\nc\r\n"},
    };
    for (const Case& c : cases) {
        TixStringList lines = Lines(std::string("X: y\r\n\r\n") + c.body);
        EXPECT_EQ(simple.CanonicalizeBody(lines, 2), c.simple) << c.body;
        EXPECT_EQ(relaxed.CanonicalizeBody(lines, 2), c.relaxed) << c.body;
    }
}

// Keys from a table instead of DNS; counts the lookups.
class TableDkim : public TixDkim {
public:
    std::multimap<std::string, std::string> records;
    int lookups = 0;

protected:
    std::vector<std::string> QueryKeyRecords(const std::string& name) override {
        ++lookups;
        std::vector<std::string> found;
        for (auto [it, end] = records.equal_range(name); it != end; ++it)
            found.push_back(it->second);
        return found;
    }
};

class DkimTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        rsa_ = new TixOpenSslRsaKey;
        rsa_->GenerateKey();
    }
    static void TearDownTestSuite() { delete rsa_; }

    // The lines (kMessage unless given) signed in the canonicalization with the selector; configure
    // may change the signer.
    static TixStringList Signed(const std::string& canon, const std::string& selector = "rsa",
                                const std::function<void(TixDkim&)>& configure = nullptr,
                                TixStringList lines = Lines(kMessage)) {
        TixDkim signer;
        signer.SetCanonicalization(canon);
        signer.SetDomain("example.org");
        signer.SetSelector(selector);
        signer.SetCharsPerLine(40);
        signer.LoadSigningKey(rsa_->PrivateKeyPem());
        if (configure) configure(signer);
        signer.Sign(lines);
        return lines;
    }
    void Publish(TableDkim& dkim, const std::string& selector, const TixKey& key,
                 const std::string& extra = "") {
        dkim.records.emplace(selector + "._domainkey.example.org", extra + dkim.BuildKeyRecord(key));
    }
    static int VerifyCode(TixDkim& dkim, const TixStringList& lines) {
        return CodeOf([&] { dkim.Verify(lines); });
    }

    static TixOpenSslRsaKey* rsa_;
};
TixOpenSslRsaKey* DkimTest::rsa_ = nullptr;

// Signing and verifying in every algorithm and canonicalization, signatures made elsewhere (dkimpy's
// rsa-sha256 and ed25519-sha256), and changed bodies and signed headers failing are the
// DKIM interop case's, with ours and both peers as verifiers.
TEST_F(DkimTest, VerifyModesDecideHowFarTheWalkGoes) {
    // Two signatures: the top one (added last) fails, the lower one is good.
    const TixStringList lines = Signed(
        "", "bad", [](TixDkim& s) { s.SetBodyLength(3); }, Signed("relaxed", "good"));
    TableDkim dkim;
    Publish(dkim, "good", *rsa_);
    struct Case {
        TixDkimVerifyMode mode;
        int code;
        std::size_t signatures;
    } cases[] = {{TixDkimVerifyMode::dvmVerifyUntilFail, ixcDkimKeyRequired, 1},
                 {TixDkimVerifyMode::dvmVerifyUntilSuccess, 0, 2},
                 {TixDkimVerifyMode::dvmVerifyAll, 0, 2}};
    for (const Case& c : cases) {
        dkim.SetVerifyMode(c.mode);
        EXPECT_EQ(VerifyCode(dkim, lines), c.code);
        ASSERT_EQ(dkim.Signatures().size(), c.signatures);
        EXPECT_EQ(dkim.Signatures()[0]->VerifyStatus.State, TixDkimVerifyState::vsFailed);
        if (c.signatures > 1) {
            EXPECT_EQ(dkim.Signatures()[1]->VerifyStatus.State, TixDkimVerifyState::vsVerified);
        }
    }
    EXPECT_EQ(VerifyCode(dkim, Lines("From: a\r\n\r\nbody\r\n")), 0);
    EXPECT_TRUE(dkim.Signatures().empty());
}

TEST_F(DkimTest, KeyRecordsAndTheKeyEventDecideWhichKeysCount) {
    TixStringList lines = Signed("relaxed/relaxed");
    TixOpenSslRsaKey small;
    small.SetKeyLength(512);
    small.GenerateKey();
    struct Case {
        const char* record;  // placed before the published record, or alone when it ends with "p="
        int code;
    } cases[] = {{"v=DKIM1; p=", ixcDkimKeyRevoked},
                 {"v=DKIM1; k=dsa; p=AAAA", 0},
                 {"v=DKIM1; h=sha1; p=AAAA", 0},
                 {"v=DKIM2; k=rsa; p=", ixcDkimInvalidKey},
                 {"s=other; p=", ixcDkimKeyNotForSignature}};
    for (const Case& c : cases) {
        TableDkim dkim;
        dkim.records.emplace("rsa._domainkey.example.org", c.record);
        if (c.code == 0) Publish(dkim, "rsa", *rsa_);
        int received = 0, revoked = 0;
        dkim.OnKeyReceived = [&](TixDkim*, TixDkimSignature&, TixDkimKey&) { ++received; };
        dkim.OnKeyRevoked = [&](TixDkim*, TixDkimSignature&, TixDkimKey&) { ++revoked; };
        EXPECT_EQ(VerifyCode(dkim, lines), c.code) << c.record;
        EXPECT_EQ(received, c.code == 0 ? 1 : 0) << c.record;
        EXPECT_EQ(revoked, c.code == ixcDkimKeyRevoked ? 1 : 0) << c.record;
    }
    TableDkim dkim;
    Publish(dkim, "rsa", small);
    EXPECT_EQ(VerifyCode(dkim, lines), ixcDkimKeyTooShort);
    // A key from the event needs no lookup; a selector the event leaves alone is looked up.
    TableDkim event;
    event.OnGetPublicKey = [](TixDkim*, TixDkimSignature& signature, TixByteArray& key) {
        if (signature.Selector == "rsa") key = rsa_->GetPublicKeyInfo();
    };
    EXPECT_EQ(VerifyCode(event, lines), 0);
    EXPECT_EQ(event.lookups, 0);
    EXPECT_EQ(VerifyCode(event, Signed("", "other")), ixcDkimKeyRequired);
    EXPECT_EQ(event.lookups, 1);
}

TEST_F(DkimTest, UnsignedFromAndExpiredSignaturesFail) {
    TableDkim dkim;
    Publish(dkim, "rsa", *rsa_);
    EXPECT_EQ(VerifyCode(dkim, Signed("", "rsa",
                                      [](TixDkim& s) {
                                          s.SignedHeaderFields() = {"To", "Subject"};
                                      })),
              ixcDkimFromNotSigned);
    EXPECT_EQ(VerifyCode(dkim, Signed("", "rsa",
                                      [](TixDkim& s) {
                                          s.SetSignatureTimestamp(UnixTimeToLocalDateTime(1000000000));
                                          s.SetSignatureExpiration(UnixTimeToLocalDateTime(1000000100));
                                      })),
              ixcDkimExpired);
}

TEST_F(DkimTest, SigningRefusesMissingValuesAndATimestampNotBeforeTheExpiration) {
    const auto sameTimes = [](TixDkim& s) {
        s.SetSignatureTimestamp(UnixTimeToLocalDateTime(1000000000));
        s.SetSignatureExpiration(UnixTimeToLocalDateTime(1000000000));
    };
    EXPECT_EQ(CodeOf([&] { Signed("", "rsa", sameTimes); }), ixcDkimInvalidParameters);
    EXPECT_EQ(CodeOf([&] { Signed("", "rsa", [](TixDkim& s) { s.SetDomain(""); }); }),
              ixcDkimInvalidParameters);
}

TEST_F(DkimTest, TheMessageSignsWhatItBuildsAndVerifiesWhatItLoads) {
    TableDkim dkim;
    dkim.SetDomain("example.org");
    dkim.SetSelector("rsa");
    dkim.LoadSigningKey(rsa_->PrivateKeyPem());
    Publish(dkim, "rsa", *rsa_);
    TixMailMessage message;
    message.SetDkim(&dkim);
    message.BuildMessage("Hello", "");  // starts afresh: the fields come after it
    message.From().SetEmail("alice@example.org");
    message.SetSubject("Hi");
    TixStringList source = message.MessageSource();

    TixMailMessage loaded;
    loaded.SetDkim(&dkim);
    loaded.LoadMessage(source);
    ASSERT_EQ(dkim.Signatures().size(), 1u);
    EXPECT_EQ(dkim.Signatures()[0]->VerifyStatus.State, TixDkimVerifyState::vsVerified);
    // A changed body and a changed signed header fail with their own codes.
    TixStringList body = source;
    body.SetString(body.IndexOf("Hello"), "Hullo");
    EXPECT_EQ(CodeOf([&] { loaded.LoadMessage(body); }), ixcDkimBodyHashDiffers);
    EXPECT_EQ(dkim.Signatures()[0]->VerifyStatus.ErrorCode, ixcDkimBodyHashDiffers);
    source.SetString(source.IndexOf("Subject: Hi"), "Subject: Ho");
    EXPECT_EQ(CodeOf([&] { loaded.LoadMessage(source); }), ixcDkimSignatureMismatch);
}

}  // namespace
}  // namespace ix
