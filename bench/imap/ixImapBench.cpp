// Fetching from the sandbox Dovecot next to curl and Python's imaplib: RetrieveMessage of a 50 MB
// and a 25 MB message against curl fetching the same message to /dev/null (each a whole session:
// connect, log in, select, fetch, log out), warm (in a process that has fetched twice before) and
// cold (a fresh process per fetch, timed from outside as curl is), the peak memory of the 50 MB
// fetch, and the client window's listing loop (RetrieveHeader, then GetMessageFlags, for 2,000
// messages) against imaplib sending the same commands. Ours and the peer take turns; medians are
// compared (higher ratio is better).
//
//   bench_imap_fetch                          the benchmarks
//   bench_imap_fetch --fetch FOLDER N BYTES   one session fetching message N (the cold runs); prints
//                                             the memory the fetch added, in MB
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "imap/ixImap4.h"
#include "ixBenchSupport.h"
#include "ixImapBenchSupport.h"
#include "mail/ixMailMessage.h"

using namespace ix;
using ix::bench::AppendBigMessage;
using ix::bench::CompareRetrieveWithCurl;
using ix::bench::Connect;
using ix::bench::Interleaved;
using ix::bench::ReadSandbox;
using ix::bench::Report;
using ix::bench::RetrieveAndClose;
using ix::bench::RunCurl;
using ix::bench::Seconds;
using ix::bench::StatusKb;
using ix::bench::TixSandbox;
using ix::bench::TixScratchFolder;

namespace {

constexpr int cListCount = 2000;
constexpr int cRuns = 9;

TixStringList SmallMessage(int n) {
    TixStringList lines{"From: Sender " + std::to_string(n) + " <s" + std::to_string(n) + "@example.com>",
                        "To: Bob Example <bob@example.com>",
                        "Subject: Message number " + std::to_string(n),
                        "Date: Mon, 7 Dec 2026 09:05:00 +0100",
                        "Message-ID: <" + std::to_string(n) + "@example.com>",
                        "MIME-Version: 1.0",
                        "Content-Type: text/plain; charset=utf-8",
                        ""};
    for (int i = 0; i < 20; ++i)
        lines.Add("A line of text of a typical message body, number " + std::to_string(i) + ".");
    return lines;
}

std::string CurlCommand(const TixSandbox& sandbox, const std::string& folder, int uid) {
    return "curl -s --user '" + sandbox.user + ":" + sandbox.password + "' 'imap://" + sandbox.host + ":" +
           std::to_string(sandbox.port) + "/" + folder + ";UID=" + std::to_string(uid) +
           "' -o /dev/null -w '%{size_download}'";
}

// The child mode: one whole session in this fresh process, and the memory it added.
int FetchOnce(const std::string& folder, int number, std::int64_t bytes) {
    const TixSandbox sandbox = ReadSandbox("run through bench/imap/run.sh");
    const long before = StatusKb("VmRSS:");
    TixImap4 imap;
    Connect(imap, sandbox);
    RetrieveAndClose(imap, folder, number, bytes);
    std::printf("%.1f\n", (StatusKb("VmHWM:") - before) / 1024.0);
    return 0;
}

// Runs this program's --fetch mode as a fresh process: its wall time from spawn to exit, and the
// MB it reported. Spawned as popen spawns curl (posix_spawn), so that neither pays for a copy of
// this process's page tables.
double ColdSeconds(const std::string& folder, int number, std::int64_t bytes, double* megabytes = nullptr) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const std::string n = std::to_string(number), size = std::to_string(bytes);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    char* const args[] = {const_cast<char*>("bench_imap_fetch"), const_cast<char*>("--fetch"),
                          const_cast<char*>(folder.c_str()),     const_cast<char*>(n.c_str()),
                          const_cast<char*>(size.c_str()),       nullptr};
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    const int spawned = posix_spawn(&child, "/proc/self/exe", &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        throw std::runtime_error("the cold fetch could not start");
    }
    char out[64] = {};
    const ssize_t got = read(fds[0], out, sizeof out - 1);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got <= 0)
        throw std::runtime_error("the cold fetch failed");
    if (megabytes != nullptr) *megabytes = std::atof(out);
    return seconds;
}

// imaplib's time for the listing loop, or with mode "raw" a bare socket's.
double ImaplibSeconds(const TixSandbox& sandbox, const std::string& folder, const std::string& mode = "") {
    const std::string command = std::string("/usr/bin/python3 ") + IX_IMAPLIB_BENCH + " " + sandbox.host +
                                " " + std::to_string(sandbox.port) + " '" + sandbox.user + "' '" +
                                sandbox.password + "' " + folder + " " + std::to_string(cListCount) + " " +
                                mode;
    FILE* output = popen(command.c_str(), "r");
    double seconds = 0;
    if (output == nullptr || std::fscanf(output, "%lf", &seconds) != 1)
        throw std::runtime_error("imaplib failed");
    pclose(output);
    return seconds;
}

void Fetches(const TixSandbox& sandbox, const std::string& folder, std::int64_t bytes50,
             std::int64_t bytes25) {
    std::printf("(messages %.1f MB and %.1f MB; %d interleaved runs each)\n", bytes50 / 1048576.0,
                bytes25 / 1048576.0, cRuns);
    const auto connect = [&](TixImap4& imap) { Connect(imap, sandbox); };
    // Warm: this process has fetched both messages twice before the runs.
    for (int i = 0; i < 2; ++i)
        for (int number : {1, 2}) {
            TixImap4 imap;
            Connect(imap, sandbox);
            RetrieveAndClose(imap, folder, number);
        }
    // Curl as peer; within 1.0 of curl's time.
    const std::int64_t sizes[] = {bytes50, bytes25};
    const char* warmNames[] = {"imap_retrieve_50mb_warm_vs_curl", "imap_retrieve_25mb_warm_vs_curl"};
    const char* coldNames[] = {"imap_retrieve_50mb_cold_vs_curl", "imap_retrieve_25mb_cold_vs_curl"};
    for (int k = 0; k < 2; ++k) {
        const std::string curl = CurlCommand(sandbox, folder, k + 1);
        CompareRetrieveWithCurl(warmNames[k], cRuns, connect, folder, sizes[k], curl, 1.00, k + 1);
        Report(coldNames[k], "s", false, cRuns,
               Interleaved(
                   cRuns, [&] { return ColdSeconds(folder, k + 1, sizes[k]); },
                   [&] {
                       return Seconds([&] {
                           if (RunCurl(curl) != sizes[k])
                               throw std::runtime_error("curl's message has another size");
                       });
                   }),
               1.00);
    }
    // The memory the first fetch of a fresh process adds: the message, its lines' bookkeeping and
    // the read buffers. At most 1.5 times the message.
    std::vector<double> peaks;
    for (int run = 0; run < 3; ++run) {
        double megabytes = 0;
        ColdSeconds(folder, 1, bytes50, &megabytes);
        peaks.push_back(megabytes);
    }
    const auto peak = ix::bench::Summarize(peaks);
    const double message = static_cast<double>(bytes50) / 1048576.0;
    std::printf(
        "(peak memory of the 50 MB fetch in a fresh process: median %.1f MB (min %.1f, max %.1f), "
        "%.2f times the message; goal at most 1.5 times)\n",
        peak.median, peak.min, peak.max, peak.median / message);
    std::printf("bench imap_retrieve_50mb_peak_memory ours=%.1f unit=MB ratio=%.2f goal=1.00\n", peak.median,
                1.5 * message / peak.median);
    std::fflush(stdout);
}

void Listing(const TixSandbox& sandbox, const std::string& list) {
    // At most half of imaplib's time: imaplib / ours at least 2.
    const auto ours = [&] {
        return Seconds([&] {
            TixImap4 imap;
            Connect(imap, sandbox);
            imap.SelectMailBox(list);
            TixMailMessage message;
            for (int n = 1; n <= cListCount; ++n) {
                imap.RetrieveHeader(n, &message);
                imap.GetMessageFlags(n);
            }
            imap.Close();
        });
    };
    const int runs = 7;
    const auto imaplib = Interleaved(runs, ours, [&] { return ImaplibSeconds(sandbox, list); });
    Report("imap_list_2000_headers_and_flags_vs_imaplib", "s", false, runs, imaplib, 2.00);
    // The server's own time per command bounds every client: this is how near ours comes to it.
    const auto bare = Interleaved(runs, ours, [&] { return ImaplibSeconds(sandbox, list, "raw"); });
    Report("imap_list_2000_bare_socket_floor", "s", false, runs, bare, 0);
    std::printf(
        "(a bare socket that parses nothing takes %.3f s for the same commands; imaplib / bare socket "
        "= %.2f is the highest ratio to imaplib any client can reach against this server)\n",
        bare.second.median, imaplib.second.median / bare.second.median);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 5 && std::string(argv[1]) == "--fetch")
            return FetchOnce(argv[2], std::atoi(argv[3]), std::atoll(argv[4]));
        const TixSandbox sandbox = ReadSandbox("run through bench/imap/run.sh");
        TixImap4 setup;
        Connect(setup, sandbox);
        const TixScratchFolder big(setup, "IxBench" + std::to_string(getpid()));
        const TixScratchFolder list(setup, "IxBenchList" + std::to_string(getpid()));
        const std::int64_t bytes50 = AppendBigMessage(setup, big.Name(), 50u << 20, 1);  // UID 1, number 1
        const std::int64_t bytes25 = AppendBigMessage(setup, big.Name(), 25u << 20, 2);  // UID 2, number 2
        Fetches(sandbox, big.Name(), bytes50, bytes25);
        for (int n = 1; n <= cListCount; ++n)
            setup.AppendMessage(list.Name(), SmallMessage(n));
        Listing(sandbox, list.Name());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_imap_fetch: %s\n", e.what());
        return 1;
    }
    return 0;
}
