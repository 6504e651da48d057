#pragma once
// Timing and data helpers shared by the comparison benchmarks.

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>

namespace ix::bench {

// Best wall time of three runs, in seconds: the least disturbed by the rest of the machine.
inline double BestSeconds(const std::function<void()>& work) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        work();
        best =
            std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

// Reproducible random bytes.
inline std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t v = random();
        std::copy_n(reinterpret_cast<const char*>(&v), std::min<std::size_t>(8, size - i), data.data() + i);
    }
    return data;
}

// A field of /proc/self/status in kB ("VmRSS:", "VmHWM:").
inline long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::char_traits<char>::length(field));
    return 0;
}

// Peak memory the work adds, in MB, measured in a child process so that earlier runs don't count.
inline double PeakMegabytes(const std::function<void()>& work) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        // Start from what the child really holds: freed heap goes back to the system and the peak
        // is reset to the current size.
        malloc_trim(0);
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = StatusKb("VmRSS:");
        work();
        const long peak = StatusKb("VmHWM:") - before;
        (void)!write(fds[1], &peak, sizeof peak);
        _exit(0);
    }
    long peak = -1;
    (void)!read(fds[0], &peak, sizeof peak);
    waitpid(child, nullptr, 0);
    close(fds[0]);
    close(fds[1]);
    return peak / 1024.0;
}

}  // namespace ix::bench
