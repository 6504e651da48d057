// Transfer encoders and charset translation on 64 MB of random bytes and of mail-like text, next to
// OpenSSL's base64, GMime's encoders and iconv called directly. Prints one "bench" line per
// comparison: MB/s of ours and of the peer (medians of interleaved runs), and our ratio (higher is
// better).
#include <gmime/gmime.h>
#include <iconv.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "base/ixStream.h"
#include "ixBenchSupport.h"
#include "ixInterleaved.h"
#include "text/ixEncoder.h"
#include "text/ixTranslator.h"

using namespace ix;
using ix::bench::BestSeconds;

namespace {

constexpr std::size_t cSize = 64u << 20;

std::string RandomBytes() {
    return bench::RandomBytes(cSize, 42);
}

// Lines of words with an occasional 8-bit letter, as in a Latin-1 letter.
std::string MailText() {
    static const char* words[] = {"the",
                                  "message",
                                  "of",
                                  "Tuesday",
                                  "caf\xE9",
                                  "meeting",
                                  "and",
                                  "r\xE9sum\xE9",
                                  "attached",
                                  "please",
                                  "find",
                                  "regards",
                                  "Stra\xDF"
                                  "e",
                                  "to",
                                  "report"};
    std::mt19937 random(7);
    std::string text;
    text.reserve(cSize + 128);
    std::size_t line = 0;
    while (text.size() < cSize) {
        const char* word = words[random() % std::size(words)];
        text += word;
        line += std::char_traits<char>::length(word) + 1;
        if (line > 66) {
            text += "\r\n";
            line = 0;
        } else {
            text += ' ';
        }
    }
    text.resize(cSize);
    return text;
}

constexpr int cRuns = 7;

// Ours and the peer over the same bytes, taking turns; the medians' rates are compared.
void Compare(const std::string& name, std::size_t bytes, const std::function<void()>& ours,
             const std::function<void()>& peer, double goal) {
    ix::bench::Report(name.c_str(), "MB/s", true, cRuns,
                      ix::bench::InterleavedRates(cRuns, static_cast<double>(bytes) / 1e6, ours, peer), goal);
}

// The source stream is filled once; what is timed is the encoder's own stream-to-stream work.
class TixOurs {
public:
    TixOurs(TixEncodeMethod method, const std::string& input) {
        encoder_.SetEncodeMethod(method);
        source_.WriteBuffer(input.data(), input.size());
    }
    std::size_t Run(bool encode) {
        TixMemoryStream destination;
        source_.SetPosition(0);
        if (encode)
            encoder_.Encode(source_, destination);
        else
            encoder_.Decode(source_, destination);
        return static_cast<std::size_t>(destination.Size());
    }

private:
    TixEncoder encoder_;
    TixMemoryStream source_;
};

std::string Ours(TixEncodeMethod method, const std::string& input, bool encode) {
    TixEncoder encoder;
    encoder.SetEncodeMethod(method);
    TixMemoryStream source, destination;
    source.WriteBuffer(input.data(), input.size());
    source.SetPosition(0);
    if (encode)
        encoder.Encode(source, destination);
    else
        encoder.Decode(source, destination);
    return std::string(destination.View());
}

std::string OpenSslEncode(const std::string& in) {
    // Lines of 57 bytes, as a mail body carries them.
    std::string out;
    out.resize((in.size() / 57 + 1) * 78);
    char* o = out.data();
    for (std::size_t i = 0; i < in.size(); i += 57) {
        int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(o),
                                reinterpret_cast<const unsigned char*>(in.data()) + i,
                                static_cast<int>(std::min<std::size_t>(57, in.size() - i)));
        o += n;
        *o++ = '\r';
        *o++ = '\n';
    }
    out.resize(o - out.data());
    return out;
}

std::string OpenSslDecode(const std::string& in) {
    EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
    EVP_DecodeInit(ctx);
    std::string out(in.size() / 4 * 3 + 80, '\0');
    int n = 0, total = 0;
    EVP_DecodeUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                     reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
    total = n;
    EVP_DecodeFinal(ctx, reinterpret_cast<unsigned char*>(out.data()) + total, &n);
    total += n;
    EVP_ENCODE_CTX_free(ctx);
    out.resize(total);
    return out;
}

std::string GMimeBase64Encode(const std::string& in) {
    std::string out(GMIME_BASE64_ENCODE_LEN(in.size()) + 16, '\0');
    int state = 0;
    guint32 save = 0;
    size_t n =
        g_mime_encoding_base64_encode_close(reinterpret_cast<const unsigned char*>(in.data()), in.size(),
                                            reinterpret_cast<unsigned char*>(out.data()), &state, &save);
    out.resize(n);
    return out;
}

std::string GMimeBase64Decode(const std::string& in) {
    std::string out(in.size() / 4 * 3 + 16, '\0');
    int state = 0;
    guint32 save = 0;
    size_t n =
        g_mime_encoding_base64_decode_step(reinterpret_cast<const unsigned char*>(in.data()), in.size(),
                                           reinterpret_cast<unsigned char*>(out.data()), &state, &save);
    out.resize(n);
    return out;
}

std::string GMimeQpEncode(const std::string& in) {
    std::string out(GMIME_QP_ENCODE_LEN(in.size()) + 16, '\0');
    int state = -1;
    guint32 save = 0;
    size_t n =
        g_mime_encoding_quoted_encode_close(reinterpret_cast<const unsigned char*>(in.data()), in.size(),
                                            reinterpret_cast<unsigned char*>(out.data()), &state, &save);
    out.resize(n);
    return out;
}

std::string GMimeQpDecode(const std::string& in) {
    std::string out(in.size() + 16, '\0');
    int state = 0;
    guint32 save = 0;
    size_t n =
        g_mime_encoding_quoted_decode_step(reinterpret_cast<const unsigned char*>(in.data()), in.size(),
                                           reinterpret_cast<unsigned char*>(out.data()), &state, &save);
    out.resize(n);
    return out;
}

std::string IconvDirect(const std::string& in, const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    std::string out(in.size() * 4 + 16, '\0');
    char* inp = const_cast<char*>(in.data());
    size_t inLeft = in.size(), outLeft = out.size();
    char* outp = out.data();
    iconv(cd, &inp, &inLeft, &outp, &outLeft);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace

int main() {
    const std::string random = RandomBytes();
    const std::string text = MailText();
    std::string sink;

    // base64 on random bytes: ours against the faster of OpenSSL and GMime.
    std::string b64 = Ours(cmBase64, random, true);
    std::size_t produced = 0;
    TixOurs b64Encode(cmBase64, random), b64Decode(cmBase64, b64);
    Compare(
        "base64_encode_64MB_vs_openssl", random.size(), [&] { produced += b64Encode.Run(true); },
        [&] { sink = OpenSslEncode(random); }, 1.0);
    Compare(
        "base64_encode_64MB_vs_gmime", random.size(), [&] { produced += b64Encode.Run(true); },
        [&] { sink = GMimeBase64Encode(random); }, 1.0);
    Compare(
        "base64_decode_64MB_vs_openssl", random.size(), [&] { produced += b64Decode.Run(false); },
        [&] { sink = OpenSslDecode(b64); }, 1.0);
    Compare(
        "base64_decode_64MB_vs_gmime", random.size(), [&] { produced += b64Decode.Run(false); },
        [&] { sink = GMimeBase64Decode(b64); }, 1.0);

    // quoted-printable on mail text and on random bytes, against GMime.
    for (const auto& [name, input] : {std::pair{"text", &text}, std::pair{"random", &random}}) {
        std::string qp = Ours(cmQuotedPrintable, *input, true);
        TixOurs qpEncode(cmQuotedPrintable, *input), qpDecode(cmQuotedPrintable, qp);
        Compare(
            std::string("qp_encode_64MB_") + name + "_vs_gmime", input->size(),
            [&] { produced += qpEncode.Run(true); }, [&] { sink = GMimeQpEncode(*input); }, 1.0);
        Compare(
            std::string("qp_decode_64MB_") + name + "_vs_gmime", input->size(),
            [&] { produced += qpDecode.Run(false); }, [&] { sink = GMimeQpDecode(qp); }, 1.0);
    }

    // uuencode: no peer measured here.
    std::string uu = Ours(cmUUEncode, random, true);
    TixOurs uuEncoder(cmUUEncode, random), uuDecoder(cmUUEncode, uu);
    double uuEncode = BestSeconds([&] { produced += uuEncoder.Run(true); });
    double uuDecode = BestSeconds([&] { produced += uuDecoder.Run(false); });
    std::printf("bench uuencode_64MB ours=%.0f unit=MB/s\nbench uudecode_64MB ours=%.0f unit=MB/s\n",
                random.size() / 1e6 / uuEncode, random.size() / 1e6 / uuDecode);

    // Charset translation against iconv called directly.
    std::string utf8 = TixTranslator::ToLocal(text, "iso-8859-1");
    Compare(
        "latin1_to_utf8_64MB_vs_iconv", text.size(),
        [&] { sink = TixTranslator::ToLocal(text, "iso-8859-1"); },
        [&] { sink = IconvDirect(text, "UTF-8", "ISO-8859-1"); }, 1.0);
    Compare(
        "utf8_to_latin1_64MB_vs_iconv", utf8.size(),
        [&] { sink = TixTranslator::FromLocal(utf8, "iso-8859-1"); },
        [&] { sink = IconvDirect(utf8, "ISO-8859-1", "UTF-8"); }, 1.0);
    std::string koi = IconvDirect(utf8, "KOI8-R//TRANSLIT", "UTF-8");
    std::string cyr = std::string(cSize / 2, '\xD0');  // koi8-r letters
    for (std::size_t i = 0; i < cyr.size(); ++i)
        cyr[i] = static_cast<char>(0xC0 + i % 64);
    std::string cyrUtf8 = TixTranslator::ToLocal(cyr, "koi8-r");
    Compare(
        "koi8r_to_utf8_32MB_vs_iconv", cyr.size(), [&] { sink = TixTranslator::ToLocal(cyr, "koi8-r"); },
        [&] { sink = IconvDirect(cyr, "UTF-8", "KOI8-R"); }, 1.0);
    Compare(
        "utf8_to_koi8r_32MB_vs_iconv", cyrUtf8.size(),
        [&] { sink = TixTranslator::FromLocal(cyrUtf8, "koi8-r"); },
        [&] { sink = IconvDirect(cyrUtf8, "KOI8-R", "UTF-8"); }, 1.0);
    (void)koi;
    return sink.empty() || produced == 0 ? 1 : 0;
}
