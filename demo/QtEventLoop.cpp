#include "QtEventLoop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cerrno>

#include "transport/ixSocketError.h"

namespace ix {

TixQtEventLoop::TixQtEventLoop(QObject* parent) : QObject(parent) {}

TixQtEventLoop::~TixQtEventLoop() {
    for (auto& [id, timer] : timers_)
        delete timer;
}

TixWaitResult TixQtEventLoop::Wait(pollfd* fds, std::size_t count, int timeoutMs, bool dispatchGui) {
    auto start = TickCount();
    for (;;) {
        int left = timeoutMs;
        if (timeoutMs >= 0)
            left = static_cast<int>(std::max<std::int64_t>(0, timeoutMs - (TickCount() - start)));
        int slice = dispatchGui ? (left < 0 ? SliceMs : std::min(left, SliceMs)) : left;
        int rc = ::poll(fds, count, slice);
        if (rc > 0) return TixWaitResult::wrReady;
        if (rc < 0) {
            if (errno == EINTR) continue;
            RaiseLastSocketError();
        }
        if (left == 0) return TixWaitResult::wrTimeout;
        if (!dispatchGui) continue;
        // A handler run here may have closed the connection, and its fds with it: the caller looks
        // at its state before it waits on them again.
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return TixWaitResult::wrInterrupted;
    }
}

int TixQtEventLoop::StartTimer(int intervalMs, std::function<void()> callback) {
    int id = nextId_++;
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setInterval(std::max(0, intervalMs));
    connect(timer, &QTimer::timeout, this, [this, id, callback = std::move(callback)] {
        // Single-shot: forget the timer first, the callback may start a new one.
        auto it = timers_.find(id);
        if (it == timers_.end()) return;
        it->second->deleteLater();
        timers_.erase(it);
        callback();
    });
    timers_[id] = timer;
    timer->start();
    return id;
}

void TixQtEventLoop::StopTimer(int timerId) {
    auto it = timers_.find(timerId);
    if (it == timers_.end()) return;
    it->second->stop();
    it->second->deleteLater();
    timers_.erase(it);
}

void TixQtEventLoop::ProcessEvents(int maxWaitMs) {
    QEventLoop loop;
    QTimer::singleShot(std::max(0, maxWaitMs), &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace ix
