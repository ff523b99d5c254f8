// Several morvane-relay processes on one PostgreSQL database, as a proxy
// routing rooms by id would run them: what one instance is told, the others
// must hold to.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "postgres_test_cluster.h"
#include "relay_service/relay_accounts.h"
#include "service_rig.h"

namespace morvane::relay_service::testing {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// A port nothing listens on now; the relay is started on it, and another
// is tried should something take it first.
std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("no free port on loopback");
    ::close(fd);
    return ntohs(address.sin_port);
}

// One morvane-relay process and the lines of its log.
class RelayProcess {
public:
    RelayProcess(const std::string& folder, const std::string& name, const std::string& postgresUrl) {
        for (int attempt = 0; attempt < 3 && origin_.empty(); ++attempt) {
            const auto port = freePort();
            const auto config = folder + "/" + name + ".json";
            writeFile(config, json{{"listen", "127.0.0.1:" + std::to_string(port)},
                                   {"store", {{"kind", "postgresql"}, {"postgres_url", postgresUrl}}},
                                   {"codes_in_log", true}}
                                  .dump());
            start(config);
            if (waitFor("listening on http://127.0.0.1:" + std::to_string(port)).empty())
                stop();
            else
                origin_ = "http://127.0.0.1:" + std::to_string(port);
        }
        if (origin_.empty()) throw std::runtime_error(name + " did not start: " + json(lines()).dump());
    }
    ~RelayProcess() { stop(); }
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;

    const std::string& origin() const { return origin_; }

    // The first line holding `part`, or "" when none came in time or the
    // process ended first.
    std::string waitFor(const std::string& part, std::chrono::milliseconds wait = 10s) {
        std::unique_lock guard(lock_);
        std::string found;
        changed_.wait_for(guard, wait, [&] {
            for (const auto& line : lines_)
                if (line.find(part) != std::string::npos) {
                    found = line;
                    return true;
                }
            return ended_;
        });
        return found;
    }
    std::vector<std::string> lines() {
        std::lock_guard guard(lock_);
        return lines_;
    }
    // Asks it to stop and answers how it ended: its exit status, or -1
    // when it had to be killed.
    int stop() {
        if (pid_ <= 0) return -1;
        ::kill(pid_, SIGTERM);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                status = -1;
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        pid_ = -1;
        if (reader_.joinable()) reader_.join();
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    void start(const std::string& config) {
        // Built before fork: a threaded parent's child may only make
        // async-signal-safe calls.
        std::vector<std::string> args = {"morvane-relay", "--config", config};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        {
            std::lock_guard guard(lock_);
            lines_.clear();
            ended_ = false;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 2);
            ::execv(MORVANE_RELAY_PROGRAM, argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        if (pid_ < 0) {
            ::close(fds[0]);
            throw std::runtime_error("fork failed");
        }
        reader_ = std::thread([this, fd = fds[0]] {
            std::string partial;
            char buffer[4096];
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
                partial.append(buffer, static_cast<std::size_t>(n));
                std::lock_guard guard(lock_);
                for (std::size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1))
                    lines_.push_back(partial.substr(0, end));
                changed_.notify_all();
            }
            ::close(fd);
            std::lock_guard guard(lock_);
            ended_ = true;
            changed_.notify_all();
        });
    }

    pid_t pid_ = -1;
    std::string origin_;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
};

// A whole sign-in through one instance, the code read from its log.
json signIn(RelayProcess& relay, const std::string& email) {
    const auto asked = exchange(relay.origin(), "POST", "/v1/auth/code", json{{"email", email}, {"login_id", "page"}}.dump());
    EXPECT_EQ(asked.status, 200) << asked.body;
    const std::string prefix = "Sign-in code for " + email + ": ";
    const auto line = relay.waitFor(prefix);
    const auto code = line.empty() ? std::string() : line.substr(line.find(prefix) + prefix.size());
    const auto verified = exchange(relay.origin(), "POST", "/v1/auth/verify",
                                   json{{"email", email}, {"login_id", "page"}, {"code", code}, {"client", "web"}}.dump());
    EXPECT_EQ(verified.status, 200) << verified.body;
    return json::parse(verified.body, nullptr, false);
}

TEST(RelayInstances, ASignOutThroughOneInstanceIsHeldByAnother) {
    PostgresBackend database;
    TempDir folder;
    RelayProcess a(folder.path(), "a", database.connectionString());
    RelayProcess b(folder.path(), "b", database.connectionString());

    const auto session = signIn(a, "ann@example.org");
    const auto bystander = signIn(a, "bob@example.org");
    ASSERT_TRUE(session.contains("access_token")) << session.dump();
    const std::string access = session["access_token"];
    // The other instance knows the sign-in from the database alone.
    ASSERT_EQ(exchange(b.origin(), "GET", "/v1/hosts", "", access).status, 200);

    const auto out = exchange(a.origin(), "POST", "/v1/auth/signout",
                              json{{"refresh_token", session["refresh_token"]}}.dump());
    ASSERT_EQ(out.status, 200) << out.body;
    EXPECT_FALSE(a.waitFor("signed out ann@example.org (web)").empty());

    const auto listed = exchange(b.origin(), "GET", "/v1/hosts", "", access);
    EXPECT_EQ(listed.status, 401);
    EXPECT_EQ(json::parse(listed.body, nullptr, false), (json{{"error", "unauthorized"}}));
    EXPECT_EQ(exchange(b.origin(), "POST", "/v1/hosts/0123456789abcdef0123456789abcdef/ticket", "", access).status, 401);
    EXPECT_EQ(exchange(a.origin(), "GET", "/v1/hosts", "", access).status, 401);
    EXPECT_EQ(exchange(b.origin(), "GET", "/v1/hosts", "", bystander["access_token"]).status, 200)
        << "another sign-in of the same database still works on the instance";

    EXPECT_EQ(a.stop(), 0);
    EXPECT_EQ(b.stop(), 0);
}

}  // namespace
}  // namespace morvane::relay_service::testing
