#include "ixTestSupport.h"

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

SandboxInfo Sandbox() {
    SandboxInfo info;
    info.dir = Env("IX_SANDBOX_DIR", IX_SANDBOX_DIR_DEFAULT);
    if (info.dir.empty()) throw std::runtime_error("IX_SANDBOX_DIR is not set");
    std::map<std::string, std::string> values;
    std::istringstream in(ReadFile(info.dir + "/sandbox.env"));
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
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
