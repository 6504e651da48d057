// Header value decoding and encoding on many subject-like values, next to GMime's header text
// functions. Prints one "bench" line per comparison: MB/s of input for ours and for the peer, and
// our ratio (higher is better).
#include <gmime/gmime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ixInterleaved.h"
#include "mail/ixMailHeader.h"

using namespace ix;

namespace {

constexpr int cValues = 20000;

// Plain, Q and B encoded words in utf-8 and Latin-1, as found in a mailbox's subjects.
std::vector<std::string> EncodedValues() {
    static const char* parts[] = {"Re: meeting on Tuesday",
                                  "=?utf-8?Q?Gr=C3=BC=C3=9Fe_aus_M=C3=BCnchen?=",
                                  "=?iso-8859-1?Q?caf=E9_r=E9sum=E9?=",
                                  "=?utf-8?B?0J/RgNC40LLQtdGCLCDQvNC40YAh?=",
                                  "=?UTF-8?B?8J+YgCDwn5iBIGVtb2pp?=",
                                  "Fwd: report",
                                  "=?windows-1251?Q?=CF=F0=E8=E2=E5=F2?="};
    std::mt19937 random(11);
    std::vector<std::string> values;
    for (int i = 0; i < cValues; ++i) {
        std::string value;
        const int n = 2 + static_cast<int>(random() % 5);
        for (int k = 0; k < n; ++k) {
            if (k > 0) value += "\r\n ";
            value += parts[random() % std::size(parts)];
        }
        values.push_back(value);
    }
    return values;
}

std::vector<std::string> PlainValues() {
    static const char* words[] = {
        "Gr\xC3\xBC\xC3\x9F"
        "e",
        "meeting",
        "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
        "report",
        "caf\xC3\xA9",
        "\xF0\x9F\x98\x80",
        "quarterly",
        "M\xC3\xBCnchen"};
    std::mt19937 random(5);
    std::vector<std::string> values;
    for (int i = 0; i < cValues; ++i) {
        std::string value;
        const int n = 3 + static_cast<int>(random() % 12);
        for (int k = 0; k < n; ++k) {
            if (k > 0) value += ' ';
            value += words[random() % std::size(words)];
        }
        values.push_back(value);
    }
    return values;
}

std::size_t TotalSize(const std::vector<std::string>& values) {
    std::size_t n = 0;
    for (const auto& v : values)
        n += v.size();
    return n;
}

constexpr int cRuns = 7;

// Ours and GMime over the same values, taking turns; the medians' rates are compared.
void Compare(const char* name, std::size_t bytes, const std::function<void()>& ours,
             const std::function<void()>& peer, double goal) {
    ix::bench::Report(name, "MB/s", true, cRuns,
                      ix::bench::InterleavedRates(cRuns, static_cast<double>(bytes) / 1e6, ours, peer), goal);
}

}  // namespace

int main() {
    g_mime_init();
    std::size_t sink = 0;

    const std::vector<std::string> encoded = EncodedValues();
    Compare(
        "header_decode_words_vs_gmime", TotalSize(encoded),
        [&] {
            for (const auto& v : encoded)
                sink += TixMailHeaderFieldList::DecodeText(v, "iso-8859-1").size();
        },
        [&] {
            for (const auto& v : encoded) {
                char* text = g_mime_utils_header_decode_text(nullptr, v.c_str());
                sink += std::char_traits<char>::length(text);
                g_free(text);
            }
        },
        0.5);

    const std::vector<std::string> plain = PlainValues();
    Compare(
        "header_encode_text_vs_gmime", TotalSize(plain),
        [&] {
            for (const auto& v : plain)
                sink += TixMailHeaderFieldList::EncodeText(v, "utf-8", 67, cmNone).size();
        },
        [&] {
            for (const auto& v : plain) {
                char* text = g_mime_utils_header_encode_text(nullptr, v.c_str(), "utf-8");
                sink += std::char_traits<char>::length(text);
                g_free(text);
            }
        },
        0.5);

    std::printf("(checksum %zu)\n", sink);
    return 0;
}
