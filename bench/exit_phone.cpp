// The phone of the exit soak (bench/run_exit_soak): opens a session with the
// real host by a paired device's token and keeps every part of it busy until
// the host goes: H.264 pictures, the pointer, the clipboard both ways and
// sound. Prints "streaming" once the first picture has come, and the number
// of pictures when the connection ends.
//
//   morvane_exit_phone TOKEN [PORT] [SECONDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "harness/ws_client.h"
#include "server/frame_message.h"

int main(int argc, char** argv) {
    using namespace morvane::testing;
    if (argc < 2) {
        std::fprintf(stderr, "usage: morvane_exit_phone TOKEN [PORT] [SECONDS]\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(argc > 2 ? std::atoi(argv[2]) : 8722);
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 120;
    try {
        WebSocket ws(port);
        const auto send = [&ws](const nlohmann::json& message) { ws.sendText(message.dump()); };
        send({{"t", "auth"}, {"token", argv[1]}});
        send({{"t", "video"}, {"want", "h264"}, {"maxW", 1280}, {"maxH", 720}});
        send({{"t", "audio-start"}});
        const auto until = Clock::now() + std::chrono::seconds(seconds);
        auto nextInput = Clock::now();
        int pictures = 0;
        int step = 0;
        while (Clock::now() < until) {
            if (Clock::now() >= nextInput) {
                // A pointer circling, a key now and then, and the clipboard read
                // and written, so that input, clipboard and capture all run.
                const double x = 0.5 + 0.3 * ((step % 40) - 20) / 20.0;
                send({{"t", "mm"}, {"x", x}, {"y", 0.5}});
                if (step % 10 == 0) send({{"t", "clip-get"}, {"id", step}});
                if (step % 10 == 5) {
                    const std::string text = "phone text " + std::to_string(step);
                    send({{"t", "clip-put"}, {"id", step}, {"n", 1}, {"len", text.size()}});
                    send({{"t", "clip-chunk"}, {"id", step}, {"i", 0}, {"s", text}});
                }
                if (step % 20 == 0) send({{"t", "keyframe"}});
                ++step;
                nextInput = Clock::now() + std::chrono::milliseconds(50);
            }
            const auto frame = ws.next(50);
            if (!frame) {
                if (ws.peerClosed(1)) break;
                continue;
            }
            if (frame->opcode == 0x8) break;
            const bool picture = frame->opcode == 0x2 && !frame->payload.empty() &&
                                 (static_cast<std::uint8_t>(frame->payload[0]) == morvane::FrameMessage::videoTag ||
                                  static_cast<std::uint8_t>(frame->payload[0]) == morvane::FrameMessage::jpegTag);
            if (picture && ++pictures == 1) {
                std::printf("streaming\n");
                std::fflush(stdout);
            }
        }
        std::printf("ended after %d pictures\n", pictures);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
