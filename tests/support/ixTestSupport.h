#pragma once
// Helpers shared by the test executables.

#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/ixError.h"
#include "base/ixStringList.h"
#include "base/ixTypes.h"

namespace ix::test {

// Connection details of the sandbox IMAP server started by the CTest fixture.
struct SandboxInfo {
    std::string host = "127.0.0.1";
    int imapPort = 0;    // plain IMAP, STARTTLS offered
    int imapsPort = 0;   // implicit TLS
    std::string caFile;  // the throwaway CA that signed the server certificate
    std::string user, password, user2, password2;
    std::string dir;
};

// Reads IX_SANDBOX_DIR/sandbox.env; calls GTEST_SKIP-worthy failure via exception when absent.
SandboxInfo Sandbox();

// Path below the source tree (IX_SOURCE_DIR) or the build tree (IX_BINARY_DIR).
std::string SourcePath(const std::string& relative);
std::string BinaryPath(const std::string& relative);

std::string ReadFile(const std::string& path);
// The KEY=VALUE lines of a file the server scripts write.
std::map<std::string, std::string> ReadEnvFile(const std::string& path);
// What a shell command writes to its standard output (its exit status into status when given).
std::string RunCommand(const std::string& command, int* status = nullptr);

// The code of the coded error an action raises (its text into message when given); 0 when it
// raises nothing.
inline int CodeOf(const std::function<void()>& action, std::string* message = nullptr) {
    try {
        action();
    } catch (const EixCodedError& e) {
        if (message != nullptr) *message = e.what();
        return e.ErrorCode();
    }
    return 0;
}

// Bytes of a text and back, for byte-level assertions.
inline TixByteArray Bytes(std::string_view text) {
    return TixByteArray(text.begin(), text.end());
}
inline std::string Text(const TixByteArray& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Hexadecimal digits to bytes (spaces only group them), and bytes to lower-case digits.
inline TixByteArray Hex(std::string_view digits) {
    TixByteArray out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += digits[i] == ' ' ? 1 : 2)
        if (digits[i] != ' ')
            out.push_back(
                static_cast<std::uint8_t>(std::stoi(std::string(digits.substr(i, 2)), nullptr, 16)));
    return out;
}
inline std::string HexOf(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes)
        out += {digits[c >> 4], digits[c & 15]};
    return out;
}

// The lines of a list, for comparing with a vector.
inline std::vector<std::string> Lines(const TixStringList& list) {
    std::vector<std::string> lines;
    for (const auto& item : list)
        lines.push_back(item.line);
    return lines;
}

// Pins the C library's time zone while it lives and restores the previous one afterwards.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ZoneGuard(const ZoneGuard&) = delete;
    ZoneGuard& operator=(const ZoneGuard&) = delete;

private:
    std::optional<std::string> old_;
};

// A header field's line joined with its continuation lines, as written.
inline std::string Unfold(const TixStringList& lines, int first) {
    std::string value = lines[first];
    for (int i = first + 1;
         i < lines.Count() && !lines[i].empty() && (lines[i][0] == ' ' || lines[i][0] == '\t'); ++i)
        value += lines[i];
    return value;
}

}  // namespace ix::test
