// Stands between the server and the input injector and counts every event
// into the session's tally before passing it on unchanged.
#pragma once

#include <memory>
#include <string>

#include "core/input_sink.h"
#include "core/input_tally.h"

namespace morvane {

class CountingInput final : public InputSink {
public:
    explicit CountingInput(std::shared_ptr<InputSink> next);

    void handle(const InputEvent& event) override;
    // Reaches the wrapped sink; counts nothing.
    void releaseEverything() override;

    void count(ClipboardDirection direction);
    // The summary (e.g. "move=12 button=2 key=30"); the tally is empty after.
    std::string takeSummary();

    const InputTally& tally() const { return tally_; }

private:
    std::shared_ptr<InputSink> next_;
    InputTally tally_;
};

}  // namespace morvane
