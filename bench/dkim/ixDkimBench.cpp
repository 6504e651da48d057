// Two DKIM figures, interleaved runs with medians:
// - verifying 1,000 typical signed messages (rsa-sha256, relaxed/relaxed, 2048-bit key, about
//   3 KB each, key supplied without DNS): ours through TixDkim from the message text, the peer
//   libopendkim from the same bytes (messages/s);
// - canonicalizing and hashing the body of a 20 MB message (relaxed and simple) against plain
//   SHA-256 over the same bytes, the physical limit (MB/s).
#include <cstdio>
#include <string>
#include <vector>

#include "crypto/ixCryptHash.h"
#include "dkim/ixDkim.h"
#include "dkim/ixDkimCanonicalizer.h"
#include "ixInterleaved.h"
#include "text/ixEncoder.h"

extern "C" int ix_opendkim_init(const char* record);
extern "C" int ix_opendkim_verify(const char* message, std::size_t length);

namespace {

constexpr int cMessages = 1000;
constexpr int cRuns = 7;
constexpr std::size_t cBodyBytes = 20u << 20;

std::string MessageText(int n) {
    std::string text =
        "From: Alice Example <alice@example.org>\r\nTo: Bob <bob@example.net>\r\n"
        "Subject: Report number " +
        std::to_string(n) + "\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\nMessage-ID: <" + std::to_string(n) +
        "@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n";
    for (int line = 0; text.size() < 3000; ++line)
        text += "Line " + std::to_string(line) + " of the report,  with some\ttext to read and sign.  \r\n";
    return text;
}

}  // namespace

int main() {
    ix::TixOpenSslRsaKey key;
    key.GenerateKey();
    ix::TixDkim signer;
    signer.SetDomain("example.org");
    signer.SetSelector("bench");
    signer.SetCanonicalization("relaxed/relaxed");
    signer.LoadSigningKey(key.PrivateKeyPem());
    std::vector<std::string> messages;
    for (int i = 0; i < cMessages; ++i) {
        ix::TixStringList lines;
        lines.SetText(MessageText(i));
        signer.Sign(lines);
        messages.push_back(lines.Text());
    }
    const ix::TixByteArray publicKey = key.GetPublicKeyInfo();
    const std::string record = "v=DKIM1; k=rsa; p=" + ix::TixEncoder::EncodeBytes(publicKey, ix::cmBase64);
    if (!ix_opendkim_init(record.c_str())) {
        std::fprintf(stderr, "bench_dkim: libopendkim did not start\n");
        return 1;
    }

    ix::TixDkim verifier;
    verifier.OnGetPublicKey = [&](ix::TixDkim*, ix::TixDkimSignature&, ix::TixByteArray& k) {
        k = publicKey;
    };
    auto ours = [&] {
        int verified = 0;
        double seconds = ix::bench::Seconds([&] {
            for (const std::string& text : messages) {
                ix::TixStringList lines;
                lines.SetText(text);
                verifier.Verify(lines);
                verified +=
                    verifier.Signatures()[0]->VerifyStatus.State == ix::TixDkimVerifyState::vsVerified;
            }
        });
        if (verified != cMessages) std::fprintf(stderr, "ours: %d of %d verified\n", verified, cMessages);
        return cMessages / seconds;
    };
    auto peer = [&] {
        int verified = 0;
        double seconds = ix::bench::Seconds([&] {
            for (const std::string& text : messages)
                verified += ix_opendkim_verify(text.data(), text.size());
        });
        if (verified != cMessages)
            std::fprintf(stderr, "libopendkim: %d of %d verified\n", verified, cMessages);
        return cMessages / seconds;
    };
    ix::bench::Report("dkim_verify_1000_rsa2048_vs_libopendkim", "messages/s", true, cRuns,
                      ix::bench::Interleaved(cRuns, ours, peer), 1.0);

    // A 20 MB body of ordinary text lines.
    std::string body;
    for (int line = 0; body.size() < cBodyBytes; ++line)
        body += "Line " + std::to_string(line) +
                " of a long body,  with some\ttext in it and a little more. \r\n";
    ix::TixStringList bodyLines;
    bodyLines.SetText(body);
    const double megabytes = static_cast<double>(body.size()) / (1 << 20);
    auto plainHash = [&] {
        ix::TixSha256 hash;
        double seconds = ix::bench::Seconds([&] {
            hash.Init();
            hash.Update(body);
            (void)hash.Done();
        });
        return megabytes / seconds;
    };
    for (const char* name : {"relaxed", "simple"}) {
        ix::TixDkimConfig config;
        auto canonicalizer = config.Create<ix::TixDkimCanonicalizer>(name);
        auto canonical = [&] {
            ix::TixSha256 hash;
            double seconds = ix::bench::Seconds([&] {
                hash.Init();
                canonicalizer->CanonicalizeBody(bodyLines, 0, 0,
                                                [&](std::string_view bytes) { hash.Update(bytes); });
                (void)hash.Done();
            });
            return megabytes / seconds;
        };
        const std::string label = std::string("dkim_body_20mb_") + name + "_vs_plain_sha256";
        ix::bench::Report(label.c_str(), "MB/s", true, cRuns,
                          ix::bench::Interleaved(cRuns, canonical, plainHash), 0.5);
    }
    return 0;
}
