#include "app/main_queue_qt.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdint>

namespace morvane {

QtMainQueue::QtMainQueue() : context_(new QObject()) {
    // Qt's loop turns for the first time only once exec() has set up the
    // accessibility bridge, which connects to the session bus: where none
    // is named, libdbus starts one for the display first, seconds on a new
    // X server. Work posted meanwhile (a session's start, its first text)
    // would wait for all of that. Set up here, before anybody can post,
    // that wait is part of starting, and exec() finds the bridge made.
    QAccessible::setRootObject(QCoreApplication::instance());
}

QtMainQueue::~QtMainQueue() { close(); }

void QtMainQueue::close() {
    QObject* context = nullptr;
    {
        std::lock_guard guard(lock_);
        std::swap(context, context_);
    }
    delete context;  // queued work addressed to it is dropped with it
}

void QtMainQueue::post(std::function<void()> work) {
    std::lock_guard guard(lock_);
    if (!context_) return;
    QMetaObject::invokeMethod(context_, [work = std::move(work)] { work(); }, Qt::QueuedConnection);
}

void QtMainQueue::postAfter(std::int64_t delayMillis, std::function<void()> work) {
    // Timers belong to the thread that starts them: start it on the main one.
    // Precise, because Qt's default coarse timers may fire up to 5 % early,
    // and work scheduled "just after" a limit must never run before it.
    const int delay = static_cast<int>(std::max<std::int64_t>(0, std::min<std::int64_t>(delayMillis, INT32_MAX)));
    std::lock_guard guard(lock_);
    if (!context_) return;
    QObject* context = context_;
    QMetaObject::invokeMethod(
        context_, [context, delay, work = std::move(work)] { QTimer::singleShot(delay, Qt::PreciseTimer, context, work); },
        Qt::QueuedConnection);
}

bool QtMainQueue::isCurrent() const {
    std::lock_guard guard(lock_);
    return context_ && QThread::currentThread() == context_->thread();
}

}  // namespace morvane
