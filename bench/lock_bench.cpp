// Locking from the phone against lockers as they are met: the test host on a
// private Xvfb, a device session over its WebSocket, and the screen locker's
// programs behind stand-ins on PATH that count every start and then fail,
// hang, take 2.5 s, or run the real one; a screen saver on a private session
// bus that never replies; and the real xscreensaver started after the host.
// For each it prints the time from Lock to the phone's answer (and to a
// second answer when the screen locks late), how long the pointer is held
// behind 1, 3, 50 and 1024 Lock taps (a move sent after them, until X has the
// pointer there), and the programs a burst of 50 asks starts.
//
//   morvane_lock_bench [--only NAME] [--host PATH]
//
// NAME is late, fail, hang, slow, silent-bus, mate (the real mate-screensaver,
// installed by hand), cinnamon (a stand-in on Cinnamon's name) or xscreensaver
// (the desktop rounds: ten Locks, a new session while locked, the locker
// killed while locked); --host runs another build of the test host.
#include <X11/Xlib.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace {
const char* hostPath = MORVANE_BUILT_HARNESS;
}
#define MORVANE_HARNESS_PATH hostPath
#include "harness/harness_process.h"
#include "harness/paired_session.h"
#include "support/xscreensaver.h"
#include "support/xvfb.h"

namespace {

namespace fs = std::filesystem;
using namespace morvane::testing;
using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point from) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - from).count());
}

// Every text the session is sent, stamped, read on a thread of its own.
class Phone {
public:
    explicit Phone(HarnessProcess& host) : ws_(pairedSession(host, "Bench")) {
        reader_ = std::thread([this] {
            while (!stop_) {
                auto f = ws_->next(200);
                if (!f) continue;
                if (f->opcode == 0x8) return;
                if (f->opcode != 0x1) continue;
                const auto j = nlohmann::json::parse(f->payload, nullptr, false);
                std::lock_guard lock(m_);
                heard_.push_back({Clock::now(), j});
            }
        });
        if (!await([](const nlohmann::json& j) { return j.value("t", "") == "ready"; }, Clock::now(), 10'000))
            throw std::runtime_error("no session");
        // A page pings every few seconds; a silent one is ended.
        pinger_ = std::thread([this] {
            for (int id = 1; !stop_; ++id) {
                for (int i = 0; i < 20 && !stop_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
                send({{"t", "ping"}, {"id", id}});
            }
        });
    }
    ~Phone() {
        stop_ = true;
        pinger_.join();
        reader_.join();
    }
    void send(const nlohmann::json& j) {
        std::lock_guard lock(sending_);
        ws_->sendText(j.dump());
    }
    // When a message since `from` matched, waiting at most `millis`.
    std::optional<Clock::time_point> await(const std::function<bool(const nlohmann::json&)>& match,
                                           Clock::time_point from, int millis, int nth = 1) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
        for (;;) {
            {
                std::lock_guard lock(m_);
                int seen = 0;
                for (const auto& [at, j] : heard_)
                    if (at >= from && match(j) && ++seen == nth) return at;
            }
            if (Clock::now() > deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::vector<nlohmann::json> since(Clock::time_point from, const std::string& type) {
        std::lock_guard lock(m_);
        std::vector<nlohmann::json> out;
        for (const auto& [at, j] : heard_)
            if (at >= from && j.value("t", "") == type) out.push_back(j);
        return out;
    }

private:
    std::unique_ptr<WebSocket> ws_;
    std::thread reader_, pinger_;
    std::atomic<bool> stop_{false};
    std::mutex sending_;
    std::mutex m_;
    std::vector<std::pair<Clock::time_point, nlohmann::json>> heard_;
};

bool isType(const nlohmann::json& j, const char* t) { return j.value("t", "") == t; }

// Stand-ins for the locker's programs: each start is a line in the log.
class StandIns {
public:
    StandIns() : dir_(fs::temp_directory_path() / ("morvane-lock-bench-" + std::to_string(::getpid()))) {
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "bin");
    }
    ~StandIns() { fs::remove_all(dir_); }
    // `body` runs after the start is logged.
    void program(const std::string& name, const std::string& body) {
        const auto path = dir_ / "bin" / name;
        std::ofstream(path) << "#!/bin/sh\necho $PPID " << name << " >> " << (dir_ / "starts").string() << "\n"
                            << body << "\n";
        fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }
    std::string path() const { return (dir_ / "bin").string(); }
    // The programs `parent` started itself (not those a locker's script starts).
    int starts(pid_t parent) const {
        std::ifstream in(dir_ / "starts");
        int n = 0;
        for (std::string line; std::getline(in, line);) n += line.starts_with(std::to_string(parent) + " ");
        return n;
    }
    fs::path dir() const { return dir_; }

private:
    fs::path dir_;
};

const std::vector<std::string> lockerPrograms = {"dbus-send", "gdbus", "loginctl", "xdg-screensaver",
                                                  "xscreensaver-command"};

// A process of the bench's own (dbus-daemon, the silent saver), ended with it.
class Child {
public:
    Child(std::vector<std::string> argv, std::string* firstLine = nullptr) {
        int out[2];
        if (::pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        if (firstLine) {
            char c;
            while (::read(out[0], &c, 1) == 1 && c != '\n') *firstLine += c;
        }
        fd_ = out[0];
    }
    ~Child() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        ::close(fd_);
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

struct Pointer {
    Display* display = XOpenDisplay(nullptr);
    ~Pointer() {
        if (display) XCloseDisplay(display);
    }
    std::pair<int, int> at() {
        Window root, child;
        int x = 0, y = 0, wx, wy;
        unsigned mask;
        XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &wx, &wy, &mask);
        return {x, y};
    }
};

// `taps` Lock taps then a move: how long until X has the pointer there.
long pointerHeld(Phone& phone, Pointer& pointer, int taps, double fx) {
    for (int i = 0; i < taps; ++i) phone.send({{"t", "lock"}});
    const auto sent = Clock::now();
    phone.send({{"t", "mm"}, {"x", fx}, {"y", 0.5}});
    const int want = static_cast<int>(fx * 640);
    while (msSince(sent) < 60'000) {
        if (std::abs(pointer.at().first - want) <= 2) return msSince(sent);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
}

std::string answerLine(Phone& phone, Clock::time_point tapped) {
    std::string out;
    for (int nth = 1; nth <= 2; ++nth) {
        const auto at = phone.await([](const nlohmann::json& j) { return isType(j, "lock-result"); }, tapped,
                                    nth == 1 ? 20'000 : 12'000, nth);
        if (!at) break;
        const auto results = phone.since(tapped, "lock-result");
        const bool locked = results.size() >= static_cast<std::size_t>(nth) && results[nth - 1].value("locked", false);
        out += (nth == 1 ? "" : ", then ") + std::string(locked ? "locked" : "not locked") + " at " +
               std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(*at - tapped).count()) + " ms";
    }
    return out.empty() ? "no answer in 20 s" : out;
}

struct HostRun {
    fs::path home = fs::temp_directory_path() / ("morvane-lock-bench-home-" + std::to_string(::getpid()));
    std::unique_ptr<HarnessProcess> host;
    HostRun() {
        fs::remove_all(home);
        fs::create_directories(home);
        host = std::make_unique<HarnessProcess>(home, freePort(), std::vector<std::string>{"--x11"});
        if (!host->waitLine("listening ", 20'000)) throw std::runtime_error("the test host did not start");
    }
    ~HostRun() {
        host.reset();
        fs::remove_all(home);
    }
};

// A locker behind stand-ins: answer times, pointer holds and starts.
void lockerRoad(const std::string& name, const std::map<std::string, std::string>& bodies, bool saver, bool silentBus) {
    Xvfb xvfb("640x480x24");
    DesktopOutOfReach quiet;
    std::optional<XScreenSaver> realSaver;
    if (saver) {
        realSaver.emplace();
        if (!realSaver->running()) throw std::runtime_error("xscreensaver: " + realSaver->problem());
    }
    std::unique_ptr<Child> bus, silent;
    if (silentBus) {
        std::string address;
        bus = std::make_unique<Child>(
            std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address"}, &address);
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        std::string ready;
        silent = std::make_unique<Child>(std::vector<std::string>{SILENT_SAVER}, &ready);
        if (ready != "ready") throw std::runtime_error("the silent screen saver did not take its name");
    }
    StandIns standIns;
    for (const auto& program : lockerPrograms) {
        const auto body = bodies.find(program);
        standIns.program(program, body != bodies.end() ? body->second : "exec /usr/bin/" + program + " \"$@\"");
    }
    const std::string oldPath = std::getenv("PATH");
    setenv("PATH", (standIns.path() + ":" + oldPath).c_str(), 1);
    {
        HostRun run;
        Phone phone(*run.host);
        Pointer pointer;
        const pid_t host = run.host->pid();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const int quiet = standIns.starts(host);
        std::this_thread::sleep_for(std::chrono::seconds(14));
        std::printf("%-10s no asks: %d programs started in 14 s\n", name.c_str(), standIns.starts(host) - quiet);
        const auto tapped = Clock::now();
        phone.send({{"t", "lock"}});
        std::printf("%-10s one Lock: %s\n", name.c_str(), answerLine(phone, tapped).c_str());
        std::this_thread::sleep_for(std::chrono::seconds(3));
        for (int taps : {1, 3}) {
            std::printf("%-10s pointer held behind %d Lock tap(s): %ld ms\n", name.c_str(), taps,
                        pointerHeld(phone, pointer, taps, 0.2 + 0.1 * taps));
            std::this_thread::sleep_for(std::chrono::seconds(12));
        }
        const int before = standIns.starts(host);
        const auto burst = Clock::now();
        std::printf("%-10s pointer held behind 50 Lock taps: %ld ms\n", name.c_str(),
                    pointerHeld(phone, pointer, 50, 0.8));
        std::this_thread::sleep_for(std::chrono::seconds(14));
        const auto answers = phone.since(burst, "lock-result").size();
        std::printf("%-10s 50 asks: %d programs started in 14 s, %zu answers, first %s\n", name.c_str(),
                    standIns.starts(host) - before, answers, answerLine(phone, burst).c_str());
        // A page (or a hand) that taps on and on: the pointer must not wait
        // behind the asks, nor the answer behind the taps.
        const auto flood = Clock::now();
        std::printf("%-10s pointer held behind 1024 Lock taps: %ld ms\n", name.c_str(),
                    pointerHeld(phone, pointer, 1024, 0.3));
        std::printf("%-10s 1024 asks: first %s\n", name.c_str(), answerLine(phone, flood).c_str());
        if (std::getenv("LOCK_BENCH_LINES"))
            for (const auto& line : run.host->lines()) std::printf("  %s\n", line.c_str());
    }
    setenv("PATH", oldPath.c_str(), 1);
}

// The real xscreensaver, started 12 s after the host with the phone already
// connected: when the phone hears that the computer can lock, Lock, the
// banner, and the word after the locker goes away.
void lateRoad() {
    Xvfb xvfb("640x480x24");
    DesktopOutOfReach quiet;
    HostRun run;
    const auto started = Clock::now();
    Phone phone(*run.host);
    const auto can = [](bool v) {
        return [v](const nlohmann::json& j) { return isType(j, "lock-state") && j.value("can", !v) == v; };
    };
    const bool saidCannot = phone.await(can(false), started, 8'000).has_value();
    std::this_thread::sleep_for(std::chrono::milliseconds(12'000 - msSince(started)));
    std::optional<XScreenSaver> saver;
    saver.emplace();
    if (!saver->running()) throw std::runtime_error("xscreensaver: " + saver->problem());
    const auto up = Clock::now();
    const auto heard = phone.await(can(true), up, 90'000);
    std::printf("late      before xscreensaver: %s; after it started (%ld ms after the host): can lock told %s\n",
                saidCannot ? "cannot lock" : "nothing said", static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(up - started).count()),
                heard ? (std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(*heard - up).count()) + " ms later").c_str()
                      : "never (90 s)");
    const auto tapped = Clock::now();
    phone.send({{"t", "lock"}});
    const auto locked = [](bool v) {
        return [v](const nlohmann::json& j) { return isType(j, "status") && j.value("locked", !v) == v; };
    };
    const auto banner = phone.await(locked(true), tapped, 10'000);
    std::printf("late      Lock: %s; status locked (banner) %s\n", answerLine(phone, tapped).c_str(),
                banner ? (std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(*banner - tapped).count()) + " ms").c_str()
                       : "never (10 s)");
    // Its password is nobody's here: the locker is ended and started again
    // instead, which unlocks the screen as surely.
    const auto gone = Clock::now();
    saver.reset();
    saver.emplace();
    const auto unlocked = phone.await(locked(false), gone, 10'000);
    std::printf("late      locker restarted (unlocked): status unlocked %s\n",
                unlocked ? (std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(*unlocked - gone).count()) + " ms").c_str()
                         : "never (10 s)");
}

// Whether `service` has an owner on the session bus, within `millis`.
bool onTheBus(const std::string& service, int millis) {
    const auto until = Clock::now() + std::chrono::milliseconds(millis);
    const std::string ask = "dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
                            "org.freedesktop.DBus.NameHasOwner string:" + service + " 2>/dev/null";
    while (Clock::now() < until) {
        std::string out;
        if (FILE* p = ::popen(ask.c_str(), "r")) {
            char buffer[256];
            while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
            ::pclose(p);
        }
        if (out.find("boolean true") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// What ten rounds of one locker came to: how many of ten, and the slowest.
struct Tally {
    int told = 0;
    long slowest = 0;
    void add(std::optional<long> ms) {
        if (!ms) return;
        ++told;
        slowest = std::max(slowest, *ms);
    }
    std::string line() const { return std::to_string(told) + "/10 (slowest " + std::to_string(slowest) + " ms)"; }
};

// A locker of a desktop, on a private session bus, ten rounds: it starts, a
// session hears it can lock and taps Lock (the answer, and the banner from
// the status); the session leaves and a new one comes while the screen is
// locked (told at once?); then the locker is killed while locked (told that
// the screen is unlocked and that the computer cannot lock?). `start` runs
// the locker and gives what ends it.
void desktopRoad(const std::string& name, const std::function<std::shared_ptr<void>()>& start) {
    Xvfb xvfb("640x480x24");
    DesktopOutOfReach quiet;
    std::string address;
    Child bus(std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address"}, &address);
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    HostRun run;
    const auto since = [](Clock::time_point from, std::optional<Clock::time_point> at) -> std::optional<long> {
        if (!at) return std::nullopt;
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(*at - from).count());
    };
    const auto status = [](bool v) {
        return [v](const nlohmann::json& j) { return isType(j, "status") && j.value("locked", !v) == v; };
    };
    const auto can = [](bool v) {
        return [v](const nlohmann::json& j) { return isType(j, "lock-state") && j.value("can", !v) == v; };
    };
    Tally lockedTold, banner, statusLocked, newSession, unlockedTold, cannotTold;
    int contrary = 0;
    for (int round = 0; round < 10; ++round) {
        std::shared_ptr<void> saver = start();
        if (!saver) throw std::runtime_error(name + ": the locker did not start");
        {
            const auto came = Clock::now();
            Phone phone(*run.host);
            if (!phone.await(can(true), came, 15'000)) std::printf("%-10s round %d: can lock never told\n", name.c_str(), round);
            const auto tapped = Clock::now();
            phone.send({{"t", "lock"}});
            const auto answer = phone.await([](const nlohmann::json& j) { return isType(j, "lock-result"); }, tapped, 10'000);
            const auto results = phone.since(tapped, "lock-result");
            const bool locked = !results.empty() && results.front().value("locked", false);
            lockedTold.add(locked ? since(tapped, answer) : std::nullopt);
            // The page shows the banner with the answer that says locked, or
            // with the status that says so, whichever comes first.
            const auto statusSaid = since(tapped, phone.await(status(true), tapped, 10'000));
            statusLocked.add(statusSaid);
            const auto shown = locked && (!statusSaid || *since(tapped, answer) < *statusSaid) ? since(tapped, answer)
                                                                                                 : statusSaid;
            banner.add(shown);
            if (!locked || !shown) {
                std::string heard;
                for (const char* type : {"lock-state", "lock-result", "status"})
                    for (const auto& j : phone.since(came, type)) heard += " " + j.dump();
                std::printf("%-10s round %d: %s%s; heard%s\n", name.c_str(), round, locked ? "" : "not told locked ",
                            shown ? "" : "no banner", heard.c_str());
            }
            // Told "not locked" and then "locked": two words the page would
            // show one on the other.
            for (std::size_t i = 1; i < results.size(); ++i)
                contrary += results[i].value("locked", false) != results[i - 1].value("locked", false);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        {
            const auto came = Clock::now();
            Phone again(*run.host);
            const auto ready = Clock::now();
            const auto told = again.await(status(true), came, 10'000);
            newSession.add(told ? std::optional<long>(std::max(0L, *since(ready, told))) : std::nullopt);
            const auto killed = Clock::now();
            saver.reset();
            unlockedTold.add(since(killed, again.await(status(false), killed, 10'000)));
            cannotTold.add(since(killed, again.await(can(false), killed, 10'000)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    std::printf("%-10s Lock told locked %s; banner %s (the status said locked %s); %d contrary answers\n",
                name.c_str(), lockedTold.line().c_str(), banner.line().c_str(), statusLocked.line().c_str(), contrary);
    std::printf("%-10s a session that starts while locked told so %s after its start\n", name.c_str(),
                newSession.line().c_str());
    std::printf("%-10s locker killed while locked: unlocked told %s, cannot lock told %s\n", name.c_str(),
                unlockedTold.line().c_str(), cannotTold.line().c_str());
    if (std::getenv("LOCK_BENCH_LINES"))
        for (const auto& line : run.host->lines()) std::printf("  %s\n", line.c_str());
}

// A program of the bench's own, killed at the end; nothing when `service`
// did not come onto the bus.
std::shared_ptr<void> busLocker(std::vector<std::string> argv, const std::string& service) {
    auto child = std::make_shared<Child>(std::move(argv));
    if (!onTheBus(service, 15'000)) return nullptr;
    // mate-screensaver takes its name before it has set itself up: a Lock
    // in that moment is lost to it, as no person at a desktop would see.
    std::this_thread::sleep_for(std::chrono::milliseconds(1'500));
    return child;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string only;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--only")
            only = argv[i + 1];
        else if (std::string(argv[i]) == "--host")
            hostPath = argv[i + 1];
    const auto wanted = [&](const char* name) { return only.empty() || only == name; };
    try {
        if (wanted("late")) lateRoad();
        std::map<std::string, std::string> fail, hang;
        for (const auto& p : lockerPrograms) {
            fail[p] = "exit 1";
            hang[p] = p == "loginctl" ? "exit 1" : "exec sleep 100";
        }
        if (wanted("fail")) lockerRoad("fail", fail, false, false);
        if (wanted("hang")) lockerRoad("hang", hang, false, false);
        if (wanted("slow"))
            lockerRoad("slow", {{"xdg-screensaver", "sleep 2.5; exec /usr/bin/xdg-screensaver \"$@\""}}, true, false);
        if (wanted("silent-bus")) lockerRoad("silent-bus", {}, false, true);
        if (wanted("mate")) {
            if (std::system("command -v mate-screensaver >/dev/null") != 0)
                std::printf("mate       mate-screensaver is not installed: skipped\n");
            else
                desktopRoad("mate", [] {
                    return busLocker({"mate-screensaver", "--no-daemon"}, "org.mate.ScreenSaver");
                });
        }
        if (wanted("cinnamon"))
            desktopRoad("cinnamon", [] {
                return busLocker({STAND_IN_SAVER, "org.cinnamon.ScreenSaver", "/org/cinnamon/ScreenSaver"},
                                 "org.cinnamon.ScreenSaver");
            });
        if (wanted("xscreensaver"))
            desktopRoad("xscreen", [] {
                auto saver = std::make_shared<XScreenSaver>();
                if (!saver->running()) throw std::runtime_error("xscreensaver: " + saver->problem());
                return std::shared_ptr<void>(saver);
            });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "morvane_lock_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
