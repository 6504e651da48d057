// IMAP through dante (SOCKS5, the name resolved by the proxy) against curl through the same dante
// (--socks5-hostname): RetrieveMessage of a 50 MB message in a whole session (connect, handshake,
// log in, select, fetch, log out) against curl fetching the same message to /dev/null. The two
// take turns; medians are compared (higher ratio is better).
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "imap/ixImap4.h"
#include "ixImapBenchSupport.h"

using namespace ix;
using ix::bench::AppendBigMessage;
using ix::bench::CompareRetrieveWithCurl;
using ix::bench::Configure;
using ix::bench::Interleaved;
using ix::bench::ReadEnv;
using ix::bench::ReadSandbox;
using ix::bench::Report;
using ix::bench::RetrieveAndClose;
using ix::bench::Seconds;
using ix::bench::TixSandbox;
using ix::bench::TixScratchFolder;

namespace {

constexpr int cRuns = 15;

// Through dante the proxy resolves the server's name; directly our client connects to the address.
void Connect(TixImap4& imap, const TixSandbox& sandbox, int proxyPort, bool proxied) {
    Configure(imap, sandbox);
    if (proxied) {
        imap.SetServer("localhost");
        imap.FirewallSettings().SetFirewallType(TixFirewallType::ftSocks5);
        imap.FirewallSettings().SetServer("127.0.0.1");
        imap.FirewallSettings().SetPort(proxyPort);
    }
    imap.Open();
}

}  // namespace

int main() {
    try {
        const TixSandbox sandbox = ReadSandbox("run bench/socks/run.sh");
        auto socks = ReadEnv("IX_SOCKS_DIR", "socks.env", "run bench/socks/run.sh");
        const int proxyPort = std::stoi(socks.at("IX_SOCKS_DANTE_PORT"));
        TixImap4 admin;
        Connect(admin, sandbox, proxyPort, false);
        const TixScratchFolder scratch(admin, "IxSocksBench" + std::to_string(getpid()));
        const std::string& folder = scratch.Name();
        const std::int64_t bytes = AppendBigMessage(admin, folder, 50u << 20, 1);  // UID 1
        const std::string curl = "curl -s --socks5-hostname 127.0.0.1:" + socks.at("IX_SOCKS_DANTE_PORT") +
                                 " --user '" + sandbox.user + ":" + sandbox.password +
                                 "' 'imap://localhost:" + std::to_string(sandbox.port) + "/" + folder +
                                 ";UID=1' -o /dev/null -w '%{size_download}'";
        std::printf("(message %.1f MB through dante; %d interleaved runs each)\n",
                    static_cast<double>(bytes) / 1048576.0, cRuns);
        CompareRetrieveWithCurl(
            "socks_imap_retrieve_50mb_vs_curl", cRuns,
            [&](TixImap4& imap) { Connect(imap, sandbox, proxyPort, true); }, folder, bytes, curl, 0.80);
        // What the tunnel costs our own client: the same session direct to Dovecot.
        const auto session = [&](bool proxied) {
            return Seconds([&] {
                TixImap4 imap;
                Connect(imap, sandbox, proxyPort, proxied);
                RetrieveAndClose(imap, folder, 1);
            });
        };
        Report("socks_imap_retrieve_50mb_tunnel_vs_direct", "s", false, cRuns,
               Interleaved(
                   cRuns, [&] { return session(true); }, [&] { return session(false); }),
               0.80);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_socks_imap: %s\n", e.what());
        return 1;
    }
    return 0;
}
