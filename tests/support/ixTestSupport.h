#pragma once
// Helpers shared by the test executables.

#include <string>

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

}  // namespace ix::test
