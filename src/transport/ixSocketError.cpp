#include "transport/ixSocketError.h"

#include <netdb.h>

#include <cerrno>
#include <cstdlib>

#include "base/ixStream.h"

namespace ix {

std::string SocketErrorText(int errorCode) {
    switch (errorCode) {
        case IX_TIMEOUT_ERROR:
            return "Timeout error occured";
        case IX_INVALID_ADDRESS:
            return "Invalid host address";
        case IX_INVALID_PORT:
            return "Invalid port number";
        case IX_INVALID_BATCH_SIZE:
            return "Invalid Batch Size";
        case IX_NETWORK_STREAM_REQUIRED:
            return "NetworkStream is required";
        case IX_NOT_CONNECTED:
            return "The connection to the server is not active";
        case IX_INVALID_FAMILY:
            return "Invalid address family";
        case IX_UNSUPPORTED_FIREWALL:
            return "Unsupported firewall type";
        default:
            break;
    }
    if (errorCode > IX_RESOLVER_ERROR_BASE && errorCode < IX_RESOLVER_ERROR_BASE + 1000)
        return gai_strerror(-(errorCode - IX_RESOLVER_ERROR_BASE));
    return SysErrorMessage(errorCode);
}

EixSocketError::EixSocketError(int errorCode) : EixSocketError(SocketErrorText(errorCode), errorCode) {}

void RaiseSocketError(int errorCode) {
    throw EixSocketError(errorCode);
}

void RaiseLastSocketError() {
    RaiseSocketError(errno);
}

void RaiseResolverError(int gaiResult) {
    if (gaiResult == EAI_SYSTEM) RaiseLastSocketError();
    RaiseSocketError(IX_RESOLVER_ERROR_BASE + std::abs(gaiResult));
}

bool IsWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS;
}

bool IsNetworkFailure(int error) {
    return error == ENETDOWN || error == ENETUNREACH || error == ENETRESET || error == ECONNABORTED ||
           error == ECONNRESET || error == EPIPE;
}

}  // namespace ix
