#pragma once
// OpenSSL's error queue turned into the library's exception; seen only by the library's TLS code.

#include <string>

namespace ix {

// Raises EixSSPIError for the failure OpenSSL just reported and empties the queue. The code is the
// errno value when a system call failed inside OpenSSL, else OpenSSL's packed error code; the text
// is "<what>: <library>: <reason>"; with an empty queue it is just what, with code 0.
[[noreturn]] void RaiseOpenSslError(const char* what);
[[noreturn]] void RaiseOpenSslError(const std::string& what);

}  // namespace ix
