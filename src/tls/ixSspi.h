#pragma once
// Errors of the TLS (and authentication) provider. The codes below are the library's own, with
// fixed texts; every other code is a provider status, here OpenSSL's packed error code (or the
// errno value of a system error inside OpenSSL) with OpenSSL's own text.

#include <string>

#include "base/ixError.h"

namespace ix {

constexpr int IX_SSPI_LOAD_FAILED = -1;
constexpr int IX_SSPI_NO_INIT_ROUTINE = -2;
constexpr int IX_SSPI_INIT_FAILED = -3;
constexpr int IX_SSPI_ACQUIRE_CREDENTIALS = -4;
constexpr int IX_SSPI_NO_PACKAGE = -5;
constexpr int IX_SSPI_QUERY_PACKAGE = -6;
constexpr int IX_SSPI_LOCAL_CERTIFICATE = -9;
constexpr int IX_SSPI_SERVER_CREDENTIALS = -11;
constexpr int IX_SSPI_NOT_SUPPORTED = -12;
constexpr int IX_SSPI_OUT_OF_MEMORY = 20;

class EixSSPIError : public EixCodedError {
public:
    EixSSPIError(const std::string& message, int errorCode) : EixCodedError(message, errorCode) {}
    // A code of the table above with its text; any other code gets the status text.
    explicit EixSSPIError(int errorCode);
};

// The text of a code: the fixed texts, else the system's text for an errno value, else
// "The unknown error was occured: %x".
std::string SspiStatusText(int errorCode);

}  // namespace ix
