#include "crypto/ixCryptUtils.h"

#include <openssl/err.h>

#include <array>

namespace ix {

void RaiseCryptError(std::string_view failedCall) {
    unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (error == 0) throw EixCryptError(std::string(failedCall) + " error - 0", 0);
    std::array<char, 256> text{};
    ERR_error_string_n(error, text.data(), text.size());
    std::string message(text.data());
    while (!message.empty() && (message.back() == ' ' || message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    throw EixCryptError(message, ERR_GET_REASON(error));
}

void RaiseKeyRequired() {
    throw EixCryptError(ixsKeyRequired, ixcKeyRequired);
}

void ClearCryptErrors() {
    ERR_clear_error();
}

}  // namespace ix
