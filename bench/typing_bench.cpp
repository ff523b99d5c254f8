// Typing as a person meets it: the time from a text sent by the device to its
// last character read by an X application, through the test host on a private
// Xvfb, beside x11vnc on the same display typing the same text as a VNC viewer
// sends it (a key event naming each character's keysym, which x11vnc puts on
// a spare key when the layout lacks it). Texts with characters the keyboard
// layout lacks (which the host binds to spare keys) are measured against the
// same length of plain characters typed the same way. Each text is sent
// `runs` times in one session, a person's pause apart, in a session of its
// own: the first time stands apart from the rest. Every character the
// application read is checked against what was sent, and one lost or changed
// is counted.
//
//   morvane_typing_bench [--runs N] [--pause MS] [--lag MS] [--host PATH] [--no-peer]
//                        [--sessions N] [--letters] [--capitals] [--unlock N [--in-a-row] [--key-first]]
//
// --capitals weighs capitals alone (see capitalsSideBySide): a lone capital
// and Live's letters after capitals against small letters, and each against
// x11vnc, in sessions open at once and in turning order.
// --sessions N types the sentence with capitals in N fresh sessions instead,
// for the first text of each; --unlock N unlocks a locked xscreensaver N
// times by Type and N times by Live (see unlockRounds), with --in-a-row locked
// by the phone and unlocked try after try in one session, with --key-first a
// Down key sent before each password.
// --lag makes the X application get to its events that much later, as one
// starved of the processor does; --host runs another build of the test host;
// --no-peer leaves x11vnc out.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <signal.h>

#include <nlohmann/json.hpp>

namespace {
const char* hostPath = MORVANE_BUILT_HARNESS;
}
#define MORVANE_HARNESS_PATH hostPath
#include "harness/harness_process.h"
#include "harness/paired_session.h"
#include "input/x_recorder.h"
#include "support/xscreensaver.h"
#include "support/xvfb.h"

namespace {

using namespace morvane::testing;
using Clock = std::chrono::steady_clock;

std::u32string scalars(std::string_view utf8) {
    std::u32string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const int length = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? b : b & (0x7F >> length);
        for (int k = 1; k < length && i + k < utf8.size(); ++k) c = c << 6 | (utf8[i + k] & 0x3F);
        out.push_back(c);
        i += length;
    }
    return out;
}

// What the application read since `from`: the characters of the key
// presses, and when it read the last of them.
struct Read {
    std::u32string text;
    Clock::time_point last;
};
Read readSince(const std::vector<XRecord>& records, std::size_t from) {
    Read read;
    for (std::size_t i = from; i < records.size(); ++i) {
        if (records[i].type != KeyPress) continue;
        if (char32_t c = characterOf(records[i].keysym)) {
            read.text.push_back(c);
            read.last = records[i].at;
        }
    }
    return read;
}

struct Figures {
    double first = 0;
    std::vector<double> rest;
    int lost = 0;
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// What sends a text to the display: a session with the test host, or a VNC
// viewer's connection to x11vnc.
class Typist {
public:
    virtual ~Typist() = default;
    virtual void send(const std::string& text) = 0;
    // Reads and drops what the server sends meanwhile, for a few milliseconds.
    virtual void idle() = 0;
};

class HostTypist final : public Typist {
public:
    explicit HostTypist(const std::filesystem::path& dataHome) : host_(dataHome, freePort(), {"--x11"}) {
        if (!host_.waitLine("listening ", 20'000)) throw std::runtime_error("the test host did not start");
        ws_ = pairedSession(host_, "Bench");
        const auto ready = ws_->nextText(10'000);
        if (!ready || ready->find(R"("t":"ready")") == std::string::npos) throw std::runtime_error("no session");
    }
    void send(const std::string& text) override { ws_->sendText(nlohmann::json{{"t", "text"}, {"s", text}}.dump()); }
    // The pictures the session is sent.
    void idle() override { ws_->next(5); }

private:
    HarnessProcess host_;
    std::unique_ptr<WebSocket> ws_;
};

// Speaks just enough of RFB 3.8 for key events: no security, a shared
// session, and no pictures asked for.
class VncTypist final : public Typist {
public:
    explicit VncTypist(const std::filesystem::path& dataHome)
        : port_(freePort()),
          server_("/usr/bin/x11vnc", {"-rfbport", std::to_string(port_), "-localhost", "-nopw", "-forever", "-shared"},
                  dataHome, true) {
        if (!server_.waitLineWith("PORT=", 20'000)) throw std::runtime_error("x11vnc did not start");
        socket_ = std::make_unique<Socket>(port_);
        take(12);
        socket_->send("RFB 003.008\n");
        const auto kinds = static_cast<unsigned char>(take(1)[0]);
        if (take(kinds).find('\x01') == std::string::npos) throw std::runtime_error("x11vnc asks for a password");
        socket_->send(std::string(1, '\x01'));
        if (take(4) != std::string(4, '\0')) throw std::runtime_error("x11vnc refused the viewer");
        socket_->send(std::string(1, '\x01'));
        const std::string init = take(24);
        take(static_cast<std::size_t>(be32(init, 20)));
    }
    ~VncTypist() override {
        socket_.reset();
        server_.signal(SIGTERM);
    }
    void send(const std::string& text) override {
        std::string events;
        for (char32_t c : scalars(text)) {
            const std::uint32_t keysym = (c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff) ? c : 0x1000000 | c;
            for (const char down : {'\x01', '\x00'}) {
                events += {'\x04', down, '\0', '\0'};
                for (int shift : {24, 16, 8, 0}) events += static_cast<char>(keysym >> shift & 0xff);
            }
        }
        socket_->send(events);
    }
    void idle() override { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

private:
    std::string take(std::size_t count) {
        if (!socket_->fill(count, 10'000)) throw std::runtime_error("x11vnc broke off the handshake");
        std::string out = socket_->buffer().substr(0, count);
        socket_->buffer().erase(0, count);
        return out;
    }
    static std::uint32_t be32(const std::string& bytes, std::size_t at) {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
        return v;
    }

    std::uint16_t port_;
    HarnessProcess server_;
    std::unique_ptr<Socket> socket_;
};

// Sends through one typist and idles through another: with the host's
// session open beside x11vnc's, its pictures are read while x11vnc types.
class Alongside final : public Typist {
public:
    Alongside(Typist& sender, Typist& reader) : sender_(sender), reader_(reader) {}
    void send(const std::string& text) override { sender_.send(text); }
    void idle() override { reader_.idle(); }

private:
    Typist& sender_;
    Typist& reader_;
};

enum class Path { host, x11vnc };

// `work` in a session of its own on a fresh host or x11vnc.
template <typename Work>
void inSession(Path path, Work work) {
    const auto dataHome =
        std::filesystem::temp_directory_path() / ("morvane-typing-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dataHome);
    {
        std::unique_ptr<Typist> typist;
        if (path == Path::host)
            typist = std::make_unique<HostTypist>(dataHome);
        else
            typist = std::make_unique<VncTypist>(dataHome);
        // A person looks at the screen before typing: what opening the
        // session or the connection still sets going is done by then.
        for (const auto opened = Clock::now(); Clock::now() - opened < std::chrono::seconds(1);) typist->idle();
        work(*typist);
    }
    std::filesystem::remove_all(dataHome);
}

// The text sent once and read: the ms from the send to its last character
// read, or nothing when a character was lost or changed (said on stderr).
// Waits `pauseMillis` after the read, for a key read after the last one.
std::optional<double> typeOnce(Typist& typist, const std::string& text, int pauseMillis, XRecorder& app) {
    const std::u32string wanted = scalars(text);
    const std::size_t from = app.records().size();
    const auto sent = Clock::now();
    typist.send(text);
    Read read;
    while (Clock::now() - sent < std::chrono::seconds(20)) {
        typist.idle();
        read = readSince(app.records(), from);
        if (read.text.size() >= wanted.size()) break;
    }
    for (const auto end = Clock::now(); Clock::now() - end < std::chrono::milliseconds(pauseMillis);) typist.idle();
    read = readSince(app.records(), from);
    if (read.text != wanted) {
        std::fprintf(stderr, "read %zu characters of %zu, not as sent\n", read.text.size(), wanted.size());
        return std::nullopt;
    }
    return std::chrono::duration<double, std::milli>(read.last - sent).count();
}

// The text sent `runs` times in one session.
Figures measure(Path path, const std::string& text, int runs, int pauseMillis, XRecorder& app) {
    Figures figures;
    inSession(path, [&](Typist& typist) {
        for (int run = 0; run < runs; ++run) {
            const auto millis = typeOnce(typist, text, pauseMillis, app);
            if (!millis)
                ++figures.lost;
            else if (run == 0)
                figures.first = *millis;
            else
                figures.rest.push_back(*millis);
        }
    });
    return figures;
}

// Live at 12 keys a second: each character a message (a key event of its own
// for x11vnc) 83 ms apart; the ms from each character's send to its read, or
// nothing when one was lost or changed.
std::optional<std::vector<double>> liveOnce(Typist& typist, const std::string& text, XRecorder& app) {
    const std::u32string wanted = scalars(text);
    const std::size_t from = app.records().size();
    std::vector<Clock::time_point> sent;
    for (char32_t c : wanted) {
        sent.push_back(Clock::now());
        typist.send(std::string(1, static_cast<char>(c)));
        for (const auto at = sent.back(); Clock::now() - at < std::chrono::milliseconds(83);) typist.idle();
    }
    for (const auto end = Clock::now(); Clock::now() - end < std::chrono::seconds(5);) {
        if (readSince(app.records(), from).text.size() >= wanted.size()) break;
        typist.idle();
    }
    std::vector<std::pair<char32_t, Clock::time_point>> read;
    const auto records = app.records();
    for (std::size_t i = from; i < records.size(); ++i)
        if (records[i].type == KeyPress)
            if (char32_t c = characterOf(records[i].keysym)) read.emplace_back(c, records[i].at);
    if (read.size() != wanted.size()) return std::nullopt;
    std::vector<double> millis;
    for (std::size_t i = 0; i < read.size(); ++i) {
        if (read[i].first != wanted[i]) return std::nullopt;
        millis.push_back(std::chrono::duration<double, std::milli>(read[i].second - sent[i]).count());
    }
    return millis;
}

bool isCapital(char32_t c) { return c >= U'A' && c <= U'Z'; }

// Live, `rounds` times over in one session: for the letters right after a
// capital and for all.
struct LiveFigures {
    std::vector<double> afterCapital, all;
    int lost = 0;
};
LiveFigures measureLive(Path path, const std::string& text, int rounds, XRecorder& app) {
    LiveFigures figures;
    inSession(path, [&](Typist& typist) {
        for (int round = 0; round < rounds; ++round) {
            const auto millis = liveOnce(typist, text, app);
            if (!millis) {
                ++figures.lost;
                continue;
            }
            for (std::size_t i = 0; i < millis->size(); ++i) {
                figures.all.push_back((*millis)[i]);
                if (i > 0 && isCapital(static_cast<unsigned char>(text[i - 1]))) figures.afterCapital.push_back((*millis)[i]);
            }
        }
    });
    return figures;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// The capitals' cases side by side: a lone "a" and a lone "A" by Type, Live's
// "aBcD…" (the letters after a capital) against "abcd…" (the same places,
// small letters after small letters), and 400 characters of "aB" by Type,
// through the host and x11vnc in sessions open at once. Each run takes the
// cases in a turning order, so that the load of the moment weighs on all
// alike; the first run of each case (a capital new to the session) stands
// apart, then medians and p95 of the rest.
int capitalsSideBySide(int runs, int pauseMillis, bool peer, XRecorder& app) {
    const auto home = std::filesystem::temp_directory_path() / ("morvane-typing-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(home / "host");
    std::filesystem::create_directories(home / "vnc");
    int status = 0;
    {
        std::vector<std::unique_ptr<Typist>> typists;
        typists.push_back(std::make_unique<HostTypist>(home / "host"));
        if (peer) typists.push_back(std::make_unique<VncTypist>(home / "vnc"));
        for (const auto opened = Clock::now(); Clock::now() - opened < std::chrono::seconds(1);) typists[0]->idle();
        struct Case {
            const char* name;
            std::string text;
            bool live;
        };
        std::string pairs;
        for (int i = 0; i < 200; ++i) pairs += "aB";
        const std::vector<Case> cases = {{"\"a\" alone", "a", false},
                                         {"\"A\" alone", "A", false},
                                         {"Live, a letter after a capital", "aBcDeFgHiJkLmNoP", true},
                                         {"Live, a letter after a small one", "abcdefghijklmnop", true},
                                         {"400 characters of \"aB\"", pairs, false}};
        const std::size_t lanes = cases.size() * typists.size();
        std::vector<std::vector<double>> samples(lanes);
        std::vector<int> lost(lanes);
        for (int run = 0; run < runs; ++run)
            for (std::size_t k = 0; k < lanes; ++k) {
                const std::size_t lane = (k + static_cast<std::size_t>(run)) % lanes;
                const Case& c = cases[lane % cases.size()];
                Alongside typist(*typists[lane / cases.size()], *typists[0]);
                // The long text every fourth run: it costs a second and a half a time.
                if (&c == &cases.back() && run % 4 != 0) continue;
                if (!c.live) {
                    // A lone letter three times a run: a figure as many as Live's.
                    for (int again = c.text.size() == 1 ? 3 : 1; again > 0; --again) {
                        const auto millis = typeOnce(typist, c.text, pauseMillis, app);
                        if (millis) samples[lane].push_back(*millis);
                        else ++lost[lane];
                    }
                    continue;
                }
                const auto millis = liveOnce(typist, c.text, app);
                if (!millis) {
                    ++lost[lane];
                    continue;
                }
                // The letters at odd places: in "aBcD…" each follows a capital.
                std::vector<double> odd;
                for (std::size_t i = 1; i < millis->size(); i += 2) odd.push_back((*millis)[i]);
                // One figure a round for the first, so that it stands apart as for Type.
                if (samples[lane].empty()) samples[lane].push_back(odd.front());
                else samples[lane].insert(samples[lane].end(), odd.begin(), odd.end());
                for (const auto end = Clock::now(); Clock::now() - end < std::chrono::milliseconds(pauseMillis);)
                    typist.idle();
            }
        std::printf("runs %d (a lone letter three times each, 400 characters of \"aB\" every fourth), pause %d ms;"
                    " ms from a send to its read\n\n"
                    "| case | through | first | median | p95 | count | lost |\n|---|---|---|---|---|---|---|\n",
                    runs, pauseMillis);
        struct Summary {
            double median = 0, p95 = 0;
        };
        std::vector<Summary> summary(lanes);
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            const auto& v = samples[lane];
            const std::vector<double> rest(v.empty() ? v.end() : v.begin() + 1, v.end());
            summary[lane] = {median(rest), percentile(rest, 0.95)};
            std::printf("| %s | %s | %.1f | %.1f | %.1f | %zu | %d |\n", cases[lane % cases.size()].name,
                        lane < cases.size() ? "the host" : "x11vnc", v.empty() ? 0.0 : v.front(),
                        summary[lane].median, summary[lane].p95, rest.size(), lost[lane]);
            if (lane < cases.size() && lost[lane] > 0) status = 1;
        }
        const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
        std::printf("\n| weighed | through | median | p95 |\n|---|---|---|---|\n");
        for (std::size_t t = 0; t < typists.size(); ++t) {
            const char* through = t == 0 ? "the host" : "x11vnc";
            const Summary* s = &summary[t * cases.size()];
            std::printf("| \"A\" ÷ \"a\" | %s | %.2f× | %.2f× |\n", through, ratio(s[1].median, s[0].median),
                        ratio(s[1].p95, s[0].p95));
            std::printf("| Live, after a capital ÷ after a small letter | %s | %.2f× | %.2f× |\n", through,
                        ratio(s[2].median, s[3].median), ratio(s[2].p95, s[3].p95));
        }
        if (peer)
            for (std::size_t i = 0; i < cases.size(); ++i)
                std::printf("| %s, the host ÷ x11vnc | | %.2f× | %.2f× |\n", cases[i].name,
                            ratio(summary[i].median, summary[i + cases.size()].median),
                            ratio(summary[i].p95, summary[i + cases.size()].p95));
    }
    std::filesystem::remove_all(home);
    return status;
}

// The account xscreensaver runs as for the unlock rounds, and its password
// (bench/run_typing_bench makes it).
constexpr const char* unlockAccount = "morvane-unlock";
constexpr const char* unlockPassword = "Phone-road-8!";

bool saverLocked() {
    const auto answer = morvane::runCommand({"xscreensaver-command", "-time"}, 3000);
    return answer.kind == morvane::CommandResult::Kind::exited && answer.output.find("locked") != std::string::npos;
}

// A locked xscreensaver unlocked as the banner says: once the phone shows the
// screen locked, the password by Type and Return, or by Live, one character a
// message at 12 keys a second, then Return; with `keyFirst`, a Down key (the
// compose strip's) first, as a person wakes a lock screen. Each round locks
// through xscreensaver and unlocks from a fresh session, or, `inARow`, the
// phone locks and unlocks in one session, try after try with no pause.
// Each round: whether it unlocked within 15 s, and how long it took.
void unlockRounds(int rounds, bool inARow, bool keyFirst) {
    Xvfb xvfb{"1280x720x24"};
    DesktopOutOfReach quiet;
    XScreenSaver saver(unlockAccount);
    if (!saver.running()) throw std::runtime_error("xscreensaver: " + saver.problem());
    const auto dataHome =
        std::filesystem::temp_directory_path() / ("morvane-typing-bench-" + std::to_string(getpid()));
    std::printf("%s%s\n\n| road | unlocked | ms from the first key to unlocked |\n|---|---|---|\n",
                inARow ? "locked by the phone, tries in a row in one session" : "a fresh session each round",
                keyFirst ? ", a Down key first" : "");
    std::unique_ptr<HarnessProcess> host;
    std::unique_ptr<WebSocket> ws;
    const auto open = [&] {
        std::filesystem::create_directories(dataHome);
        host = std::make_unique<HarnessProcess>(dataHome, freePort(), std::vector<std::string>{"--x11"});
        if (!host->waitLine("listening ", 20'000)) throw std::runtime_error("the test host did not start");
        ws = pairedSession(*host, "Bench");
    };
    // What the phone was last told of the lock, from every status read.
    bool toldLocked = false;
    const auto next = [&](int millis) {
        const auto frame = ws->next(millis);
        if (!frame || frame->opcode != 0x1) return;
        const auto j = nlohmann::json::parse(frame->payload, nullptr, false);
        if (j.is_object() && j.value("t", "") == "status") toldLocked = j.value("locked", false);
    };
    // The banner: the status says the screen is locked.
    const auto awaitBanner = [&] {
        for (const auto opened = Clock::now(); !toldLocked && Clock::now() - opened < std::chrono::seconds(15);)
            next(100);
        if (!toldLocked) throw std::runtime_error("the phone was never told the screen is locked");
    };
    for (const bool live : {false, true}) {
        int unlocked = 0;
        std::string outcomes;
        std::vector<double> times;
        for (int round = 0; round < rounds; ++round) {
            if (inARow) {
                if (!ws) open();
                ws->sendText(R"({"t":"lock"})");
            } else {
                morvane::runCommand({"xscreensaver-command", "-lock"}, 3000);
            }
            for (const auto asked = Clock::now(); !saverLocked() && Clock::now() - asked < std::chrono::seconds(10);)
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (!inARow) {
                // The screen has faded out, and the dialog of an earlier round
                // has gone: only the blank screen is left.
                std::this_thread::sleep_for(std::chrono::seconds(5));
                open();
            }
            awaitBanner();
            const auto text = [&](const std::string& t) { ws->sendText(nlohmann::json{{"t", "text"}, {"s", t}}.dump()); };
            const auto key = [&](const char* code, bool down) {
                ws->sendText(nlohmann::json{{"t", "k"}, {"code", code}, {"d", down}}.dump());
            };
            const auto sent = Clock::now();
            if (keyFirst) {
                key("ArrowDown", true);
                key("ArrowDown", false);
            }
            if (live) {
                for (const char c : std::string(unlockPassword)) {
                    text(std::string(1, c));
                    for (const auto at = Clock::now(); Clock::now() - at < std::chrono::milliseconds(83);) next(5);
                }
            } else {
                text(unlockPassword);
            }
            key("Enter", true);
            key("Enter", false);
            bool done = false;
            while (!done && Clock::now() - sent < std::chrono::seconds(15)) {
                next(100);
                done = !saverLocked();
            }
            // The phone is told the screen opened before it locks it again.
            for (const auto at = Clock::now(); done && toldLocked && Clock::now() - at < std::chrono::seconds(5);)
                next(100);
            outcomes += done ? 'S' : 'F';
            if (!done) std::fprintf(stderr, "%s round %d: still locked; xscreensaver said:\n%s\n", live ? "Live" : "Type", round, saver.log().c_str());
            if (done) {
                ++unlocked;
                times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
            }
            if (!inARow) {
                ws.reset();
                host.reset();
                std::filesystem::remove_all(dataHome);
                toldLocked = false;
            }
        }
        std::printf("| %s | %d of %d (%s) | %.0f (median) |\n", live ? "Live" : "Type", unlocked, rounds,
                    outcomes.c_str(), median(times));
    }
    ws.reset();
    host.reset();
    std::filesystem::remove_all(dataHome);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 20, pauseMillis = 3000, lagMillis = 0, unlock = 0, sessions = 0;
    bool peer = true, inARow = false, keyFirst = false, lettersOnly = false, capitals = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (flag == "--unlock" && i + 1 < argc) {
            unlock = std::max(1, std::atoi(argv[++i]));
            continue;
        }
        if (flag == "--sessions" && i + 1 < argc) {
            sessions = std::max(1, std::atoi(argv[++i]));
            continue;
        }
        if (flag == "--no-peer") {
            peer = false;
            continue;
        }
        if (flag == "--letters") {
            lettersOnly = true;
            continue;
        }
        if (flag == "--capitals") {
            capitals = true;
            continue;
        }
        if (flag == "--in-a-row" || flag == "--key-first") {
            (flag == "--in-a-row" ? inARow : keyFirst) = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s needs a value\n", argv[i]);
            return 2;
        }
        const char* value = argv[++i];
        if (flag == "--runs") runs = std::max(2, std::atoi(value));
        else if (flag == "--pause") pauseMillis = std::max(0, std::atoi(value));
        else if (flag == "--lag") lagMillis = std::max(0, std::atoi(value));
        else if (flag == "--host") hostPath = value;
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i - 1]);
            return 2;
        }
    }
    if (unlock > 0) {
        try {
            unlockRounds(unlock, inARow, keyFirst);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "typing bench: %s\n", error.what());
            return 1;
        }
        return 0;
    }
    struct Case {
        const char* name;
        std::string text;
        Path path = Path::host;
    };
    // The plain text has as many characters as the sentence, all on the layout.
    std::vector<Case> cases = {
        {"one small letter", "a"},
        {"one capital", "A"},
        {"one character the layout lacks", "é"},
        {"19 characters, 4 the layout lacks", "héllo wörld ñ ✓ abc"},
        {"19 plain characters", "hello world n v abc"},
        {"19 characters, 4 of them with Shift", "Phone-road-8! Hello"},
        {"28 characters the layout lacks, all different", "日本語の文字を速く打つために長い例で東京大阪県都市北南西"},
        {"40 characters, 8 capitals", "Ask Ben, Eva and Max to Meet Us In Oslo."},
        {"the same 40 in small letters", "ask ben, eva and max to meet us in oslo."},
        {"400 characters of aB", [] {
             std::string t;
             for (int i = 0; i < 200; ++i) t += "aB";
             return t;
         }()},
    };
    // A lone small letter and a lone capital, to weigh what Shift costs.
    if (lettersOnly) cases.resize(2);
    if (sessions > 0) {
        // The first text of each of `sessions` fresh sessions, a fresh host each.
        const Case sentence = cases[7];
        cases.assign(static_cast<std::size_t>(sessions), sentence);
    }
    const std::size_t ours = cases.size();
    if (peer) {
        for (std::size_t i = 0; i < ours; ++i) {
            Case c = cases[i];
            c.path = Path::x11vnc;
            cases.push_back(c);
        }
    }
    int status = 0;
    try {
        Xvfb xvfb{"1280x720x24"};
        XRecorder app{std::chrono::milliseconds(lagMillis)};
        if (capitals) return capitalsSideBySide(runs, pauseMillis, peer, app);
        std::printf("runs %d, pause %d ms, application lag %d ms\n\n", runs, pauseMillis, lagMillis);
        std::printf("| text | through | first ms | after: median ms | max ms | lost | first ÷ x11vnc"
                    " | median ÷ x11vnc |\n|---|---|---|---|---|---|---|---|\n");
        std::vector<Figures> all;
        for (const auto& c : cases) all.push_back(measure(c.path, c.text, runs, pauseMillis, app));
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const auto& f = all[i];
            const double m = median(f.rest);
            const double max = f.rest.empty() ? 0 : *std::max_element(f.rest.begin(), f.rest.end());
            std::printf("| %s | %s | %.0f | %.1f | %.0f | %d of %d |", cases[i].name,
                        cases[i].path == Path::host ? "the host" : "x11vnc", f.first, m, max, f.lost, runs);
            if (peer && i < ours) {
                const auto& p = all[i + ours];
                const double pm = median(p.rest);
                std::printf(" %.1f× | %.1f× |\n", p.first > 0 ? f.first / p.first : 0, pm > 0 ? m / pm : 0);
            } else {
                std::printf(" | |\n");
            }
            if (cases[i].path == Path::host && f.lost > 0) status = 1;
        }
        if (sessions == 0 && !lettersOnly) {
            // Live: letters and capitals in turn, so that every other letter follows a capital.
            const std::string live = "aBcDeFgHiJkLmNoP";
            const int rounds = std::max(2, runs / 4);
            std::printf("\nLive, 12 keys a second, \"%s\" %d times: ms from a character's send to its read\n\n"
                        "| through | after a capital: median | p95 | every character: median | p95 | lost |\n"
                        "|---|---|---|---|---|---|\n",
                        live.c_str(), rounds);
            std::vector<Path> paths = {Path::host};
            if (peer) paths.push_back(Path::x11vnc);
            std::vector<LiveFigures> figures;
            for (Path path : paths) {
                figures.push_back(measureLive(path, live, rounds, app));
                const auto& f = figures.back();
                std::printf("| %s | %.1f | %.1f | %.1f | %.1f | %d of %d |\n", path == Path::host ? "the host" : "x11vnc",
                            median(f.afterCapital), percentile(f.afterCapital, 0.95), median(f.all),
                            percentile(f.all, 0.95), f.lost, rounds);
                if (path == Path::host && f.lost > 0) status = 1;
            }
            if (figures.size() == 2 && percentile(figures[1].afterCapital, 0.95) > 0)
                std::printf("\nafter a capital, p95 ÷ x11vnc: %.1f×\n",
                            percentile(figures[0].afterCapital, 0.95) / percentile(figures[1].afterCapital, 0.95));
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "typing bench: %s\n", error.what());
        status = 1;
    }
    return status;
}
