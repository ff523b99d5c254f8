// What the tests of a host on a private X display reached through a relay
// share: a main queue that runs under modal dialogs as the tray's loop
// does, the throw-away CA the relay's certificates come from, a phone-like
// device on the relay's device side, and where X has the pointer.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "../capture/x11_test_client.h"
#include "../relay/relay_controller_rig.h"
#include "../relay/relay_test_device.h"
#include "../relay/test_certificates.h"
#include "../relay/test_device.h"
#include "../support/xvfb.h"
#include "core/executor.h"
#include "core/loop_executor.h"
#include "platform/linux/capture_x11_source.h"
#include "platform/linux/clipboard_x11.h"
#include "platform/linux/input_x11.h"
#include "relay/relay_bytes.h"
#include "relay/relay_controller.h"
#include "server/remote_server.h"

namespace morvane::testing {

using namespace std::chrono_literals;

// Polls a condition until it holds or the time is up.
inline bool within(std::chrono::milliseconds limit, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// The main queue as the tray's event loop is: a thread of its own whose work
// may run a modal dialog, and a dialog keeps the queue's other work running
// until it closes (runUntil, called from that work).
class NestingLoop final : public Executor {
public:
    NestingLoop() : thread_([this] {
        while (!stopping_) runOne(std::chrono::steady_clock::now() + 50ms);
    }) {}
    ~NestingLoop() override {
        {
            std::lock_guard lock(m_);
            stopping_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void post(std::function<void()> work) override {
        {
            std::lock_guard lock(m_);
            ready_.push_back(std::move(work));
        }
        cv_.notify_all();
    }
    void postAfter(std::int64_t delayMillis, std::function<void()> work) override {
        {
            std::lock_guard lock(m_);
            timers_.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMillis), std::move(work));
        }
        cv_.notify_all();
    }
    bool isCurrent() const override { return std::this_thread::get_id() == thread_.get_id(); }

    // On the loop's thread: runs other work until `done` holds or the time
    // is up; false when the time ran out.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) return false;
            runOne(std::min(deadline, now + 10ms));
        }
        return true;
    }

private:
    void runOne(std::chrono::steady_clock::time_point until) {
        std::function<void()> work;
        {
            std::unique_lock lock(m_);
            cv_.wait_until(lock, until, [&] {
                return stopping_ || !ready_.empty() ||
                       (!timers_.empty() && timers_.begin()->first <= std::chrono::steady_clock::now());
            });
            if (!ready_.empty()) {
                work = std::move(ready_.front());
                ready_.pop_front();
            } else if (!timers_.empty() && timers_.begin()->first <= std::chrono::steady_clock::now()) {
                work = std::move(timers_.begin()->second);
                timers_.erase(timers_.begin());
            }
        }
        if (work) work();
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> ready_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
    bool stopping_ = false;
    std::thread thread_;
};

inline TestCertificateAuthority& authority() {
    static TestCertificateAuthority ca;
    static const bool trusted = (ca.trustThroughEnvironment(), true);
    (void)trusted;
    return ca;
}


// A phone on the relay: the test device's secure channel over a device
// connection of the relay. Each session opens a connection of its own.
class Phone {
public:
    Phone(std::string name, std::string origin) : name_(std::move(name)), origin_(std::move(origin)) {}

    void forRoom(const Bytes& room) {
        room_ = room;
        device_.emplace(name_, room);
    }
    TestDevice& device() { return *device_; }
    void join() {
        socket_.reset();
        const auto room = RelayBytes::hex(room_);
        socket_ = std::make_unique<RelayTestDevice>(origin_, ticket_ ? room + "?ticket=" + ticket_(room) : room);
    }
    // A relay whose device side wants a ticket for each connection.
    void useTickets(std::function<std::string(const std::string& room)> ticket) { ticket_ = std::move(ticket); }
    void send(const Bytes& record) { socket_->send(record); }
    std::optional<Bytes> record(std::chrono::milliseconds wait = 5s) {
        auto got = socket_->receive(wait);
        if (got) largestRecord = std::max(largestRecord, got->size());
        return got;
    }
    std::optional<int> closedWith() const { return socket_->closedWith(); }

    // Enrolment up to the code: message 1, message 2, message 3.
    bool offerEnrolment() {
        join();
        send(device_->enrolMessage1());
        auto second = record();
        if (!second) return false;
        send(device_->enrolMessage3(*second));
        return true;
    }
    // IK on a new connection, then hello.
    bool connect() {
        join();
        send(device_->sessionMessage1());
        auto second = record();
        if (!second) return false;
        device_->sessionMessage2(*second);
        send(device_->hello());
        return true;
    }
    // The next whole message; credits everything received as it goes.
    std::optional<TestDevice::Received> next(std::chrono::milliseconds wait = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < deadline) {
            auto got = record(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
            if (!got) return std::nullopt;
            if (auto message = device_->receive(*got)) {
                if (message->kind != TestDevice::Received::Kind::close) send(device_->creditAll());
                return message;
            }
        }
        return std::nullopt;
    }
    // Reads until a text message of type `t`; texts passed on the way are kept.
    std::optional<nlohmann::json> nextOfType(const std::string& t, std::chrono::milliseconds wait = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < deadline) {
            auto got = next(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
            if (!got || got->kind == TestDevice::Received::Kind::close) return std::nullopt;
            if (got->kind != TestDevice::Received::Kind::text) continue;
            auto j = nlohmann::json::parse(got->text(), nullptr, false);
            texts.push_back(j);
            if (j.is_object() && j.value("t", "") == t) return j;
        }
        return std::nullopt;
    }
    // Reads until a binary message with the tag.
    std::optional<Bytes> nextBinary(std::uint8_t tag, std::chrono::milliseconds wait = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < deadline) {
            auto got = next(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
            if (!got || got->kind == TestDevice::Received::Kind::close) return std::nullopt;
            if (got->kind == TestDevice::Received::Kind::text) texts.push_back(nlohmann::json::parse(got->text(), nullptr, false));
            if (got->kind == TestDevice::Received::Kind::binary && !got->data.empty() && got->data[0] == tag) return got->data;
        }
        return std::nullopt;
    }
    // True once the session's goodbye with `reason` and then its close came.
    bool endedWith(const std::string& reason) {
        auto bye = nextOfType("bye");
        if (!bye || bye->value("reason", "") != reason) return false;
        for (;;) {
            auto got = next();
            if (!got) return false;
            if (got->kind == TestDevice::Received::Kind::close) return true;
        }
    }
    void sendJSON(const nlohmann::json& message) { send(device_->text(message.dump())); }

    std::vector<nlohmann::json> texts;
    // The largest record the relay carried to this phone in one piece.
    std::size_t largestRecord = 0;

private:
    std::string name_;
    std::string origin_;
    std::function<std::string(const std::string&)> ticket_;
    Bytes room_;
    std::optional<TestDevice> device_;
    std::unique_ptr<RelayTestDevice> socket_;
};

// Where the X server has the pointer.
std::pair<int, int> pointerOnX();

// What the relayed tests show on the X screen: the paint client's bars and
// square, and across the middle a band of noise that moves with each step,
// so that every picture and keyframe is several times 64 KB, as a busy
// desktop's are (a link that carried only small records once hid behind
// plain bars).
class BusyScreen {
public:
    // Over this, a message could not cross a link limited to the host's own
    // message size.
    static constexpr std::size_t smallLimitBytes = 65'536;

    BusyScreen();
    // Paints the bars, the square and the band as they are at this step.
    void paint(int step);
    // Takes the phone's next picture: larger than the small limit, carried
    // in a record that is too, decoded, and showing the bars outside the
    // band and the square.
    void expectPicture(Phone& phone);
    // Asks for H.264 at the screen's size while the screen moves: the first
    // unit is a keyframe larger than the small limit with its parameter
    // sets, and the stream goes on after it.
    void expectVideo(Phone& phone);

private:
    PaintClient client_;
    int bandTop_ = 0;
    int bandHeight_ = 0;
    Bytes noise_;  // BGRA, wider than the screen by the band's travel
};

// The relay controller as the tray host makes it, on real sockets to the
// relay at `origin`: the owner's password is taken as given, the dialogs are
// answered by `owner` and the dialogs' field reads `typed`.
struct RealRelayControllerParts {
    std::string origin;
    std::shared_ptr<RemoteServer> server;
    DeviceStore* store = nullptr;
    NestingLoop* main = nullptr;
    RelaySettings* settings = nullptr;
    std::function<void(const std::string& tag, const std::string& text)> log;
    std::function<int(const RelayAlert&, std::function<bool()>)> owner;
    std::function<std::string()> typed;
};
std::shared_ptr<RelayController> makeRealRelayController(RealRelayControllerParts parts);

// The host of a relayed test on its private display: the X screen, input
// and clipboard, the server, and the relay controller the menu drives, with
// the relay and the owner at the dialogs given by the test.
class RelayedX11Host : public ::testing::Test {
protected:
    // Where the relay answers, as the owner would type it.
    virtual std::string relayOrigin() = 0;
    // The owner at a dialog: the button chosen.
    virtual int owner(const RelayAlert& alert, const std::function<bool()>& closeWhen) = 0;
    // Waits, once the relay is turned off, for what the relay must see of it.
    virtual void turnedOff() {}

    void SetUp() override;
    void TearDown() override;

    void onMain(const std::function<void()>& work);
    // Performs a menu action and waits until the flow it starts has ended.
    // The owner's go-ahead comes on a later turn of the main queue, so the
    // first look at the controller runs after the flow has begun.
    void menu(const std::string& action);
    std::vector<RelayMenuItem> section();
    bool shows(const std::string& title);
    Bytes roomID();
    std::string room() { return RelayBytes::hex(roomID()); }
    // The link came up once and never went down, as the host saw it.
    void expectLinkHeld();

    Xvfb xvfb{"1280x720x24"};
    NestingLoop main;
    DeviceStore store{std::make_shared<MemoryStorage>()};
    LoopExecutor inputQueue{"input"};
    LoopExecutor clipboardQueue{"clipboard"};
    std::unique_ptr<ScreenFrameSource> screen;
    std::unique_ptr<InputSink> input;
    std::unique_ptr<ClipboardAccess> clipboard;
    std::shared_ptr<RemoteServer> server;
    MemorySettings settings;
    std::shared_ptr<RelayController> controller;
    // How the owner answers what both relays' flows show alike: the window
    // waiting for a new device (which `offer` answers in the device's place,
    // giving the code it derived), the code to approve when it matches, and
    // the working dialogs ("…"), left to close by themselves. Absent for any
    // other dialog.
    std::optional<int> enrolmentOrWorkingAnswer(const std::string& title, const std::function<bool()>& closeWhen,
                                                const std::function<std::optional<std::string>()>& offer);

    std::string typed;  // what the dialog's field holds
    std::optional<std::string> deviceCode;  // what the new device showed
    std::mutex m;
    std::vector<std::string> log;
};


}  // namespace morvane::testing
