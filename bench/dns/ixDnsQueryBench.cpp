// 10,000 sequential queries (A and TXT alternating) against the benchmark's BIND over UDP: ours
// through TixDnsQuery, the peer through c-ares, interleaved runs; medians compared (queries/s).
// The server's port comes from IX_DNS_DIR/dns.env (run.sh starts the servers).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "dns/ixDnsQuery.h"
#include "ixInterleaved.h"

extern "C" int ix_cares_queries(const char* server, int port, int count);

namespace {

constexpr int cQueries = 10000;
constexpr int cRuns = 7;

int ServerPort() {
    const char* dir = std::getenv("IX_DNS_DIR");
    std::ifstream in(std::string(dir != nullptr ? dir : ".") + "/dns.env");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("IX_DNS_PORT=", 0) == 0) return std::stoi(line.substr(12));
    std::fprintf(stderr, "bench_dns_query: no IX_DNS_PORT in IX_DNS_DIR/dns.env\n");
    std::exit(2);
}

}  // namespace

int main() {
    const int port = ServerPort();
    ix::TixDnsQuery query;
    query.SetServer("127.0.0.1");
    query.SetPort(port);
    query.SetDisableGuiProcessing(true);
    auto ours = [&] {
        int answered = 0;
        double seconds = ix::bench::Seconds([&] {
            for (int i = 0; i < cQueries; ++i) {
                if (i % 2 == 0) {
                    query.Query("www.ixdns.test", ix::IX_DNS_TYPE_A);
                    answered += query.Response().Answers.Count() > 0 ? 1 : 0;
                } else {
                    answered += query.ResolveTXT("txt.ixdns.test").empty() ? 0 : 1;
                }
            }
        });
        if (answered != cQueries) std::fprintf(stderr, "ours: %d of %d answered\n", answered, cQueries);
        return cQueries / seconds;
    };
    auto peer = [&] {
        int answered = 0;
        double seconds = ix::bench::Seconds([&] { answered = ix_cares_queries("127.0.0.1", port, cQueries); });
        if (answered != cQueries) std::fprintf(stderr, "c-ares: %d of %d answered\n", answered, cQueries);
        return cQueries / seconds;
    };
    ix::bench::Report("dns_query_10000_udp_vs_c_ares", "queries/s", true, cRuns,
                      ix::bench::Interleaved(cRuns, ours, peer), 1.0);
    return 0;
}
