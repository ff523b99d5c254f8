// The whole service on loopback, as morvane-relay runs it (the assembly
// with its io thread, store queue and mail queue) over an in-memory store,
// with the codes it would send kept for the test. Wall time can be moved
// on; a restart keeps the store and starts everything else afresh on the
// same port, as a new process would.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "core/clock.h"
#include "core/loop_executor.h"
#include "../app/manual_executor.h"
#include "memory_store.h"
#include "relay/relay_tls.h"
#include "relay/relay_url.h"
#include "relay_service/relay_service.h"
#include "relay_test_device.h"
#include "sealed_records.h"

namespace morvane::relay_service::testing {

class ServiceRig {
public:
    // With `timers`, the service's periodic work and its clock are that
    // queue's, moved by advance() on the network thread.
    explicit ServiceRig(RelayServerOptions options, DeviceLimits limits = {}, WorkQueueLimits storeQueue = {},
                        morvane::testing::ManualExecutor* timers = nullptr)
        : options_(std::move(options)), limits_(limits), storeQueue_(storeQueue), timers_(timers) {
        build();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~ServiceRig() {
        store.release();
        runSync([this] { service_.reset(); });
        guard_.reset();
        io_.stop();
        thread_.join();
    }

    std::uint16_t port() const { return port_; }
    std::string origin(const std::string& scheme, const std::string& host = "127.0.0.1") const {
        return scheme + "://" + host + ":" + std::to_string(port_);
    }

    void runSync(std::function<void()> work) {
        std::promise<void> done;
        boost::asio::post(io_, [&] {
            work();
            done.set_value();
        });
        done.get_future().wait();
    }

    // The last code sent to the address.
    std::string codeFor(const std::string& email) {
        std::lock_guard guard(lock_);
        return codes_.count(email) ? codes_[email] : "";
    }
    // The addresses a code was sent to.
    std::vector<std::string> codesSentTo() {
        std::lock_guard guard(lock_);
        std::vector<std::string> addresses;
        for (const auto& [email, code] : codes_) addresses.push_back(email);
        return addresses;
    }
    bool logged(const std::string& part, std::chrono::milliseconds wait = std::chrono::seconds(10)) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, wait, [&] {
            for (const auto& line : logs_)
                if (line.find(part) != std::string::npos) return true;
            return false;
        });
    }
    std::vector<std::string> logs() {
        std::lock_guard guard(lock_);
        return logs_;
    }
    void failMail(bool fail) { failMail_ = fail; }
    // Codes wait to be sent while held; mailArrived() says whether one has
    // come to be sent meanwhile.
    void holdMail(bool hold) {
        {
            std::lock_guard guard(lock_);
            mailHeld_ = hold;
        }
        changed_.notify_all();
    }
    bool mailArrived(std::chrono::milliseconds wait = std::chrono::seconds(10)) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, wait, [&] { return mailArrived_; });
    }
    // Stops the service as SIGTERM does, without letting it go: `done` runs
    // on its thread once it has.
    void stopService(std::function<void()> done) {
        runSync([&] { service_->stop(std::move(done)); });
    }
    // From now on, keeps a copy of every record the rooms carry.
    void keepCarried() { keepCarried_ = true; }
    std::size_t carriedBytes() {
        std::lock_guard guard(lock_);
        std::size_t total = 0;
        for (const auto& record : carried_) total += record.size();
        return total;
    }
    // Whether `text` was carried in the clear where a record carries its
    // sealed part (sealed_records.h).
    bool carriedContains(const std::string& text) {
        std::lock_guard guard(lock_);
        return morvane::testing::sealedPartsContain(carried_, text);
    }
    void shiftClock(std::int64_t seconds) { shiftMillis_ += seconds * 1000; }
    void advance(std::int64_t millis) {
        runSync([&] { timers_->advance(millis); });
    }

    // The service itself, for a call a test makes from its own thread.
    RelayService& service() { return *service_; }

    // A new process on the same port with the same store.
    void restart() {
        runSync([this] { service_.reset(); });
        options_.port = port_;
        runSync([this] { build(); });
    }
    // Stops listening and closes everything; start() listens again.
    void stop() {
        runSync([this] { service_.reset(); });
    }
    void start() {
        options_.port = port_;
        runSync([this] { build(); });
    }
    // Who may sign in, as a reload reads it; kept for restarts.
    void setAccounts(const std::vector<std::string>& entries) {
        accounts_ = std::get<AccountList>(AccountList::parse(entries));
        runSync([this] { service_->setAccounts(accounts_); });
    }
    bool reloadCertificate() {
        bool ok = false;
        runSync([&] { ok = service_->reloadCertificate(); });
        return ok;
    }
    // The name it gives itself in the store's presence rows and on its bus.
    std::string instance() {
        std::string name;
        runSync([&] { name = service_->instance(); });
        return name;
    }
    std::size_t links() {
        std::size_t n = 0;
        runSync([&] { n = service_->hub().links(); });
        return n;
    }
    // Does `misbehave` on each link's socket, on the network thread.
    void eachLink(std::function<void(RelayPeer&)> misbehave) {
        runSync([&] {
            for (auto* peer : service_->hub().linkPeers()) misbehave(*peer);
        });
    }
    std::size_t devices() {
        std::size_t n = 0;
        runSync([&] { n = service_->hub().devices(); });
        return n;
    }

    // Runs `work` on the service's store queue and waits for it: the store
    // is touched there only, while the service runs.
    void onStore(std::function<void()> work) {
        std::promise<bool> done;
        boost::asio::post(io_, [&] {
            service_->storeQueue().run<bool>(
                [&] {
                    work();
                    return true;
                },
                [&](std::optional<bool> ran) { done.set_value(ran.has_value()); });
        });
        if (!done.get_future().get()) throw std::runtime_error("the store queue did not take the work");
    }

    // Touched through onStore() only while the service runs; hold() and
    // release() may be called from anywhere.
    MemoryStore store;

private:
    void build() {
        RelayServiceOptions o;
        o.server = options_;
        o.limits = limits_;
        o.storeQueue = storeQueue_;
        o.accounts = accounts_;
        o.sender = [this](const std::string& email, const std::string& code) -> std::optional<std::string> {
            if (failMail_) return std::string("the mail server said no");
            std::unique_lock guard(lock_);
            mailArrived_ = true;
            changed_.notify_all();
            changed_.wait(guard, [&] { return !mailHeld_; });
            codes_[email] = code;
            return std::nullopt;
        };
        o.carried = [this](std::span<const std::uint8_t> record) {
            if (!keepCarried_) return;
            std::lock_guard guard(lock_);
            carried_.emplace_back(record.begin(), record.end());
        };
        o.wallMillis = [this] { return systemWallMillis() + shiftMillis_.load(); };
        // Asked by the instances a test plays, as one sharing its store.
        o.fleet = true;
        o.monotonicMillis = [this] { return nowMillis() + shiftMillis_.load(); };
        if (timers_) {
            o.timers = timers_;
            o.monotonicMillis = [timers = timers_] { return timers->now(); };
        }
        // The warnings are marked, for tests that look for them.
        o.log = [this](Severity severity, const std::string& l) { log(severity == Severity::warning ? "warning: " + l : l); };
        service_ = std::make_unique<RelayService>(io_, store, RelayWorkers{storeWorker_, mailWorker_}, std::move(o));
        service_->start();
        port_ = service_->port();
    }
    void log(const std::string& line) {
        std::lock_guard guard(lock_);
        logs_.push_back(line);
        changed_.notify_all();
    }

    RelayServerOptions options_;
    DeviceLimits limits_;
    WorkQueueLimits storeQueue_;
    AccountList accounts_;
    morvane::testing::ManualExecutor* timers_;
    boost::asio::io_context io_;
    // Kept across restarts, as the program's outlive its service.
    LoopExecutor storeWorker_{"relay-store"};
    LoopExecutor mailWorker_{"relay-mail"};
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_{io_.get_executor()};
    std::unique_ptr<RelayService> service_;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<std::int64_t> shiftMillis_{0};
    std::atomic<bool> failMail_{false};
    bool mailHeld_ = false;
    bool mailArrived_ = false;
    std::atomic<bool> keepCarried_{false};
    std::vector<std::vector<std::uint8_t>> carried_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<std::string, std::string> codes_;
    std::vector<std::string> logs_;
};

// One blocking HTTP exchange, as a phone's page makes it.
using morvane::testing::Exchange;
using morvane::testing::exchange;

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// The service over TLS, with the certificate and key written into `folder`.
inline RelayServerOptions tlsOptions(const std::filesystem::path& folder, const std::string& certificatePem,
                                     const std::string& keyPem) {
    std::filesystem::create_directories(folder);
    writeFile((folder / "cert.pem").string(), certificatePem);
    writeFile((folder / "key.pem").string(), keyPem);
    return RelayServerOptions{"127.0.0.1", 0, (folder / "cert.pem").string(), (folder / "key.pem").string()};
}

}  // namespace morvane::relay_service::testing
