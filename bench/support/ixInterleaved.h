#pragma once
// Interleaved comparisons: ours and the peer take turns (ours, peer, ours, peer...), so that
// whatever else the machine does hits both alike; each side's median, min and max are reported.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

namespace ix::bench {

struct TixFigures {
    double median = 0, min = 0, max = 0;
};

inline TixFigures Summarize(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {median, values.front(), values.back()};
}

inline double Seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Each function measures one run and answers its figure (seconds, or a rate).
inline std::pair<TixFigures, TixFigures> Interleaved(int runs, const std::function<double()>& ours,
                                                     const std::function<double()>& peer) {
    std::vector<double> a, b;
    for (int i = 0; i < runs; ++i) {
        a.push_back(ours());
        b.push_back(peer());
    }
    return {Summarize(a), Summarize(b)};
}

// Rates in MB/s of two pieces of work over the same megabytes, taking turns.
inline std::pair<TixFigures, TixFigures> InterleavedRates(int runs, double megabytes,
                                                          const std::function<void()>& ours,
                                                          const std::function<void()>& peer) {
    return Interleaved(
        runs, [&] { return megabytes / Seconds(ours); }, [&] { return megabytes / Seconds(peer); });
}

// One line with the spread, then the bench line. higherIsBetter: a rate (ratio ours / peer)
// rather than a time (ratio peer / ours).
inline void Report(const char* name, const char* unit, bool higherIsBetter, int runs,
                   const std::pair<TixFigures, TixFigures>& figures, double goal) {
    const auto& [ours, peer] = figures;
    std::printf(
        "%s: ours median %.3f (min %.3f, max %.3f), peer median %.3f (min %.3f, max %.3f) %s, %d runs each\n",
        name, ours.median, ours.min, ours.max, peer.median, peer.min, peer.max, unit, runs);
    const double ratio = higherIsBetter ? ours.median / peer.median : peer.median / ours.median;
    std::printf("bench %s ours=%.3f peer=%.3f unit=%s ratio=%.2f goal=%.2f\n", name, ours.median, peer.median,
                unit, ratio, goal);
    std::fflush(stdout);
}

}  // namespace ix::bench
