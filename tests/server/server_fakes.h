// Fakes for driving the server without a network or a screen.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/clipboard_access.h"
#include "core/frame_source.h"
#include "core/input_sink.h"
#include "core/loop_executor.h"
#include "core/types.h"
#include "server/connection_wire.h"
#include "server/session_link.h"
#include "../harness/ws_client.h"
#include "../support/eventually.h"

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
    void clear() {
        std::lock_guard lock(m_);
        lines_.clear();
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
        record(data);
        bool ok = !failWrites;
        queue_.post([completion = std::move(completion), ok] { completion(ok); });
    }
    // One completion for the whole train, as a gathering transport gives.
    void writeAll(std::vector<Bytes> parts, std::function<void(bool)> completion) override {
        for (const auto& part : parts) record(part);
        bool ok = !failWrites;
        queue_.post([completion = std::move(completion), ok] { completion(ok); });
    }
    void cancel() override { cancelled = true; }
    void releaseHold() override { released = true; }

    std::vector<Bytes> binaries() const {
        std::lock_guard lock(binaryLock_);
        return binaries_;
    }

    Journal sent;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> released{false};
    std::atomic<bool> failWrites{false};

private:
    void record(const Bytes& data) {
        auto kind = static_cast<WSOpcode>(data.at(0));
        if (kind == WSOpcode::text) {
            sent.add(std::string(data.begin() + 1, data.end()));
        } else if (kind == WSOpcode::close) {
            sent.add("close " + std::to_string(data[1] << 8 | data[2]));
        } else {
            sent.add("binary " + std::to_string(data.size() - 1));
            std::lock_guard lock(binaryLock_);
            binaries_.emplace_back(data.begin() + 1, data.end());
        }
    }

    Executor& queue_;
    mutable std::mutex binaryLock_;
    std::vector<Bytes> binaries_;
};

// A controlling session as a relay sees it: messages as JSON lines in
// order, pictures and video units kept whole. `busy` stands for a video
// write still in flight.
class RecordingLink : public SessionLink {
public:
    void sendJSON(const nlohmann::json& message) override { sent.push_back(message.dump()); }
    void offerFrame(const Bytes& message) override { frames.push_back(message); }
    void offerVideo(const Bytes& message) override {
        if (!busy) units.push_back(message);
    }
    bool videoBusy() const override { return busy; }
    void clearPendingFrame() override { sent.push_back("clear frame"); }
    void clearPendingVideo() override { sent.push_back("clear video"); }
    void sendAudioState(const nlohmann::json& message) override { sendJSON(message); }
    int offerAudio(const Bytes&, std::int64_t) override { return 0; }
    void dropPendingAudio() override {}

    bool said(const nlohmann::json& message) const {
        return std::find(sent.begin(), sent.end(), message.dump()) != sent.end();
    }
    long count(const nlohmann::json& message) const {
        return std::count(sent.begin(), sent.end(), message.dump());
    }

    std::vector<std::string> sent;
    std::vector<Bytes> frames;
    std::vector<Bytes> units;
    bool busy = false;
};

class FakeFrameSource : public FrameSource {
public:
    explicit FakeFrameSource(Journal& journal) : journal_(journal) {}
    std::string state() const override {
        std::lock_guard lock(m_);
        return state_;
    }
    void setState(std::string s) {
        std::lock_guard lock(m_);
        state_ = std::move(s);
    }
    void start(const std::shared_ptr<FrameObserver>& observer) override {
        {
            std::lock_guard lock(m_);
            observer_ = observer;
        }
        journal_.add("capture start");
    }
    // Whoever started capture last, while it is still there.
    std::shared_ptr<FrameObserver> observer() const {
        std::lock_guard lock(m_);
        return observer_.lock();
    }
    // A picture from the capture threads; nobody hears it before a start.
    void picture(const Bytes& jpeg, int width, int height) {
        if (auto o = observer()) o->onFrame(jpeg, width, height);
    }
    void stop() override { journal_.add("capture stop"); }
    void setQuality(FrameQuality q) override { journal_.add("quality " + std::string(toString(q))); }
    void requestFrame() override { journal_.add("request frame"); }

    bool startVideo(int maxWidth, int maxHeight) override {
        journal_.add("video start " + std::to_string(maxWidth) + "x" + std::to_string(maxHeight));
        return videoAccepted;
    }
    void requestKeyframe() override { journal_.add("keyframe"); }
    void stopVideo() override { journal_.add("video stop"); }

    // Known displays answer a selection; `follows` moves the current display
    // at once, as a capture that switches before answering would.
    bool selectDisplay(std::optional<std::uint32_t> id) override {
        journal_.add(id ? "select " + std::to_string(*id) : "select auto");
        std::lock_guard lock(m_);
        if (!id) return true;
        for (auto& d : listing_.displays) {
            if (d.id != *id) continue;
            if (follows) listing_.current = id;
            return true;
        }
        return listing_.displays.empty();
    }
    DisplayListing displayListing() const override {
        std::lock_guard lock(m_);
        return listing_;
    }
    void setListing(DisplayListing listing) {
        std::lock_guard lock(m_);
        listing_ = std::move(listing);
    }

    std::atomic<bool> videoAccepted{true};
    std::atomic<bool> follows{false};

private:
    Journal& journal_;
    mutable std::mutex m_;
    std::string state_ = "ok";
    std::weak_ptr<FrameObserver> observer_;
    DisplayListing listing_;
};

class FakeInput : public InputSink {
public:
    explicit FakeInput(Journal& journal) : journal_(journal) {}
    void handle(const InputEvent& event) override {
        if (auto m = std::get_if<input::Move>(&event))
            journal_.add("move " + std::to_string(m->x) + " " + std::to_string(m->y));
        else if (std::holds_alternative<input::Lock>(event))
            journal_.add("lock");
        else if (auto b = std::get_if<input::Button>(&event))
            journal_.add(b->down ? "press" : "release button");
        else
            journal_.add("input");
    }
    void releaseEverything() override { journal_.add("release"); }

private:
    Journal& journal_;
};

// A pasteboard whose reads can be held back and answered later, as a system
// that asks the owner first would.
class FakeClipboard : public ClipboardAccess {
public:
    void readPlainText(int limit, std::function<void(ClipboardRead)> completion) override {
        std::lock_guard lock(m_);
        lastLimit = limit;
        ++reads;
        if (hold) {
            held_ = std::move(completion);
            return;
        }
        completion(next);
    }
    bool writePlainText(const std::string& text) override {
        std::lock_guard lock(m_);
        written.push_back(text);
        return writable;
    }
    // Answers a held read.
    bool release(ClipboardRead read) {
        std::function<void(ClipboardRead)> completion;
        {
            std::lock_guard lock(m_);
            completion = std::move(held_);
            held_ = nullptr;
        }
        if (!completion) return false;
        completion(std::move(read));
        return true;
    }
    std::vector<std::string> writes() {
        std::lock_guard lock(m_);
        return written;
    }
    int readCount() {
        std::lock_guard lock(m_);
        return reads;
    }
    void setNext(ClipboardRead read, bool holdIt = false) {
        std::lock_guard lock(m_);
        next = std::move(read);
        hold = holdIt;
    }

    std::atomic<bool> writable{true};

private:
    std::mutex m_;
    ClipboardRead next = clipboard_read::Empty{};
    bool hold = false;
    int lastLimit = 0;
    int reads = 0;
    std::vector<std::string> written;
    std::function<void(ClipboardRead)> held_;
};

inline std::filesystem::path temporaryFolder() {
    auto base = std::filesystem::temp_directory_path() / ("morvane-test-" + std::to_string(::getpid()) + "-" +
                                                         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(base);
    return base;
}

}  // namespace morvane::testing
