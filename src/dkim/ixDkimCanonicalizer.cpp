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
    std::string buffer;
    buffer.reserve(kChunk + 1024);
    std::string line;
    std::int64_t written = 0;
    bool done = false;
    auto emit = [&](std::string_view bytes) {
        if (done) return;
        if (limit > 0 && written + static_cast<std::int64_t>(bytes.size()) >= limit) {
            bytes = bytes.substr(0, static_cast<std::size_t>(limit - written));
            done = true;
        }
        buffer.append(bytes);
        written += static_cast<std::int64_t>(bytes.size());
        if (buffer.size() >= kChunk) {
            sink(buffer);
            buffer.clear();
        }
    };
    // Empty lines are held back until a non-empty line shows they are not at the end.
    std::int64_t pendingEmpty = 0;
    const int count = lines.Count();
    for (int i = std::max(bodyStart, 0); i < count && !done; ++i) {
        line.clear();
        CanonicalizeBodyLine(lines[i], line);
        if (line.empty()) {
            ++pendingEmpty;
            continue;
        }
        for (; pendingEmpty > 0 && !done; --pendingEmpty)
            emit("\r\n");
        line += "\r\n";
        emit(line);
    }
    if (written == 0 && EmptyBodyIsLineBreak()) emit("\r\n");
    if (!buffer.empty()) sink(buffer);
    return written;
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
    bool space = false;
    for (std::size_t i = 0; i < end; ++i) {
        char c = line[i];
        if (IsWsp(c)) {
            space = true;
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += c;
    }
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
