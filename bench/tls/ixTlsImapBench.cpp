// IMAP over implicit TLS against curl on the sandbox Dovecot's IMAPS port: RetrieveMessage of a
// 50 MB message (a whole session: connect, handshake, log in, select, fetch, log out) against curl
// fetching the same message to /dev/null, and connect, handshake and log in with a NOOP against
// curl sending the NOOP as its custom request. Each side runs in turn; medians are compared
// (higher ratio is better).
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "imap/ixImap4.h"
#include "ixImapBenchSupport.h"

using namespace ix;
using ix::bench::AppendBigMessage;
using ix::bench::CompareRetrieveWithCurl;
using ix::bench::Connect;
using ix::bench::Interleaved;
using ix::bench::ReadSandbox;
using ix::bench::Report;
using ix::bench::RunCurl;
using ix::bench::Seconds;
using ix::bench::TixSandbox;
using ix::bench::TixScratchFolder;

namespace {

constexpr int cRuns = 9;
constexpr int cSessionsPerRun = 20;

// curl's command for the URL path; the transfer goes to /dev/null and its size to our pipe.
std::string CurlCommand(const TixSandbox& sandbox, const std::string& path, const std::string& extra) {
    return "curl -s --cacert '" + sandbox.caFile + "' --user '" + sandbox.user + ":" + sandbox.password +
           "' 'imaps://" + sandbox.host + ":" + std::to_string(sandbox.imapsPort) + "/" + path + "' " +
           extra + " -o /dev/null -w '%{size_download}'";
}

void Compare(const TixSandbox& sandbox, const std::string& folder, std::int64_t bytes) {
    std::printf("(message %.1f MB; %d interleaved runs each)\n", static_cast<double>(bytes) / 1048576.0,
                cRuns);
    CompareRetrieveWithCurl(
        "tls_imap_retrieve_50mb_vs_curl", cRuns, [&](TixImap4& imap) { Connect(imap, sandbox, true); },
        folder, bytes, CurlCommand(sandbox, folder + ";UID=1", ""), 0.80);

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
        const TixSandbox sandbox = ReadSandbox("run through bench/tls/run.sh");
        TixImap4 setup;
        Connect(setup, sandbox);
        const TixScratchFolder scratch(setup, "IxTlsBench" + std::to_string(getpid()));
        const std::int64_t bytes = AppendBigMessage(setup, scratch.Name(), 50u << 20, 1);  // UID 1
        Compare(sandbox, scratch.Name(), bytes);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_tls_imap: %s\n", e.what());
        return 1;
    }
    return 0;
}
