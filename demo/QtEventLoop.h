#pragma once
// The library's waits on the Qt GUI thread: sockets are polled in short slices and Qt's queued
// events (painting, input, timers, closing the window) are dispatched between them, so the window
// stays live while a command waits for its server.

#include <QObject>
#include <functional>
#include <map>

#include "transport/ixEventLoop.h"

class QTimer;

namespace ix {

class TixQtEventLoop : public QObject, public TixEventLoop {
public:
    // How long one poll() slice may block before Qt's events are dispatched again.
    static constexpr int SliceMs = 10;

    explicit TixQtEventLoop(QObject* parent = nullptr);
    ~TixQtEventLoop() override;

    TixWaitResult Wait(pollfd* fds, std::size_t count, int timeoutMs, bool dispatchGui) override;
    int StartTimer(int intervalMs, std::function<void()> callback) override;
    void StopTimer(int timerId) override;
    void ProcessEvents(int maxWaitMs) override;

private:
    std::map<int, QTimer*> timers_;
    int nextId_ = 1;
};

}  // namespace ix
