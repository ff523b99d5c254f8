// The host program as a desktop user meets it, under a private X display
// with no tray: one host per user, and the status window as its way out.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <string_view>
#include <thread>
#include <vector>

#include "../support/desktop_panel.h"
#include "../support/xvfb.h"
#include "app/process_entry.h"
#include "devices/device_store.h"
#include "devices/refusing_device_storage.h"

#include <nlohmann/json.hpp>

// Last: Xlib's macros clash with what came before.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace morvane {
namespace {

// What the log says where the build is not hardened (the sanitizer build)
// or runs traced: the device list and relay identity are then never read.
constexpr const char* listNotOpened = ": the paired-devices list is not opened.";

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A temporary home with its own runtime, data and settings folders.
struct Home {
    fs::path root;
    // `length`: the root's length at least, for paths as long as people's.
    explicit Home(std::size_t length = 0) {
        std::string pattern = (fs::temp_directory_path() / "morvane-instance-").string();
        if (pattern.size() + 6 < length) pattern.append(length - pattern.size() - 6, 'h');
        pattern += "XXXXXX";
        root = ::mkdtemp(pattern.data());
        for (const char* sub : {"run", "data", "config", "Downloads"}) fs::create_directories(root / sub);
        fs::permissions(root / "run", fs::perms::owner_all, fs::perm_options::replace);
    }
    ~Home() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    fs::path log() const { return root / "data" / "Morvane" / "host.log"; }
    std::string logText() const {
        std::ifstream in(log());
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
};

// The log's last line without its time: "app  quit" as every run ends.
std::string lastLineOf(const std::string& log) {
    const auto end = log.size() && log.back() == '\n' ? log.size() - 1 : log.size();
    const auto start = log.rfind('\n', end ? end - 1 : 0);
    const std::string line = log.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
    return line.size() > 26 ? line.substr(26) : line;
}

// morvane-host with the home's folders; its standard error is kept.
class HostProcess {
public:
    // `extra`: more of the environment, NAME=value each.
    HostProcess(const Home& home, const std::string& display, const std::string& sessionType = "x11",
                const std::string& waylandDisplay = "", const std::vector<std::string>& extra = {}) {
        std::vector<std::string> settings = {
            "HOME=" + home.root.string(), "XDG_RUNTIME_DIR=" + (home.root / "run").string(),
            "XDG_DATA_HOME=" + (home.root / "data").string(), "XDG_CONFIG_HOME=" + (home.root / "config").string(),
            "XDG_DOWNLOAD_DIR=" + (home.root / "Downloads").string(), "DISPLAY=" + display, "QT_QPA_PLATFORM=xcb",
            "XDG_SESSION_TYPE=" + sessionType, "WAYLAND_DISPLAY=" + waylandDisplay};
        settings.insert(settings.end(), extra.begin(), extra.end());
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string_view entry = *e;
            bool replaced = false;
            for (const auto& s : settings) replaced |= entry.substr(0, entry.find('=') + 1) == s.substr(0, s.find('=') + 1);
            // The session bus of the machine running the tests is not ours.
            replaced |= entry.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0;
            if (!replaced) env.emplace_back(entry);
        }
        env.insert(env.end(), settings.begin(), settings.end());
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string program = "morvane-host";
        char* argv[] = {program.data(), nullptr};
        int err[2], out[2];
        if (::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            const int devNull = ::open("/dev/null", O_RDWR);
            ::dup2(devNull, 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::execve(MORVANE_HOST_PATH, argv, envp.data());
            ::_exit(127);
        }
        ::close(err[1]);
        ::close(out[1]);
        stderr_ = err[0];
        stdout_ = out[0];
    }
    ~HostProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (stderr_ >= 0) ::close(stderr_);
        if (stdout_ >= 0) ::close(stdout_);
    }
    // Asks it to quit, as the session does at logout.
    void stop() {
        if (pid_ > 0 && !status_) ::kill(pid_, SIGTERM);
    }
    bool running() {
        if (status_) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = status;
            return false;
        }
        return true;
    }
    // The exit status, or -1 when it has not ended within the limit.
    int waitExit(int limitMillis = 10'000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(limitMillis);
        while (running() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!status_) return -1;
        return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : 128 + WTERMSIG(*status_);
    }
    // Everything written until the process ended.
    std::string errorText() { return readAll(stderr_); }
    std::string outputText() { return readAll(stdout_); }

private:
    static std::string readAll(int fd) {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

    pid_t pid_ = -1;
    int stderr_ = -1;
    int stdout_ = -1;
    std::optional<int> status_;
};

// The host's viewable windows: its status window (titled "Morvane"), and
// its icon where a panel's tray (trayer) took it in. A window manager's
// frames are looked through.
struct HostWindows {
    Window status = 0;
    Window docked = 0;
};

void findHostWindows(Display* display, Window window, bool inPanel, HostWindows& found) {
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count)) return;
    for (unsigned i = 0; i < count; ++i) {
        const Window child = children[i];
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display, child, &attributes) || attributes.map_state != IsViewable) continue;
        bool panel = inPanel;
        bool host = false;
        XClassHint hint{};
        if (XGetClassHint(display, child, &hint)) {
            panel |= hint.res_class && std::string_view(hint.res_class) == "trayer";
            host = hint.res_name && std::string_view(hint.res_name) == "morvane-host";
            if (hint.res_name) XFree(hint.res_name);
            if (hint.res_class) XFree(hint.res_class);
        }
        char* name = nullptr;
        if (host && panel) found.docked = child;
        if (host && !panel && XFetchName(display, child, &name) && name) {
            if (std::string_view(name) == "Morvane") found.status = child;
            XFree(name);
        }
        findHostWindows(display, child, panel, found);
    }
    if (children) XFree(children);
}

HostWindows hostWindows(Display* display) {
    // A window may go between being listed and being asked about: its
    // error is expected, not the end of the test program.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    HostWindows found;
    findHostWindows(display, DefaultRootWindow(display), false, found);
    return found;
}

// The status window, or 0.
Window statusWindow(Display* display) { return hostWindows(display).status; }

bool waitFor(const std::function<bool()>& done, int limitMillis = 15'000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMillis);
    while (!done() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return done();
}

// What a window manager sends when its close button is pressed.
void askToClose(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

TEST(HostInstance, ASecondStartIsRefusedAndClosingTheStatusWindowQuitsTheFirst) {
    testing::Xvfb xvfb("1024x768x24");
    Display* display = XOpenDisplay(xvfb.display().c_str());
    ASSERT_NE(display, nullptr);
    Home home;
    // An upload a crashed host left behind, and a file of the owner's.
    const fs::path received = home.root / "Downloads" / "Morvane";
    fs::create_directories(received);
    std::ofstream(received / ".morvane-upload-0123abcd.partial") << "half a file";
    std::ofstream(received / "notes.txt") << "kept";

    HostProcess first(home, xvfb.display());
    ASSERT_TRUE(waitFor([&] { return statusWindow(display) != 0 || !first.running(); }))
        << "the first host showed no status window";
    EXPECT_TRUE(waitFor([&] { return !fs::exists(received / ".morvane-upload-0123abcd.partial"); }))
        << "the crashed upload's file outlived the launch";
    EXPECT_TRUE(fs::exists(received / "notes.txt"));
    ASSERT_TRUE(first.running()) << first.errorText();
    const Window window = statusWindow(display);
    ASSERT_NE(window, 0u);
    // The log's lines reach its file on a queue of their own, which on a
    // busy machine may come after the window.
    EXPECT_TRUE(waitFor([&] { return home.logText().find(", pid ") != std::string::npos; }))
        << "the start line names no pid";

    HostProcess second(home, xvfb.display());
    EXPECT_EQ(second.waitExit(), 1);
    EXPECT_EQ(second.errorText(), "Morvane is already running\n");
    EXPECT_TRUE(first.running()) << "the second start ended the first";
    EXPECT_EQ(statusWindow(display), window) << "the first host lost its window";

    askToClose(display, window);
    EXPECT_EQ(first.waitExit(), 0) << "closing the status window left the host running";
    const std::string log = home.logText();
    EXPECT_NE(log.find("  app  quit\n"), std::string::npos) << log;
    // Up, it said where to go; where another program holds the port, it
    // said that instead.
    const std::string said = first.outputText();
    if (said.empty())
        EXPECT_NE(first.errorText().find("Morvane is not serving: "), std::string::npos);
    else
        EXPECT_EQ(said, "Morvane is running: open http://127.0.0.1:8722/ in a browser on this computer; its menu is in "
                        "the Morvane window\n");
    XCloseDisplay(display);

    // With the first gone, the lock is free again.
    HostProcess third(home, xvfb.display());
    Display* again = XOpenDisplay(xvfb.display().c_str());
    EXPECT_TRUE(waitFor([&] { return statusWindow(again) != 0 || !third.running(); }));
    EXPECT_TRUE(third.running()) << third.errorText();
    XCloseDisplay(again);
}

// A host started at login before the desktop's panel: its status window
// until a tray appears, then its icon in the tray and no window. A panel
// that goes away brings the window back (never a host with neither), and
// a panel that comes again takes the icon again.
TEST(HostInstance, AHostStartedBeforeThePanelMovesIntoTheTrayWhenOneAppears) {
    testing::Xvfb xvfb("1024x768x24");
    Display* display = XOpenDisplay(xvfb.display().c_str());
    ASSERT_NE(display, nullptr);
    testing::Openbox openbox(xvfb.display());
    ASSERT_TRUE(openbox.running()) << "openbox is missing: run scripts/setup";
    Home home;
    HostProcess host(home, xvfb.display());
    ASSERT_TRUE(waitFor([&] { return statusWindow(display) != 0 || !host.running(); }))
        << "the host showed no status window";
    ASSERT_TRUE(host.running()) << host.errorText();
    for (const char* when : {"the panel comes after the host", "the panel comes back"}) {
        SCOPED_TRACE(when);
        std::optional<testing::Trayer> trayer(std::in_place, "top", xvfb.display());
        ASSERT_TRUE(trayer->running()) << "trayer is missing: run scripts/setup";
        EXPECT_TRUE(waitFor([&] {
            const auto windows = hostWindows(display);
            return windows.docked != 0 && windows.status == 0;
        })) << "docked: " << hostWindows(display).docked << ", status window: " << hostWindows(display).status;
        EXPECT_TRUE(host.running()) << "the window the tray replaced quit the host";
        trayer.reset();
        EXPECT_TRUE(waitFor([&] { return statusWindow(display) != 0; })) << "the panel went and left no window";
    }
    askToClose(display, statusWindow(display));
    EXPECT_EQ(host.waitExit(), 0) << "closing the window that came back left the host running";
    XCloseDisplay(display);
}

// Files of the data and settings folders that another program of the user
// could have left: each is put aside or ignored with one line in the log,
// and the host comes up all the same.
TEST(HostInstance, EachHostileFileCostsOneLogLineAndNeverTheLaunch) {
    testing::Xvfb xvfb("1024x768x24");
    const auto deep = [](int levels, const std::string& open, const std::string& close) {
        std::string text;
        for (int i = 0; i < levels; ++i) text += open;
        text += "1";
        for (int i = 0; i < levels; ++i) text += close;
        return text;
    };
    const std::string keychain = "data/Morvane/keychain/";
    struct Case {
        const char* name;
        std::string file;  // under the home
        std::string text;
        std::string line;  // what the one line about it holds
        bool keychain = false;     // read only by a hardened build
        bool needsServer = false;  // read only once the server listens
    };
    const std::vector<Case> cases = {
        // Written back indented at each change, 3,000 levels are 18 MB.
        {"settings nested in objects", "config/Morvane/settings.json",
         R"({"paused":true,"x":)" + deep(3000, R"({"a":)", "}") + "}", "could not be used (nested deeper than 16 levels)"},
        {"settings nested in arrays", "config/Morvane/settings.json",
         R"({"paused":true,"x":)" + deep(3000, "[", "]") + "}", "could not be used (nested deeper than 16 levels)"},
        {"a setting of another type", "config/Morvane/settings.json", R"({"paused":"yes"})",
         "the setting paused in "},
        {"a session history nested deep", "config/Morvane/settings.json",
         nlohmann::json{{"sessionHistory", deep(100'000, "[", "]")}}.dump(),
         "the session history in "},
        // Named by its file, with the menu's way out.
        {"a device list nested deep", keychain + "local.morvane.host@paired-devices", deep(100'000, "[", "]"),
         "/Morvane/keychain/local.morvane.host@paired-devices, so no device is accepted and nothing can be paired "
         "until you choose Start Fresh and Pair Again\u2026 in the Morvane menu: " +
             std::string(DeviceStore::invalidListText),
         true},
        {"a display record nested deep", "data/Morvane/display-change.json", deep(30'000, "[", "]"),
         "display-change.json could not be used (nested deeper than 16 levels)"},
        {"a relay identity nested deep", keychain + "local.morvane.host@relay-identity", deep(100'000, "[", "]"),
         "identity could not be read", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Home home;
        const fs::path file = home.root / c.file;
        fs::create_directories(file.parent_path());
        fs::permissions(file.parent_path(), fs::perms::owner_all, fs::perm_options::replace);
        std::ofstream(file) << c.text;
        const auto started = Clock::now();
        HostProcess host(home, xvfb.display());
        const auto up = [&] {
            const std::string log = home.logText();
            return log.find("listening on 127.0.0.1:8722") != std::string::npos ||
                   log.find("server did not start on 127.0.0.1:8722") != std::string::npos;
        };
        ASSERT_TRUE(waitFor([&] { return up() || !host.running(); })) << "the host did not come up";
        const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        std::cout << c.name << ": up in " << millis << " ms" << std::endl;
        EXPECT_TRUE(host.running()) << host.errorText();
        host.stop();
        EXPECT_EQ(host.waitExit(), 0) << host.errorText();

        const std::string log = home.logText();
        const bool served = log.find("listening on 127.0.0.1:8722") != std::string::npos;
        std::size_t told = 0;
        for (std::size_t at = log.find(c.line); at != std::string::npos; at = log.find(c.line, at + 1)) ++told;
        // Another host on this machine may hold the port, and the sanitizer
        // build is not hardened: what is read only once the server listens,
        // or only from the keychain, is then not read at all.
        const bool hardened = log.find(listNotOpened) == std::string::npos;
        if ((c.needsServer && !served) || (c.keychain && !hardened))
            std::cout << c.name << ": not read by this build or with port 8722 taken, not checked" << std::endl;
        else
            EXPECT_EQ(told, 1u) << log;
        const fs::path settings = home.root / "config" / "Morvane" / "settings.json";
        // Never written back grown (indented again, a deep file grows with
        // the square of its depth).
        if (fs::exists(settings)) {
            EXPECT_LE(fs::file_size(settings), 4096u + c.text.size());
        }
    }
}

// A host that starts, serves and is asked to quit, as an owner's whole run:
// it ends with status 0 whatever its files were.
void startServeAndQuit(const Home& home, const testing::Xvfb& xvfb) {
    HostProcess host(home, xvfb.display());
    ASSERT_TRUE(waitFor([&] {
        return home.logText().find("127.0.0.1:8722") != std::string::npos || !host.running();
    })) << "the host did not come up";
    host.stop();
    EXPECT_EQ(host.waitExit(), 0) << host.errorText();
}
// Another local user's way in and the owner's /dev/null: the device list
// linked to a file anyone may write, and settings.json linked to a FIFO (a
// device node where the tests run as root). The list is refused with its
// reason in the log and keeps its mode; the settings are neither moved aside
// nor written through the link, through a whole run and its quit.
TEST(HostInstance, ALinkedListOthersMayWriteIsRefusedAndALinkedSpecialFileIsLeftAsItWas) {
    testing::Xvfb xvfb("1024x768x24");
    Home home;
    const fs::path keychain = home.root / "data" / "Morvane" / "keychain", shared = home.root / "shared";
    const fs::path list = keychain / "local.morvane.host@paired-devices";
    for (const auto& folder : {keychain, shared}) {
        fs::create_directories(folder);
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    }
    std::ofstream(shared / "devices") << "[]";
    const auto anyoneWrites = fs::perms::all & ~fs::perms::owner_exec & ~fs::perms::group_exec & ~fs::perms::others_exec;
    fs::permissions(shared / "devices", anyoneWrites, fs::perm_options::replace);
    fs::create_symlink(shared / "devices", list);
    const fs::path special = shared / "null", settings = home.root / "config" / "Morvane" / "settings.json";
    fs::create_directories(settings.parent_path());
    if (::geteuid() == 0) {
        ASSERT_EQ(::mknod(special.c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
    } else {
        ASSERT_EQ(::mkfifo(special.c_str(), 0600), 0);
    }
    fs::create_symlink(special, settings);
    struct stat before {};
    ASSERT_EQ(::lstat(special.c_str(), &before), 0);

    ASSERT_NO_FATAL_FAILURE(startServeAndQuit(home, xvfb));
    const std::string log = home.logText();
    // The log shortens long paths in their middle: their ends are looked for.
    const std::string kind = ::geteuid() == 0 ? "a character device" : "a FIFO";
    EXPECT_NE(log.find("/shared/null, which is " + kind + ", not a regular file; the link and "), std::string::npos)
        << log;
    struct stat after {};
    ASSERT_EQ(::lstat(special.c_str(), &after), 0);
    EXPECT_EQ(std::tie(after.st_ino, after.st_mode, after.st_rdev),
              std::tie(before.st_ino, before.st_mode, before.st_rdev));
    EXPECT_EQ(fs::read_symlink(settings), special);
    EXPECT_FALSE(fs::exists(shared / "null.damaged"));
    EXPECT_EQ(fs::status(shared / "devices").permissions() & fs::perms::all, anyoneWrites);
    if (log.find(listNotOpened) != std::string::npos) {
        std::cout << "the device list is not read by this build: its line not checked" << std::endl;
        return;
    }
    EXPECT_NE(log.find("ed/devices, which others may change; it is left as it is and not used\n"), std::string::npos)
        << log;
}

// A program's socket, a FIFO or a device node at the place of a file the
// host keeps, or where a link there leads (settings.json linked to the
// desktop user's program's socket, whose clients then met "Connection
// refused"): the host starts and serves, says once what is there, and
// neither renames, replaces nor removes it, through a whole run and its quit.
TEST(HostInstance, WhatIsNoRegularFileAtAStoredFilesPlaceIsLeftAsItIsAndTheHostServes) {
    testing::Xvfb xvfb("1024x768x24");
    struct Case {
        const char* name;
        std::string place;  // under the home
        char kind;          // 's' a listening socket, 'p' a FIFO, 'c' a device node
        bool linked;        // the place a link to it
        std::string words;  // what the line says it is
    };
    const std::string settings = "config/Morvane/settings.json", record = "data/Morvane/display-change.json",
                      flag = "data/Morvane/keychain/local.morvane.host@allow-hide-screen";
    std::vector<Case> cases = {
        {"settings linked to a socket", settings, 's', true, "a socket"},
        {"a socket as the settings", settings, 's', false, "a socket"},
        {"a FIFO as the settings", settings, 'p', false, "a FIFO"},
        {"a socket as the display record", record, 's', false, "a socket"},
        {"a FIFO as the display record", record, 'p', false, "a FIFO"},
        {"a socket as the hide-screen flag", flag, 's', false, "a socket"},
        {"the hide-screen flag linked to a FIFO", flag, 'p', true, "a FIFO"},
    };
    if (::geteuid() == 0) cases.push_back({"a device node as the settings", settings, 'c', false, "a character device"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Home home;
        const fs::path place = home.root / c.place, special = c.linked ? home.root / "s" : place;
        fs::create_directories(place.parent_path());
        fs::permissions(place.parent_path(), fs::perms::owner_all, fs::perm_options::replace);
        int listening = -1;
        if (c.kind == 's') {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            ASSERT_LT(special.string().size(), sizeof address.sun_path);
            std::snprintf(address.sun_path, sizeof address.sun_path, "%s", special.c_str());
            listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            ASSERT_EQ(::listen(listening, 4), 0);
        } else if (c.kind == 'p') {
            ASSERT_EQ(::mkfifo(special.c_str(), 0600), 0);
        } else {
            ASSERT_EQ(::mknod(special.c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
        }
        if (c.linked) fs::create_symlink(special, place);
        struct stat before {};
        ASSERT_EQ(::lstat(special.c_str(), &before), 0);

        HostProcess host(home, xvfb.display());
        ASSERT_TRUE(waitFor([&] {
            const std::string log = home.logText();
            return log.find("listening on 127.0.0.1:8722") != std::string::npos ||
                   log.find("server did not start on 127.0.0.1:8722") != std::string::npos || !host.running();
        })) << "the host did not come up";
        EXPECT_TRUE(host.running()) << host.errorText();
        host.stop();
        EXPECT_EQ(host.waitExit(), 0) << host.errorText();
        if (listening >= 0) ::close(listening);

        struct stat after {};
        ASSERT_EQ(::lstat(special.c_str(), &after), 0);
        EXPECT_EQ(std::tie(after.st_ino, after.st_mode, after.st_rdev),
                  std::tie(before.st_ino, before.st_mode, before.st_rdev));
        if (c.linked) {
            EXPECT_EQ(fs::read_symlink(place), special);
        }
        for (const auto& entry : fs::recursive_directory_iterator(home.root)) {
            EXPECT_EQ(entry.path().string().find(".damaged"), std::string::npos) << entry.path();
        }
        const std::string log = home.logText();
        const std::string said = " " + c.words + ", not a regular file";
        std::size_t told = 0;
        for (auto at = log.find(said); at != std::string::npos; at = log.find(said, at + 1)) ++told;
        EXPECT_GE(told, 1u) << log;
        EXPECT_EQ(lastLineOf(log), "app  quit") << log;
    }
}

// What a kill -9 inside a write leaves is gone after the next start, and
// the line about a damaged device list keeps its reason where paths are as
// long as under an ordinary home.
TEST(HostInstance, AStartTidiesWhatKilledWritesLeftAndALongLineKeepsItsReason) {
    testing::Xvfb xvfb("1024x768x24");
    // "data" stands for ".local/share" under a home of 40 characters.
    Home home(40 + std::string_view("/.local/share").size() - std::string_view("/data").size());
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const fs::path settings = home.root / "config" / "Morvane", autostart = home.root / "config" / "autostart";
    const fs::path keychain = home.root / "data" / "Morvane" / "keychain";
    const std::vector<fs::path> leftovers = {settings / ".settings.json.Ab3xY9",
                                             settings / (".settings.json.tmp-" + std::to_string(dead)),
                                             autostart / ".morvane.desktop.k3Jd9Q"};
    for (const auto& folder : {settings, autostart, keychain}) {
        fs::create_directories(folder);
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    }
    for (const auto& file : leftovers) std::ofstream(file) << std::string(250'000, 'x');
    // A folder at the list's place: its reason names the path again, so
    // the line runs past what the log keeps.
    fs::create_directories(keychain / "local.morvane.host@paired-devices");

    ASSERT_NO_FATAL_FAILURE(startServeAndQuit(home, xvfb));
    for (const auto& file : leftovers) EXPECT_FALSE(fs::exists(file)) << file;
    const std::string log = home.logText();
    if (log.find(listNotOpened) != std::string::npos) {
        std::cout << "the device list is not read by this build: its line not checked" << std::endl;
        return;
    }
    const std::string ending = "@paired-devices is not a regular file\n";
    const auto at = log.find(ending);
    ASSERT_NE(at, std::string::npos) << log;
    const auto start = log.rfind('\n', at) + 1;
    EXPECT_EQ(log.find("paired devices could not be read from " + home.root.string().substr(0, 20), start),
              log.find("  error  ", start) + 9)
        << log;
}

// The X server going away (every logout), SIGTERM, both at once, and a
// library's X connection lost on a thread of its own (where Xlib's default
// handler calls exit()): each ends the host through its one wind-down,
// so that its log ends with the quit, and never by a signal. Qt ends the
// process itself when its X connection breaks; that exit() used to skip the
// wind-down and run the static destructors under the threads still watching
// the display, which crashed about one end in ten on a busy machine.
TEST(HostInstance, TheDisplayGoingSigtermAndALibrarysLostConnectionEachEndTheHostThroughItsWindDown) {
    enum class Way { displayGone, stopped, both, libraryLost };
    for (const Way way : {Way::displayGone, Way::stopped, Way::both, Way::libraryLost, Way::displayGone, Way::both}) {
        SCOPED_TRACE(way == Way::displayGone ? "display gone"
                     : way == Way::stopped   ? "stopped"
                     : way == Way::both      ? "both"
                                             : "a library's connection lost");
        testing::Xvfb xvfb("1024x768x24");
        Home home;
        const fs::path exitNow = home.root / "exit-now";
        std::vector<std::string> extra;
        if (way == Way::libraryLost)
            extra = {std::string("LD_PRELOAD=") + MORVANE_EXIT_ELSEWHERE_PATH,
                     "MORVANE_EXIT_ELSEWHERE_WHEN=" + exitNow.string()};
        HostProcess host(home, xvfb.display(), "x11", "", extra);
        ASSERT_TRUE(waitFor([&] {
            return home.logText().find("127.0.0.1:8722") != std::string::npos || !host.running();
        })) << "the host did not come up";
        ASSERT_TRUE(host.running()) << host.errorText();
        if (way == Way::displayGone || way == Way::both) ::kill(xvfb.pid(), SIGKILL);
        if (way == Way::stopped || way == Way::both) host.stop();
        if (way == Way::libraryLost) std::ofstream(exitNow) << "now";
        EXPECT_EQ(host.waitExit(20'000), 0) << host.errorText();
        const std::string log = home.logText();
        EXPECT_EQ(lastLineOf(log), "app  quit") << log;
        if (way == Way::displayGone) {
            EXPECT_NE(log.find("  app  the X display is gone: quitting\n"), std::string::npos) << log;
        }
    }
}

// The session ending as the host starts: the X server killed just after each
// X connection of the start is opened (the host's probe, Qt's, a library's),
// so that its first request meets the loss; and while the host
// waits for each of Qt's first property reads in turn (atoms, screens,
// outputs, a screen's colour space, whose lost reply Qt's X plugin used to
// read as a crash). Every moment is chosen, none left to chance: each ends
// with status 1 and the words of a display that cannot be opened (never
// Xlib's words alone), or, once the host has started, through its
// wind-down; never by a signal; and a log once begun ends with the quit.
TEST(HostInstance, TheDisplayGoingAsTheHostStartsEndsItInWordsAndNeverByACrash) {
    struct Round {
        int connection = 0;  // the opening the server goes after
        int property = 0;    // or the property read it goes at
    };
    const auto play = [](const Round& round) {
        testing::Xvfb xvfb("1024x768x24");
        Home home;
        const fs::path note = home.root / "x-gone";
        std::vector<std::string> extra = {std::string("LD_PRELOAD=") + MORVANE_EXIT_ELSEWHERE_PATH,
                                          "MORVANE_X_SERVER_PID=" + std::to_string(xvfb.pid()),
                                          "MORVANE_X_GONE_NOTE=" + note.string()};
        if (round.connection) {
            extra.push_back("MORVANE_X_GONE_AT_CONNECTION=" + std::to_string(round.connection));
        } else {
            extra.push_back("MORVANE_X_GONE_AT_PROPERTY=" + std::to_string(round.property));
        }
        HostProcess host(home, xvfb.display(), "x11", "", extra);
        // A moment the start never came to: the host is up, and the
        // display goes then.
        waitFor([&] {
            const std::string log = home.logText();
            return fs::exists(note) || !host.running() || log.find("listening on 127.0.0.1:8722") != std::string::npos ||
                   log.find("server did not start on 127.0.0.1:8722") != std::string::npos;
        });
        const bool came = fs::exists(note);
        ::kill(xvfb.pid(), SIGKILL);
        const int status = host.waitExit(15'000);
        EXPECT_NE(status, -1) << "the host did not end";
        const std::string said = host.errorText();
        EXPECT_TRUE(status == 0 || status == 1) << status << "\n" << said;
        const std::string words = ProcessEntry::unreachableDisplayMessage(xvfb.display()) + "\n";
        if (status == 1 || said.find("X connection to") != std::string::npos) {
            EXPECT_NE(said.find(words), std::string::npos) << "status " << status << ": " << said;
        }
        if (fs::exists(home.log())) {
            EXPECT_EQ(lastLineOf(home.logText()), "app  quit") << home.logText();
        }
        return came;
    };
    // Openings until the host is up before the chosen one comes.
    for (int connection = 1; connection <= 24; ++connection) {
        SCOPED_TRACE("after connection " + std::to_string(connection));
        const bool came = play({connection, 0});
        std::cout << "connection " << connection << (came ? ": the display went at it" : ": none in the start")
                  << std::endl;
        if (!came) break;
        ASSERT_LT(connection, 24) << "more openings than a start makes";
    }
    for (int property = 1; property <= 8; ++property) {
        SCOPED_TRACE("at property read " + std::to_string(property));
        play({0, property});
    }
}

// Locker programs that never answer, on the host's PATH: each notes its
// start in `started`, then sleeps.
struct HungLocker {
    fs::path dir;
    explicit HungLocker(const Home& home) : dir(home.root / "hung-locker") {
        fs::create_directories(dir);
        for (const char* program : {"dbus-send", "gdbus", "loginctl", "xdg-screensaver", "xscreensaver-command"}) {
            std::ofstream(dir / program) << "#!/bin/sh\necho " << program << " >> " << (dir / "started").string()
                                         << "\nexec sleep 30\n";
            fs::permissions(dir / program, fs::perms::owner_all);
        }
    }
    std::string path() const {
        const char* path = std::getenv("PATH");
        return "PATH=" + dir.string() + ":" + (path ? path : "/usr/bin:/bin");
    }
    bool asked() const { return fs::exists(dir / "started"); }
};

// A quit is over within 3 s where every locker program on the PATH would
// hang (the host asks its lockers over the bus and the display, and starts
// none of them), and within the 10 s limit when the main loop itself is held
// up: however it came, no quit outlasts its watchdog.
TEST(HostInstance, ASigtermEndsTheHostWithin3sPastAHungLockerAndTheWatchdogEndsAHeldOne) {
    for (const bool heldMain : {false, false, false, true}) {
        SCOPED_TRACE(heldMain ? "main loop held" : "locker hung");
        testing::Xvfb xvfb("1024x768x24");
        Home home;
        HungLocker locker(home);
        const fs::path holdNow = home.root / "hold-now";
        std::vector<std::string> extra = {locker.path()};
        if (heldMain)
            extra.insert(extra.end(), {std::string("LD_PRELOAD=") + MORVANE_EXIT_ELSEWHERE_PATH,
                                       "MORVANE_HOLD_MAIN_WHEN=" + holdNow.string()});
        HostProcess host(home, xvfb.display(), "x11", "", extra);
        ASSERT_TRUE(waitFor([&] {
            return home.logText().find("127.0.0.1:8722") != std::string::npos || !host.running();
        })) << "the host did not come up";
        ASSERT_TRUE(host.running()) << host.errorText();
        if (heldMain) {
            std::ofstream(holdNow) << "now";
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        const auto asked = Clock::now();
        host.stop();
        const int status = host.waitExit(20'000);
        ASSERT_NE(status, -1) << "the host did not end";
        const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();
        std::cout << (heldMain ? "main loop held" : "locker hung") << ": ended in " << millis << " ms" << std::endl;
        if (heldMain) {
            EXPECT_EQ(status, 1);
            EXPECT_GE(millis, 9'500);
            EXPECT_LT(millis, 12'000);
            EXPECT_NE(host.errorText().find("the quit took longer than its limit"), std::string::npos);
        } else {
            EXPECT_EQ(status, 0) << host.errorText();
            EXPECT_LT(millis, 3'000);
            EXPECT_FALSE(locker.asked()) << "a locker program was started";
            // What was not waited for is said before the quit, the last line.
            const std::string log = home.logText();
            EXPECT_EQ(lastLineOf(log), "app  quit") << log;
        }
    }
}

TEST(HostInstance, WithoutAnX11DisplayTheHostSaysWhyAndDoesNotStart) {
    testing::Xvfb xwayland("1024x768x24");
    struct Case {
        std::string display;
        const char* sessionType;
        const char* waylandDisplay;
        std::string says;
        bool shown;  // a window says it too, and host.log
    };
    const std::string wayland = std::string(ProcessEntry::waylandMessage) + "\n";
    const Case cases[] = {
        {"", "x11", "", "Morvane needs an X display and DISPLAY is not set: start it from your desktop session.\n",
         false},
        // Nothing listens there: the person is told what to look at.
        {":8191", "x11", "", ProcessEntry::unreachableDisplayMessage(":8191") + "\n", false},
        // Xwayland offers a DISPLAY that shows the host no other window, but
        // can show the one that says so.
        {xwayland.display(), "wayland", "wayland-0", wayland, true},
        {xwayland.display(), "", "wayland-0", wayland, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sessionType);
        Home home;
        HostProcess host(home, c.display, c.sessionType, c.waylandDisplay);
        if (c.shown) {
            Display* display = XOpenDisplay(c.display.c_str());
            ASSERT_NE(display, nullptr);
            ASSERT_TRUE(waitFor([&] { return statusWindow(display) != 0 || !host.running(); }))
                << "no window said why";
            EXPECT_TRUE(host.running()) << "it ended before the window was closed";
            askToClose(display, statusWindow(display));
            XCloseDisplay(display);
        }
        EXPECT_EQ(host.waitExit(), 1);
        // Run as root, the warning about root comes first.
        const std::string root = ::geteuid() == 0 ? std::string(ProcessEntry::rootWarning) + "\n" : "";
        EXPECT_EQ(host.errorText(), root + c.says);
        if (c.shown)
            EXPECT_NE(home.logText().find("  error  " + c.says), std::string::npos) << home.logText();
        else
            EXPECT_FALSE(fs::exists(home.log())) << "a host without an X display began a session log";
    }
}

}  // namespace
}  // namespace morvane
