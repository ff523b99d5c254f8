#include "platform/linux/locker_linux.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>

namespace morvane {
namespace {

using Kind = CommandResult::Kind;

// Answers each program by its name and writes down what was run. The bus's
// own list of names is answered as a bus on which `onBus` are: when the
// client's answer says a bus is there (the client ran, whatever it then
// said) unless "<client> names" is given, and written down as "<client>
// names"; its owner of each of them, asked before each call, is not. A call to the system bus is
// answered by "<client> --system": where the client is installed, a login
// manager that is not there unless given.
struct ScriptedRunner {
    std::map<std::string, CommandResult> answers;
    std::vector<std::string> onBus = {"org.freedesktop.ScreenSaver"};
    std::vector<std::string> ran;
    CommandRunner runner() {
        return [this](const std::vector<std::string>& argv, std::int64_t limit) {
            EXPECT_GT(limit, 0);
            const auto has = [&](const std::string& word) {
                return std::find(argv.begin(), argv.end(), word) != argv.end();
            };
            const bool system = has("--system");
            // An answer given for one method ("dbus-send Lock") before the
            // client's own.
            std::string member;
            for (const auto& arg : argv)
                for (const char* m : {".Lock", ".GetActive"})
                    if (arg.ends_with(m)) member = std::string(m).substr(1);
            auto it = member.empty() ? answers.end() : answers.find(argv[0] + " " + member);
            if (it == answers.end()) it = answers.find(argv.at(0) + (system ? " --system" : ""));
            const bool installed = answers.contains(argv[0]);
            CommandResult answer = it != answers.end()    ? it->second
                                   : system && installed ? CommandResult{Kind::exited, 1, ""}
                                                          : CommandResult{Kind::missing, -1, ""};
            if (has("org.freedesktop.DBus.GetNameOwner")) {
                // Not written down: every call to a saver asks it first.
                if (const auto given = answers.find(argv[0] + " owner"); given != answers.end()) return given->second;
                if (answer.kind != Kind::exited) return answer;
                for (const auto& name : onBus)
                    if (has("string:" + name) || (argv[0] == "gdbus" && has(name)))
                        return CommandResult{Kind::exited, 0, argv[0] == "gdbus" ? "(':1.7',)\n" : "   string \":1.7\"\n"};
                return CommandResult{Kind::exited, 1, ""};
            }
            if (has("org.freedesktop.DBus.ListNames")) {
                ran.push_back(argv[0] + " names");
                if (const auto given = answers.find(argv[0] + " names"); given != answers.end()) return given->second;
                if (answer.kind != Kind::exited) return answer;
                std::string list = argv[0] == "gdbus" ? "(['org.freedesktop.DBus'" : "array [ string \"org.freedesktop.DBus\"";
                for (const auto& name : onBus) list += argv[0] == "gdbus" ? ", '" + name + "'" : " string \"" + name + "\"";
                return CommandResult{Kind::exited, 0, list + (argv[0] == "gdbus" ? "],)\n" : " ]\n")};
            }
            ran.push_back(argv[0] + (system ? " --system" : argv.size() > 1 ? " " + argv[1] : ""));
            return answer;
        };
    }
};

TEST(ScreenLocker, TriesEachLockerInTurnAndSaysWhenNoneTookIt) {
    {
        ScriptedRunner script;
        script.answers["dbus-send"] = {Kind::exited, 0, ""};
        std::vector<std::string> log;
        ScreenLocker locker([&](const std::string& l) { log.push_back(l); }, script.runner());
        EXPECT_TRUE(locker.lock());
        EXPECT_EQ(script.ran, (std::vector<std::string>{"dbus-send names", "dbus-send --session"}));
        EXPECT_TRUE(log.empty());
    }
    {
        // No screen saver on the bus (a timeout counts the same), a login
        // manager that refuses, then xdg-screensaver.
        ScriptedRunner script;
        script.answers["dbus-send"] = {Kind::timedOut, -1, ""};
        script.answers["loginctl"] = {Kind::exited, 1, ""};
        script.answers["xdg-screensaver"] = {Kind::exited, 0, ""};
        ScreenLocker locker(nullptr, script.runner());
        EXPECT_TRUE(locker.lock());
        EXPECT_EQ(script.ran, (std::vector<std::string>{"dbus-send names", "loginctl lock-session",
                                                         "xdg-screensaver lock"}));
    }
    {
        // Without dbus-send, gdbus speaks to the bus; nothing works at all.
        ScriptedRunner script;
        script.answers["gdbus"] = {Kind::exited, 1, ""};
        std::vector<std::string> log;
        ScreenLocker locker([&](const std::string& l) { log.push_back(l); }, script.runner());
        EXPECT_FALSE(locker.lock());
        EXPECT_EQ(script.ran, (std::vector<std::string>{"dbus-send names", "gdbus names", "gdbus call", "gdbus call",
                                                         "loginctl lock-session", "xdg-screensaver lock"}));
        EXPECT_EQ(log, (std::vector<std::string>{"the screen could not be locked: no screen locker answered"}));
    }
}

TEST(ScreenLocker, LockedOnlyWhenTheScreenSaverSaysSo) {
    auto locked = [](std::map<std::string, CommandResult> answers) {
        ScriptedRunner script;
        script.answers = std::move(answers);
        return ScreenLocker(nullptr, script.runner()).isLocked();
    };
    EXPECT_TRUE(locked({{"dbus-send", {Kind::exited, 0, "   boolean true\n"}}}));
    EXPECT_FALSE(locked({{"dbus-send", {Kind::exited, 0, "   boolean false\n"}}}));
    EXPECT_FALSE(locked({{"dbus-send", {Kind::exited, 1, "boolean true"}}}));
    EXPECT_FALSE(locked({{"dbus-send", {Kind::timedOut, -1, ""}}, {"gdbus", {Kind::exited, 0, "(true,)\n"}}}));
    EXPECT_TRUE(locked({{"gdbus", {Kind::exited, 0, "(true,)\n"}}}));
    EXPECT_FALSE(locked({{"gdbus", {Kind::exited, 0, "(false,)\n"}}}));
    EXPECT_FALSE(locked({}));
}

TEST(ScreenLocker, WithoutAnAnswerOnTheBusXscreensaverDecides) {
    const CommandResult lockedLine{Kind::exited, 0, "XScreenSaver 6.06: screen locked since Mon Dec  7 08:39:42 2026\n"};
    auto ask = [](std::map<std::string, CommandResult> answers) {
        ScriptedRunner script;
        script.answers = std::move(answers);
        const bool locked = ScreenLocker(nullptr, script.runner()).isLocked();
        return std::make_pair(locked, script.ran);
    };
    // No bus at all (dbus-send fails), a bus whose screen saver does not
    // know GetActive, and a bus that does not answer in time; then a screen
    // saver on the bus that answers is believed, even against xscreensaver.
    const struct {
        std::map<std::string, CommandResult> answers;
        bool locked;
        std::vector<std::string> ran;
    } roads[] = {
        {{{"dbus-send", {Kind::exited, 1, ""}}}, true,
         {"dbus-send names", "dbus-send --session", "dbus-send --system", "xscreensaver-command -time"}},
        {{{"dbus-send", {Kind::timedOut, -1, ""}}}, true,
         {"dbus-send names", "dbus-send --system", "xscreensaver-command -time"}},
        {{{"gdbus", {Kind::exited, 1, ""}}}, true,
         {"dbus-send names", "gdbus names", "gdbus call", "dbus-send --system", "gdbus --system",
          "xscreensaver-command -time"}},
        {{{"dbus-send", {Kind::exited, 0, "   boolean false\n"}}}, false, {"dbus-send names", "dbus-send --session"}},
    };
    for (const auto& road : roads) {
        auto answers = road.answers;
        answers["xscreensaver-command"] = lockedLine;
        const auto [locked, ran] = ask(answers);
        EXPECT_EQ(locked, road.locked) << ran.back();
        EXPECT_EQ(ran, road.ran);
    }

    // Blanked is not locked, and neither is anything not understood.
    auto xscreensaverSays = [&](CommandResult answer) {
        return ask({{"dbus-send", {Kind::exited, 1, ""}}, {"xscreensaver-command", answer}}).first;
    };
    EXPECT_TRUE(xscreensaverSays(lockedLine));
    EXPECT_TRUE(xscreensaverSays({Kind::exited, 0, "XScreenSaver 5.45: screen locked since Tue Jan  5 10:00:00 2021"}));
    EXPECT_FALSE(xscreensaverSays({Kind::exited, 0, "XScreenSaver 6.06: screen blanked since Mon Dec  7 08:39:42 2026\n"}));
    EXPECT_FALSE(
        xscreensaverSays({Kind::exited, 0, "XScreenSaver 6.06: screen non-blanked since Mon Dec  7 08:39:42 2026\n"}));
    EXPECT_FALSE(xscreensaverSays({Kind::exited, 1, lockedLine.output}));
    EXPECT_FALSE(xscreensaverSays({Kind::timedOut, -1, lockedLine.output}));
    EXPECT_FALSE(xscreensaverSays({Kind::exited, 0, ""}));
    EXPECT_FALSE(xscreensaverSays({Kind::exited, 0, "xscreensaver-command: no screensaver is running on display :9\n"}));
    EXPECT_FALSE(xscreensaverSays({Kind::exited, 0, "screen locked since yesterday\n"}));
    EXPECT_FALSE(xscreensaverSays({Kind::exited, 0, "XScreenSaver 6.06: screen non-blanked since Mon\n"
                                                     "XScreenSaver 6.06: screen locked since Mon\n"}));
    EXPECT_FALSE(xscreensaverSays({Kind::exited, 0, "XScreenSaver 6.06 screen locked since Mon\n"}));
}

// MATE, Cinnamon, GNOME and Xfce answer on names of their own: whichever is
// on the bus locks and is asked, the first in the table that answers has the
// last word, and a saver not on the bus costs no program.
TEST(ScreenLocker, EachDesktopsOwnScreenSaverLocksAndIsBelieved) {
    const struct {
        const char* why;
        std::vector<std::string> onBus;
        std::map<std::string, CommandResult> answers;
        bool locks;
        ScreenLocker::Look look;
        std::vector<std::string> lockRan;
        bool goneBeforeAsked = false;
    } table[] = {
        {"MATE alone", {"org.mate.ScreenSaver"}, {{"dbus-send", {Kind::exited, 0, "   boolean true\n"}}}, true,
         {true, true}, {"dbus-send names", "dbus-send --session"}},
        {"Cinnamon through gdbus", {"org.cinnamon.ScreenSaver"}, {{"gdbus", {Kind::exited, 0, "(false,)\n"}}}, true,
         {true, false}, {"dbus-send names", "gdbus names", "gdbus call"}},
        {"GNOME, Xfce", {"org.xfce.ScreenSaver", "org.gnome.ScreenSaver"},
         {{"dbus-send", {Kind::exited, 0, "   boolean true\n"}}}, true, {true, true},
         {"dbus-send names", "dbus-send --session"}},
        {"a saver that refuses, then the next", {"org.freedesktop.ScreenSaver", "org.mate.ScreenSaver"},
         {{"dbus-send", {Kind::exited, 1, ""}}}, false, {false, false},
         {"dbus-send names", "dbus-send --session", "dbus-send --session", "dbus-send --session", "dbus-send --session",
          "loginctl lock-session", "xdg-screensaver lock"}},
        {"MATE's saver locks and never replies", {"org.mate.ScreenSaver"},
         {{"dbus-send Lock", {Kind::exited, 1, ""}}, {"dbus-send", {Kind::exited, 0, "   boolean true\n"}}}, true,
         {true, true}, {"dbus-send names", "dbus-send --session", "dbus-send --session"}},
        {"a saver that neither replies nor locks", {"org.mate.ScreenSaver"},
         {{"dbus-send Lock", {Kind::timedOut, -1, ""}}, {"dbus-send", {Kind::exited, 0, "   boolean false\n"}}},
         false, {true, false},
         {"dbus-send names", "dbus-send --session", "dbus-send --session", "loginctl lock-session",
          "xdg-screensaver lock"}},
        {"listed, but gone before it is asked: not started again",
         {"org.mate.ScreenSaver"},
         {{"dbus-send", {Kind::exited, 0, "   boolean true\n"}}, {"dbus-send owner", {Kind::exited, 1, ""}}},
         false,
         {false, false},
         {"dbus-send names", "loginctl lock-session", "xdg-screensaver lock"},
         true},
        {"nobody on the bus", {}, {{"dbus-send", {Kind::exited, 0, "   boolean true\n"}}}, false, {false, false},
         {"dbus-send names", "loginctl lock-session", "xdg-screensaver lock"}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.why);
        ScriptedRunner script;
        script.onBus = row.onBus;
        script.answers = row.answers;
        std::vector<std::string> asked;
        const CommandRunner run = script.runner();
        ScreenLocker locker(nullptr, [&](const std::vector<std::string>& argv, std::int64_t limit) {
            for (const auto& arg : argv) {
                if (!arg.ends_with(".Lock") && !arg.ends_with(".GetActive")) continue;
                // To the connection that holds the name, never the name.
                EXPECT_TRUE(std::find(argv.begin(), argv.end(), "--dest=:1.7") != argv.end() ||
                            std::find(argv.begin(), argv.end(), ":1.7") != argv.end())
                    << arg;
                if (arg.ends_with(".Lock")) asked.push_back(arg);
            }
            return run(argv, limit);
        });
        EXPECT_EQ(locker.lock(), row.locks);
        EXPECT_EQ(script.ran, row.lockRan);
        // Each saver is asked with its own name and object, in table order.
        std::vector<std::string> expected;
        for (const auto& saver : busScreenSavers)
            if (std::find(row.onBus.begin(), row.onBus.end(), saver.service) != row.onBus.end())
                expected.push_back(std::string(saver.service) + ".Lock");
        if (row.locks) expected.resize(1);
        if (row.goneBeforeAsked) expected.clear();
        EXPECT_EQ(asked, expected);
        const auto look = locker.look();
        EXPECT_EQ(look.answers, row.look.answers);
        EXPECT_EQ(look.locked, row.look.locked);
    }
}

// A locker that only the login manager knows (light-locker, xss-lock) says
// so in the session's LockedHint; a hint that says "unlocked" proves no
// locker, and xscreensaver is asked.
TEST(ScreenLocker, TheLoginManagersHintSpeaksForLockersOffTheBus) {
    const CommandResult running{Kind::exited, 0, "XScreenSaver 6.06: screen non-blanked since Mon\n"};
    const struct {
        const char* why;
        std::map<std::string, CommandResult> answers;
        bool answers_, locked;
    } table[] = {
        {"locked by dbus-send", {{"dbus-send --system", {Kind::exited, 0, "   variant       boolean true\n"}}}, true, true},
        {"locked by gdbus", {{"gdbus --system", {Kind::exited, 0, "(<true>,)\n"}}}, true, true},
        {"unlocked, no xscreensaver", {{"dbus-send --system", {Kind::exited, 0, "   variant       boolean false\n"}}},
         false, false},
        {"unlocked, xscreensaver runs",
         {{"dbus-send --system", {Kind::exited, 0, "   variant       boolean false\n"}},
          {"xscreensaver-command", running}},
         true, false},
        {"no login manager", {{"dbus-send --system", {Kind::timedOut, -1, ""}}}, false, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.why);
        ScriptedRunner script;
        script.answers = row.answers;
        ScreenLocker locker(nullptr, script.runner());
        const auto look = locker.look();
        EXPECT_EQ(look.answers, row.answers_);
        EXPECT_EQ(look.locked, row.locked);
        EXPECT_EQ(locker.lockedOffTheSessionBus(), row.locked);
    }
}

TEST(ScreenLocker, ALockerAnswersOnlyWhenTheBusScreenSaverOrXscreensaverIsThere) {
    const CommandResult running{Kind::exited, 0, "XScreenSaver 6.06: screen non-blanked since Mon Dec  7 08:39:42 2026\n"};
    const struct {
        const char* why;
        std::map<std::string, CommandResult> answers;
        bool expected;
    } table[] = {
        {"the bus screen saver answers", {{"dbus-send", {Kind::exited, 0, "   boolean false\n"}}}, true},
        {"gdbus reaches it", {{"gdbus", {Kind::exited, 0, "(false,)\n"}}}, true},
        {"xscreensaver runs", {{"dbus-send", {Kind::exited, 1, ""}}, {"xscreensaver-command", running}}, true},
        {"the bus is silent", {{"dbus-send", {Kind::timedOut, -1, ""}}}, false},
        {"xscreensaver is installed but not running",
         {{"dbus-send", {Kind::exited, 1, ""}},
          {"xscreensaver-command", {Kind::exited, 0, "xscreensaver-command: no screensaver is running on display :9\n"}}},
         false},
        {"only the login manager", {{"loginctl", {Kind::exited, 0, ""}}}, false},
        {"nothing at all", {}, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.why);
        ScriptedRunner script;
        script.answers = row.answers;
        EXPECT_EQ(ScreenLocker(nullptr, script.runner()).answers(), row.expected);
        for (const auto& ran : script.ran) EXPECT_NE(ran, "loginctl lock-session") << "probing must not lock";
    }
}

// A locker that starts after the host: the checks that come again and again
// left xscreensaver-command to rest; the look made when it mattered finds it
// and they ask it again at once, not minutes later.
TEST(ScreenLocker, ALockerFoundWhenItMatteredIsAskedAgainAtOnceByThePacedChecks) {
    std::int64_t now = 0;
    auto paces = std::make_shared<ProgramPaces>([&now] { return now; });
    ScriptedRunner script;
    script.answers["dbus-send"] = {Kind::exited, 1, ""};
    script.answers["dbus-send names"] = {Kind::exited, 1, ""};  // no session bus
    script.answers["xscreensaver-command"] = {Kind::exited, 1, ""};
    ScreenLocker checking(nullptr, pacedCommands(script.runner(), paces));
    for (int i = 0; i < ProgramPace::failuresBeforeRest; ++i) EXPECT_FALSE(checking.isLocked());
    const auto resting = script.ran.size();
    EXPECT_FALSE(checking.isLocked());
    EXPECT_EQ(script.ran.size(), resting) << "both rest";

    script.answers["xscreensaver-command"] = {Kind::exited, 0,
                                              "XScreenSaver 6.06: screen locked since Mon Dec  7 08:39:42 2026\n"};
    now += 1'000;
    const auto look = ScreenLocker(nullptr, notingAnswers(script.runner(), paces)).look();
    EXPECT_TRUE(look.answers);
    EXPECT_TRUE(look.locked);
    EXPECT_TRUE(checking.isLocked());
}

TEST(RunCommand, EndsInTimeAndKeepsItsOutputBounded) {
    const auto start = std::chrono::steady_clock::now();
    const auto slow = runCommand({"sleep", "30"}, 200);
    EXPECT_EQ(slow.kind, Kind::timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    const auto lingering = runCommand({"sh", "-c", "exec >&-; sleep 30"}, 200);
    EXPECT_EQ(lingering.kind, Kind::timedOut);

    const auto big = runCommand({"sh", "-c", "head -c 300000 /dev/zero | tr '\\0' x"}, 10'000);
    EXPECT_EQ(big.kind, Kind::exited);
    EXPECT_EQ(big.status, 0);
    EXPECT_EQ(big.output.size(), 64u * 1024);

    const auto echoed = runCommand({"echo", "boolean true"}, 10'000);
    EXPECT_EQ(echoed.kind, Kind::exited);
    EXPECT_EQ(echoed.output, "boolean true\n");
    EXPECT_EQ(runCommand({"false"}, 10'000).status, 1);
    EXPECT_EQ(runCommand({"morvane-no-such-program"}, 10'000).kind, Kind::missing);
    EXPECT_EQ(runCommand({}, 10'000).kind, Kind::failed);
}

}  // namespace
}  // namespace morvane
