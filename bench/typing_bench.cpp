// Typing as a person meets it: the time from a text sent by the device to its
// last character read by an X application, through the test host on a private
// Xvfb. Texts with characters the keyboard layout lacks (which the host binds
// to spare keys) are measured against the same length of plain characters
// typed the same way (the peer). Each text is sent `runs` times in one session,
// a person's pause apart, in a session of its own: the first time stands
// apart from the rest. Every character the application read is checked
// against what was sent, and one lost or changed is counted.
//
//   morvane_typing_bench [--runs N] [--pause MS] [--lag MS] [--host PATH]
//
// --lag makes the X application get to its events that much later, as one
// starved of the processor does; --host runs another build of the test host.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace {
const char* hostPath = MORVANE_BUILT_HARNESS;
}
#define MORVANE_HARNESS_PATH hostPath
#include "harness/harness_process.h"
#include "harness/paired_session.h"
#include "input/x_recorder.h"
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

// One session of its own on a fresh host: the text sent `runs` times.
Figures measure(const std::string& text, int runs, int pauseMillis, XRecorder& app) {
    const auto dataHome =
        std::filesystem::temp_directory_path() / ("morvane-typing-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dataHome);
    Figures figures;
    {
        HarnessProcess host(dataHome, freePort(), {"--x11"});
        if (!host.waitLine("listening ", 20'000)) throw std::runtime_error("the test host did not start");
        auto ws = pairedSession(host, "Bench");
        const auto ready = ws->nextText(10'000);
        if (!ready || ready->find(R"("t":"ready")") == std::string::npos) throw std::runtime_error("no session");
        const std::u32string wanted = scalars(text);
        const std::string message = nlohmann::json{{"t", "text"}, {"s", text}}.dump();
        for (int run = 0; run < runs; ++run) {
            const std::size_t from = app.records().size();
            const auto sent = Clock::now();
            ws->sendText(message);
            Read read;
            // The pictures the session is sent are read and dropped meanwhile.
            while (Clock::now() - sent < std::chrono::seconds(20)) {
                ws->next(5);
                read = readSince(app.records(), from);
                if (read.text.size() >= wanted.size()) break;
            }
            // A key read after the last one would be a character too many.
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMillis));
            read = readSince(app.records(), from);
            if (read.text != wanted) {
                ++figures.lost;
                std::fprintf(stderr, "run %d: read %zu characters of %zu, not as sent\n", run, read.text.size(),
                             wanted.size());
                continue;
            }
            const double millis = std::chrono::duration<double, std::milli>(read.last - sent).count();
            if (run == 0)
                figures.first = millis;
            else
                figures.rest.push_back(millis);
        }
    }
    std::filesystem::remove_all(dataHome);
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 20, pauseMillis = 3000, lagMillis = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view flag = argv[i];
        if (flag == "--runs") runs = std::max(2, std::atoi(argv[i + 1]));
        else if (flag == "--pause") pauseMillis = std::max(0, std::atoi(argv[i + 1]));
        else if (flag == "--lag") lagMillis = std::max(0, std::atoi(argv[i + 1]));
        else if (flag == "--host") hostPath = argv[i + 1];
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    struct Case {
        const char* name;
        std::string text;
    };
    // The peer has as many characters as the sentence, all on the layout.
    const std::vector<Case> cases = {
        {"one character the layout lacks", "é"},
        {"19 characters, 4 the layout lacks", "héllo wörld ñ ✓ abc"},
        {"19 plain characters (peer)", "hello world n v abc"},
        {"28 characters the layout lacks, all different", "日本語の文字を速く打つために長い例で東京大阪県都市北南西"},
    };
    int status = 0;
    try {
        Xvfb xvfb{"1280x720x24"};
        XRecorder app{std::chrono::milliseconds(lagMillis)};
        std::printf("runs %d, pause %d ms, application lag %d ms\n\n", runs, pauseMillis, lagMillis);
        std::printf("| text | first ms | after: median ms | max ms | lost | median ÷ peer |\n|---|---|---|---|---|---|\n");
        std::vector<Figures> all;
        for (const auto& c : cases) all.push_back(measure(c.text, runs, pauseMillis, app));
        const double peer = median(all[2].rest);
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const auto& f = all[i];
            const double m = median(f.rest);
            const double max = f.rest.empty() ? 0 : *std::max_element(f.rest.begin(), f.rest.end());
            std::printf("| %s | %.0f | %.0f | %.0f | %d of %d | %.2f× |\n", cases[i].name, f.first, m, max, f.lost,
                        runs, peer > 0 ? m / peer : 0);
            if (f.lost > 0) status = 1;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "typing bench: %s\n", error.what());
        status = 1;
    }
    return status;
}
