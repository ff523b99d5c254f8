// Fakes for driving the server without a network or a screen.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/clipboard_access.h"
#include "core/frame_source.h"
#include "core/input_sink.h"
#include "core/loop_executor.h"
#include "server/connection_wire.h"
#include "../harness/ws_client.h"

namespace morvane::testing {

// Lines in the order things happened, from any thread.
class Journal {
public:
    void add(std::string line) {
        std::lock_guard lock(m_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(m_);
        return lines_;
    }
    bool contains(const std::string& line) const {
        std::lock_guard lock(m_);
        for (auto& l : lines_)
            if (l == line) return true;
        return false;
    }

private:
    mutable std::mutex m_;
    std::vector<std::string> lines_;
};

inline bool eventually(const std::function<bool()>& condition, int millis = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

// A relayed channel that writes into a journal: text messages as their
// JSON, binary messages as "binary" and their size, closes as "close" and
// the code. Completions come back on the queue the server gave it.
class FakeWire : public ConnectionWire {
public:
    explicit FakeWire(Executor& queue) : queue_(queue) {}
    Bytes encode(WSOpcode opcode, std::span<const std::uint8_t> payload) override {
        Bytes out(payload.size() + 1);
        out[0] = static_cast<std::uint8_t>(opcode);
        std::copy(payload.begin(), payload.end(), out.begin() + 1);
        return out;
    }
    Bytes encodeClose(std::uint16_t code) override {
        return Bytes{0x08, static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code & 0xFF)};
    }
    void write(Bytes data, std::function<void(bool)> completion) override {
        auto kind = static_cast<WSOpcode>(data.at(0));
        if (kind == WSOpcode::text)
            sent.add(std::string(data.begin() + 1, data.end()));
        else if (kind == WSOpcode::close)
            sent.add("close " + std::to_string(data[1] << 8 | data[2]));
        else
            sent.add("binary " + std::to_string(data.size() - 1));
        bool ok = !failWrites;
        queue_.post([completion = std::move(completion), ok] { completion(ok); });
    }
    void cancel() override { cancelled = true; }
    void releaseHold() override { released = true; }

    Journal sent;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> released{false};
    std::atomic<bool> failWrites{false};

private:
    Executor& queue_;
};

class FakeFrameSource : public FrameSource {
public:
    explicit FakeFrameSource(Journal& journal) : journal_(journal) {}
    FrameHandler onFrame() const override { return onFrame_; }
    void setOnFrame(FrameHandler h) override { onFrame_ = std::move(h); }
    std::string state() const override { return state_; }
    void start() override { journal_.add("capture start"); }
    void stop() override { journal_.add("capture stop"); }
    void setQuality(FrameQuality q) override { journal_.add("quality " + std::string(toString(q))); }
    void requestFrame() override { journal_.add("request frame"); }
    bool selectDisplay(std::optional<std::uint32_t> id) override {
        journal_.add(id ? "select " + std::to_string(*id) : "select auto");
        return true;
    }
    Signal onStoppedByOwner() const override { return stoppedByOwner_; }
    void setOnStoppedByOwner(Signal s) override { stoppedByOwner_ = std::move(s); }
    std::string state_ = "ok";

private:
    Journal& journal_;
    FrameHandler onFrame_;
    Signal stoppedByOwner_;
};

class FakeInput : public InputSink {
public:
    explicit FakeInput(Journal& journal) : journal_(journal) {}
    void handle(const InputEvent& event) override {
        if (auto m = std::get_if<input::Move>(&event))
            journal_.add("move " + std::to_string(m->x) + " " + std::to_string(m->y));
        else if (std::holds_alternative<input::Lock>(event))
            journal_.add("lock");
        else
            journal_.add("input");
    }
    void releaseEverything() override { journal_.add("release"); }

private:
    Journal& journal_;
};

inline std::filesystem::path temporaryFolder() {
    auto base = std::filesystem::temp_directory_path() / ("morvane-test-" + std::to_string(::getpid()) + "-" +
                                                         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(base);
    return base;
}

}  // namespace morvane::testing
