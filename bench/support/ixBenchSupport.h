#pragma once
// Timing and data helpers shared by the comparison benchmarks.

#include <algorithm>
#include <chrono>
#include <cstdint>
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

}  // namespace ix::bench
