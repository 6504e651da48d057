#include "transport/ixEventLoop.h"

#include <algorithm>
#include <cerrno>

#include "transport/ixSocketError.h"

namespace ix {

namespace {
thread_local TixEventLoop* installedLoop = nullptr;
}

TixEventLoop& TixEventLoop::Current() {
    if (installedLoop != nullptr) return *installedLoop;
    thread_local TixPollEventLoop defaultLoop;
    return defaultLoop;
}

void TixEventLoop::Install(TixEventLoop* loop) {
    installedLoop = loop;
}

std::int64_t TickCount() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int TixPollEventLoop::NextTimerDelay() const {
    if (timers_.empty()) return -1;
    auto next = std::min_element(timers_.begin(), timers_.end(),
                                 [](const Timer& a, const Timer& b) { return a.due < b.due; });
    auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(next->due - Clock::now()).count();
    return static_cast<int>(std::clamp<std::int64_t>(delay, 0, 24 * 3600 * 1000));
}

bool TixPollEventLoop::RunDueTimers() {
    // Take the due timers out first: a callback may start or stop timers, or wait itself.
    auto now = Clock::now();
    std::vector<Timer> due;
    for (auto it = timers_.begin(); it != timers_.end();) {
        if (it->due <= now) {
            due.push_back(std::move(*it));
            it = timers_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& timer : due)
        timer.callback();
    return !due.empty();
}

TixWaitResult TixPollEventLoop::Wait(pollfd* fds, std::size_t count, int timeoutMs, bool dispatchGui) {
    auto start = Clock::now();
    for (;;) {
        int limit = timeoutMs;
        if (limit >= 0) {
            auto passed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            limit = static_cast<int>(std::max<std::int64_t>(0, timeoutMs - passed));
        }
        int timerDelay = dispatchGui ? NextTimerDelay() : -1;
        bool timerFirst = timerDelay >= 0 && (limit < 0 || timerDelay < limit);
        int rc = poll(fds, count, timerFirst ? timerDelay : limit);
        if (rc > 0) return TixWaitResult::wrReady;
        if (rc < 0) {
            if (errno == EINTR) continue;
            RaiseLastSocketError();
        }
        if (timerFirst) {
            if (RunDueTimers()) return TixWaitResult::wrInterrupted;
            continue;
        }
        return TixWaitResult::wrTimeout;
    }
}

int TixPollEventLoop::StartTimer(int intervalMs, std::function<void()> callback) {
    int id = nextId_++;
    timers_.push_back(
        {id, Clock::now() + std::chrono::milliseconds(std::max(0, intervalMs)), std::move(callback)});
    return id;
}

void TixPollEventLoop::StopTimer(int timerId) {
    std::erase_if(timers_, [timerId](const Timer& t) { return t.id == timerId; });
}

void TixPollEventLoop::ProcessEvents(int maxWaitMs) {
    int delay = NextTimerDelay();
    if (delay < 0) delay = maxWaitMs;
    delay = std::min(delay, std::max(0, maxWaitMs));
    if (delay > 0) poll(nullptr, 0, delay);
    RunDueTimers();
}

}  // namespace ix
