#pragma once
// The hook through which every blocking wait of the library runs, so that an application's GUI
// keeps working while a command waits for its server. The default hook is plain poll(); a GUI
// application installs its own on its GUI thread (Install), which dispatches its events inside
// Wait and runs the library's timers (keep-alive) from its own timer facility.
//
// A hook belongs to the thread that installed it; other threads use the default one.

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace ix {

enum class TixWaitResult {
    wrReady,        // at least one fd has revents
    wrTimeout,      // the limit passed with nothing ready and no event dispatched
    wrInterrupted,  // GUI events or timers were dispatched; the caller checks its state and waits again
};

class TixEventLoop {
public:
    virtual ~TixEventLoop() = default;

    // Waits for the fds (negative fds are ignored, as by poll) for at most timeoutMs (-1: no limit).
    // With dispatchGui, pending GUI events and due timers are processed meanwhile; handlers that
    // run here may close the very connection that waits.
    virtual TixWaitResult Wait(pollfd* fds, std::size_t count, int timeoutMs, bool dispatchGui) = 0;

    // A single-shot timer, run on this loop's thread from a dispatching Wait or ProcessEvents.
    virtual int StartTimer(int intervalMs, std::function<void()> callback) = 0;
    virtual void StopTimer(int timerId) = 0;

    // For programs without a GUI loop: run the timers that are due, waiting up to maxWaitMs for
    // the next one.
    virtual void ProcessEvents(int maxWaitMs) = 0;

    // The hook of the calling thread: the installed one, or the thread's default poll() loop.
    static TixEventLoop& Current();
    // Installs a hook for the calling thread (not owned); nullptr restores the default.
    static void Install(TixEventLoop* loop);
};

// The default hook: poll(), with its own timer list standing for the GUI's events.
class TixPollEventLoop : public TixEventLoop {
public:
    TixWaitResult Wait(pollfd* fds, std::size_t count, int timeoutMs, bool dispatchGui) override;
    int StartTimer(int intervalMs, std::function<void()> callback) override;
    void StopTimer(int timerId) override;
    void ProcessEvents(int maxWaitMs) override;

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        int id;
        Clock::time_point due;
        std::function<void()> callback;
    };
    // Milliseconds until the next timer is due (-1 without timers).
    int NextTimerDelay() const;
    // Runs every due timer once; answers whether any ran.
    bool RunDueTimers();

    std::vector<Timer> timers_;
    int nextId_ = 1;
};

// Milliseconds from a monotonic clock: the start tick of time-outs.
std::int64_t TickCount();

}  // namespace ix
