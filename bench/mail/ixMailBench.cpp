// Loading and writing whole messages next to GMime and Python's email package: (a) one message
// with a 20 MB base64 attachment, (b) 2,000 typical messages of 5 to 50 KB, (c) writing a message
// with a 20 MB attachment; (a) and (b) from lines, as the IMAP client receives a message, and from
// raw bytes, as the peers start. Every part is decoded into memory on every side. Ours and the peer
// take turns; one "bench" line per comparison gives the medians (MB/s, our ratio; higher is
// better), and our peak memory for (a).
#include <gmime/gmime.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/ixStream.h"
#include "ixBenchSupport.h"
#include "ixInterleaved.h"
#include "mail/ixMailMessage.h"
#include "text/ixEncoder.h"
#include "text/ixStringsUtils.h"

using namespace ix;
using ix::bench::InterleavedRates;
using ix::bench::PeakMegabytes;
using ix::bench::RandomBytes;
using ix::bench::Report;
using ix::bench::Seconds;
using ix::bench::Summarize;

namespace {

constexpr std::size_t cBigAttachment = 15u << 20;  // 20 MB once base64-encoded
constexpr std::size_t cBigWrite = 20u << 20;
constexpr int cTypicalCount = 2000;

std::string Base64Lines(const std::string& bytes) {
    TixEncoder encoder;
    encoder.SetEncodeMethod(cmBase64);
    TixMemoryStream source, destination;
    source.WriteBuffer(bytes.data(), bytes.size());
    source.SetPosition(0);
    encoder.Encode(source, destination);
    return std::string(destination.View());
}

std::string Prose(std::mt19937& random, std::size_t size) {
    static const char* words[] = {"the",    "meeting", "on",       "Tuesday", "caf=E9", "report",
                                  "and",    "figures", "attached", "please",  "find",   "regards",
                                  "budget", "to",      "next",     "week"};
    std::string text;
    std::size_t line = 0;
    while (text.size() < size) {
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
    return text + "\r\n";
}

std::string Header(std::mt19937& random, int n, const std::string& contentType) {
    return "Return-Path: <sender" + std::to_string(n) +
           "@example.com>\r\n"
           "Received: from mx.example.com (mx.example.com [192.0.2.1])\r\n\tby mail.example.org with ESMTPS "
           "id " +
           std::to_string(random()) +
           "\r\n\tfor <bob@example.org>; Mon, 7 Dec 2026 09:05:00 +0100\r\n"
           "From: =?utf-8?B?SsO2cmcgTcO8bGxlcg==?= <joerg" +
           std::to_string(n) +
           "@example.de>\r\n"
           "To: Bob Example <bob@example.org>, \"Smith, John\" <john@example.org>\r\n"
           "Subject: =?iso-8859-1?Q?R=E9union_de_l'=E9quipe?= number " +
           std::to_string(n) +
           "\r\n"
           "Date: Mon, 7 Dec 2026 09:05:00 +0100\r\n"
           "Message-ID: <" +
           std::to_string(random()) +
           "@example.de>\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: " +
           contentType + "\r\n";
}

// Plain text, text with HTML, and text with a small attachment, 5 to 50 KB each.
std::vector<std::string> TypicalMessages() {
    std::mt19937 random(11);
    std::vector<std::string> messages;
    for (int n = 0; n < cTypicalCount; ++n) {
        const std::size_t size = 5000 + random() % 45000;
        std::string m;
        switch (n % 3) {
            case 0:
                m = Header(random, n, "text/plain; charset=iso-8859-1") +
                    "Content-Transfer-Encoding: quoted-printable\r\n\r\n" + Prose(random, size);
                break;
            case 1:
                m = Header(random, n, "multipart/alternative; boundary=\"alt-" + std::to_string(n) + "\"") +
                    "\r\n--alt-" + std::to_string(n) +
                    "\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: "
                    "quoted-printable\r\n\r\n" +
                    Prose(random, size / 3) + "--alt-" + std::to_string(n) +
                    "\r\nContent-Type: text/html; charset=iso-8859-1\r\nContent-Transfer-Encoding: "
                    "quoted-printable\r\n\r\n<html><body><p>" +
                    Prose(random, size * 2 / 3) + "</p></body></html>\r\n--alt-" + std::to_string(n) +
                    "--\r\n";
                break;
            default:
                m = Header(random, n, "multipart/mixed; boundary=\"mix-" + std::to_string(n) + "\"") +
                    "\r\n--mix-" + std::to_string(n) +
                    "\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: "
                    "quoted-printable\r\n\r\n" +
                    Prose(random, size / 4) + "--mix-" + std::to_string(n) +
                    "\r\nContent-Type: application/pdf; name=\"report.pdf\"\r\nContent-Disposition: "
                    "attachment; "
                    "filename=\"report.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                    Base64Lines(RandomBytes(size * 3 / 5, n)) + "--mix-" + std::to_string(n) + "--\r\n";
        }
        messages.push_back(std::move(m));
    }
    return messages;
}

std::string BigMessage() {
    std::mt19937 random(5);
    return Header(random, 0, "multipart/mixed; boundary=\"big\"") +
           "\r\n--big\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nThe figures are "
           "attached.\r\n--big\r\n"
           "Content-Type: application/octet-stream; name=\"figures.bin\"\r\n"
           "Content-Disposition: attachment; filename=\"figures.bin\"\r\nContent-Transfer-Encoding: "
           "base64\r\n\r\n" +
           Base64Lines(RandomBytes(cBigAttachment, 1)) + "--big--\r\n";
}

// --- ours ---

TixStringList LinesOf(const std::string& text) {
    TixStringList lines;
    lines.SetText(text);
    return lines;
}

// LoadMessage takes a message as lines, the form in which the IMAP client receives it.
std::size_t OursLoad(const TixStringList& lines) {
    TixMailMessage message;
    std::size_t decoded = 0;
    message.OnSaveAttachment = [](TixObject*, TixMessageBody*, std::string&,
                                  std::unique_ptr<TixStream>& stream,
                                  bool&) { stream = std::make_unique<TixMemoryStream>(); };
    message.OnAttachmentSaved = [&](TixObject*, TixMessageBody*, const std::string&, TixStream& stream) {
        decoded += static_cast<std::size_t>(stream.Size());
    };
    message.LoadMessage(lines);
    return decoded + message.Subject().size();
}

std::size_t OursWrite(const std::string& attachment) {
    TixMailMessage message;
    message.OnLoadAttachment = [&](TixObject*, TixMessageBody*, std::string&,
                                   std::unique_ptr<TixStream>& stream, bool& handled) {
        auto memory = std::make_unique<TixMemoryStream>();
        memory->WriteBuffer(attachment.data(), attachment.size());
        memory->SetPosition(0);
        stream = std::move(memory);
        handled = true;
    };
    message.BuildMessage("Please find the file attached.", "", TixStringList{"big.bin"}, {});
    message.From().SetFullAddress("Ann Example <ann@example.com>");
    message.ToList().SetEmailAddresses("Bob Example <bob@example.com>");
    message.SetSubject("The quarterly figures");
    // The message's lines are its output, as a memory stream is GMime's.
    return static_cast<std::size_t>(TixStringsUtils::GetStringsSize(message.MessageSource()));
}

// --- GMime ---

void DecodePart(GMimeObject*, GMimeObject* part, gpointer total) {
    if (!GMIME_IS_PART(part)) return;
    GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
    if (content == nullptr) return;
    GMimeStream* out = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(content, out);
    *static_cast<std::size_t*>(total) += static_cast<std::size_t>(g_mime_stream_length(out));
    g_object_unref(out);
}

std::size_t GMimeLoad(const std::string& text) {
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    std::size_t total = 0;
    if (message != nullptr) {
        const char* subject = g_mime_message_get_subject(message);
        total += subject != nullptr ? std::char_traits<char>::length(subject) : 0;
        g_mime_message_foreach(message, DecodePart, &total);
        g_object_unref(message);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    return total;
}

std::size_t GMimeWrite(const std::string& attachment) {
    GMimeMessage* message = g_mime_message_new(TRUE);
    g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_FROM, "Ann Example", "ann@example.com");
    g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_TO, "Bob Example", "bob@example.com");
    g_mime_message_set_subject(message, "The quarterly figures", nullptr);
    GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
    GMimeTextPart* text = g_mime_text_part_new_with_subtype("plain");
    g_mime_text_part_set_text(text, "Please find the file attached.\r\n");
    g_mime_multipart_add(mixed, GMIME_OBJECT(text));
    GMimePart* file = g_mime_part_new_with_type("application", "octet-stream");
    g_mime_part_set_filename(file, "big.bin");
    GMimeStream* source = g_mime_stream_mem_new_with_buffer(attachment.data(), attachment.size());
    GMimeDataWrapper* content = g_mime_data_wrapper_new_with_stream(source, GMIME_CONTENT_ENCODING_DEFAULT);
    g_mime_part_set_content(file, content);
    g_mime_part_set_content_encoding(file, GMIME_CONTENT_ENCODING_BASE64);
    g_mime_multipart_add(mixed, GMIME_OBJECT(file));
    g_mime_message_set_mime_part(message, GMIME_OBJECT(mixed));
    GMimeStream* out = g_mime_stream_mem_new();
    g_mime_object_write_to_stream(GMIME_OBJECT(message), nullptr, out);
    const auto size = static_cast<std::size_t>(g_mime_stream_length(out));
    for (void* object : {static_cast<void*>(out), static_cast<void*>(content), static_cast<void*>(source),
                         static_cast<void*>(file), static_cast<void*>(text), static_cast<void*>(mixed),
                         static_cast<void*>(message)})
        g_object_unref(object);
    return size;
}

// --- measuring ---

constexpr int cRuns = 7;
constexpr int cPythonRuns = 5;

// Python's email package on the same data, one run of each piece per call: seconds by key.
class TixPython {
public:
    TixPython(const std::string& big, const std::vector<std::string>& typical, const std::string& attachment)
        : dir_(std::filesystem::temp_directory_path() / ("ix-mail-bench-" + std::to_string(getpid()))) {
        std::filesystem::create_directories(dir_ / "b");
        std::ofstream(dir_ / "a.eml", std::ios::binary) << big;
        std::ofstream(dir_ / "c.bin", std::ios::binary) << attachment;
        for (std::size_t i = 0; i < typical.size(); ++i)
            std::ofstream(dir_ / "b" / (std::to_string(10000 + i) + ".eml"), std::ios::binary) << typical[i];
    }
    ~TixPython() { std::filesystem::remove_all(dir_); }
    TixPython(const TixPython&) = delete;
    TixPython& operator=(const TixPython&) = delete;

    std::map<char, double> Run() const {
        std::map<char, double> seconds;
        const std::string command =
            std::string("/usr/bin/python3 ") + IX_PYTHON_EMAIL_BENCH + " " + dir_.string();
        if (FILE* output = popen(command.c_str(), "r")) {
            char key = 0;
            double value = 0;
            while (std::fscanf(output, " %c %lf", &key, &value) == 2)
                seconds[key] = value;
            pclose(output);
        }
        return seconds;
    }

private:
    std::filesystem::path dir_;
};

}  // namespace

int main() {
    g_mime_init();
    const std::string big = BigMessage();
    const std::vector<std::string> typical = TypicalMessages();
    const std::string attachment = RandomBytes(cBigWrite, 3);
    std::size_t typicalBytes = 0;
    for (const auto& m : typical)
        typicalBytes += m.size();
    const double bigMb = big.size() / 1e6, typicalMb = typicalBytes / 1e6, writeMb = attachment.size() / 1e6;

    std::size_t sink = 0;
    const TixStringList bigLines = LinesOf(big);
    std::vector<TixStringList> typicalLines;
    for (const auto& m : typical)
        typicalLines.push_back(LinesOf(m));
    const auto gmimeBig = [&] { sink += GMimeLoad(big); };
    const auto gmimeTypical = [&] {
        for (const auto& m : typical)
            sink += GMimeLoad(m);
    };
    std::printf("(%d interleaved runs each, Python %d)\n", cRuns, cPythonRuns);
    // From lines, the form in which the IMAP client receives a message.
    Report("mail_load_20mb_vs_gmime", "MB/s", true, cRuns,
           InterleavedRates(
               cRuns, bigMb, [&] { sink += OursLoad(bigLines); }, gmimeBig),
           1.00);
    Report("mail_load_2000_typical_vs_gmime", "MB/s", true, cRuns,
           InterleavedRates(
               cRuns, typicalMb,
               [&] {
                   for (const auto& lines : typicalLines)
                       sink += OursLoad(lines);
               },
               gmimeTypical),
           1.00);
    // From raw bytes, as GMime starts: the split into lines included.
    Report("mail_load_20mb_from_bytes_vs_gmime", "MB/s", true, cRuns,
           InterleavedRates(
               cRuns, bigMb, [&] { sink += OursLoad(LinesOf(big)); }, gmimeBig),
           1.00);
    Report("mail_load_2000_typical_from_bytes_vs_gmime", "MB/s", true, cRuns,
           InterleavedRates(
               cRuns, typicalMb,
               [&] {
                   for (const auto& m : typical)
                       sink += OursLoad(LinesOf(m));
               },
               gmimeTypical),
           1.00);
    Report(
        "mail_source_20mb_attachment_vs_gmime", "MB/s", true, cRuns,
        InterleavedRates(
            cRuns, writeMb, [&] { sink += OursWrite(attachment); }, [&] { sink += GMimeWrite(attachment); }),
        1.00);

    // Python starts from bytes too; each of its runs does all three pieces, and so do ours.
    {
        const TixPython python(big, typical, attachment);
        std::vector<double> ours[3], peer[3];
        for (int run = 0; run < cPythonRuns; ++run) {
            ours[0].push_back(bigMb / Seconds([&] { sink += OursLoad(LinesOf(big)); }));
            ours[1].push_back(typicalMb / Seconds([&] {
                                  for (const auto& m : typical)
                                      sink += OursLoad(LinesOf(m));
                              }));
            ours[2].push_back(writeMb / Seconds([&] { sink += OursWrite(attachment); }));
            const std::map<char, double> seconds = python.Run();
            if (seconds.size() != 3) throw std::runtime_error("Python's email benchmark gave no result");
            peer[0].push_back(bigMb / seconds.at('a'));
            peer[1].push_back(typicalMb / seconds.at('b'));
            peer[2].push_back(writeMb / seconds.at('c'));
        }
        const char* names[] = {"mail_load_20mb_vs_python_email", "mail_load_2000_typical_vs_python_email",
                               "mail_source_20mb_attachment_vs_python_email"};
        for (int k = 0; k < 3; ++k)
            Report(names[k], "MB/s", true, cPythonRuns, {Summarize(ours[k]), Summarize(peer[k])}, 1.00);
    }
    // From raw text to a loaded message: the message's own lines count.
    const double peakOurs = PeakMegabytes([&] { sink += OursLoad(LinesOf(big)); });
    const double peakGMime = PeakMegabytes([&] { sink += GMimeLoad(big); });
    std::printf("bench mail_load_20mb_peak_memory ours=%.1f peer=%.1f unit=MB ratio=%.2f goal=%.2f\n",
                peakOurs, peakGMime, 3 * bigMb / peakOurs, 1.0);
    std::printf("(peak memory: message %.1f MB, goal under three times that; GMime shown as peer)\n", bigMb);
    std::printf("(typical messages: %d, %.1f MB; checksum %zu)\n", cTypicalCount, typicalMb, sink % 10);
    return 0;
}
