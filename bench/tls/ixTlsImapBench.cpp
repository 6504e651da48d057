// IMAP over implicit TLS against curl on the sandbox Dovecot's IMAPS port: RetrieveMessage of a
// 50 MB message (a whole session: connect, handshake, log in, select, fetch, log out) against curl
// fetching the same message to /dev/null, and connect, handshake and log in with a NOOP against
// curl sending the NOOP as its custom request. Each side runs in turn; medians are compared
// (higher ratio is better).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "imap/ixImap4.h"
#include "ixBenchSupport.h"
#include "ixTlsBenchSupport.h"
#include "text/ixEncoder.h"
#include "text/ixStringsUtils.h"

using namespace ix;
using ix::bench::Interleaved;
using ix::bench::Report;
using ix::bench::Seconds;

namespace {

constexpr int cRuns = 9;
constexpr int cSessionsPerRun = 20;

struct TixSandbox {
    std::string host, user, password, caFile;
    int port = 0, imapsPort = 0;
};

TixSandbox ReadSandbox() {
    const char* dir = std::getenv("IX_SANDBOX_DIR");
    if (dir == nullptr) throw std::runtime_error("IX_SANDBOX_DIR is not set (run through bench/tls/run.sh)");
    std::ifstream in(std::string(dir) + "/sandbox.env");
    std::map<std::string, std::string> values;
    std::string line;
    while (std::getline(in, line))
        if (const auto eq = line.find('='); eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    TixSandbox sandbox;
    sandbox.host = values["IX_SANDBOX_HOST"];
    sandbox.port = std::stoi(values["IX_SANDBOX_IMAP_PORT"]);
    sandbox.imapsPort = std::stoi(values["IX_SANDBOX_IMAPS_PORT"]);
    sandbox.caFile = values["IX_SANDBOX_CA"];
    sandbox.user = values["IX_SANDBOX_USER2"];
    sandbox.password = values["IX_SANDBOX_PASSWORD2"];
    return sandbox;
}

void Connect(TixImap4& imap, const TixSandbox& sandbox, bool tls) {
    imap.SetServer(sandbox.host);
    imap.SetPort(tls ? sandbox.imapsPort : sandbox.port);
    imap.SetUseTLS(tls ? TixClientTlsMode::ctImplicit : TixClientTlsMode::ctNone);
    imap.SetCAFile(sandbox.caFile);
    imap.SetUserName(sandbox.user);
    imap.SetPassword(sandbox.password);
    imap.SetTimeOut(60000);
    imap.Open();
}

TixStringList BigMessage(std::size_t size) {
    TixEncoder encoder;
    encoder.SetEncodeMethod(cmBase64);
    TixStringList lines{"From: Ann Example <ann@example.com>",
                        "To: Bob Example <bob@example.com>",
                        "Subject: The figures",
                        "MIME-Version: 1.0",
                        "Content-Type: application/octet-stream; name=\"figures.bin\"",
                        "Content-Transfer-Encoding: base64",
                        ""};
    lines.AddText(encoder.Encode(std::string_view(bench::RandomBytes(size / 4 * 3, 1))));
    return lines;
}

// curl's command for the URL path; the transfer goes to /dev/null and its size to our pipe.
std::string CurlCommand(const TixSandbox& sandbox, const std::string& path, const std::string& extra) {
    return "curl -s --cacert '" + sandbox.caFile + "' --user '" + sandbox.user + ":" + sandbox.password +
           "' 'imaps://" + sandbox.host + ":" + std::to_string(sandbox.imapsPort) + "/" + path + "' " +
           extra + " -o /dev/null -w '%{size_download}'";
}

// Runs curl and answers the bytes it received; a failed run ends the benchmark.
long long RunCurl(const std::string& command) {
    FILE* output = popen(command.c_str(), "r");
    long long size = -1;
    if (output == nullptr || std::fscanf(output, "%lld", &size) != 1) size = -1;
    if (output == nullptr || pclose(output) != 0 || size < 0)
        throw std::runtime_error("curl failed: " + command);
    return size;
}

void Compare(const TixSandbox& sandbox, const std::string& folder, std::int64_t bytes) {
    std::printf("(message %.1f MB; %d interleaved runs each)\n", static_cast<double>(bytes) / 1048576.0,
                cRuns);
    const std::string fetch = CurlCommand(sandbox, folder + ";UID=1", "");
    Report("tls_imap_retrieve_50mb_vs_curl", "s", false, cRuns,
           Interleaved(
               cRuns,
               [&] {
                   return Seconds([&] {
                       TixImap4 imap;
                       Connect(imap, sandbox, true);
                       imap.SelectMailBox(folder);
                       imap.RetrieveMessage(1, nullptr);
                       if (TixStringsUtils::GetStringsSize(imap.ResponseList()) != bytes)
                           throw std::runtime_error("the message came back with another size");
                       imap.Close();
                   });
               },
               [&] {
                   return Seconds([&] {
                       if (RunCurl(fetch) != bytes)
                           throw std::runtime_error("curl's message has another size");
                   });
               }),
           0.80);

    const std::string noop = CurlCommand(sandbox, "", "-X NOOP");
    std::printf("(%d sessions per run)\n", cSessionsPerRun);
    Report("tls_imap_connect_login_noop_vs_curl", "s", false, cRuns,
           Interleaved(
               cRuns,
               [&] {
                   return Seconds([&] {
                       for (int i = 0; i < cSessionsPerRun; ++i) {
                           TixImap4 imap;
                           Connect(imap, sandbox, true);
                           imap.Noop();
                           imap.Close();
                       }
                   });
               },
               [&] {
                   return Seconds([&] {
                       for (int i = 0; i < cSessionsPerRun; ++i)
                           RunCurl(noop);
                   });
               }),
           0.80);
}

}  // namespace

int main() {
    try {
        const TixSandbox sandbox = ReadSandbox();
        const std::string folder = "IxTlsBench" + std::to_string(getpid());
        TixImap4 setup;
        Connect(setup, sandbox, false);
        setup.CreateMailBox(folder);
        struct Cleanup {
            TixImap4& imap;
            const std::string& folder;
            ~Cleanup() {
                try {
                    imap.DeleteMailBox(folder);
                } catch (const std::exception&) {
                }
            }
        } cleanup{setup, folder};
        std::int64_t bytes = 0;
        {
            const TixStringList message = BigMessage(50u << 20);
            bytes = TixStringsUtils::GetStringsSize(message);
            setup.AppendMessage(folder, message);  // UID 1
        }
        Compare(sandbox, folder, bytes);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_tls_imap: %s\n", e.what());
        return 1;
    }
    return 0;
}
