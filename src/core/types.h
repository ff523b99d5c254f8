// Small values that travel between the server, the shell and the platform
// adapters. They carry no logic beyond construction, equality and a few
// derived properties.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace morvane {

using Bytes = std::vector<std::uint8_t>;

// One input action from the controller. Coordinates are fractions (0...1) of
// the shared picture; the message reader clamps them before they get here.
namespace input {
struct Move {
    double x = 0, y = 0;
    bool operator==(const Move&) const = default;
};
struct Button {
    int button = 0;  // 0 left, 1 right, 2 middle
    bool down = false;
    double x = 0, y = 0;
    int clicks = 1;  // 1...3
    bool operator==(const Button&) const = default;
};
struct Scroll {
    double dx = 0, dy = 0;
    bool operator==(const Scroll&) const = default;
};
struct Key {
    std::string code;  // the browser's key code name, e.g. "KeyA"
    bool down = false;
    bool operator==(const Key&) const = default;
};
struct Text {
    std::string text;
    bool operator==(const Text&) const = default;
};
struct Lock {
    bool operator==(const Lock&) const = default;
};
}  // namespace input

using InputEvent = std::variant<input::Move, input::Button, input::Scroll, input::Key, input::Text, input::Lock>;

enum class FrameQuality { low, medium, high };
std::optional<FrameQuality> frameQualityFromString(std::string_view raw);
std::string_view toString(FrameQuality q);
inline int index(FrameQuality q) { return static_cast<int>(q); }

// One H.264 access unit in Annex B form.
struct EncodedVideoFrame {
    Bytes data;
    bool keyframe = false;
    std::uint64_t timestampMicros = 0;
    int width = 0;
    int height = 0;
    std::string codec;  // "avc1.PPCCLL"
    bool operator==(const EncodedVideoFrame&) const = default;
};

namespace session_event {
struct Started {
    std::string deviceID, name, route;  // route: "local", "tailnet" or "relay"
    bool operator==(const Started&) const = default;
};
struct Ended {
    std::string deviceID;
    bool takenOver = false;
    bool operator==(const Ended&) const = default;
};
}  // namespace session_event
using SessionEvent = std::variant<session_event::Started, session_event::Ended>;

enum class ConnectionRoute { loopback, tailnet, relay };
// The word used in the session history and the session-started event.
std::string_view recordName(ConnectionRoute r);

struct HostStatus {
    bool input = false;
    bool locked = false;
    bool sleepDisabled = false;
    bool lidClosed = false;
    bool operator==(const HostStatus&) const = default;
};

namespace clipboard_read {
struct Text {
    std::string text;
    bool operator==(const Text&) const = default;
};
struct Cut {
    std::string text;
    bool operator==(const Cut&) const = default;
};
struct Empty {
    bool operator==(const Empty&) const = default;
};
struct MarkedPrivate {
    bool operator==(const MarkedPrivate&) const = default;
};
struct Denied {
    bool operator==(const Denied&) const = default;
};
struct NeedsPermission {
    bool operator==(const NeedsPermission&) const = default;
};
}  // namespace clipboard_read
using ClipboardRead = std::variant<clipboard_read::Text, clipboard_read::Cut, clipboard_read::Empty,
                                   clipboard_read::MarkedPrivate, clipboard_read::Denied,
                                   clipboard_read::NeedsPermission>;

struct DisplayModeInfo {
    std::int32_t id = 0;
    int width = 0, height = 0;            // points
    int pixelWidth = 0, pixelHeight = 0;  // pixels
    double refresh = 0;                   // Hz, 0 when unknown
    bool usable = false;
    bool stretched = false;
    bool isHiDPI() const { return width >= 1 && pixelWidth >= 2 * width; }
    double area() const { return static_cast<double>(width) * static_cast<double>(height); }
    bool operator==(const DisplayModeInfo&) const = default;
};

namespace fx_event {
struct ModeChangedElsewhere {
    std::uint32_t display = 0;
    bool operator==(const ModeChangedElsewhere&) const = default;
};
struct Reconfigured { bool operator==(const Reconfigured&) const = default; };
struct CoverLost { bool operator==(const CoverLost&) const = default; };
struct KeyWatchLost { bool operator==(const KeyWatchLost&) const = default; };
struct EscapeHeld { bool operator==(const EscapeHeld&) const = default; };
struct SecureInput { bool operator==(const SecureInput&) const = default; };
struct SystemAway { bool operator==(const SystemAway&) const = default; };
}  // namespace fx_event
using DisplayEffectsEvent =
    std::variant<fx_event::ModeChangedElsewhere, fx_event::Reconfigured, fx_event::CoverLost,
                 fx_event::KeyWatchLost, fx_event::EscapeHeld, fx_event::SecureInput, fx_event::SystemAway>;

enum class EscapeArm { armed, noPermission, failed };

// Dates are whole seconds since the Unix epoch; the device store decides how
// they are written.
struct PairedDevice {
    std::string id;
    std::string name;
    std::string tokenHash;  // lower-case hex SHA-256 of the token; never the token
    std::int64_t pairedAt = 0;
    std::optional<std::int64_t> lastSeen;
    std::optional<std::string> relayKey;
    bool operator==(const PairedDevice&) const = default;
};

// The direction of one finished clipboard transfer; the words are what the
// input tally counts it under.
enum class ClipboardDirection { toMac, fromMac };
inline std::string_view toString(ClipboardDirection d) {
    return d == ClipboardDirection::toMac ? "clip-to-mac" : "clip-from-mac";
}

struct OutboxEntry {
    std::string name;
    std::int64_t size = 0;
    std::int64_t modified = 0;  // seconds since the Unix epoch
    bool operator==(const OutboxEntry&) const = default;
};

struct AudioChunk {
    Bytes pcm;  // signed 16-bit little-endian samples
    std::uint64_t timestampFrames = 0;
    bool operator==(const AudioChunk&) const = default;
};

enum class PauseCause { menu, stopSharing };
std::optional<PauseCause> pauseCauseFromString(std::string_view raw);
std::string_view toString(PauseCause c);
std::string_view byeReason(PauseCause c);
namespace PauseCauseWords {
inline constexpr std::string_view refusal = "paused";
}

// What to do when the system stopped a capture stream. On this platform the
// capture never reports an owner's stop, but the rule stays one place.
namespace CaptureStop {
inline constexpr std::string_view streamErrorDomain = "com.apple.ScreenCaptureKit.SCStreamErrorDomain";
inline constexpr int userStoppedCode = -3817;
enum class Action { honourOwner, retry };
Action action(std::string_view domain, int code);
}  // namespace CaptureStop

namespace PausePolicy {
inline bool lockWhenSessionEnds(bool lockOnDisconnect, bool paused) { return lockOnDisconnect && !paused; }
}  // namespace PausePolicy

}  // namespace morvane
