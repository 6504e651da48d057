#include "dkim/ixDkimKey.h"

#include "dkim/ixDkimUtils.h"
#include "text/ixUtils.h"

namespace ix {

void TixDkimKey::Clear() {
    *this = TixDkimKey();
}

namespace {

void SplitColonList(const std::string& value, TixStringList& list) {
    list.Clear();
    std::size_t pos = 0;
    while (pos <= value.size()) {
        std::size_t end = value.find(':', pos);
        if (end == std::string::npos) end = value.size();
        std::string word = RemoveDkimWhiteSpace(value.substr(pos, end - pos));
        if (!word.empty()) list.Add(word);
        pos = end + 1;
    }
}

std::string JoinColon(const TixStringList& list) {
    std::string text;
    for (const auto& item : list) {
        if (!text.empty()) text += ':';
        text += item.line;
    }
    return text;
}

}  // namespace

void TixDkimKey::Parse(const std::string& record) {
    Clear();
    std::vector<TixDkimTag> tags = ParseDkimTagList(record);
    if (const std::string* v = FindDkimTag(tags, "v")) Version = *v;
    if (const std::string* h = FindDkimTag(tags, "h")) SplitColonList(*h, HashAlgorithms);
    if (const std::string* k = FindDkimTag(tags, "k")) KeyType = *k;
    if (const std::string* n = FindDkimTag(tags, "n")) Notes = DkimQPDecode(*n);
    if (const std::string* p = FindDkimTag(tags, "p")) PublicKey = RemoveDkimWhiteSpace(*p);
    TixStringList words;
    if (const std::string* s = FindDkimTag(tags, "s")) {
        SplitColonList(*s, words);
        for (const auto& word : words) {
            if (word.line == "*") ServiceAll = true;
            if (word.line == "email") ServiceEmail = true;
        }
    } else {
        ServiceAll = true;
    }
    if (const std::string* t = FindDkimTag(tags, "t")) {
        SplitColonList(*t, words);
        for (const auto& word : words) {
            if (word.line == "y") TestingDomain = true;
            if (word.line == "s") CheckUserIdentityDomain = true;
        }
    }
}

std::string TixDkimKey::Build() const {
    std::string record;
    auto add = [&](const char* name, const std::string& value, bool always = false) {
        if (value.empty() && !always) return;
        if (!record.empty()) record += "; ";
        record += name;
        record += '=';
        record += value;
    };
    add("v", Version);
    add("h", JoinColon(HashAlgorithms));
    add("k", KeyType);
    add("n", DkimQPEncode(Notes));
    std::string services = ServiceAll ? "*" : "";
    if (ServiceEmail) services += services.empty() ? "email" : ":email";
    add("s", services);
    std::string flags = TestingDomain ? "y" : "";
    if (CheckUserIdentityDomain) flags += flags.empty() ? "s" : ":s";
    add("t", flags);
    add("p", PublicKey, true);
    return record;
}

}  // namespace ix
