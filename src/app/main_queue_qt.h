// The main queue of the application over Qt's event loop: work posted from
// any thread runs on the thread of the QApplication, in order.
#pragma once

#include <QObject>

#include "core/executor.h"

namespace morvane {

class QtMainQueue final : public Executor {
public:
    // Call on the thread that runs the QApplication.
    QtMainQueue();
    ~QtMainQueue() override;

    void post(std::function<void()> work) override;
    void postAfter(std::int64_t delayMillis, std::function<void()> work) override;
    bool isCurrent() const override;

private:
    QObject* context_;  // lives on the main thread; work is dropped once it is gone
};

}  // namespace morvane
