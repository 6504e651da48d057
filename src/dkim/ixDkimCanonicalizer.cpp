#include "dkim/ixDkimCanonicalizer.h"

#include "dkim/ixDkimUtils.h"

namespace ix {

namespace {

bool IsWsp(char c) {
    return c == ' ' || c == '\t';
}

constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

std::int64_t TixDkimCanonicalizer::CanonicalizeBody(const TixStringList& lines, int bodyStart,
                                                    std::int64_t limit, const TixDkimBodySink& sink) const {
    // Lines are canonicalized straight into the buffer, which goes to the sink in large pieces.
    std::string buffer;
    buffer.reserve(kChunk + 4096);
    std::int64_t flushed = 0;
    // Empty lines are held back until a non-empty line shows they are not at the end.
    std::int64_t pendingEmpty = 0;
    for (int i = std::min(std::max(bodyStart, 0), lines.Count()); i < lines.Count(); ++i) {
        const std::size_t mark = buffer.size();
        CanonicalizeBodyLine(lines.View(i), buffer);
        if (buffer.size() == mark) {
            ++pendingEmpty;
            continue;
        }
        if (pendingEmpty > 0) {
            std::string line = buffer.substr(mark);
            buffer.resize(mark);
            for (; pendingEmpty > 0; --pendingEmpty)
                buffer += "\r\n";
            buffer += line;
        }
        buffer += "\r\n";
        if (limit > 0 && flushed + static_cast<std::int64_t>(buffer.size()) >= limit) break;
        if (buffer.size() >= kChunk) {
            sink(buffer);
            flushed += static_cast<std::int64_t>(buffer.size());
            buffer.clear();
        }
    }
    if (flushed == 0 && buffer.empty() && EmptyBodyIsLineBreak()) buffer = "\r\n";
    // l= counts canonical bytes: the rest is not hashed.
    if (limit > 0 && flushed + static_cast<std::int64_t>(buffer.size()) > limit)
        buffer.resize(static_cast<std::size_t>(limit - flushed));
    if (!buffer.empty()) sink(buffer);
    return flushed + static_cast<std::int64_t>(buffer.size());
}

std::string TixDkimCanonicalizer::CanonicalizeBody(const TixStringList& lines, int bodyStart) const {
    std::string body;
    CanonicalizeBody(lines, bodyStart, 0, [&](std::string_view bytes) { body.append(bytes); });
    return body;
}

std::string TixDkimCanonicalizer::CanonicalizeHeaders(const TixStringList& names,
                                                      TixDkimHeaderFieldList& header) const {
    header.ResetSelection();
    std::string text;
    for (const auto& item : names) {
        int index = header.SelectField(item.line);
        if (index >= 0) text += CanonicalizeHeaderField(header.GetRawField(index));
    }
    return text;
}

void TixDkimSimpleCanonicalizer::CanonicalizeBodyLine(std::string_view line, std::string& out) const {
    out.append(line);
}

std::string TixDkimSimpleCanonicalizer::CanonicalizeHeaderField(std::string_view rawField) const {
    std::string field(rawField);
    field += "\r\n";
    return field;
}

void TixDkimRelaxedCanonicalizer::CanonicalizeBodyLine(std::string_view line, std::string& out) const {
    std::size_t end = line.size();
    while (end > 0 && IsWsp(line[end - 1]))
        --end;
    // The canonical line is never longer than the line: write it in place, then cut to size.
    const std::size_t mark = out.size();
    out.resize(mark + end);
    char* to = out.data() + mark;
    bool space = false;
    for (std::size_t i = 0; i < end; ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            space = true;
            continue;
        }
        if (space) *to++ = ' ';
        space = false;
        *to++ = c;
    }
    out.resize(static_cast<std::size_t>(to - out.data()));
}

std::string TixDkimRelaxedCanonicalizer::CanonicalizeHeaderField(std::string_view rawField) const {
    std::size_t colon = rawField.find(':');
    std::string_view name = rawField.substr(0, colon == std::string_view::npos ? rawField.size() : colon);
    while (!name.empty() && (IsWsp(name.back()) || name.back() == '\r' || name.back() == '\n'))
        name.remove_suffix(1);
    std::string result = LowerCase(name);
    result += ':';
    if (colon != std::string_view::npos) {
        // Unfold, turn every run of white space into one space, and drop it at both ends.
        bool space = false;
        bool started = false;
        for (char c : rawField.substr(colon + 1)) {
            if (c == '\r' || c == '\n') continue;
            if (IsWsp(c)) {
                space = true;
                continue;
            }
            if (space && started) result += ' ';
            space = false;
            started = true;
            result += c;
        }
    }
    result += "\r\n";
    return result;
}

}  // namespace ix
