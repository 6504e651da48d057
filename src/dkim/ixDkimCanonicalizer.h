#pragma once
// The "simple" and "relaxed" canonicalizations of RFC 6376 section 3.4, byte for byte as the RFC
// and the common verifiers have them. Bodies are streamed to a sink in large pieces so that a big
// message is hashed at close to the hash's own speed.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/ixStringList.h"
#include "crypto/ixConfig.h"

namespace ix {

class TixDkimHeaderFieldList;

// Receives canonical body bytes in order.
using TixDkimBodySink = std::function<void(std::string_view bytes)>;

class TixDkimCanonicalizer : public TixConfigObject {
public:
    // One body line without its line break.
    virtual void CanonicalizeBodyLine(std::string_view line, std::string& out) const = 0;
    // A field's raw text (its lines joined with CR LF, no final CR LF) as "name:value".
    virtual std::string CanonicalizeHeaderField(std::string_view rawField) const = 0;
    // An empty body: simple gives one CR LF, relaxed nothing (RFC 6376 sections 3.4.3, 3.4.4).
    virtual bool EmptyBodyIsLineBreak() const = 0;

    // The body from line bodyStart on; at most limit bytes when limit is above 0 (l=). Returns the
    // number of bytes written.
    std::int64_t CanonicalizeBody(const TixStringList& lines, int bodyStart, std::int64_t limit,
                                  const TixDkimBodySink& sink) const;
    std::string CanonicalizeBody(const TixStringList& lines, int bodyStart) const;
    // The canonical text of the fields named in names, selected bottom-up, each ending in CR LF.
    std::string CanonicalizeHeaders(const TixStringList& names, TixDkimHeaderFieldList& header) const;
};

class TixDkimSimpleCanonicalizer : public TixDkimCanonicalizer {
public:
    void CanonicalizeBodyLine(std::string_view line, std::string& out) const override;
    std::string CanonicalizeHeaderField(std::string_view rawField) const override;
    bool EmptyBodyIsLineBreak() const override { return true; }
};

class TixDkimRelaxedCanonicalizer : public TixDkimCanonicalizer {
public:
    void CanonicalizeBodyLine(std::string_view line, std::string& out) const override;
    std::string CanonicalizeHeaderField(std::string_view rawField) const override;
    bool EmptyBodyIsLineBreak() const override { return false; }
};

}  // namespace ix
