// Device-to-host text messages. Parsing is a pure function that never fails:
// whatever it refuses becomes `Malformed` (the connection closes) or
// `Ignored` (the session goes on).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include <nlohmann/json.hpp>

#include "capture/display_choice.h"
#include "core/types.h"
#include "transfer/file_protocol.h"

namespace morvane {

namespace video_request {
struct H264 {
    int maxWidth = 0;
    int maxHeight = 0;
    bool operator==(const H264&) const = default;
};
struct Jpeg {
    bool operator==(const Jpeg&) const = default;
};
}  // namespace video_request
using VideoRequest = std::variant<video_request::H264, video_request::Jpeg>;

namespace clipboard_request {
struct Get {
    int id = 0;
    bool operator==(const Get&) const = default;
};
struct PutBegin {
    int id = 0;
    int chunks = 0;
    int length = 0;
    bool operator==(const PutBegin&) const = default;
};
struct PutChunk {
    int id = 0;
    int index = 0;
    std::string text;
    bool operator==(const PutChunk&) const = default;
};
}  // namespace clipboard_request
using ClipboardRequest = std::variant<clipboard_request::Get, clipboard_request::PutBegin, clipboard_request::PutChunk>;

enum class AudioRequest { start, stop };

struct ClientMessage {
    struct Auth {
        std::string token;
        bool operator==(const Auth&) const = default;
    };
    struct Hello {
        int version = 0;
        bool operator==(const Hello&) const = default;
    };
    // The id exactly as it arrived (integer or fraction), so the pong
    // repeats it in the same form.
    struct Ping {
        nlohmann::json id;
        bool operator==(const Ping&) const = default;
    };
    struct Input {
        InputEvent event;
        bool operator==(const Input&) const = default;
    };
    struct Quality {
        FrameQuality quality = FrameQuality::medium;
        bool operator==(const Quality&) const = default;
    };
    struct Video {
        VideoRequest request;
        bool operator==(const Video&) const = default;
    };
    struct Clipboard {
        ClipboardRequest request;
        bool operator==(const Clipboard&) const = default;
    };
    struct Display {
        DisplayRequest request;
        bool operator==(const Display&) const = default;
    };
    struct File {
        FileRequest request;
        bool operator==(const File&) const = default;
    };
    // Display-effects requests are recognised by type here and read field
    // by field by their own feature; until then they travel as the type
    // word and the object that carried it.
    struct Audio {
        AudioRequest request = AudioRequest::start;
        bool operator==(const Audio&) const = default;
    };
    struct Fx {
        std::string type;
        nlohmann::json object;
        bool operator==(const Fx&) const = default;
    };
    struct Malformed {
        bool operator==(const Malformed&) const = default;
    };
    struct Ignored {
        bool operator==(const Ignored&) const = default;
    };
    struct Refresh {
        bool operator==(const Refresh&) const = default;
    };
    struct Keyframe {
        bool operator==(const Keyframe&) const = default;
    };

    using Value = std::variant<Auth, Hello, Ping, Input, Quality, Video, Clipboard, Display, File, Audio, Fx,
                               Malformed, Ignored, Refresh, Keyframe>;
    Value value = Ignored{};

    static constexpr int maxTextCharacters = 2'000;
    static constexpr std::size_t maxKeyCodeLength = 32;
    static constexpr double maxScroll = 2'000.0;
    static constexpr std::size_t maxTokenBytes = 128;

    // One text message's bytes to a message; never throws.
    static ClientMessage parse(std::span<const std::uint8_t> data);
    static ClientMessage parse(std::string_view text);

    template <class T>
    bool is() const {
        return std::holds_alternative<T>(value);
    }
    template <class T>
    const T* get() const {
        return std::get_if<T>(&value);
    }
    bool operator==(const ClientMessage&) const = default;
};

}  // namespace morvane
