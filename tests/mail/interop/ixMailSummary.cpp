// ix-mail-summary: prints what the message model reads from a mail file as JSON, so that another
// mail parser can be compared with it field by field (mail_summary.py holds the other side).
//
//   ix-mail-summary FILE        parse FILE (lines split at CR LF or LF) and print its summary
//   ix-mail-summary --build DIR compose a set of messages; write DIR/NAME.eml and, beside it,
//                               DIR/NAME.json: the summary of what was put into the message
//
// Summary: subject; from {name, address} or null; to, cc lists; date as UTC ISO 8601 or null
// (a date that could not be read is 0 in the model); type (the message's content type); parts.
// A part is {type, parts} for a multipart part, else {type, kind, charset|filename, sha256}.
// Normalisation shared with the Python side:
// - types and charsets are lower case; a name equal to its address counts as no name;
// - a text part's hash is over its text in UTF-8, split into lines at CR LF, CR or LF, trailing
//   empty lines dropped, joined with CR LF and no final line end (the model keeps lines, not
//   the line end after the last one);
// - an attachment's hash is over its decoded bytes.
// Strings are written byte by byte (see Json); mail_summary.py reads them as UTF-8 with bytes that
// are not UTF-8 as the escapes \udc80..\udcff (lone surrogates), which no decoded text holds, so
// they always show up as a difference.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/ixDateTime.h"
#include "base/ixStream.h"
#include "base/ixStringList.h"
#include "crypto/ixCryptHash.h"
#include "ixTestSupport.h"
#include "mail/ixMailMessage.h"
#include "mail/ixMessageBodies.h"
#include "text/ixTranslator.h"

namespace {

using namespace ix;
namespace fs = std::filesystem;

std::string Sha256Hex(std::string_view data) {
    TixSha256 hash;
    hash.Update(data);
    return test::HexOf(test::Text(hash.Done()));
}

// Bytes that are not UTF-8 are written as they are: the reader takes them as bytes, not text.
std::string Json(std::string_view s) {
    std::string out = "\"";
    char buf[8];
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string NormalisedText(const TixStringList& strings) {
    // Read again, a line break inside a line (a lone CR or LF) splits it like CR LF does.
    TixStringList lines;
    lines.SetText(strings.Text());
    while (lines.Count() > 0 && lines[lines.Count() - 1].empty())
        lines.Delete(lines.Count() - 1);
    const std::string text = lines.Text();
    return text.substr(0, text.size() - std::min<std::size_t>(text.size(), 2));
}

std::string Address(const TixEmailAddressItem& item) {
    const std::string name = item.Name() == item.Email() ? std::string() : item.Name();
    return "{\"name\": " + Json(name) + ", \"address\": " + Json(item.Email()) + "}";
}

std::string AddressList(const TixEmailAddressList& list) {
    std::string out = "[";
    for (int i = 0; i < list.Count(); ++i)
        out += (i > 0 ? ", " : "") + Address(list.Items(i));
    return out + "]";
}

std::string IsoDate(TixDateTime date) {
    if (date == 0) return "null";
    const TixDateParts d = DecodeDateTime(date);
    char buf[40];
    std::snprintf(buf, sizeof buf, "\"%04d-%02d-%02dT%02d:%02d:%02dZ\"", d.year, d.month, d.day, d.hour,
                  d.minute, d.second);
    return buf;
}

// Where an attachment's bytes come from: what the parser delivered, or the composed file.
using TixDataSource = std::function<std::string(TixAttachmentBody&)>;

std::string PartTree(TixMessageBodies& bodies, const TixDataSource& data, bool composed);

std::string Part(TixMessageBody& body, const TixDataSource& data, bool composed) {
    const std::string type = "\"type\": " + Json(LowerCase(body.ContentType()));
    if (auto* mp = dynamic_cast<TixMultipartBody*>(&body))
        return "{" + type + ", \"parts\": " + PartTree(mp->Bodies(), data, composed) + "}";
    if (auto* text = dynamic_cast<TixTextBody*>(&body)) {
        const std::string cs = composed ? text->WriteCharSet() : text->EffectiveCharSet();
        return "{" + type + ", \"kind\": \"text\", \"charset\": " + Json(LowerCase(cs)) +
               ", \"sha256\": " + Json(Sha256Hex(NormalisedText(text->Strings()))) + "}";
    }
    auto& file = dynamic_cast<TixAttachmentBody&>(body);
    const std::string name = composed ? fs::path(file.FileName()).filename().string() : file.FileName();
    return "{" + type + ", \"kind\": \"attachment\", \"filename\": " + Json(name) +
           ", \"sha256\": " + Json(Sha256Hex(data(file))) + "}";
}

std::string PartTree(TixMessageBodies& bodies, const TixDataSource& data, bool composed) {
    std::string out = "[";
    for (int i = 0; i < bodies.Count(); ++i)
        out += (i > 0 ? ",\n" : "\n") + Part(bodies[i], data, composed);
    return out + "]";
}

std::string Summary(TixMailMessage& m, const TixDataSource& data, bool composed) {
    // A composed message in the uuencode format carries no Content-Type, so it reads as plain text.
    const std::string type = composed && m.MessageFormat() == mfUUencode ? "text/plain" : m.ContentType();
    std::ostringstream out;
    out << "{\n  \"subject\": " << Json(m.Subject()) << ",\n  \"from\": "
        << (m.From().Email().empty() && m.From().Name().empty() ? "null" : Address(m.From()))
        << ",\n  \"to\": " << AddressList(m.ToList()) << ",\n  \"cc\": " << AddressList(m.CCList())
        << ",\n  \"date\": " << IsoDate(m.Date()) << ",\n  \"type\": " << Json(LowerCase(type))
        << ",\n  \"parts\": " << PartTree(m.Bodies(), data, composed) << "\n}\n";
    return out.str();
}

void WriteFile(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        throw std::runtime_error("cannot write " + path.string());
}

// Lines end at CR LF or LF; a lone CR stays inside its line, as it would on the wire.
TixStringList SplitLines(std::string_view bytes) {
    TixStringList lines;
    for (std::size_t start = 0; start < bytes.size();) {
        const std::size_t lf = std::min(bytes.find('\n', start), bytes.size());
        const bool cr = lf < bytes.size() && lf > start && bytes[lf - 1] == '\r';
        lines.Add(std::string(bytes.substr(start, lf - start - (cr ? 1 : 0))));
        start = lf + 1;
    }
    return lines;
}

int SummariseFile(const char* path) {
    TixMailMessage m;
    std::map<TixMessageBody*, std::string> saved;
    m.OnSaveAttachment = [](TixObject*, TixMessageBody*, std::string&, std::unique_ptr<TixStream>& s, bool&) {
        s = std::make_unique<TixMemoryStream>();
    };
    m.OnAttachmentSaved = [&saved](TixObject*, TixMessageBody* body, const std::string&, TixStream& s) {
        std::string bytes(static_cast<std::size_t>(s.Size()), '\0');
        s.SetPosition(0);
        s.ReadBuffer(bytes.data(), bytes.size());
        saved[body] = std::move(bytes);
    };
    m.LoadMessage(SplitLines(test::ReadFile(path)));
    std::cout << Summary(
        m, [&saved](TixAttachmentBody& b) { return saved[&b]; }, false);
    return 0;
}

// ---- composing ----

struct Composed {
    std::string name;
    std::string charSet{};  // empty keeps the default
    TixEncodeMethod headerEncoding = cmNone;
    bool extensions = false;
    std::string subject{}, from{}, to{}, cc{}, text{}, html{};
    std::vector<std::string> attachments{}, images{};  // file names inside DIR/files
    TixMessageFormat format = mfNone;
};

std::string Bytes(std::size_t n, unsigned seed) {
    std::string out(n, '\0');
    std::minstd_rand random(seed);
    for (char& c : out)
        c = static_cast<char>(random());
    return out;
}

std::vector<Composed> Messages() {
    std::vector<Composed> list;
    list.push_back({.name = "plain-ascii",
                    .subject = "Plain text only",
                    .from = "Ann Example <ann@example.com>",
                    .to = "bob@example.com",
                    .text = "line one\r\nline two\r\n\r\nlast line"});
    list.push_back(
        {.name = "iso2022jp-text",
         .charSet = "iso-2022-jp",
         .subject = "日本語の件名です。長い件名は幾つかの語に分けて、行の長さに収まるように折り返されます。",
         .from = "山田太郎 <taro@example.jp>",
         .to = "hanako@example.jp",
         .text = "こんにちは。\r\n今日はいい天気です。"});
    list.push_back({.name = "html-with-images",
                    .charSet = "utf-8",
                    .subject = "Inline images",
                    .from = "Pics <pics@example.com>",
                    .to = "viewer@example.com",
                    .html = "<p>One <img src=\"logo.png\"> two <img src=\"photo.jpg\"></p>",
                    .images = {"logo.png", "photo.jpg"}});
    list.push_back({.name = "uuencode-format",
                    .subject = "Old style attachment",
                    .from = "uu@example.com",
                    .to = "you@example.com",
                    .text = "The file follows.",
                    .attachments = {"data.bin"},
                    .format = mfUUencode});
    // Texts in every charset and header encoding, each as the subject, display names, an
    // attachment's file name (RFC 2231 parameters) and the plain and HTML text beside an image
    // (multipart/mixed around related around alternative): plain and 8-bit,
    // some more than the charset holds, long enough to need several encoded words, looking like an
    // encoded word, full of specials.
    const std::string texts[] = {
        "Plain ASCII subject",
        "Grüße aus München",
        "Привет, мир! Длинная тема письма для переноса строк",
        "Emoji 😀😁😂 and 日本語 text that is long enough to need several encoded words on several lines",
        "Looks like =?utf-8?Q?an_encoded_word?= but is not",
        "Punctuation: \"quoted\" (paren) a_b ?=? 100% tab\there",
        std::string(120, 'x') + " long ASCII word"};
    int n = 0;
    for (const std::string& text : texts) {
        std::string file = text + ".txt";
        std::erase(file, ':');  // a colon would end the folder part of the composed file's path
        for (const char* charSet : {"utf-8", "iso-8859-1", "koi8-r"})
            for (TixEncodeMethod method : {cmNone, cmQuotedPrintable, cmBase64})
                list.push_back(
                    {.name = "header-" + std::to_string(++n),
                     .charSet = charSet,
                     .headerEncoding = method,
                     .extensions = true,
                     .subject = text,
                     .from = "one@example.org",
                     .to = BuildFullAddress(text, "one@example.org") + ", \"Smith, John\" <js@example.org>",
                     .cc = BuildFullAddress(
                         text, "a.very.long.local.part.that.goes.on@subdomain.example-company.example.org"),
                     .text = text,
                     .html = "<p>" + text + " <img src=\"logo.png\"></p>",
                     .attachments = {file},
                     .images = {"logo.png"}});
    }
    return list;
}

int Build(const char* dirName) {
    const fs::path dir(dirName);
    const fs::path files = dir / "files";
    fs::create_directories(files);
    // The path of a file in DIR/files, made with bytes of its own the first time it is named.
    auto file = [&files, seed = 7u](const std::string& name) mutable {
        const fs::path path = files / name;
        if (!fs::exists(path)) {
            ++seed;
            WriteFile(path, Bytes(2000 + 1000 * (seed % 3), seed));
        }
        return path.string();
    };
    for (const Composed& c : Messages()) {
        TixMailMessage m;
        if (!c.charSet.empty()) m.SetCharSet(c.charSet);
        m.SetHeaderEncoding(c.headerEncoding);
        m.SetUseHeaderEncodingExtensions(c.extensions);
        TixStringList attachments, images;
        for (const auto& a : c.attachments)
            attachments.Add(file(a));
        std::string html = c.html;
        for (const auto& i : c.images) {
            // The HTML names images by their full path; composing turns that into cid: references.
            const std::string full = file(i);
            images.Add(full);
            for (std::size_t p = html.find("\"" + i + "\""); p != std::string::npos;
                 p = html.find("\"" + i + "\"", p + full.size()))
                html.replace(p + 1, i.size(), full);
        }
        m.BuildMessage(c.text, html, attachments, images);
        m.SetMessageFormat(c.format);
        m.SetSubject(c.subject);
        m.From().SetFullAddress(c.from);
        m.ToList().SetEmailAddresses(c.to);
        m.CCList().SetEmailAddresses(c.cc);
        m.SetDate(EncodeDateTime(2026, 12, 7, 10, 30, 15));
        const std::string source = m.MessageSource().Text();
        WriteFile(dir / (c.name + ".eml"), source);
        WriteFile(dir / (c.name + ".json"),
                  Summary(
                      m, [](TixAttachmentBody& b) { return test::ReadFile(b.FileName()); }, true));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The model reads and writes dates in local time; pinning the zone makes that UTC.
    const test::ZoneGuard zone("UTC");
    try {
        if (argc == 3 && std::string_view(argv[1]) == "--build") return Build(argv[2]);
        if (argc == 2 && argv[1][0] != '-') return SummariseFile(argv[1]);
        std::fprintf(stderr, "usage: ix-mail-summary FILE | ix-mail-summary --build DIR\n");
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ix-mail-summary: %s\n", e.what());
        return 1;
    }
}
