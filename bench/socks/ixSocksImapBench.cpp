// IMAP through dante (SOCKS5, the name resolved by the proxy) against curl through the same dante
// (--socks5-hostname): RetrieveMessage of a 50 MB message in a whole session (connect, handshake,
// log in, select, fetch, log out) against curl fetching the same message to /dev/null. The two
// take turns; medians are compared (higher ratio is better).
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

std::map<std::string, std::string> ReadEnv(const char* variable, const char* file) {
    const char* dir = std::getenv(variable);
    if (dir == nullptr)
        throw std::runtime_error(std::string(variable) + " is not set (run bench/socks/run.sh)");
    std::ifstream in(std::string(dir) + "/" + file);
    std::map<std::string, std::string> values;
    std::string line;
    while (std::getline(in, line))
        if (const auto eq = line.find('='); eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    return values;
}

struct TixSetup {
    std::string user, password;
    int imapPort = 0, proxyPort = 0;
};

void Connect(TixImap4& imap, const TixSetup& setup, bool proxied) {
    imap.SetServer(proxied ? "localhost" : "127.0.0.1");
    imap.SetPort(setup.imapPort);
    imap.SetUserName(setup.user);
    imap.SetPassword(setup.password);
    imap.SetTimeOut(60000);
    if (proxied) {
        imap.FirewallSettings().SetFirewallType(TixFirewallType::ftSocks5);
        imap.FirewallSettings().SetServer("127.0.0.1");
        imap.FirewallSettings().SetPort(setup.proxyPort);
    }
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

long long RunCurl(const std::string& command) {
    FILE* output = popen(command.c_str(), "r");
    long long size = -1;
    if (output == nullptr || std::fscanf(output, "%lld", &size) != 1) size = -1;
    if (output == nullptr || pclose(output) != 0 || size < 0)
        throw std::runtime_error("curl failed: " + command);
    return size;
}

}  // namespace

int main() {
    try {
        auto sandbox = ReadEnv("IX_SANDBOX_DIR", "sandbox.env");
        auto socks = ReadEnv("IX_SOCKS_DIR", "socks.env");
        TixSetup setup{sandbox.at("IX_SANDBOX_USER2"), sandbox.at("IX_SANDBOX_PASSWORD2"),
                       std::stoi(sandbox.at("IX_SANDBOX_IMAP_PORT")),
                       std::stoi(socks.at("IX_SOCKS_DANTE_PORT"))};
        const std::string folder = "IxSocksBench" + std::to_string(getpid());
        TixImap4 admin;
        Connect(admin, setup, false);
        admin.CreateMailBox(folder);
        struct Cleanup {
            TixImap4& imap;
            const std::string& folder;
            ~Cleanup() {
                try {
                    imap.DeleteMailBox(folder);
                } catch (const std::exception&) {
                }
            }
        } cleanup{admin, folder};
        std::int64_t bytes = 0;
        {
            const TixStringList message = BigMessage(50u << 20);
            bytes = TixStringsUtils::GetStringsSize(message);
            admin.AppendMessage(folder, message);  // UID 1
        }
        const std::string curl = "curl -s --socks5-hostname 127.0.0.1:" + socks.at("IX_SOCKS_DANTE_PORT") +
                                 " --user '" + setup.user + ":" + setup.password +
                                 "' 'imap://localhost:" + std::to_string(setup.imapPort) + "/" + folder +
                                 ";UID=1' -o /dev/null -w '%{size_download}'";
        std::printf("(message %.1f MB through dante; %d interleaved runs each)\n",
                    static_cast<double>(bytes) / 1048576.0, cRuns);
        Report("socks_imap_retrieve_50mb_vs_curl", "s", false, cRuns,
               Interleaved(
                   cRuns,
                   [&] {
                       return Seconds([&] {
                           TixImap4 imap;
                           Connect(imap, setup, true);
                           imap.SelectMailBox(folder);
                           imap.RetrieveMessage(1, nullptr);
                           if (TixStringsUtils::GetStringsSize(imap.ResponseList()) != bytes)
                               throw std::runtime_error("the message came back with another size");
                           imap.Close();
                       });
                   },
                   [&] {
                       return Seconds([&] {
                           if (RunCurl(curl) != bytes)
                               throw std::runtime_error("curl's message has another size");
                       });
                   }),
               0.80);
        // What the tunnel costs our own client: the same session direct to Dovecot.
        Report("socks_imap_retrieve_50mb_tunnel_vs_direct", "s", false, cRuns,
               Interleaved(
                   cRuns,
                   [&] {
                       return Seconds([&] {
                           TixImap4 imap;
                           Connect(imap, setup, true);
                           imap.SelectMailBox(folder);
                           imap.RetrieveMessage(1, nullptr);
                           imap.Close();
                       });
                   },
                   [&] {
                       return Seconds([&] {
                           TixImap4 imap;
                           Connect(imap, setup, false);
                           imap.SelectMailBox(folder);
                           imap.RetrieveMessage(1, nullptr);
                           imap.Close();
                       });
                   }),
               0.80);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_socks_imap: %s\n", e.what());
        return 1;
    }
    return 0;
}
