// Capture benchmark. First the stages at 1080p (Google Benchmark), then the
// whole pipeline of the X11 screen source on a private 1920x1080 Xvfb showing
// a moving scene (a detailed picture panning over the whole screen under a
// scrolling column of text), for JPEG and H.264 at each quality: CPU per frame, bytes per
// frame and the rate reached against the target. The same content then goes
// through ffmpeg (x11grab, libx264 with the same preset, zero latency, no
// B-frames, the same threads and bit rate), and the ratio of CPU per frame is
// printed, then the bytes and PSNR each encoder gives the same pictures, so
// that ratio is read at equal bytes and quality. Then two monitors, the scene
// moving on one: what streaming the moving one costs against streaming the
// other. Last, a still screen and the cost of leaving a window out of the
// pictures (composed from the windows' own pixmaps) against the plain grab,
// counting the X server's CPU as well as ours.
//
// With --tools, only the weighing of CABAC and the 8x8 transform at each
// quality: CPU, bytes and PSNR with each on and off. With --against-ffmpeg,
// only the H.264 pipeline against ffmpeg, for comparing builds quickly. With
// --weigh-threads, only x264 with one, two and four slice threads: CPU, time
// and memory per encoder, bytes, PSNR and the bit rate over each second.
// --size sets the screen's size (1920x1080 by default).
//
//   morvane_capture_bench [--seconds N] [--preset NAME] [--threads N] [--size WxH] [--tools] [--against-ffmpeg]
//                         [--weigh-threads] [benchmark flags]
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_settings.h"
#include "capture/h264_encoder.h"
#include "capture/jpeg_codec.h"
#include "core/heap.h"
#include "core/loop_executor.h"
#include "capture/picture.h"
#include "capture/screen_frame_source.h"
#include "platform/linux/capture_x11_source.h"
#include "support/xvfb.h"
#include "capture/x11_test_client.h"
#include "moving_scene.h"

extern char** environ;

namespace {

using namespace morvane;
using Clock = std::chrono::steady_clock;

std::string preset = "ultrafast";
int threads = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 4);
int seconds = 5;
bool toolsOnly = false;
bool againstFfmpegOnly = false;
bool threadsOnly = false;
int screenWidth = 1920;
int screenHeight = 1080;

std::string screenSize() { return std::to_string(screenWidth) + "x" + std::to_string(screenHeight); }

// The load average over the last minute, five and fifteen, as uptime says it.
std::string loadNow() {
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) != 3) return "?";
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %.1f %.1f", load[0], load[1], load[2]);
    return text;
}

// The screen at a given step, as the painter draws it.
Picture screenAt(int step) {
    static const bench::MovingScene scene(screenWidth, screenHeight);
    return scene.picture(step);
}

void ConvertBT709(benchmark::State& state) {
    const Picture screen = screenAt(1);
    Picture out = Picture::makeI420(screenWidth, screenHeight);
    for (auto _ : state) {
        bgraToI420(screen.pixels.data(), screen.stride(), screenWidth, screenHeight, out);
        benchmark::DoNotOptimize(out.pixels.data());
    }
}
BENCHMARK(ConvertBT709)->Unit(benchmark::kMillisecond);

void ScaleForQuality(benchmark::State& state) {
    const Picture screen = screenAt(1);
    const auto size = outputSize(screenWidth, screenHeight, CaptureSettings::of(static_cast<FrameQuality>(state.range(0))).longSide);
    for (auto _ : state) {
        Picture scaled = scaleBGRA(screen.pixels.data(), screen.stride(), screenWidth, screenHeight, size.width, size.height);
        benchmark::DoNotOptimize(scaled.pixels.data());
    }
}
BENCHMARK(ScaleForQuality)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void JpegForQuality(benchmark::State& state) {
    const auto& settings = CaptureSettings::of(static_cast<FrameQuality>(state.range(0)));
    const Picture screen = screenAt(1);
    const auto size = outputSize(screenWidth, screenHeight, settings.longSide);
    const Picture scaled = scaleBGRA(screen.pixels.data(), screen.stride(), screenWidth, screenHeight, size.width, size.height);
    std::size_t bytes = 0;
    for (auto _ : state) bytes = encodeJPEG(scaled, settings.jpegQuality)->jpeg.size();
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(JpegForQuality)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void H264ForQuality(benchmark::State& state) {
    const auto& settings = CaptureSettings::of(static_cast<FrameQuality>(state.range(0)));
    const auto size = outputSize(screenWidth, screenHeight, settings.longSide);
    std::vector<Picture> pictures;
    for (int step = 0; step < 30; ++step) {
        const Picture screen = screenAt(step);
        pictures.push_back(
            toI420(scaleBGRA(screen.pixels.data(), screen.stride(), screenWidth, screenHeight, size.width, size.height)));
    }
    auto encoder = H264Encoder::make(size.width, size.height, settings.videoFramesPerSecond,
                                     settings.videoBitsPerSecond, 0, {}, x264Engine(preset, threads));
    std::uint64_t ts = 1;
    std::size_t i = 0, bytes = 0, frames = 0;
    for (auto _ : state) {
        auto result = encoder->encode(pictures[i++ % pictures.size()], ts += 33'333, false);
        if (auto* f = std::get_if<video_result::Frame>(&result)) bytes += f->data.size();
        ++frames;
    }
    state.counters["bytes"] = frames ? static_cast<double>(bytes) / static_cast<double>(frames) : 0;
}
BENCHMARK(H264ForQuality)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

struct Measure {
    double cpuMillisPerFrame = 0;
    double serverMillisPerFrame = 0;  // the X server's share, when it was counted
    double bytesPerFrame = 0;
    double fps = 0;
    double cpuMillisPerSecond = 0;
    int frames = 0;
};

// CPU seconds a process has used, user and system.
double cpuSecondsOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

Measure runSource(const std::string& display, FrameQuality quality, bool video,
                  std::optional<int> excluded = std::nullopt, pid_t server = -1, const std::string& monitor = {}) {
    auto source = makeX11ScreenSource(std::make_shared<LoopExecutor>("control"), std::make_shared<LoopExecutor>("encode"), display);
    if (!monitor.empty()) {
        std::optional<std::uint32_t> id;
        for (const auto& shown : source->displayListing().displays)
            if (shown.name == monitor) id = shown.id;
        if (!id || !source->selectDisplay(id)) std::fprintf(stderr, "monitor %s could not be chosen\n", monitor.c_str());
    }
    source->setMakeEncoder([](int w, int h, int fps, int bps, std::uint64_t ts,
                              const std::function<void(const std::string&)>& report) -> std::unique_ptr<VideoEncoding> {
        return H264Encoder::make(w, h, fps, bps, ts, report, x264Engine(preset, threads));
    });
    struct Discard final : FrameObserver {
        void onFrame(const Bytes&, int, int) override {}
    };
    auto discard = std::make_shared<Discard>();
    source->setQuality(quality);
    if (excluded) source->setExcludedWindow(excluded, [](bool ok) {
            if (!ok) std::fprintf(stderr, "the window could not be left out\n");
        });
    source->start(discard);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    if (video && !source->startVideo(16384, 16384)) {
        std::fprintf(stderr, "video did not start\n");
        return {};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    source->takeStats();
    auto cpuNow = [server] {
        return morvane::testing::processCpuSeconds() + (server > 0 ? cpuSecondsOf(server) : 0.0);
    };
    const double cpu0 = cpuNow(), server0 = server > 0 ? cpuSecondsOf(server) : 0.0;
    const auto wall0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto stats = source->takeStats();
    const double cpu = cpuNow() - cpu0;
    const double serverCpu = server > 0 ? cpuSecondsOf(server) - server0 : 0.0;
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    if (video) source->stopVideo();
    source->stop();
    source.reset();
    Measure m;
    m.frames = stats.frames;
    if (stats.frames > 0) {
        m.cpuMillisPerFrame = cpu * 1000 / stats.frames;
        m.serverMillisPerFrame = serverCpu * 1000 / stats.frames;
        m.bytesPerFrame = static_cast<double>(stats.bytes) / stats.frames;
    }
    m.fps = stats.frames / wall;
    m.cpuMillisPerSecond = cpu * 1000 / wall;
    return m;
}

// Runs ffmpeg to completion and measures its CPU; frames come from its
// progress output.
Measure runFfmpeg(const std::string& display, FrameQuality quality, pid_t server = -1) {
    const auto& settings = CaptureSettings::of(quality);
    const auto size = outputSize(screenWidth, screenHeight, settings.longSide);
    const std::string rate = std::to_string(settings.videoBitsPerSecond / 1000) + "k";
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-progress", "pipe:1",
                                     "-f", "x11grab", "-draw_mouse", "1", "-framerate",
                                     std::to_string(settings.videoFramesPerSecond), "-video_size", screenSize(), "-i",
                                     display, "-t", std::to_string(seconds), "-c:v", "libx264", "-preset", preset,
                                     "-tune", "zerolatency", "-bf", "0", "-threads", std::to_string(threads), "-b:v",
                                     rate, "-maxrate", std::to_string(settings.videoBitsPerSecond * 2 / 1000) + "k",
                                     "-bufsize", std::to_string(settings.videoBitsPerSecond * 2 / 1000) + "k",
                                     "-pix_fmt", "yuv420p"};
    if (size.width != screenWidth) {
        args.push_back("-s");
        args.push_back(std::to_string(size.width) + "x" + std::to_string(size.height));
    }
    for (const char* tail : {"-f", "h264", "pipe:2"}) args.push_back(tail);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return {};
    int devnull[2];
    if (pipe(devnull) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid;
    const auto wall0 = Clock::now();
    const double server0 = server > 0 ? cpuSecondsOf(server) : 0.0;
    if (posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "ffmpeg could not be started\n");
        return {};
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(devnull[0]);
    close(devnull[1]);
    std::string progress;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) progress.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double serverCpu = server > 0 ? cpuSecondsOf(server) - server0 : 0.0;
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    int frames = 0;
    double totalBytes = 0;
    for (std::size_t at = progress.find("frame="); at != std::string::npos; at = progress.find("frame=", at + 1))
        frames = std::atoi(progress.c_str() + at + 6);
    for (std::size_t at = progress.find("total_size="); at != std::string::npos;
         at = progress.find("total_size=", at + 1))
        totalBytes = std::atof(progress.c_str() + at + 11);
    Measure m;
    m.frames = frames;
    if (frames > 0) {
        m.cpuMillisPerFrame = cpu * 1000 / frames;
        m.serverMillisPerFrame = serverCpu * 1000 / frames;
        m.bytesPerFrame = totalBytes / frames;
    }
    m.fps = frames / std::max(wall, 1e-3);
    return m;
}

// Mean PSNR of an H.264 stream against the raw pictures it was made from,
// as ffmpeg's psnr filter reports it.
double psnrOf(const std::string& stream, const std::string& reference, int width, int height) {
    // Both numbered from 0 in the same time base, so the filter pairs the
    // pictures one to one.
    const std::string command = "ffmpeg -nostdin -hide_banner -nostats -f h264 -i " + stream +
                                " -f rawvideo -pix_fmt yuv420p -s " + std::to_string(width) + "x" +
                                std::to_string(height) + " -i " + reference +
                                " -lavfi '[0:v]settb=1/30,setpts=N[a];[1:v]settb=1/30,setpts=N[b];[a][b]psnr'"
                                " -f null - 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return 0;
    std::string output;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    pclose(pipe);
    const auto at = output.rfind("average:");
    return at == std::string::npos ? 0 : std::atof(output.c_str() + at + 8);
}

// CABAC and the 8x8 transform at each quality: CPU per frame, bytes per
// frame and picture quality (PSNR) with each on and off, at the quality's
// bit rate, on the moving scene.
void weighCodingTools() {
    constexpr int frameCount = 90;
    std::printf("\nCoding tools at each quality, x264 preset %s, %d threads, %d pictures of the moving scene\n",
                preset.c_str(), threads, frameCount);
    std::printf("%-7s %-6s %-6s %12s %12s %9s\n", "quality", "cabac", "8x8", "CPU ms/fr", "bytes/fr", "PSNR dB");
    const std::string stream = "/tmp/morvane-bench-tools.h264", reference = "/tmp/morvane-bench-tools.yuv";
    for (auto q : {FrameQuality::low, FrameQuality::medium, FrameQuality::high}) {
        const auto& settings = CaptureSettings::of(q);
        const auto size = outputSize(screenWidth, screenHeight, settings.longSide);
        auto pictureAt = [&](int step) {
            const Picture screen = screenAt(step);
            return toI420(scaleBGRA(screen.pixels.data(), screen.stride(), screenWidth, screenHeight, size.width, size.height));
        };
        {
            std::FILE* raw = std::fopen(reference.c_str(), "wb");
            for (int i = 0; i < frameCount; ++i) {
                const Picture p = pictureAt(i);
                std::fwrite(p.pixels.data(), 1, p.pixels.size(), raw);
            }
            std::fclose(raw);
        }
        for (bool cabac : {true, false})
            for (bool transform : {true, false}) {
                auto encoder = H264Encoder::make(size.width, size.height, settings.videoFramesPerSecond,
                                                 settings.videoBitsPerSecond, 0, {},
                                                 x264Engine(preset, threads, X264Tools{cabac, transform}));
                std::FILE* out = std::fopen(stream.c_str(), "wb");
                double cpu = 0;
                std::size_t bytes = 0;
                for (int i = 0; i < frameCount; ++i) {
                    const Picture p = pictureAt(i);
                    const double before = morvane::testing::processCpuSeconds();
                    auto result = encoder->encode(p, 1 + static_cast<std::uint64_t>(i) * 1'000'000 /
                                                             settings.videoFramesPerSecond, i == 0);
                    cpu += morvane::testing::processCpuSeconds() - before;
                    if (auto* f = std::get_if<video_result::Frame>(&result)) {
                        bytes += f->data.size();
                        std::fwrite(f->data.data(), 1, f->data.size(), out);
                    }
                }
                std::fclose(out);
                const double psnr = psnrOf(stream, reference, size.width, size.height);
                std::printf("%-7s %-6s %-6s %12.2f %12.0f %9.2f\n", std::string(toString(q)).c_str(),
                            cabac ? "on" : "off", transform ? "on" : "off", cpu * 1000 / frameCount,
                            static_cast<double>(bytes) / frameCount, psnr);
            }
    }
    std::remove(stream.c_str());
    std::remove(reference.c_str());
}

// The same pictures through our encoder and through ffmpeg's libx264 with
// the options the pipeline comparison gives it: bytes per frame and PSNR
// against the pictures, so its CPU ratio is read at equal bytes and quality.
void compareQualityWithFfmpeg() {
    // Ten seconds, so that both rate controls have settled.
    constexpr int frameCount = 300;
    std::printf("\nThe same %d pictures of the moving scene through each encoder, x264 preset %s, %d threads\n",
                frameCount, preset.c_str(), threads);
    std::printf("%-7s %12s %12s %10s %10s %9s\n", "quality", "ours B/fr", "ffmpeg B/fr", "ours dB", "ffmpeg dB",
                "PSNR diff");
    const std::string ours = "/tmp/morvane-bench-ours.h264", theirs = "/tmp/morvane-bench-ffmpeg.h264",
                      reference = "/tmp/morvane-bench-pictures.yuv";
    for (auto q : {FrameQuality::low, FrameQuality::medium, FrameQuality::high}) {
        const auto& settings = CaptureSettings::of(q);
        const auto size = outputSize(screenWidth, screenHeight, settings.longSide);
        auto encoder = H264Encoder::make(size.width, size.height, settings.videoFramesPerSecond,
                                         settings.videoBitsPerSecond, 0, {}, x264Engine(preset, threads));
        std::size_t ourBytes = 0;
        {
            std::FILE* out = std::fopen(ours.c_str(), "wb");
            std::FILE* raw = std::fopen(reference.c_str(), "wb");
            for (int i = 0; i < frameCount; ++i) {
                const Picture screen = screenAt(i);
                const Picture picture = toI420(
                    scaleBGRA(screen.pixels.data(), screen.stride(), screenWidth, screenHeight, size.width, size.height));
                std::fwrite(picture.pixels.data(), 1, picture.pixels.size(), raw);
                auto result = encoder->encode(picture,
                                              1 + static_cast<std::uint64_t>(i) * 1'000'000 /
                                                      settings.videoFramesPerSecond,
                                              i == 0);
                if (auto* f = std::get_if<video_result::Frame>(&result)) {
                    ourBytes += f->data.size();
                    std::fwrite(f->data.data(), 1, f->data.size(), out);
                }
            }
            std::fclose(raw);
            std::fclose(out);
        }
        const std::string rate = std::to_string(settings.videoBitsPerSecond / 1000) + "k",
                          cap = std::to_string(settings.videoBitsPerSecond * 2 / 1000) + "k";
        const std::string command =
            "ffmpeg -nostdin -hide_banner -loglevel error -y -f rawvideo -pix_fmt yuv420p -s " +
            std::to_string(size.width) + "x" + std::to_string(size.height) + " -r " +
            std::to_string(settings.videoFramesPerSecond) + " -i " + reference + " -c:v libx264 -preset " + preset +
            " -tune zerolatency -bf 0 -threads " + std::to_string(threads) + " -b:v " + rate + " -maxrate " + cap +
            " -bufsize " + cap + " -f h264 " + theirs;
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "ffmpeg could not encode the pictures\n");
        std::ifstream encoded(theirs, std::ios::binary | std::ios::ate);
        const double theirBytes = encoded ? static_cast<double>(encoded.tellg()) : 0;
        const double ourPsnr = psnrOf(ours, reference, size.width, size.height);
        const double theirPsnr = psnrOf(theirs, reference, size.width, size.height);
        std::printf("%-7s %12.0f %12.0f %10.2f %10.2f %+9.2f\n", std::string(toString(q)).c_str(),
                    static_cast<double>(ourBytes) / frameCount, theirBytes / frameCount, ourPsnr, theirPsnr,
                    ourPsnr - theirPsnr);
    }
    for (const auto& file : {ours, theirs, reference}) std::remove(file.c_str());
}


// Resident memory of this process in kB.
long residentKB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

struct ThreadRun {
    double cpuMillisPerFrame = 0;
    double wallMillisPerFrame = 0;
    double bytesPerFrame = 0;
    double psnr = 0;
    double minWindow = 0, maxWindow = 0;  // bytes in any second's frames in a row
    std::size_t changeFrame = 0;          // the frame after the sudden change
    long encoderKB = 0;                   // resident growth with the encoder open
};

// One encoder, in a child process of its own with the host's heap settings
// so that its memory is its own, through a sequence of pictures: the moving
// scene for ten seconds, or a still screen (a picture and its two refreshes)
// followed by a sudden change to another part of the scene, which then moves
// for two seconds.
ThreadRun threadRun(FrameQuality q, int threadCount, bool suddenChange) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        heap::configureForStreaming();
        const auto& settings = CaptureSettings::of(q);
        const auto size = outputSize(screenWidth, screenHeight, settings.longSide);
        std::vector<int> steps;
        if (suddenChange) {
            for (int i = 0; i < 3; ++i) steps.push_back(0);
            for (int i = 0; i < 2 * settings.videoFramesPerSecond; ++i) steps.push_back(700 + i);
        } else {
            for (int i = 0; i < 10 * settings.videoFramesPerSecond; ++i) steps.push_back(i);
        }
        std::vector<Picture> pictures;
        for (int step : steps) {
            const Picture screen = screenAt(step);
            pictures.push_back(toI420(
                scaleBGRA(screen.pixels.data(), screen.stride(), screenWidth, screenHeight, size.width, size.height)));
        }
        const std::string stem = "/tmp/morvane-bench-threads-" + std::to_string(getpid());
        const std::string stream = stem + ".h264", reference = stem + ".yuv";
        {
            std::FILE* raw = std::fopen(reference.c_str(), "wb");
            for (const auto& p : pictures) std::fwrite(p.pixels.data(), 1, p.pixels.size(), raw);
            std::fclose(raw);
        }
        const long before = residentKB();
        auto encoder = H264Encoder::make(size.width, size.height, settings.videoFramesPerSecond,
                                         settings.videoBitsPerSecond, 0, {}, x264Engine(preset, threadCount));
        std::FILE* out = std::fopen(stream.c_str(), "wb");
        std::vector<std::size_t> sizes;
        double cpu = 0, wall = 0;
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            const double start = morvane::testing::processCpuSeconds();
            const auto wall0 = Clock::now();
            auto result = encoder->encode(pictures[i], 1 + i * 1'000'000 / settings.videoFramesPerSecond, i == 0);
            wall += std::chrono::duration<double>(Clock::now() - wall0).count();
            cpu += morvane::testing::processCpuSeconds() - start;
            std::size_t bytes = 0;
            if (auto* f = std::get_if<video_result::Frame>(&result)) {
                bytes = f->data.size();
                std::fwrite(f->data.data(), 1, f->data.size(), out);
            }
            sizes.push_back(bytes);
        }
        std::fclose(out);
        ThreadRun r;
        r.encoderKB = residentKB() - before;
        encoder.reset();
        const auto fps = static_cast<std::size_t>(settings.videoFramesPerSecond);
        // The windows start after the still part.
        const std::size_t first = suddenChange ? 3 : 0;
        r.minWindow = 1e18;
        for (std::size_t i = first; i + fps <= sizes.size(); ++i) {
            double sum = 0;
            for (std::size_t j = i; j < i + fps; ++j) sum += static_cast<double>(sizes[j]);
            r.minWindow = std::min(r.minWindow, sum);
            r.maxWindow = std::max(r.maxWindow, sum);
        }
        double total = 0;
        for (auto b : sizes) total += static_cast<double>(b);
        if (suddenChange) r.changeFrame = sizes[3];
        const auto n = static_cast<double>(sizes.size());
        r.bytesPerFrame = total / n;
        r.cpuMillisPerFrame = cpu * 1000 / n;
        r.wallMillisPerFrame = wall * 1000 / n;
        r.psnr = psnrOf(stream, reference, size.width, size.height);
        std::remove(stream.c_str());
        std::remove(reference.c_str());
        if (write(pipeFds[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(1);
        _exit(0);
    }
    close(pipeFds[1]);
    ThreadRun r;
    if (read(pipeFds[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) std::fprintf(stderr, "encoder run failed\n");
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return r;
}

// x264's slice threads at each quality: CPU and time per frame, the
// encoder's memory, bytes, PSNR and how the bit rate holds, on the moving
// scene and on a still screen that suddenly changes.
void weighThreads() {
    std::printf("\nx264 slice threads at %s, preset %s; load %s\n", screenSize().c_str(), preset.c_str(),
                loadNow().c_str());
    std::printf("%-7s %-3s %-7s %9s %9s %9s %7s %9s %9s %9s %8s\n", "quality", "thr", "scene", "CPU ms/fr",
                "wall ms/fr", "B/fr", "PSNR", "min B/s", "max B/s", "change fr", "enc MB");
    for (auto q : {FrameQuality::high, FrameQuality::medium})
        for (bool sudden : {false, true})
            for (int t : {1, 2, 4}) {
                const auto r = threadRun(q, t, sudden);
                std::printf("%-7s %-3d %-7s %9.2f %9.2f %9.0f %7.2f %9.0f %9.0f %9zu %8.1f\n",
                            std::string(toString(q)).c_str(), t, sudden ? "sudden" : "moving", r.cpuMillisPerFrame,
                            r.wallMillisPerFrame, r.bytesPerFrame, r.psnr, r.minWindow, r.maxWindow, r.changeFrame,
                            r.encoderKB / 1024.0);
            }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--preset" && i + 1 < argc)
            preset = argv[++i];
        else if (a == "--threads" && i + 1 < argc)
            threads = std::max(1, std::atoi(argv[++i]));
        else if (a == "--tools")
            toolsOnly = true;
        else if (a == "--against-ffmpeg")
            againstFfmpegOnly = true;
        else if (a == "--weigh-threads")
            threadsOnly = true;
        else if (a == "--size" && i + 1 < argc && std::sscanf(argv[i + 1], "%dx%d", &screenWidth, &screenHeight) == 2)
            ++i;
        else
            rest.push_back(argv[i]);
    }
    if (toolsOnly) {
        weighCodingTools();
        return 0;
    }
    if (threadsOnly) {
        weighThreads();
        return 0;
    }
    // The screen and its painter come first, before any thread exists.
    morvane::testing::Xvfb xvfb(screenSize() + "x24");
    const std::string display = xvfb.display();
    bench::ScenePainter painter(display, 30);
    // Two monitors side by side on a screen of their own, the scene moving
    // on the right one only; held still until its turn.
    morvane::testing::Xvfb split(std::to_string(2 * screenWidth) + "x" + std::to_string(screenHeight) + "x24");
    for (const char* name : {"Left", "Right"}) {
        const std::string command = "DISPLAY=" + split.display() + " xrandr --setmonitor " + name + " " +
                                    std::to_string(screenWidth) + "/508x" + std::to_string(screenHeight) + "/286+" +
                                    std::to_string(name[0] == 'L' ? 0 : screenWidth) + "+0 none";
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "%s failed\n", command.c_str());
    }
    bench::ScenePainter rightPainter(split.display(), 30, screenWidth, screenWidth);
    rightPainter.pause();

    if (!againstFfmpegOnly) {
        int count = static_cast<int>(rest.size());
        benchmark::Initialize(&count, rest.data());
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();

        std::printf("\nWhole pipeline on Xvfb %s, panning picture and scrolling text at 30 fps, x264 preset %s, %d threads, %d s each; load %s\n",
                    screenSize().c_str(), preset.c_str(), threads, seconds, loadNow().c_str());
        std::printf("%-8s %-7s %12s %12s %16s\n", "path", "quality", "CPU ms/frame", "bytes/frame", "fps (target)");
        for (bool video : {false, true}) {
            for (auto q : {FrameQuality::low, FrameQuality::medium, FrameQuality::high}) {
                const auto m = runSource(display, q, video);
                const auto& s = CaptureSettings::of(q);
                std::printf("%-8s %-7s %12.2f %12.0f %9.1f (%d)\n", video ? "h264" : "jpeg",
                            std::string(toString(q)).c_str(), m.cpuMillisPerFrame, m.bytesPerFrame, m.fps,
                            video ? s.videoFramesPerSecond : s.framesPerSecond);
            }
        }
    }
    // The X server's CPU per frame (which the scene's drawing adds to on both
    // sides alike) is beside each, as grabbing costs it too.
    std::printf("\nH.264 against ffmpeg -f x11grab ... -c:v libx264 -preset %s -tune zerolatency -bf 0 -threads %d; "
                "load %s\n",
                preset.c_str(), threads, loadNow().c_str());
    std::printf("%-7s %14s %14s %12s %12s %8s %12s %12s\n", "quality", "ours ms/frame", "ffmpeg ms/fr", "ours B/fr",
                "ffmpeg B/fr", "ratio", "X ours ms/fr", "X ffmpeg");
    for (auto q : {FrameQuality::low, FrameQuality::medium, FrameQuality::high}) {
        auto ours = runSource(display, q, true, std::nullopt, xvfb.pid());
        ours.cpuMillisPerFrame -= ours.serverMillisPerFrame;
        const auto theirs = runFfmpeg(display, q, xvfb.pid());
        const double ratio = theirs.cpuMillisPerFrame > 0 ? ours.cpuMillisPerFrame / theirs.cpuMillisPerFrame : 0;
        std::printf("%-7s %14.2f %14.2f %12.0f %12.0f %7.2fx %12.2f %12.2f\n", std::string(toString(q)).c_str(),
                    ours.cpuMillisPerFrame, theirs.cpuMillisPerFrame, ours.bytesPerFrame, theirs.bytesPerFrame, ratio,
                    ours.serverMillisPerFrame, theirs.serverMillisPerFrame);
    }
    if (againstFfmpegOnly) return 0;

    compareQualityWithFfmpeg();

    // What moves on a monitor that is not streamed costs next to nothing.
    painter.pause();
    rightPainter.resume();
    std::printf("\nTwo monitors, the scene moving on the right one; CPU of the host and the X server together per "
                "second of streaming; load %s\n",
                loadNow().c_str());
    std::printf("%-8s %-7s %-9s %12s %10s\n", "path", "quality", "streamed", "CPU ms/s", "frames/s");
    {
        // The X server's own cost of the drawing, which no stream changes.
        const double cpu0 = cpuSecondsOf(split.pid());
        const auto wall0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        std::printf("%-8s %-7s %-9s %12.2f %10s\n", "none", "", "", (cpuSecondsOf(split.pid()) - cpu0) * 1000 / wall,
                    "");
    }
    for (bool video : {false, true})
        for (const char* monitor : {"Right", "Left"}) {
            const auto m = runSource(split.display(), FrameQuality::high, video, std::nullopt, split.pid(), monitor);
            std::printf("%-8s %-7s %-9s %12.2f %10.1f\n", video ? "h264" : "jpeg", "high",
                        monitor[0] == 'R' ? "moving" : "the other", m.cpuMillisPerSecond, m.fps);
        }
    rightPainter.pause();

    // A still screen costs only what it takes to notice that nothing moves.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::printf("\nStill screen, CPU of the host and the X server together per second of streaming\n");
    std::printf("%-8s %-7s %12s %8s\n", "path", "quality", "CPU ms/s", "frames");
    for (bool video : {false, true}) {
        const auto m = runSource(display, FrameQuality::high, video, std::nullopt, xvfb.pid());
        std::printf("%-8s %-7s %12.2f %8d\n", video ? "h264" : "jpeg", "high", m.cpuMillisPerSecond, m.frames);
    }
    painter.resume();

    // A small window above the painted screen, left out of the pictures as
    // the cover is.
    Display* d = XOpenDisplay(display.c_str());
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0x804020;
    const Window panel = XCreateWindow(d, DefaultRootWindow(d), 400, 300, 600, 400, 0, CopyFromParent, InputOutput,
                                       CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(d, panel);
    XSync(d, False);
    std::printf("\nLeaving a window out at 1080p, CPU per frame of the host and the X server together\n");
    std::printf("%-8s %-7s %12s %12s %12s %8s\n", "path", "quality", "plain ms/fr", "composed", "fps composed",
                "ratio");
    for (bool video : {false, true}) {
        const auto plain = runSource(display, FrameQuality::high, video, std::nullopt, xvfb.pid());
        const auto composed = runSource(display, FrameQuality::high, video, static_cast<int>(panel), xvfb.pid());
        const double ratio = plain.cpuMillisPerFrame > 0 ? composed.cpuMillisPerFrame / plain.cpuMillisPerFrame : 0;
        std::printf("%-8s %-7s %12.2f %12.2f %12.1f %7.2fx\n", video ? "h264" : "jpeg", "high",
                    plain.cpuMillisPerFrame, composed.cpuMillisPerFrame, composed.fps, ratio);
    }
    XDestroyWindow(d, panel);
    XCloseDisplay(d);

    return 0;
}
