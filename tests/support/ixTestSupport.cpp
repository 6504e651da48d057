#include "ixTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace ix::test {

namespace {

std::string Env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

}  // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::map<std::string, std::string> ReadEnvFile(const std::string& path) {
    std::map<std::string, std::string> values;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

std::string RunCommand(const std::string& command, int* status) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    const int result = pclose(pipe);
    if (status != nullptr) *status = result;
    return output;
}

SandboxInfo Sandbox() {
    SandboxInfo info;
    info.dir = Env("IX_SANDBOX_DIR", IX_SANDBOX_DIR_DEFAULT);
    if (info.dir.empty()) throw std::runtime_error("IX_SANDBOX_DIR is not set");
    auto values = ReadEnvFile(info.dir + "/sandbox.env");
    info.host = values["IX_SANDBOX_HOST"];
    info.imapPort = std::stoi(values["IX_SANDBOX_IMAP_PORT"]);
    info.imapsPort = std::stoi(values["IX_SANDBOX_IMAPS_PORT"]);
    info.caFile = values["IX_SANDBOX_CA"];
    info.user = values["IX_SANDBOX_USER"];
    info.password = values["IX_SANDBOX_PASSWORD"];
    info.user2 = values["IX_SANDBOX_USER2"];
    info.password2 = values["IX_SANDBOX_PASSWORD2"];
    return info;
}

std::string SourcePath(const std::string& relative) {
    return Env("IX_SOURCE_DIR", IX_SOURCE_DIR_DEFAULT) + "/" + relative;
}
std::string BinaryPath(const std::string& relative) {
    return Env("IX_BINARY_DIR", IX_BINARY_DIR_DEFAULT) + "/" + relative;
}

}  // namespace ix::test
