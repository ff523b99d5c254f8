// The main queue of the application over Qt's event loop: work posted from
// any thread runs on the thread of the QApplication, in order.
#pragma once

#include <QObject>
#include <mutex>

#include "core/executor.h"

namespace morvane {

class QtMainQueue final : public Executor {
public:
    // Call on the thread that runs the QApplication, once it exists and
    // before its loop runs; may take as long as connecting to the session
    // bus does.
    QtMainQueue();
    ~QtMainQueue() override;

    void post(std::function<void()> work) override;
    void postAfter(std::int64_t delayMillis, std::function<void()> work) override;
    bool isCurrent() const override;

    // From now on posted work is dropped. Threads that may still post at
    // quit (a password check, a lock probe, a copy) then find a closed queue
    // rather than a destroyed one, as long as the queue object outlives
    // them.
    void close();

private:
    mutable std::mutex lock_;
    QObject* context_;  // lives on the main thread; none once closed
};

}  // namespace morvane
