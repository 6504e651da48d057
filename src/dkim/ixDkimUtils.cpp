#include "dkim/ixDkimUtils.h"

#include <cstdio>

namespace ix {

std::string DkimErrorText(int code) {
    switch (code) {
        case ixcDkimInvalidFormat:
            return "The format of the DKIM-Signature header field is ivalid";
        case ixcDkimInvalidParameters:
            return "There are errors in signature parameters";
        case ixcDkimInvalidAlgorithm:
            return "The SignatureAlgorithm is invalid";
        case ixcDkimBodyHashDiffers:
            return "Body hash values differ";
        case ixcDkimUnknownVersion:
            return "The version of the DKIM-Signature is unknown";
        case ixcDkimKeyRequired:
            return "The key is required to complete the operation";
        case ixcDkimKeyRevoked:
            return "The key is revoked";
        case ixcDkimInvalidKey:
            return "The publik key is invalid or has wrong parameters";
        case ixcDkimFromNotSigned:
            return "The signature does not cover the From header field";
        case ixcDkimExpired:
            return "The signature has expired";
        case ixcDkimKeyTooShort:
            return "The key is shorter than 1024 bits";
        case ixcDkimDuplicateTag:
            return "A tag appears more than once";
        case ixcDkimKeyNotForSignature:
            return "The key record does not allow this signature";
        case ixcDkimSignatureMismatch:
            return "The signature does not match the message";
        default:
            return "DKIM error";
    }
}

void RaiseDkimError(int code) {
    throw EixDkimError(DkimErrorText(code), code);
}

namespace {

bool IsFws(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view TrimFws(std::string_view text) {
    while (!text.empty() && IsFws(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsFws(text.back()))
        text.remove_suffix(1);
    return text;
}

bool IsTagName(std::string_view name) {
    if (name.empty()) return false;
    auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!alpha(name[0])) return false;
    for (char c : name)
        if (!alpha(c) && !(c >= '0' && c <= '9') && c != '_') return false;
    return true;
}

}  // namespace

std::vector<TixDkimTag> ParseDkimTagList(std::string_view text) {
    std::vector<TixDkimTag> tags;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find(';', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view tag = text.substr(pos, end - pos);
        pos = end + 1;
        if (TrimFws(tag).empty()) {
            // Only a trailing ";" may leave an empty tag.
            if (end == text.size() || TrimFws(text.substr(pos)).empty()) break;
            RaiseDkimError(ixcDkimInvalidFormat);
        }
        std::size_t equals = tag.find('=');
        if (equals == std::string_view::npos) RaiseDkimError(ixcDkimInvalidFormat);
        std::string_view name = TrimFws(tag.substr(0, equals));
        if (!IsTagName(name)) RaiseDkimError(ixcDkimInvalidFormat);
        if (FindDkimTag(tags, name) != nullptr) RaiseDkimError(ixcDkimDuplicateTag);
        tags.push_back({std::string(name), std::string(TrimFws(tag.substr(equals + 1)))});
    }
    return tags;
}

const std::string* FindDkimTag(const std::vector<TixDkimTag>& tags, std::string_view name) {
    for (const TixDkimTag& tag : tags)
        if (tag.name == name) return &tag.value;
    return nullptr;
}

std::string RemoveDkimWhiteSpace(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (char c : text)
        if (!IsFws(c)) result += c;
    return result;
}

std::string DkimQPEncode(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (unsigned char c : text) {
        if ((c >= 33 && c <= 58) || c == 60 || (c >= 62 && c <= 126)) {
            result += static_cast<char>(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "=%2.2X", c);
            result += escape;
        }
    }
    return result;
}

std::string DkimQPDecode(std::string_view text) {
    auto hex = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            result += text[i];
            continue;
        }
        int high = i + 1 < text.size() ? hex(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? hex(text[i + 2]) : -1;
        if (high >= 0 && low >= 0) {
            result += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            // A broken escape is written out literally.
            result += '=';
        }
    }
    return result;
}

std::string DkimKeyLocation(std::string_view selector, std::string_view domain) {
    return std::string(selector) + "._domainkey." + std::string(domain);
}

bool IsDkimSignatureField(std::string_view name) {
    return SameText(name, "DKIM-Signature");
}

TixDkimHeaderFieldList::TixDkimHeaderFieldList() {
    SetItemDelimiter(';');
}

std::string TixDkimHeaderFieldList::GetFieldValue(int index) const {
    TixStringList lines;
    GetFieldLines(index, lines);
    std::string value;
    for (int i = 0; i < lines.Count(); ++i) {
        std::string_view line = lines[i];
        if (i == 0) {
            std::size_t colon = line.find(':');
            line = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
        }
        value += TrimFws(line);
    }
    return value;
}

std::string TixDkimHeaderFieldList::GetRawField(int index) const {
    TixStringList lines;
    GetFieldLines(index, lines);
    std::string raw;
    for (int i = 0; i < lines.Count(); ++i) {
        if (i > 0) raw += "\r\n";
        raw += lines[i];
    }
    return raw;
}

int TixDkimHeaderFieldList::Parse(int startIndex, TixStringList* source) {
    int end = TixHeaderFieldList::Parse(startIndex, source);
    byName_.clear();
    used_.clear();
    for (int i = 0; i < Count(); ++i)
        byName_[LowerCase(TrimFws(GetFieldName(i)))].push_back(i);
    return end;
}

int TixDkimHeaderFieldList::SelectField(std::string_view name) {
    std::string key = LowerCase(TrimFws(name));
    auto fields = byName_.find(key);
    if (fields == byName_.end()) return -1;
    std::size_t& used = used_[key];
    if (used >= fields->second.size()) return -1;
    ++used;
    return fields->second[fields->second.size() - used];
}

}  // namespace ix
