#pragma once
// Types every subsystem shares.

#include <cstdint>
#include <functional>
#include <vector>

namespace ix {

// Bytes of known length: the currency of encoders, translator, crypto and protocol code.
using TixByteArray = std::vector<std::uint8_t>;

// Root of every library object that can be the sender of an event.
class TixObject {
public:
    TixObject() = default;
    TixObject(const TixObject&) = default;
    TixObject& operator=(const TixObject&) = default;
    virtual ~TixObject() = default;
};

// Progress of a long transfer; counts are signed 64-bit so files above 4 GB report correctly.
using TixProgressEvent =
    std::function<void(TixObject* Sender, std::int64_t ABytesProceed, std::int64_t ATotalBytes)>;

using TixNotifyEvent = std::function<void(TixObject* Sender)>;

}  // namespace ix
