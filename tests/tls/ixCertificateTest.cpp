#include "tls/ixCertificate.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "ixTestSupport.h"
#include "ixTlsTestSupport.h"
#include "tls/ixSspi.h"

using namespace ix;

namespace {

using test::CertPath;

// Validity is shown in local time; the expected dates are those of CET.
const test::ZoneGuard centralEuropeanTime("CET-1CEST,M3.5.0,M10.5.0/3");

TixByteArray DerOf(const std::string& name) {
    return test::Bytes(test::RunCommand("openssl x509 -outform DER -in " + CertPath(name + ".crt")));
}

// "key=value" lines of `openssl x509 -noout ...`; a value on the next, indented line (extensions)
// belongs to the key before it.
std::map<std::string, std::string> OpenSslFields(const std::string& name, const std::string& options) {
    std::map<std::string, std::string> fields;
    std::istringstream lines(test::RunCommand("openssl x509 -noout -in " + CertPath(name + ".crt") + " " +
                                              options + " 2>/dev/null"));
    std::string key;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("    ")) {
            fields[key] = line.substr(4);
        } else if (auto split = line.find_first_of("=:"); split != std::string::npos) {
            key = line.substr(0, split);
            fields[key] = line.substr(split + 1);
        }
    }
    return fields;
}

std::string WithoutColons(std::string text) {
    std::erase(text, ':');
    return text;
}

TixDateTime LocalDate(const std::string& isoUtc) {
    int y, mo, d, h, mi, s;
    if (std::sscanf(isoUtc.c_str(), "%d-%d-%d %d:%d:%dZ", &y, &mo, &d, &h, &mi, &s) != 6) return -1;
    return UtcToLocal(EncodeDateTime(y, mo, d, h, mi, s));
}

const std::vector<std::string> serverNames = {"mail.example.test", "localhost", "127.0.0.1", "::1"};

struct Expected {
    const char* name;
    const char* subjectName;
    const char* issuerName;
    const char* email;
    std::vector<std::string> altNames;
    int rsaBits = 0;  // 0: an EC P-256 key
    bool sha1 = false;
};

const Expected certificates[] = {
    {"good", "mail.example.test", "ixmail test intermediate", "postmaster@example.test", serverNames},
    {"wildcard", "ixmail tests", "ixmail test root", "", {"*.example.test", "m*.partial.test"}},
    {"client", "ixmail test client", "ixmail test root", "client@example.test", {}},
    {"sha1", "mail.example.test", "ixmail test root", "", serverNames, 0, true},
    // A validity end after 2049 is a GeneralizedTime.
    {"notyet", "mail.example.test", "ixmail test root", "", serverNames},
    {"weakkey", "mail.example.test", "ixmail test root", "", serverNames, 1024},
};

}  // namespace

TEST(Certificate, FieldsAgreeWithOpenSslAndDamagedDerRaises) {
    for (const Expected& e : certificates) {
        SCOPED_TRACE(e.name);
        TixCertificate cert(DerOf(e.name));
        auto fields =
            OpenSslFields(e.name,
                          "-serial -subject -issuer -nameopt RFC2253,-esc_msb -dates -dateopt iso_8601 "
                          "-fingerprint -sha1 -ext subjectKeyIdentifier");
        EXPECT_EQ(cert.SerialNumber(), fields["serial"]);
        EXPECT_EQ(cert.Subject(), fields["subject"]);
        EXPECT_EQ(cert.Issuer(), fields["issuer"]);
        EXPECT_EQ(cert.ValidFrom(), LocalDate(fields["notBefore"]));
        EXPECT_EQ(cert.ValidTo(), LocalDate(fields["notAfter"]));
        EXPECT_EQ(cert.Thumbprint(), WithoutColons(fields["sha1 Fingerprint"]));
        EXPECT_EQ(cert.SubjectKeyIdentifier(), WithoutColons(fields["X509v3 Subject Key Identifier"]));
        EXPECT_EQ(cert.Sha256Fingerprint(),
                  WithoutColons(OpenSslFields(e.name, "-fingerprint -sha256")["sha256 Fingerprint"]));

        EXPECT_EQ(cert.SubjectName(), e.subjectName);
        EXPECT_EQ(cert.IssuerName(), e.issuerName);
        EXPECT_EQ(cert.Email(), e.email);
        EXPECT_EQ(cert.AltNames(), e.altNames);
        EXPECT_EQ(cert.Version(), 3);
        EXPECT_EQ(cert.SignatureAlgorithm(), e.sha1 ? "1.2.840.10045.4.1" : "1.2.840.10045.4.3.2");
        EXPECT_EQ(cert.SignatureAlgorithmName(), e.sha1 ? "ecdsa-with-SHA1" : "ecdsa-with-SHA256");
        EXPECT_EQ(cert.PublicKeyAlgorithm(), e.rsaBits ? "1.2.840.113549.1.1.1" : "1.2.840.10045.2.1");
        EXPECT_EQ(cert.PublicKeyAlgorithmName(), e.rsaBits ? "rsaEncryption" : "id-ecPublicKey");
        EXPECT_EQ(cert.PublicKeyLength(), e.rsaBits ? e.rsaBits : 256);
    }
    // Damaged: empty, one byte, cut in half.
    const TixByteArray der = DerOf("good");
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, der.size() / 2})
        EXPECT_THROW(TixCertificate(TixByteArray(der.begin(), der.begin() + size)), EixSSPIError);
}

TEST(Certificate, LoadFromFiles) {
    struct Case {
        const char* title;
        const char* file;  // *.p12 is read as PKCS#12
        const char* keyFile;
        const char* password;
        const char* error;  // part of the error text; null: loads the certificate named next
        const char* cert = nullptr;
        std::size_t chain = 0;  // intermediates
        int code = 0;
    };
    const Case cases[] = {
        {"key in the same file", "good-all.pem", "", "", nullptr, "good", 1},
        {"encrypted key", "client.crt", "client-enc.key", "secret", nullptr, "client"},
        {"PKCS#12 with its chain", "good.p12", "", "secret", nullptr, "good", 1},
        // Never a question on the terminal: an encrypted key without its password fails.
        {"no password", "client.crt", "client-enc.key", "", "client-enc.key"},
        {"key of another certificate", "good.crt", "client.key", "", "does not belong"},
        {"no key", "good-chain.crt", "", "", "good-chain.crt"},
        {"no certificate", "good.key", "", "", "No certificate"},
        {"missing certificate file", "missing.crt", "good.key", "", "missing.crt", nullptr, 0, ENOENT},
        {"PKCS#12 wrong password", "client.p12", "", "wrong", "mac verify failure"},
        {"missing PKCS#12 file", "missing.p12", "", "secret", "missing.p12", nullptr, 0, ENOENT},
    };
    // The certificate, its chain and its key in one file.
    std::ofstream(CertPath("good-all.pem"))
        << test::ReadFile(CertPath("good-chain.crt")) << test::ReadFile(CertPath("good.key"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        const std::string file = CertPath(c.file), keyFile = *c.keyFile ? CertPath(c.keyFile) : "";
        std::unique_ptr<TixCertificate> cert;
        std::string error;
        const int code = test::CodeOf(
            [&] {
                cert = file.ends_with(".p12") ? TixCertificate::LoadFromPkcs12(file, c.password)
                                              : TixCertificate::LoadFromPem(file, keyFile, c.password);
            },
            &error);
        if (c.error != nullptr) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            EXPECT_GT(code, 0);
            if (c.code != 0) {
                EXPECT_EQ(code, c.code);
            }
            continue;
        }
        ASSERT_TRUE(cert) << error;
        EXPECT_TRUE(cert->HasPrivateKey());
        EXPECT_EQ(cert->Der(), DerOf(c.cert));
        ASSERT_EQ(cert->Chain().size(), c.chain);
        if (c.chain > 0) {
            EXPECT_EQ(cert->Chain()[0], DerOf("inter"));
        }
    }
}

// An owning list frees its items (the sanitizer run's leak check reports any it keeps); a borrowing
// one leaves them (freeing `kept`, on the stack, would be the sanitizer's fault) and refuses to own.
TEST(CertificateList, OwnershipDecidesDeletion) {
    const TixByteArray der = DerOf("good");
    TixCertificate kept(der);
    TixCertificateList owning, borrowing(false);
    owning.Add(new TixCertificate(der));
    owning.Add(std::make_unique<TixCertificate>(der));
    owning.Clear();
    owning.Add(new TixCertificate(der));
    borrowing.Add(&kept);
    borrowing.Clear();
    borrowing.Add(&kept);
    EXPECT_EQ(borrowing.Items(0), &kept);
    EXPECT_THROW(borrowing.Add(std::make_unique<TixCertificate>(der)), EixError);
}
