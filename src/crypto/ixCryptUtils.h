#pragma once
// Errors of the crypto services. A failed OpenSSL call raises EixCryptError with the reason code
// and text of the oldest entry in OpenSSL's error queue (the queue is emptied), or, when the
// queue holds nothing, "<call> error - 0". Using an object that has no key raises code -4.

#include <string>
#include <string_view>

#include "base/ixError.h"

namespace ix {

class EixCryptError : public EixCodedError {
public:
    using EixCodedError::EixCodedError;
};

constexpr int ixcKeyRequired = -4;
inline constexpr const char* ixsKeyRequired = "A key is required to complete the operation";

[[noreturn]] void RaiseCryptError(std::string_view failedCall);
[[noreturn]] void RaiseKeyRequired();
// Empties OpenSSL's error queue so that a later failure reports its own cause.
void ClearCryptErrors();

}  // namespace ix
