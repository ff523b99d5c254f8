// Three morvane-relay processes behind nginx through a database's bad day,
// each reaching PostgreSQL by a road of its own that the test can pause,
// make refuse or stall: forwarding needs no database, so a database away
// for everyone drops no live session and the page stays served, while an
// instance cut off alone, even just after an outage everyone shared,
// stands aside once, its computers back through the others within seconds,
// and a road that keeps breaking costs a person one drop at most. An
// instance whose own process is held up a few seconds moves nobody; one
// that hangs is ended by the unit's watchdog, and nginx's lines pass its
// page loads on meanwhile.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <future>
#include <map>
#include <random>

#include "fleet_rig.h"

namespace morvane::relay_service::testing {
namespace {

// Asks for the page at `/` through nginx four times a second and keeps
// what was not a 200, and how long the slowest load took.
class PageWatch {
public:
    explicit PageWatch(std::string origin) : origin_(std::move(origin)), thread_([this] { run(); }) {}
    ~PageWatch() {
        stop_ = true;
        thread_.join();
    }
    int asked() const { return asked_; }
    double longest() const { return longestMillis_ / 1000.0; }
    std::vector<std::string> failures() {
        std::lock_guard guard(lock_);
        return failures_;
    }

private:
    void run() {
        const auto started = Clock::now();
        while (!stop_) {
            int status = 0;
            const auto asking = Clock::now();
            try {
                status = exchange(origin_, "GET", "/").status;
            } catch (const std::exception&) {
                status = 0;
            }
            const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asking).count();
            longestMillis_ = std::max<std::int64_t>(longestMillis_, took);
            ++asked_;
            if (status != 200) {
                std::lock_guard guard(lock_);
                failures_.push_back(std::to_string(status) + " at " + std::to_string(secondsSince(started)).substr(0, 5) + " s");
            }
            const auto next = Clock::now() + 250ms;
            while (!stop_ && Clock::now() < next) std::this_thread::sleep_for(10ms);
        }
    }

    std::string origin_;
    std::atomic<bool> stop_{false};
    std::atomic<int> asked_{0};
    std::atomic<std::int64_t> longestMillis_{0};
    std::mutex lock_;
    std::vector<std::string> failures_;
    std::thread thread_;
};

// Seconds of real time, as the faults last: what is tried is how the fleet
// rides out these lengths.
void hold(std::chrono::seconds length) { std::this_thread::sleep_for(length); }

// The instance whose road the single-instance faults break.
constexpr const char* cutAddress = "127.0.0.2";

// What a scene measured as it played: how long every phone took to be
// through again after each thing it did, and what it would have said.
struct Played {
    std::vector<std::pair<std::string, std::optional<double>>> through;
    int signedOut = -1;  // the account whose phones a sign-out closed
    std::string figures;
};

struct Scene {
    const char* name;
    // Plays the fault; returns once it is over.
    void (*play)(Fleet&, Played&);
    // Whether the instance at cutAddress is to stand aside (once, however
    // often its road breaks); when not, no instance does.
    bool standsAside;
    // How often a phone whose computer the cut instance held may be closed
    // (any other none, a sign-out's close aside); -1 where every instance
    // stops in turn and its phones with it.
    int drops;
    // Seconds within which every phone is through again after what the
    // scene did (its cut instance standing aside, measured from the fault).
    double within;
    // Seconds into the fault from which the cut instance's computers being
    // back is measured: the database's return, where it was away for
    // everyone first.
    double measuredFrom = 0;
    // Whether an instance is out of reach long enough that the others say
    // it has not answered.
    bool oneGoneAWhile = false;
    // Whether the cut instance's computers are truly unreachable for a
    // while (their instance dead, and no other able to take their links
    // until the database is back): their phones may be told so.
    bool cutComputersAway = false;
};

void PrintTo(const Scene& scene, std::ostream* out) { *out << scene.name; }

// A database away for everyone past the 15 s a presence row counts
// unrenewed, so that the rows are stale when it is back.
constexpr auto everyoneAway = std::chrono::seconds(RelayLimits::presenceFreshSeconds + 5);

// Where the instance on the road that is cut stands among the fleet's.
std::size_t cutIndex(Fleet& fleet) {
    const auto& cut = fleet.instanceAt(cutAddress);
    return static_cast<std::size_t>(
        std::find_if(fleet.instances_.begin(), fleet.instances_.end(), [&](const auto& i) { return i.get() == &cut; }) -
        fleet.instances_.begin());
}

// Lists for `length` from a database's return: none calls a linked
// computer offline, nor one whose link is down online past a phone's wait.
// What they said, for the scene's figures.
std::string listsFromTheReturn(Fleet& fleet, std::chrono::seconds length) {
    const auto lists = fleet.wrongLists(length);
    EXPECT_EQ(lists.offline, 0) << "lists from the database's return called a linked computer offline";
    EXPECT_EQ(lists.online, 0) << "lists from the database's return called a computer whose link is down online";
    return "from the return, " + std::to_string(lists.offline) + " linked computers called offline and " +
           std::to_string(lists.online) + " unlinked called online in " + std::to_string(lists.answered) +
           " lists over " + std::to_string(length.count()) + " s, every list right after " +
           std::to_string(lists.rightAfter).substr(0, 4) + " s";
}

// A database away for everyone, one instance SIGKILLed 3-30 s before its
// return (MORVANE_FLEET_KILL_SECONDS fixes the moment) and, where
// `restarted`, started again while it is still away: the dead process's
// rows were renewed until the outage began, like the living ones', so that
// only their instance's silence since tells them apart. From the return no
// list calls a linked computer offline, and none calls one whose link is
// down online past a phone's wait.
void killedBeforeTheReturn(Fleet& fleet, Played& played, bool restarted) {
    const char* given = std::getenv("MORVANE_FLEET_KILL_SECONDS");
    std::mt19937 random(std::random_device{}());
    const double before = given ? std::atof(given) : std::uniform_real_distribution<double>(3, 30)(random);
    SCOPED_TRACE("killed " + std::to_string(before).substr(0, 4) + " s before the return");
    const auto away = std::chrono::duration<double>(std::max<double>(everyoneAway.count(), before + 3));
    const auto index = cutIndex(fleet);
    for (const auto* address : Fleet::addresses) fleet.road(address).swallow(true);
    const auto began = Clock::now();
    std::this_thread::sleep_until(began + away - std::chrono::duration<double>(before));
    fleet.instances_[index]->stop(SIGKILL);
    std::future<void> restarting;
    if (restarted) restarting = std::async(std::launch::async, [&] { fleet.restart(index, cutAddress); });
    std::this_thread::sleep_until(began + away);
    for (const auto* address : Fleet::addresses) fleet.road(address).swallow(false);
    const auto lists = listsFromTheReturn(fleet, 10s);
    if (restarting.valid()) restarting.get();
    played.figures = "killed " + std::to_string(before).substr(0, 4) + " s before the return" +
                     (restarted ? " and restarted" : "") + "; " + lists;
}

// One account with a computer whose link the cut instance holds, and so a
// phone connected there.
int accountOnCut(Fleet& fleet) {
    const auto& cut = fleet.instanceAt(cutAddress);
    int account = -1;
    EXPECT_TRUE(morvane::testing::eventually([&] {
        for (int a = 0; a < Fleet::accounts && account < 0; ++a)
            for (int c = 0; c < 2; ++c)
                if (fleet.holderOf(fleet.rooms[2 * a + c]) == cut.instance()) account = a;
        return account >= 0;
    }));
    return account;
}

// Two seconds after a database away for everyone, lists through the proxy:
// none that answers says a linked computer is offline, though rows went
// stale meanwhile.
void listsRightAfter(Fleet& fleet, Played& played) {
    hold(2s);
    int wrong = 0, unanswered = 0;
    for (int i = 0; i < 20; ++i) {
        const auto online = fleet.listed(i % Fleet::accounts);
        unanswered += !online;
        wrong += online && *online != 2;
    }
    EXPECT_EQ(wrong, 0) << "lists 2 s after the database came back called a linked computer offline";
    played.figures = "2 s after it: " + std::to_string(wrong) + " of 20 lists called a linked computer offline, " +
                     std::to_string(unanswered) + " not answered yet";
}

const Scene scenes[] = {
    {"DatabasePaused20sForEveryone",
     [](Fleet& fleet, Played& played) {
         for (const auto* address : Fleet::addresses) fleet.road(address).swallow(true);
         hold(everyoneAway);
         for (const auto* address : Fleet::addresses) fleet.road(address).swallow(false);
         listsRightAfter(fleet, played);
     },
     false, 0, withinSeconds},
    {"DatabaseRefusing20sForEveryone",
     [](Fleet& fleet, Played& played) {
         for (const auto* address : Fleet::addresses) fleet.road(address).refuse(true);
         hold(everyoneAway);
         for (const auto* address : Fleet::addresses) fleet.road(address).refuse(false);
         listsRightAfter(fleet, played);
     },
     false, 0, withinSeconds},
    // A database back for everyone but one instance, whose road stays
    // silent 4 s more (a fail-over whose new address it learns last): that
    // instance renews its rows only then, and lists through the others
    // never call its linked computers offline meanwhile.
    {"DatabaseBackForOneInstanceSecondsLater",
     [](Fleet& fleet, Played& played) {
         for (const auto* address : Fleet::addresses) fleet.road(address).swallow(true);
         hold(everyoneAway);
         for (const auto* address : Fleet::addresses)
             if (std::string(address) != cutAddress) fleet.road(address).swallow(false);
         auto late = std::async(std::launch::async, [&] {
             hold(4s);
             fleet.road(cutAddress).swallow(false);
         });
         played.figures = listsFromTheReturn(fleet, 12s);
         late.get();
     },
     false, 0, withinSeconds},
    // A fail-over: the database paused for everyone, and one instance's
    // road refused from 5 s in and still refused once the others have the
    // database back (a cached address of the old primary, a missing
    // pg_hba line). Its own time away counts from before the outage, longer
    // than the others' answers since: it stands aside once theirs have
    // answered long enough that its own should have too.
    {"FailOverOneRoadStillRefused",
     [](Fleet& fleet, Played&) {
         for (const auto* address : Fleet::addresses) fleet.road(address).swallow(true);
         hold(5s);
         fleet.road(cutAddress).refuse(true);
         hold(everyoneAway - 5s);
         for (const auto* address : Fleet::addresses) fleet.road(address).swallow(false);
         hold(20s);
         fleet.road(cutAddress).refuse(false);
     },
     true, 1, 15, std::chrono::duration<double>(everyoneAway).count()},
    // Cut 2 s after an outage everyone shared: whether its store had found
    // the database back by then or not, it stands aside.
    {"CutTwoSecondsAfterASharedOutage",
     [](Fleet& fleet, Played&) {
         for (const auto* address : Fleet::addresses) fleet.road(address).swallow(true);
         hold(everyoneAway);
         for (const auto* address : Fleet::addresses) fleet.road(address).swallow(false);
         hold(2s);
         fleet.road(cutAddress).refuse(true);
         hold(20s);
         fleet.road(cutAddress).refuse(false);
     },
     true, 1, 15, std::chrono::duration<double>(everyoneAway).count()},
    // Its own process held up, every road working (a VM paused or
    // migrated, swapping, a starved cgroup): 3 s and 4 s, four times each,
    // move nobody. Then it hangs for good: the unit's watchdog ends it (the
    // test plays systemd, as the unit says) and its people come back
    // through the others, while nginx passes page loads on past it.
    {"OneInstanceHeldUpThenHung",
     [](Fleet& fleet, Played& played) {
         auto& held = fleet.instanceAt(cutAddress);
         const auto before = fleet.closesNow();
         for (int i = 0; i < 8; ++i) {
             held.signal(SIGSTOP);
             hold(i % 2 ? 4s : 3s);
             held.signal(SIGCONT);
             hold(3s);
         }
         EXPECT_EQ(Fleet::lines(held, "lets its links go"), 0) << "stood aside for its own pause\n" << Fleet::logOf(held);
         EXPECT_EQ(Fleet::lines(held, "bus: lost"), 0) << "took its own pause for a bus that stopped hearing";
         int dropped = 0;
         for (std::size_t i = 0; i < fleet.phones.size(); ++i)
             dropped += static_cast<int>(fleet.phones[i]->closes().size() - before[i]);
         EXPECT_EQ(dropped, 0) << "dropped by pauses of a few seconds\n" << fleet.stragglers({});

         held.signal(SIGSTOP);
         const auto hung = Clock::now();
         EXPECT_TRUE(morvane::testing::eventually([&] { return !fleet.watchdog(cutAddress).fine(); }, 30'000));
         const auto killedAfter = secondsSince(hung);
         held.stop(SIGKILL);
         std::this_thread::sleep_for(Watchdog::unitSetting("RestartSec"));
         fleet.restart(0, cutAddress);
         played.through.emplace_back("people of the hung instance back", fleet.everyPhoneThrough(hung, 30s));
         played.figures = "8 pauses of 3-4 s: " + std::to_string(dropped) + " drops; hung, killed by the watchdog after " +
                          std::to_string(killedAfter).substr(0, 4) + " s";
     },
     false, 1, 15},
    // A database paused for everyone just as one instance is held up (a VM
    // paused or migrated, a starved cgroup) for 2 to 4 s, and just as
    // another's own hold-up of 2 s ends: the one held up answers, as it
    // wakes, from the check it made before the pause, and its own check
    // from before its hold-up is as old as its hold-up; neither is the
    // others' or its own road away alone, and nobody moves.
    // MORVANE_FLEET_PAUSE_SECONDS (10) and MORVANE_FLEET_CYCLES (1) make it
    // longer.
    {"SharedPausesBegunAsAnInstanceIsHeldUp",
     [](Fleet& fleet, Played& played) {
         const auto setting = [](const char* name, double otherwise) {
             const char* value = std::getenv(name);
             return value ? std::atof(value) : otherwise;
         };
         const auto pause = std::chrono::duration<double>(setting("MORVANE_FLEET_PAUSE_SECONDS", 10));
         const int cycles = static_cast<int>(setting("MORVANE_FLEET_CYCLES", 1));
         auto& held = fleet.instanceAt(cutAddress);
         auto& own = *fleet.instances_[1];
         // Through the roads, or MORVANE_FLEET_PAUSE_DIRECT: the database's
         // own processes stopped.
         const bool direct = std::getenv("MORVANE_FLEET_PAUSE_DIRECT") != nullptr;
         const auto all = [&](bool paused) {
             if (direct) return fleet.pauseDatabase(paused);
             for (const auto* address : Fleet::addresses) fleet.road(address).swallow(paused);
         };
         const auto before = fleet.closesNow();
         for (int cycle = 0; cycle < cycles; ++cycle) {
             for (const double stop : {2.0, 3.0, 3.5, 4.0}) {
                 all(true);
                 held.signal(SIGSTOP);
                 std::this_thread::sleep_for(std::chrono::duration<double>(stop));
                 held.signal(SIGCONT);
                 std::this_thread::sleep_for(pause - std::chrono::duration<double>(stop));
                 all(false);
                 hold(4s);
             }
             own.signal(SIGSTOP);
             hold(2s);
             all(true);
             own.signal(SIGCONT);
             std::this_thread::sleep_for(pause);
             all(false);
             hold(4s);
         }
         int dropped = 0;
         for (std::size_t i = 0; i < fleet.phones.size(); ++i)
             dropped += static_cast<int>(fleet.phones[i]->closes().size() - before[i]);
         played.figures = std::to_string(cycles * 5) + " shared pauses of " + std::to_string(pause.count()).substr(0, 4) +
                          " s begun with a hold-up: " + std::to_string(dropped) + " drops";
     },
     false, 0, withinSeconds},
    // A database away for a minute, one instance restarted meanwhile (its
    // new process waits for the database, and has no outage of its own to
    // count the others' rows by): from the database's return no list, through
    // any instance, calls a computer whose link is up offline.
    {"DatabaseAway60sOneInstanceRestartedMeanwhile",
     [](Fleet& fleet, Played& played) {
         for (const auto* address : Fleet::addresses) fleet.road(address).swallow(true);
         hold(20s);
         auto restarting = std::async(std::launch::async, [&] {
             const auto index = cutIndex(fleet);
             fleet.instances_[index]->stop(SIGTERM);
             // Its new process tries the database every 2 s: refused
             // rather than unanswered, so that it starts as soon as the
             // database is back, before the others have renewed their rows.
             fleet.road(cutAddress).swallow(false);
             fleet.road(cutAddress).refuse(true);
             fleet.restart(index, cutAddress);
         });
         hold(40s);
         for (const auto* address : Fleet::addresses) fleet.road(address).swallow(false);
         fleet.road(cutAddress).refuse(false);
         played.figures = listsFromTheReturn(fleet, 10s);
         restarting.get();
     },
     false, -1, withinSeconds, 0, true},
    // An instance killed while the database is away for everyone, left
    // dead or started again before the return.
    {"InstanceKilledBeforeTheDatabasesReturn",
     [](Fleet& fleet, Played& played) { killedBeforeTheReturn(fleet, played, false); }, false, -1, withinSeconds, 0, true,
     true},
    {"InstanceKilledAndRestartedBeforeTheDatabasesReturn",
     [](Fleet& fleet, Played& played) { killedBeforeTheReturn(fleet, played, true); }, false, -1, withinSeconds, 0, true,
     true},
    // Random restarts, hold-ups of 1-4 s and database pauses of 5-25 s for
    // everyone, one after another, for MORVANE_FLEET_SOAK_MINUTES (a few
    // of each otherwise): nobody stands aside, no phone is told its
    // computer is not connected or left stuck, no page load fails, no list
    // from a pause's end is wrong; the drops are those of the restarted
    // instances' phones.
    {"RandomRestartsHoldUpsAndPauses",
     [](Fleet& fleet, Played& played) {
         const char* soak = std::getenv("MORVANE_FLEET_SOAK_MINUTES");
         const auto length = std::chrono::duration<double, std::ratio<60>>(soak ? std::atof(soak) : 1.5);
         // A failure names its seed; MORVANE_FLEET_SOAK_SEED plays the same turns again.
         const char* given = std::getenv("MORVANE_FLEET_SOAK_SEED");
         const auto seed = given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : static_cast<unsigned>(std::time(nullptr));
         SCOPED_TRACE("seed " + std::to_string(seed));
         std::mt19937 random(seed);
         const auto between = [&](double low, double high) {
             return std::chrono::duration<double>(std::uniform_real_distribution<double>(low, high)(random));
         };
         const auto began = Clock::now();
         int restarts = 0, holdUps = 0, pauses = 0, offline = 0, online = 0;
         for (int turn = 0; Clock::now() - began < length; ++turn) {
             const auto index = std::uniform_int_distribution<std::size_t>(0, fleet.instances_.size() - 1)(random);
             switch (turn % 3) {
             case 0: {
                 const std::string address = fleet.instances_[index]->origin().substr(7, 9);
                 ASSERT_EQ(fleet.instances_[index]->stop(SIGTERM), 0);
                 fleet.restart(index, address);
                 ++restarts;
                 break;
             }
             case 1:
                 fleet.instances_[index]->signal(SIGSTOP);
                 std::this_thread::sleep_for(between(1, 4));
                 fleet.instances_[index]->signal(SIGCONT);
                 ++holdUps;
                 break;
             case 2:
                 for (const auto* address : Fleet::addresses) fleet.road(address).swallow(true);
                 std::this_thread::sleep_for(between(5, 25));
                 for (const auto* address : Fleet::addresses) fleet.road(address).swallow(false);
                 ++pauses;
                 {
                     const auto lists = fleet.wrongLists(5s);
                     offline += lists.offline;
                     online += lists.online;
                 }
                 break;
             }
             std::this_thread::sleep_for(between(3, 8));
         }
         played.through.emplace_back("after the soak", fleet.everyPhoneThrough(Clock::now(), 30s));
         EXPECT_EQ(offline, 0) << "lists from a database's return called a linked computer offline";
         EXPECT_EQ(online, 0) << "lists from a database's return called a computer whose link is down online";
         played.figures = std::to_string(restarts) + " restarts, " + std::to_string(holdUps) + " hold-ups, " +
                          std::to_string(pauses) + " database pauses (seed " + std::to_string(seed) + ") in " +
                          std::to_string(secondsSince(began)).substr(0, 5) + " s; from the returns, " +
                          std::to_string(offline) + " linked computers called offline and " + std::to_string(online) +
                          " unlinked called online";
     },
     false, -1, withinSeconds, 0, true},
    // Refused past its standing aside (3 s and a question) and the 15 s of
    // answers it waits for before it takes connections again, with room
    // for a busy machine: had it counted them from anything but answers it
    // would have come back while still refused.
    {"OneRoadRefusing30s",
     [](Fleet& fleet, Played&) {
         fleet.road(cutAddress).refuse(true);
         hold(30s);
         fleet.road(cutAddress).refuse(false);
     },
     true, 1, 15},
    // The fleet's secret changed in the database while one instance was
    // held up, and that instance cut from the database as it wakes: it
    // cannot read the new secret, and the others, who have, still answer it
    // with the one before, saying so, so that it stands aside.
    {"OneRoadRefused30sAfterTheSecretChangedUnderIt",
     [](Fleet& fleet, Played& played) {
         auto& cut = fleet.instanceAt(cutAddress);
         cut.signal(SIGSTOP);
         fleet.database_.cluster().query(fleet.database_.database(), "UPDATE fleet_secret SET secret = md5('another')");
         for (auto& instance : fleet.instances_) {
             if (instance.get() == &cut) continue;
             EXPECT_FALSE(instance->waitFor("the fleet's secret in the database (table fleet_secret) is not the one "
                                            "this instance read before", 10s)
                              .empty());
         }
         fleet.road(cutAddress).refuse(true);
         cut.signal(SIGCONT);
         const auto woke = Clock::now();
         for (auto& instance : fleet.instances_) {
             if (instance.get() == &cut) continue;
             EXPECT_FALSE(instance->waitFor("instance " + cut.instance() + " asks this instance with the fleet secret read "
                                            "before the one in the database now", 15s)
                              .empty())
                 << Fleet::logOf(*instance);
         }
         played.figures = "its question with the old secret said " + std::to_string(secondsSince(woke)).substr(0, 4) +
                          " s after it woke cut";
         hold(30s - std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - woke));
         fleet.road(cutAddress).refuse(false);
     },
     true, 1, 15},
    // Three cycles: each 10 s the road holds is a chance to come back
    // before the 15 s of answers and stand aside again at the next stall,
    // and two such chances are followed by a stall; more cycles only
    // repeat them.
    {"OneRoadStalling10sEvery20sFor60s",
     [](Fleet& fleet, Played&) {
         for (int cycle = 0; cycle < 3; ++cycle) {
             fleet.road(cutAddress).swallow(true);
             hold(10s);
             fleet.road(cutAddress).swallow(false);
             hold(10s);
         }
     },
     true, 1, 15},
    // Its bus (the connection it listens on) gone while its statements
    // work, for as long as a sign-out and a hand-over take: it knows within
    // seconds and asks the store for what the bus would have said. A
    // sign-out said through another instance closes that sign-in's phones
    // on it, and links are handed over to it and from it as phones come
    // for them, each within a link's wait.
    {"OneBusGoneThroughASignOutAndHandOvers",
     [](Fleet& fleet, Played& played) {
         auto& cut = fleet.instanceAt(cutAddress);
         const int account = accountOnCut(fleet);
         ASSERT_GE(account, 0);
         fleet.road(cutAddress).swallowApplication("morvane-relay bus");
         const auto gone = Clock::now();
         ASSERT_FALSE(cut.waitFor("bus: lost", 20s).empty()) << Fleet::logOf(cut);
         played.figures = "bus lost after " + std::to_string(secondsSince(gone)).substr(0, 4) + " s";
         const auto signedOut = fleet.signOut(account, *fleet.instances_[1]);
         played.signedOut = account;
         played.through.emplace_back("a sign-out missed on the bus closed both phones", signedOut);
         EXPECT_FALSE(cut.waitFor("missed on the bus: 1 sign-ins connected here signed out").empty());
         // Every room sent to it alone: the links the others hold are
         // handed over to it as their phones come...
         fleet.nginx_.reload({cut.origin().substr(7)});
         const auto toIt = fleet.reopenAll();
         played.through.emplace_back("links handed over to it", fleet.everyPhoneThrough(toIt));
         // ...and then to the others alone: it hears from the store, not
         // its bus, that they ask it to let go of every link it holds.
         fleet.nginx_.reload({fleet.instances_[1]->origin().substr(7), fleet.instances_[2]->origin().substr(7)});
         const auto fromIt = fleet.reopenAll();
         played.through.emplace_back("links handed over from it", fleet.everyPhoneThrough(fromIt));
         EXPECT_FALSE(cut.waitFor("missed on the bus: asked to let go of the link for room").empty()) << Fleet::logOf(cut);
         fleet.road(cutAddress).swallowApplication("");
         EXPECT_FALSE(cut.waitFor("bus: listening again", 20s).empty()) << Fleet::logOf(cut);
     },
     false, 0, RelayLimits::linkWaitSeconds},
    // `systemctl restart` of one instance after another, each twice, once
    // with the pages opened again after it so that phones dial while links
    // move back to it (or for MORVANE_FLEET_SOAK_MINUTES, to soak): as an
    // instance stops, its rows are left to count a few seconds more, as its
    // computers are moving, not gone, so that a phone dialling one
    // meanwhile waits for it rather than hearing it is not connected.
    {"SigtermRestartsOneAfterAnother",
     [](Fleet& fleet, Played& played) {
         const char* soak = std::getenv("MORVANE_FLEET_SOAK_MINUTES");
         const auto length = std::chrono::duration<double, std::ratio<60>>(soak ? std::atof(soak) : 0);
         const auto began = Clock::now();
         int restarts = 0;
         for (std::size_t next = 0; soak ? Clock::now() - began < length : restarts < 2 * static_cast<int>(fleet.instances_.size());
              next = (next + 1) % fleet.instances_.size(), ++restarts) {
             const auto restarted = Clock::now();
             const auto stopping = fleet.instances_[next]->instance();
             if (restarts == 0) {
                 EXPECT_GT(fleet.presenceRows(stopping), 0);
             }
             ASSERT_EQ(fleet.instances_[next]->stop(SIGTERM), 0);
             if (restarts == 0) {
                 EXPECT_GT(fleet.presenceRows(stopping), 0);
                 EXPECT_EQ(fleet.presenceRows(stopping, RelayLimits::movingSeconds + 1), 0);
             }
             fleet.restart(next, Fleet::addresses[next]);
             const auto since = restarts % 2 ? fleet.reopenAll() : restarted;
             played.through.emplace_back("restart " + std::to_string(restarts), fleet.everyPhoneThrough(since));
         }
         played.figures = std::to_string(restarts) + " restarts in " + std::to_string(secondsSince(began)).substr(0, 4) + " s";
     },
     false, -1, withinSeconds},
};

class FleetThroughTheDatabasesBadDay : public ::testing::TestWithParam<Scene> {};

TEST_P(FleetThroughTheDatabasesBadDay, LiveSessionsStayAndTheCutAloneStandsAsideOnce) {
    const auto& scene = GetParam();
    Fleet fleet(3);
    fleet.populate();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(fleet.throughAgain("all linked", Clock::now() - 1s));

    // Every instance knows the others, as in a fleet that has run a while.
    for (auto& instance : fleet.instances_)
        ASSERT_FALSE(instance->waitFor("2 other instances can be asked", 20s).empty()) << Fleet::logOf(*instance);

    // Who held which link as the fault began: the phones of the others'
    // computers are never dropped.
    auto& cut = fleet.instanceAt(cutAddress);
    std::vector<bool> onCut;
    for (const auto& room : fleet.rooms) onCut.push_back(fleet.holderOf(room) == cut.instance());
    const auto closed = fleet.closesNow();
    std::map<std::string, int> asideBefore;
    for (auto& instance : fleet.instances_) asideBefore[instance->instance()] = Fleet::lines(*instance, "lets its links go");

    PageWatch page(fleet.nginx_.origin());
    const auto began = Clock::now();
    Played played;
    std::optional<double> back;
    std::thread playing([&] { scene.play(fleet, played); });
    if (scene.standsAside) {
        // Its computers come back through the others once it let them go,
        // and the lists through the proxy stay true meanwhile.
        const bool aside =
            !cut.waitFor("this instance lets its links go", std::chrono::seconds(40 + static_cast<int>(scene.measuredFrom)))
                 .empty();
        EXPECT_TRUE(aside) << Fleet::logOf(cut);
        if (aside) {
            const auto asideAt = Clock::now();
            const auto took = fleet.everyPhoneThrough(asideAt);
            if (took) back = secondsSince(began, asideAt) + *took - scene.measuredFrom;
            EXPECT_EQ(fleet.fullLists(20), 20) << "lists while it stood aside";
        }
    }
    playing.join();
    const auto over = Clock::now();
    const double lasted = secondsSince(began, over);
    if (scene.standsAside)
        played.through.emplace_back(scene.measuredFrom > 0 ? "computers of the cut back from the database's return"
                                                           : "computers of the cut back from the fault",
                                    back);

    // Every store answers again; one that stood aside takes connections
    // once its own has answered steadily for 15 s, and is not left aside
    // long after: a check finds the store back, rather than its calls
    // waiting out a back-off that grew while it was away.
    if (scene.standsAside) {
        EXPECT_FALSE(cut.waitFor("taking connections again", 60s).empty()) << Fleet::logOf(cut);
        EXPECT_LT(secondsSince(over), 15.0 + 2.0 * RelayLimits::linkWaitSeconds * morvane::testing::sanitizerSlowdown)
            << "stood aside long after the database came back";
    }
    const auto settled = Clock::now();
    EXPECT_TRUE(morvane::testing::eventually([&] { return fleet.fullLists(20) == 20; }, 20'000)) << "lists stay short";
    const auto listsBack = secondsSince(settled);

    // The phones: none told its computer is not connected, none of a
    // computer elsewhere dropped, a sign-out's closing both of its own.
    const auto notConnected = fleet.closedSince(closed, 4503);
    for (std::size_t i = 0; i < notConnected.size(); ++i)
        EXPECT_TRUE(notConnected[i] == 0 || (scene.cutComputersAway && onCut[i]))
            << "phone " << i << " told its computer is not connected\n" << fleet.stragglers({});
    int dropped = 0, mostDrops = 0;
    for (std::size_t i = 0; i < fleet.phones.size(); ++i) {
        auto codes = fleet.phones[i]->closes();
        codes.erase(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(closed[i]));
        if (static_cast<int>(i) / 2 == played.signedOut && !codes.empty() && codes.back() == 4401) codes.pop_back();
        const auto drops = static_cast<int>(codes.size());
        dropped += drops;
        mostDrops = std::max(mostDrops, drops);
        if (scene.drops >= 0) {
            EXPECT_LE(drops, onCut[i] ? scene.drops : 0)
                << "phone " << i << (onCut[i] ? " (its computer on the cut instance)" : "") << "\n" << fleet.stragglers({});
        }
    }
    std::string through;
    for (const auto& [what, took] : played.through) {
        through += "; " + what + ": " + (took ? std::to_string(*took).substr(0, 4) + " s" : "never");
        EXPECT_TRUE(took) << what << "\n" << fleet.stragglers({});
        EXPECT_LT(took.value_or(0), scene.within * morvane::testing::sanitizerSlowdown) << what;
    }
    const auto failures = page.failures();
    std::printf("[ fleet    ] %s: %d of %d live sessions dropped (at most %d a person) over %.0f s; `/` %d of %d "
                "times 200, the slowest in %.1f s; lists whole %.1f s after%s%s%s\n",
                scene.name, dropped, static_cast<int>(fleet.phones.size()), mostDrops, lasted,
                page.asked() - static_cast<int>(failures.size()), page.asked(), page.longest(), listsBack,
                through.c_str(), played.figures.empty() ? "" : "; ", played.figures.c_str());
    EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);
    EXPECT_LT(page.longest(), 5.0) << "a page load waited on an instance that did not answer";
    EXPECT_GT(page.asked(), 10);
    for (auto& instance : fleet.instances_) {
        if (!scene.oneGoneAWhile) {
            EXPECT_EQ(Fleet::lines(*instance, "has not answered"), 0) << "the others' questions do not reach it\n"
                                                                       << Fleet::logOf(*instance);
        }
        const int stoodAside = Fleet::lines(*instance, "lets its links go") - asideBefore[instance->instance()];
        EXPECT_EQ(stoodAside, scene.standsAside && instance.get() == &cut ? 1 : 0)
            << instance->origin() << "\n" << Fleet::logOf(*instance);
    }
    ASSERT_TRUE(fleet.throughAgain("after the fault, pages opened again", fleet.reopenAll()));
}

INSTANTIATE_TEST_SUITE_P(Scenes, FleetThroughTheDatabasesBadDay, ::testing::ValuesIn(scenes),
                         [](const ::testing::TestParamInfo<Scene>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace morvane::relay_service::testing
