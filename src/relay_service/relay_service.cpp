#include "relay_service/relay_service.h"

#include <mutex>
#include <unordered_set>


namespace morvane::relay_service {

// The rooms whose links are up here, as the network thread last said: the
// list of computers is made on the store queue.
struct RelayService::OnlineRooms {
    void set(const std::string& room, bool up) {
        std::lock_guard guard(lock);
        if (up)
            rooms.insert(room);
        else
            rooms.erase(room);
    }
    bool contains(const std::string& room) const {
        std::lock_guard guard(lock);
        return rooms.contains(room);
    }
    mutable std::mutex lock;
    std::unordered_set<std::string> rooms;
};

RelayService::RelayService(boost::asio::io_context& io, RelayStore& store, RelayServiceOptions options)
    : io_(io),
      store_(store),
      options_(std::move(options)),
      network_(io),
      storeQueue_("the store", storeThread_, network_, options_.monotonicMillis, options_.storeQueue, options_.log),
      mailQueue_("the mail", mailThread_, network_, options_.monotonicMillis, options_.mailQueue, options_.log),
      online_(std::make_shared<OnlineRooms>()),
      beat_(io),
      purge_(io) {
    hub_ = std::make_unique<RelayHub>(
        RelayHub::Hooks{options_.monotonicMillis, options_.log,
                        [this](std::vector<std::string> rooms) { checkRegistrations(std::move(rooms)); },
                        [online = online_](const std::string& room, bool up) { online->set(room, up); }},
        options_.limits);
    accounts_ = std::make_unique<RelayAccounts>(
        store_,
        RelayAccounts::Hooks{options_.wallMillis, options_.log,
                             [online = online_](const std::string& room) { return online->contains(room); },
                             [this, alive = std::weak_ptr<bool>(alive_)](const std::string& room) {
                                 network_.post([this, alive, room] {
                                     if (alive.lock()) hub_->removed(room);
                                 });
                             }},
        static_cast<bool>(options_.sender));
    server_ = std::make_unique<RelayServer>(
        io_, options_.server, RelayServerParts{*accounts_, *hub_, storeQueue_, mailQueue_, options_.sender}, options_.log);
}

RelayService::~RelayService() {
    stop();
    // Nothing the queues hold may run once the accounts and the rooms are gone.
    storeQueue_.close();
    mailQueue_.close();
}

void RelayService::start() {
    server_->start();
    every(beat_, std::chrono::seconds(1), [this] { hub_->tick(); });
    every(purge_, std::chrono::minutes(10), [this] {
        auto& accounts = *accounts_;
        storeQueue_.run<bool>(
            [&accounts] {
                accounts.purge();
                return true;
            },
            [](std::optional<bool>) {});
    });
}

std::uint16_t RelayService::port() const { return server_->port(); }

bool RelayService::reloadCertificate() { return server_->reloadCertificate(); }

void RelayService::stop() {
    server_->stop();
    beat_.cancel();
    purge_.cancel();
}

void RelayService::every(boost::asio::steady_timer& timer, std::chrono::milliseconds period, std::function<void()> work) {
    timer.expires_after(period);
    timer.async_wait([this, &timer, period, work = std::move(work)](boost::system::error_code ec) {
        if (ec) return;
        work();
        every(timer, period, work);
    });
}

void RelayService::checkRegistrations(std::vector<std::string> rooms) {
    auto& store = store_;
    const auto log = options_.log;
    storeQueue_.run<std::vector<std::string>>(
        [&store, log, rooms = std::move(rooms)] {
            std::vector<std::string> gone;
            for (const auto& room : rooms) {
                try {
                    if (!store.hostByRoom(room)) gone.push_back(room);
                } catch (const std::exception& error) {
                    // A store out of reach says nothing about the computer:
                    // its link stays, and the next check asks again.
                    log.error("cannot check the registration of room " + room + ": " + error.what());
                    break;
                }
            }
            return gone;
        },
        [this](std::optional<std::vector<std::string>> gone) {
            if (!gone) return;
            for (const auto& room : *gone) hub_->removed(room);
        });
}

}  // namespace morvane::relay_service
