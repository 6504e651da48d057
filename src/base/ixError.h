#pragma once
// Root of the library's exceptions: every error carries a message text.

#include <stdexcept>
#include <string>

namespace ix {

class EixError : public std::runtime_error {
public:
    explicit EixError(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// An error that carries an integer code next to its text. Negative codes are the library's own,
// positive ones come from the platform (errno, resolver).
class EixCodedError : public EixError {
public:
    EixCodedError(const std::string& message, int errorCode) : EixError(message), errorCode_(errorCode) {}
    int ErrorCode() const { return errorCode_; }

private:
    int errorCode_;
};

}  // namespace ix
