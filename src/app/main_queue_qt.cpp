#include "app/main_queue_qt.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdint>

namespace morvane {

QtMainQueue::QtMainQueue() : context_(new QObject()) {}

QtMainQueue::~QtMainQueue() { delete context_; }

void QtMainQueue::post(std::function<void()> work) {
    QMetaObject::invokeMethod(context_, [work = std::move(work)] { work(); }, Qt::QueuedConnection);
}

void QtMainQueue::postAfter(std::int64_t delayMillis, std::function<void()> work) {
    // Timers belong to the thread that starts them: start it on the main one.
    // Precise, because Qt's default coarse timers may fire up to 5 % early,
    // and work scheduled "just after" a limit must never run before it.
    const int delay = static_cast<int>(std::max<std::int64_t>(0, std::min<std::int64_t>(delayMillis, INT32_MAX)));
    QObject* context = context_;
    QMetaObject::invokeMethod(
        context_, [context, delay, work = std::move(work)] { QTimer::singleShot(delay, Qt::PreciseTimer, context, work); },
        Qt::QueuedConnection);
}

bool QtMainQueue::isCurrent() const { return QThread::currentThread() == context_->thread(); }

}  // namespace morvane
