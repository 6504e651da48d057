#pragma once
// The pieces the IMAP benchmarks (plain, over TLS, through SOCKS) share: the servers' connection
// details as scripts/sandbox-server.sh and scripts/socks-servers.sh write them, the sandbox
// account, the big test message and the timed fetch session. For targets that link ix_imap.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "imap/ixImap4.h"
#include "ixBenchSupport.h"
#include "ixInterleaved.h"
#include "text/ixEncoder.h"
#include "text/ixStringsUtils.h"

namespace ix::bench {

// The KEY=VALUE lines of file in the folder the environment variable names. missing says how to
// get the servers when it is not set (each area's run.sh starts its own).
inline std::map<std::string, std::string> ReadEnv(const char* variable, const char* file,
                                                  const std::string& missing) {
    const char* dir = std::getenv(variable);
    if (dir == nullptr) throw std::runtime_error(std::string(variable) + " is not set (" + missing + ")");
    std::ifstream in(std::string(dir) + "/" + file);
    std::map<std::string, std::string> values;
    std::string line;
    while (std::getline(in, line))
        if (const auto eq = line.find('='); eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    return values;
}

// The sandbox Dovecot and the account the benchmarks use (the second one, apart from the tests').
struct TixSandbox {
    std::string host, user, password, caFile;
    int port = 0, imapsPort = 0;
};

inline TixSandbox ReadSandbox(const std::string& missing) {
    auto values = ReadEnv("IX_SANDBOX_DIR", "sandbox.env", missing);
    TixSandbox sandbox;
    sandbox.host = values["IX_SANDBOX_HOST"];
    sandbox.port = std::stoi(values["IX_SANDBOX_IMAP_PORT"]);
    sandbox.imapsPort = std::stoi(values["IX_SANDBOX_IMAPS_PORT"]);
    sandbox.caFile = values["IX_SANDBOX_CA"];
    sandbox.user = values["IX_SANDBOX_USER2"];
    sandbox.password = values["IX_SANDBOX_PASSWORD2"];
    return sandbox;
}

// Points imap at the sandbox with the account, on the IMAPS port with its CA when tls; the caller
// may change the route before it opens.
inline void Configure(TixImap4& imap, const TixSandbox& sandbox, bool tls = false) {
    imap.SetServer(sandbox.host);
    imap.SetPort(tls ? sandbox.imapsPort : sandbox.port);
    if (tls) {
        imap.SetUseTLS(TixClientTlsMode::ctImplicit);
        imap.SetCAFile(sandbox.caFile);
    }
    imap.SetUserName(sandbox.user);
    imap.SetPassword(sandbox.password);
    imap.SetTimeOut(60000);
}

inline void Connect(TixImap4& imap, const TixSandbox& sandbox, bool tls = false) {
    Configure(imap, sandbox, tls);
    imap.Open();
}

// A message of about size bytes: a short header and a base64 attachment.
inline TixStringList BigMessage(std::size_t size, unsigned seed) {
    TixEncoder encoder;
    encoder.SetEncodeMethod(cmBase64);
    TixStringList lines{"From: Ann Example <ann@example.com>",
                        "To: Bob Example <bob@example.com>",
                        "Subject: The figures",
                        "MIME-Version: 1.0",
                        "Content-Type: application/octet-stream; name=\"figures.bin\"",
                        "Content-Transfer-Encoding: base64",
                        ""};
    lines.AddText(encoder.Encode(std::string_view(RandomBytes(size / 4 * 3, seed))));
    return lines;
}

// Appends a BigMessage to the folder and answers its size; the message is freed before the runs.
inline std::int64_t AppendBigMessage(TixImap4& imap, const std::string& folder, std::size_t size,
                                     unsigned seed) {
    const TixStringList message = BigMessage(size, seed);
    imap.AppendMessage(folder, message);
    return TixStringsUtils::GetStringsSize(message);
}

// A folder of the benchmark's own, deleted again when the benchmark ends, also after a failure.
class TixScratchFolder {
public:
    TixScratchFolder(TixImap4& imap, std::string name) : imap_(imap), name_(std::move(name)) {
        imap_.CreateMailBox(name_);
    }
    ~TixScratchFolder() {
        try {
            imap_.DeleteMailBox(name_);
        } catch (const std::exception&) {
        }
    }
    TixScratchFolder(const TixScratchFolder&) = delete;
    TixScratchFolder& operator=(const TixScratchFolder&) = delete;

    const std::string& Name() const { return name_; }

private:
    TixImap4& imap_;
    std::string name_;
};

// The rest of a fetch session on an open connection: select, fetch the message into ResponseList
// only, log out. With expected >= 0 the message must come back with that size.
inline void RetrieveAndClose(TixImap4& imap, const std::string& folder, int number,
                             std::int64_t expected = -1) {
    imap.SelectMailBox(folder);
    imap.RetrieveMessage(number, nullptr);
    if (expected >= 0 && TixStringsUtils::GetStringsSize(imap.ResponseList()) != expected)
        throw std::runtime_error("the message came back with another size");
    imap.Close();
}

// Runs curl and answers the bytes it received (its -w '%{size_download}'); a failed run ends the
// benchmark.
inline long long RunCurl(const std::string& command) {
    FILE* output = popen(command.c_str(), "r");
    long long size = -1;
    if (output == nullptr || std::fscanf(output, "%lld", &size) != 1) size = -1;
    if (output == nullptr || pclose(output) != 0 || size < 0)
        throw std::runtime_error("curl failed: " + command);
    return size;
}

// Whole sessions fetching message number of the folder (connect opens the connection) against
// curl's command fetching the same message, taking turns; both must bring all of its bytes.
inline void CompareRetrieveWithCurl(const char* name, int runs, const std::function<void(TixImap4&)>& connect,
                                    const std::string& folder, std::int64_t bytes, const std::string& curl,
                                    double goal, int number = 1) {
    Report(name, "s", false, runs,
           Interleaved(
               runs,
               [&] {
                   return Seconds([&] {
                       TixImap4 imap;
                       connect(imap);
                       RetrieveAndClose(imap, folder, number, bytes);
                   });
               },
               [&] {
                   return Seconds([&] {
                       if (RunCurl(curl) != bytes)
                           throw std::runtime_error("curl's message has another size");
                   });
               }),
           goal);
}

}  // namespace ix::bench
