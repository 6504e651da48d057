#include "tls/ixSspi.h"

#include <openssl/err.h>

#include <cctype>
#include <cstdio>

#include "base/ixStream.h"
#include "tls/internal/ixOpenSslError.h"

namespace ix {

namespace {

std::string ErrnoText(int errorCode) {
    std::string text = SysErrorMessage(errorCode);
    while (!text.empty() && (std::iscntrl(static_cast<unsigned char>(text.back())) || text.back() == ' ' ||
                             text.back() == '.'))
        text.pop_back();
    return text;
}

}  // namespace

std::string SspiStatusText(int errorCode) {
    switch (errorCode) {
        case IX_SSPI_LOAD_FAILED:
            return "Could not load the dll (schannel.dll, security.dll or secur32.dll)";
        case IX_SSPI_NO_INIT_ROUTINE:
            return "Could not get security initialization routine";
        case IX_SSPI_INIT_FAILED:
            return "Could not initialize the security package";
        case IX_SSPI_ACQUIRE_CREDENTIALS:
            return "AcquireCredentials failed";
        case IX_SSPI_NO_PACKAGE:
            return "None of needed security package was found";
        case IX_SSPI_QUERY_PACKAGE:
            return "Could not query package information";
        case IX_SSPI_LOCAL_CERTIFICATE:
            return "Error querying local certificate";
        case IX_SSPI_SERVER_CREDENTIALS:
            return "Error occured when authenticating server credentials";
        case IX_SSPI_NOT_SUPPORTED:
            return "Not supported";
        case IX_SSPI_OUT_OF_MEMORY:
            return "Out of memory";
        default:
            break;
    }
    if (errorCode > 0 && errorCode < 4096) return ErrnoText(errorCode);
    char text[64];
    std::snprintf(text, sizeof text, "The unknown error was occured: %x", static_cast<unsigned>(errorCode));
    return text;
}

EixSSPIError::EixSSPIError(int errorCode) : EixSSPIError(SspiStatusText(errorCode), errorCode) {}

void RaiseOpenSslError(const std::string& what) {
    // The queue runs from the innermost failure to the outermost; the outermost says what was
    // being done, but a failed system call underneath (a missing file) is the cause worth its errno.
    unsigned long last = 0, system = 0;
    std::string lastData;
    const char* data = nullptr;
    int flags = 0;
    while (unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
        const bool text = (flags & ERR_TXT_STRING) != 0 && data != nullptr && *data != '\0';
        if (ERR_SYSTEM_ERROR(code)) system = code;
        last = code;
        lastData = text ? data : "";
    }
    if (last == 0) throw EixSSPIError(what, 0);

    const unsigned long shown = system != 0 ? system : last;
    std::string message = what + ": ";
    if (const char* lib = ERR_lib_error_string(shown)) message += std::string(lib) + ": ";
    int errorCode;
    if (ERR_SYSTEM_ERROR(shown)) {
        errorCode = ERR_GET_REASON(shown);
        message += ErrnoText(errorCode);
    } else {
        errorCode = static_cast<int>(shown & 0x7FFFFFFFUL);
        const char* reason = ERR_reason_error_string(shown);
        message += reason != nullptr ? reason : "reason " + std::to_string(ERR_GET_REASON(shown));
        if (shown == last && !lastData.empty()) message += " (" + lastData + ")";
    }
    throw EixSSPIError(message, errorCode);
}

void RaiseOpenSslError(const char* what) {
    RaiseOpenSslError(std::string(what));
}

}  // namespace ix
