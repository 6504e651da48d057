#pragma once
// Errors of the transport: the library's own negative codes with fixed texts, and platform codes
// (errno, or resolver failures above IX_RESOLVER_ERROR_BASE) with the platform's text.

#include <string>

#include "base/ixError.h"

namespace ix {

class EixSocketError : public EixCodedError {
public:
    EixSocketError(const std::string& message, int errorCode) : EixCodedError(message, errorCode) {}
    // A library code (negative) or a platform code, with its standard text.
    explicit EixSocketError(int errorCode);
};

constexpr int IX_TIMEOUT_ERROR = -1;
constexpr int IX_INVALID_ADDRESS = -2;
constexpr int IX_INVALID_PORT = -3;
constexpr int IX_INVALID_BATCH_SIZE = -4;
constexpr int IX_NETWORK_STREAM_REQUIRED = -5;
constexpr int IX_NOT_CONNECTED = -6;
constexpr int IX_INVALID_FAMILY = -7;
constexpr int IX_UNSUPPORTED_FIREWALL = -101;

// getaddrinfo failures are reported as this base plus the magnitude of the EAI_ code, so they
// never collide with errno values or the library's negative codes.
constexpr int IX_RESOLVER_ERROR_BASE = 11000;

// The text for a code: fixed texts for the library's codes, strerror or gai_strerror otherwise.
std::string SocketErrorText(int errorCode);

[[noreturn]] void RaiseSocketError(int errorCode);
// Raises the error in errno.
[[noreturn]] void RaiseLastSocketError();
// Raises a getaddrinfo result (EAI_SYSTEM raises errno instead).
[[noreturn]] void RaiseResolverError(int gaiResult);

// errno values the transport treats as "would block" and as "the network broke".
bool IsWouldBlock(int error);
bool IsNetworkFailure(int error);

}  // namespace ix
