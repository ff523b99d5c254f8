#include "server/client_message.h"

#include <cmath>
#include <memory>
#include <optional>

#include <unicode/brkiter.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include "server/video_limits.h"
#include "transfer/clipboard_text.h"

namespace morvane {
namespace {

using nlohmann::json;

// The largest text message a device may send; anything longer is refused
// before a byte of it is parsed.
constexpr std::size_t maxMessageBytes = 16'384;


const json* member(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<double> finiteNumber(const json* value) {
    if (!value || !value->is_number()) return std::nullopt;  // booleans are not numbers here
    double d = value->get<double>();
    if (!std::isfinite(d)) return std::nullopt;
    return d;
}

// A whole number of magnitude below one million; 3.0 counts as whole.
std::optional<int> integer(const json* value) {
    auto d = finiteNumber(value);
    if (!d || std::trunc(*d) != *d || std::fabs(*d) >= 1'000'000.0) return std::nullopt;
    return static_cast<int>(*d);
}

std::optional<double> unit(const json* value) {
    auto d = finiteNumber(value);
    if (!d) return std::nullopt;
    return std::clamp(*d, 0.0, 1.0);
}

std::optional<bool> boolean(const json* value) {
    if (!value || !value->is_boolean()) return std::nullopt;
    return value->get<bool>();
}

const std::string* string(const json* value) {
    if (!value || !value->is_string()) return nullptr;
    return value->get_ptr<const std::string*>();
}

// Characters as the user sees them (extended grapheme clusters), counted
// only as far as `limit + 1` so a long text costs no more than needed.
std::int64_t graphemeCount(const std::string& text, std::int64_t limit) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) return limit + 1;
    UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status);
    if (U_FAILURE(status)) return limit + 1;
    it->setText(ut, status);
    std::int64_t count = 0;
    if (U_SUCCESS(status)) {
        it->first();
        while (it->next() != icu::BreakIterator::DONE) {
            if (++count > limit) break;
        }
    } else {
        count = limit + 1;
    }
    utext_close(ut);
    return count;
}

bool isAlphanumericASCII(const std::string& s) {
    for (unsigned char c : s) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    return true;
}

bool hasPrefix(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

bool isFileType(const std::string& t) {
    return t == "file-list" || t == "file-put" || t == "file-put-end" || t == "file-get" || t == "file-cancel";
}

bool isFxType(const std::string& t) {
    return t == "fx-hello" || t == "fx-probe" || t == "fx-match" || t == "fx-restore" || t == "fx-hide";
}

using M = ClientMessage;
const M ignored{M::Ignored{}};

M input(InputEvent event) { return M{M::Input{std::move(event)}}; }

M parseTyped(const std::string& t, const json& o) {
    if (t == "auth") {
        auto token = string(member(o, "token"));
        if (!token || token->size() > M::maxTokenBytes) return ignored;
        return M{M::Auth{*token}};
    }
    if (t == "hello") {
        auto v = integer(member(o, "v"));
        if (!v) return ignored;
        return M{M::Hello{*v}};
    }
    if (t == "ping") {
        auto id = member(o, "id");
        if (!finiteNumber(id)) return ignored;
        return M{M::Ping{*id}};
    }
    if (t == "mm") {
        auto x = unit(member(o, "x"));
        if (!x) return ignored;
        auto y = unit(member(o, "y"));
        if (!y) return ignored;
        return input(input::Move{*x, *y});
    }
    if (t == "mb") {
        auto b = integer(member(o, "b"));
        if (!b || *b < 0 || *b > 2) return ignored;
        auto d = boolean(member(o, "d"));
        if (!d) return ignored;
        auto x = unit(member(o, "x"));
        if (!x) return ignored;
        auto y = unit(member(o, "y"));
        if (!y) return ignored;
        int clicks = 1;
        if (auto c = member(o, "c")) {
            auto n = integer(c);
            if (!n || *n < 1 || *n > 3) return ignored;
            clicks = *n;
        }
        return input(input::Button{*b, *d, *x, *y, clicks});
    }
    if (t == "sc") {
        auto dx = finiteNumber(member(o, "dx"));
        if (!dx) return ignored;
        auto dy = finiteNumber(member(o, "dy"));
        if (!dy) return ignored;
        return input(input::Scroll{std::clamp(*dx, -M::maxScroll, M::maxScroll),
                                   std::clamp(*dy, -M::maxScroll, M::maxScroll)});
    }
    if (t == "k") {
        auto code = string(member(o, "code"));
        if (!code || code->empty() || code->size() > M::maxKeyCodeLength || !isAlphanumericASCII(*code))
            return ignored;
        auto d = boolean(member(o, "d"));
        if (!d) return ignored;
        return input(input::Key{*code, *d});
    }
    if (t == "text") {
        auto s = string(member(o, "s"));
        if (!s || s->empty() || graphemeCount(*s, M::maxTextCharacters) > M::maxTextCharacters) return ignored;
        return input(input::Text{*s});
    }
    if (t == "lock") return input(input::Lock{});
    if (t == "quality") {
        auto q = string(member(o, "q"));
        if (!q) return ignored;
        auto quality = frameQualityFromString(*q);
        if (!quality) return ignored;
        return M{M::Quality{*quality}};
    }
    if (t == "refresh") return M{M::Refresh{}};
    if (t == "keyframe") return M{M::Keyframe{}};
    if (t == "video") {
        auto want = string(member(o, "want"));
        if (!want) return ignored;
        if (*want == "jpeg") return M{M::Video{video_request::Jpeg{}}};
        if (*want != "h264") return ignored;
        auto w = integer(member(o, "maxW"));
        if (!w || *w < VideoLimits::requestMin || *w > VideoLimits::requestMax) return ignored;
        auto h = integer(member(o, "maxH"));
        if (!h || *h < VideoLimits::requestMin || *h > VideoLimits::requestMax) return ignored;
        return M{M::Video{video_request::H264{*w, *h}}};
    }
    if (t == "clip-get" || t == "clip-put" || t == "clip-chunk") {
        auto id = integer(member(o, "id"));
        if (!id || *id < 1 || *id > ClipboardLimits::maxTransferID) return ignored;
        if (t == "clip-get") return M{M::Clipboard{clipboard_request::Get{*id}}};
        if (t == "clip-put") {
            auto n = integer(member(o, "n"));
            if (!n || *n < 1) return ignored;
            auto len = integer(member(o, "len"));
            if (!len || *len < 1) return ignored;
            return M{M::Clipboard{clipboard_request::PutBegin{*id, *n, *len}}};
        }
        auto i = integer(member(o, "i"));
        if (!i || *i < 0 || *i >= ClipboardLimits::maxChunks) return ignored;
        auto s = string(member(o, "s"));
        if (!s || s->empty() || ClipboardText::length(*s) > ClipboardLimits::maxChunkCharacters) return ignored;
        return M{M::Clipboard{clipboard_request::PutChunk{*id, *i, *s}}};
    }
    if (t == "disp-select") {
        auto request = DisplayRequest::parse(o);
        if (!request) return ignored;
        return M{M::Display{*request}};
    }
    if (t == "audio-start") return M{M::Audio{AudioRequest::start}};
    if (t == "audio-stop") return M{M::Audio{AudioRequest::stop}};
    return ignored;
}

}  // namespace

ClientMessage ClientMessage::parse(std::string_view text) {
    return parse(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

ClientMessage ClientMessage::parse(std::span<const std::uint8_t> data) {
    if (data.size() > maxMessageBytes) return M{Malformed{}};
    json object = json::parse(data.begin(), data.end(), nullptr, /*allow_exceptions=*/false);
    if (object.is_discarded() || !object.is_object()) return M{Malformed{}};
    auto t = string(member(object, "t"));
    if (!t) return ignored;
    if (hasPrefix(*t, "file-")) {
        // The file side reads the fields; a request it cannot read is
        // passed over like an unknown type.
        if (!isFileType(*t)) return ignored;
        auto request = FileRequest::parse(*t, object);
        if (!request) return ignored;
        return M{File{std::move(*request)}};
    }
    if (hasPrefix(*t, "fx-")) {
        if (!isFxType(*t)) return ignored;
        return M{Fx{*t, std::move(object)}};
    }
    return parseTyped(*t, object);
}

}  // namespace morvane
