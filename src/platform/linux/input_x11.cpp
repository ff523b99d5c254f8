#include "platform/linux/input_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "input/event_input.h"
#include "input/likely_characters.h"
#include "input/spare_key_pool.h"
#include "platform/linux/x11_errors.h"
#include "platform/linux/input_x11_keys.h"

namespace morvane {

namespace {

bool typable(char32_t scalar) { return scalar >= 0x20 && !(scalar >= 0x7f && scalar <= 0x9f) && scalar <= 0x10ffff; }

// The Unicode character a keysym types, for the keysyms that say so
// directly; 0 for the rest.
char32_t characterOf(KeySym keysym) {
    if ((keysym >= 0x20 && keysym <= 0x7e) || (keysym >= 0xa0 && keysym <= 0xff)) return static_cast<char32_t>(keysym);
    if (keysym >= 0x1000100 && keysym <= 0x110ffff) return static_cast<char32_t>(keysym - 0x1000000);
    if (keysym == XK_EuroSign) return U'\u20AC';
    return 0;
}

KeySym keysymOf(char32_t c) {
    if ((c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff)) return c;
    return 0x1000000 | c;
}

// How long a modifier stays as it is after a key went down, as a hand holds
// Shift across a key. Some clients read the modifiers only when they get to
// a key's event, by asking the server for them: xscreensaver's unlock dialog
// takes raw XInput 2 key events, which carry no modifier state, and reads
// them in a batch once per frame of its animation (about 40 ms apart, longer
// on a loaded machine), asking for the state for each. Shift let go within
// that time makes a capital a small letter there.
constexpr std::int64_t modifierSettleMillis = 100;

// News of windows kept for the wake at most.
constexpr std::size_t maxWindowNews = 1024;
// How far the pointer goes to wake the locker, and comes back: xscreensaver
// takes moves under 10 pixels for a shaking table.
constexpr int lockerNudgePixels = 16;

class X11InputBackend final : public InputBackend {
public:
    // The likely characters are bound at once, so that by the time a
    // device types one its binding has long reached every application.
    X11InputBackend(Display* display, std::u32string prepared) : display_(display) {
        XDisplayKeycodes(display_, &minKeycode_, &maxKeycode_);
        XTestGrabControl(display_, True);
        readKeyboard();
        pool_.prepare(std::move(prepared));
        bind(pool_.bindPrepared(lacks(), nowMillis()));
    }

    // The borrowed keys are the user's: they go back before the host does,
    // once applications may have read what was typed on them.
    ~X11InputBackend() override {
        if (!x11ConnectionLost(display_)) {
            endTyping();
            for (const auto& [keycode, count] : pressed_) {
                if (count > 0) XTestFakeKeyEvent(display_, keycode, False, CurrentTime);
            }
            for (int wait = giveBack(SpareKeyPool::Keep::nothing); wait > 0;
                 wait = giveBack(SpareKeyPool::Keep::nothing))
                std::this_thread::sleep_for(std::chrono::milliseconds(wait));
            XSync(display_, False);
        }
        closeX11Display(display_);
    }

    Rect mainDisplayBounds() override {
        const int screen = DefaultScreen(display_);
        return {0, 0, static_cast<double>(DisplayWidth(display_, screen)),
                static_cast<double>(DisplayHeight(display_, screen))};
    }

    std::optional<GlobalPoint> cursor() override {
        Window root = 0, child = 0;
        int rootX = 0, rootY = 0, x = 0, y = 0;
        unsigned int mask = 0;
        if (!XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &rootX, &rootY, &x, &y, &mask))
            return std::nullopt;
        return GlobalPoint{static_cast<double>(rootX), static_cast<double>(rootY)};
    }

    void move(GlobalPoint at, std::optional<int>) override {
        moveTo(at);
        XFlush(display_);
    }

    void button(int button, bool down, GlobalPoint at, int) override {
        static constexpr unsigned int xButtons[] = {1, 3, 2};
        if (button < 0 || button > 2) return;
        moveTo(at);
        XTestFakeButtonEvent(display_, xButtons[button], down ? True : False, CurrentTime);
        XFlush(display_);
    }

    void wheel(int vertical, int horizontal) override {
        click(vertical > 0 ? 4 : 5, std::abs(vertical));
        click(horizontal > 0 ? 6 : 7, std::abs(horizontal));
        XFlush(display_);
    }

    void key(std::string_view code, bool down, bool repeat) override {
        takeEvents();
        endTyping();
        const auto found = keycodeFor(code);
        if (!found) return;
        const KeyCode keycode = *found;
        int& count = pressed_[keycode];
        // Two names can share one key (Command and Control here): the key
        // goes down with the first and up with the last.
        const bool send = down ? (repeat || count++ == 0) : (count > 0 && --count == 0);
        if (!send) return;
        // The keys panel sends a chord's modifier, its key and the
        // modifier's release at once: the modifier waits as a hand would.
        const bool modifier = stateKeys_.contains(keycode);
        if (modifier) settle();
        XTestFakeKeyEvent(display_, keycode, down ? True : False, CurrentTime);
        if (down && !modifier) {
            XSync(display_, False);
            lastPressAt_ = nowMillis();
        } else {
            XFlush(display_);
        }
    }

    // Whatever the text lacks is bound on keys free now, and its first key
    // goes at once: only a key that was just bound waits, when its turn comes.
    // A locked screen's dialog asks for the modifiers late: what the layout
    // types with Shift goes there on keys of its own too, bound before the
    // wake, which outlasts their settle. Everywhere else it goes with Shift
    // on its own key, which changes no keymap and waits for nothing.
    void expectText(std::u32string_view scalars, bool lockedScreen) override {
        takeEvents();
        if (layoutStale_) readKeyboard();
        upcoming_.assign(scalars);
        next_ = 0;
        lateReaders_ = lockedScreen;
        bind(pool_.bindFree(upcoming_, lacks(), nowMillis()));
        if (lateReaders_) bind(pool_.bindSpare(upcoming_, shifted(), nowMillis()));
    }

    void type(char32_t scalar) override {
        if (next_ < upcoming_.size() && upcoming_[next_] == scalar) ++next_;
        if (!typable(scalar)) return;
        takeEvents();
        if (layoutStale_) readKeyboard();
        if (const auto found = layout_.find(scalar); found != layout_.end()) {
            // A capital or symbol on a spare key of its own needs no Shift,
            // which a reader that asks for the modifiers late would miss.
            if (found->second.level != Level::shifted || !lateReaders_ || !pool_.keyOf(scalar)) {
                strokeAlone(found->second);
                return;
            }
            sleepUntil(pool_.readyAt(scalar));
        } else if (!pool_.keyOf(scalar) || nowMillis() < pool_.readyAt(scalar)) {
            std::u32string rest(1, scalar);
            rest.append(upcoming_, next_);
            if (!pool_.keyOf(scalar)) {
                // No key was free for it before the text: it takes the one
                // free soonest, once that one's presses may have been read.
                const auto choice = pool_.choose(rest, nowMillis());
                if (!choice) return;  // the keyboard has no spare key at all
                sleepUntil(choice->at);
                bind({{choice->key, scalar}});
            }
            // While its binding settles, keys that come free take what the
            // text still lacks, which then waits no longer than this one.
            for (std::int64_t now = nowMillis(); now < pool_.readyAt(scalar); now = nowMillis()) {
                bind(pool_.bindFree(rest, lacks(), now));
                const auto next = pool_.nextFree(rest, lacks(), now);
                sleepUntil(next ? std::min(*next, pool_.readyAt(scalar)) : pool_.readyAt(scalar));
            }
        }
        const auto key = pool_.keyOf(scalar);
        if (!key) return;
        // Our keys carry the character on both levels: Shift held for the
        // text's capitals around it does not change it.
        strokeAlone(Stroke{static_cast<KeyCode>(*key), Level::either});
        // The key's idle time counts from when the server has sent the press.
        pool_.pressed(scalar, *lastPressAt_);
    }

    void tap(std::string_view code) override {
        takeEvents();
        if (const auto keycode = keycodeFor(code)) strokeAlone(Stroke{*keycode, Level::plain});
    }

    void endText() override {
        endTyping();
        XFlush(display_);
    }

    // The likely characters stay, and those a text took the keys of, or
    // a new layout dropped, are bound again.
    int giveBackKeys() override {
        const int wait = giveBack(SpareKeyPool::Keep::prepared);
        if (!x11ConnectionLost(display_)) bind(pool_.bindPrepared(lacks(), nowMillis()));
        return wait;
    }

    void nudgePointer() override {
        takeEvents();
        if (const auto at = cursor()) {
            const Rect screen = mainDisplayBounds();
            const int x = static_cast<int>(at->x), y = static_cast<int>(at->y);
            const int away = x + lockerNudgePixels < screen.width ? x + lockerNudgePixels : x - lockerNudgePixels;
            XTestFakeMotionEvent(display_, -1, away, y, CurrentTime);
            XTestFakeMotionEvent(display_, -1, x, y, CurrentTime);
        }
        XSync(display_, False);
    }

    void watchWindows(bool on) override {
        takeEvents();
        if (on) readScreens();
        XSelectInput(display_, root(), on ? SubstructureNotifyMask : NoEventMask);
        XSync(display_, False);
        if (!on) takeEvents();
        watchingWindows_ = on;
        if (!on) windowNews_.clear();
    }

    std::vector<WindowNews> windowNews() override {
        takeEvents();
        return std::exchange(windowNews_, {});
    }

    void pause(int millis) override {
        XFlush(display_);
        std::this_thread::sleep_for(std::chrono::milliseconds(millis));
    }

private:
    enum class Level { plain, shifted, either };
    struct Area {
        int x, y, width, height;
    };
    struct Stroke {
        KeyCode keycode;
        Level level;
    };

    // Typed text carries no modifier the device holds: Control held while
    // typing must not turn letters, line breaks or tabs into shortcuts. Nor
    // does it carry a locked Caps Lock, which would change the case of what
    // was sent. Both are taken off for the whole text. At a locked screen
    // Shift is held across each run of characters that need it, as a hand
    // does: each change waits until the key before it may have been read.
    // Elsewhere Shift is latched for the one key: the key's event carries it
    // as a held Shift would, but no event of Shift's own goes before it, each
    // of which costs a reader that asks the server about every key a round
    // trip of its own.
    void strokeAlone(const Stroke& stroke) {
        beginTyping();
        if (lateReaders_ && stroke.level != Level::either) holdShift(stroke.level == Level::shifted);
        if (!lateReaders_ && stroke.level == Level::shifted)
            XkbLatchModifiers(display_, XkbUseCoreKbd, ShiftMask, ShiftMask);
        XTestFakeKeyEvent(display_, stroke.keycode, True, CurrentTime);
        XTestFakeKeyEvent(display_, stroke.keycode, False, CurrentTime);
        XSync(display_, False);
        lastPressAt_ = nowMillis();
    }

    void beginTyping() {
        if (typing_) return;
        typing_ = true;
        lifted_.clear();
        for (const auto& [keycode, count] : pressed_) {
            if (count > 0 && modifierKeys_.contains(keycode)) lifted_.push_back(keycode);
        }
        XkbStateRec state{};
        capsTaken_ = XkbGetState(display_, XkbUseCoreKbd, &state) == Success && (state.locked_mods & LockMask) != 0;
        if (lifted_.empty() && !capsTaken_) return;
        settleForLateReaders();
        if (capsTaken_) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, 0);
        for (KeyCode keycode : lifted_) XTestFakeKeyEvent(display_, keycode, False, CurrentTime);
    }

    void holdShift(bool held) {
        if (held == shiftHeld_.has_value() || (held && shiftKey_ == 0)) return;
        settleForLateReaders();
        if (held)
            shiftHeld_ = shiftKey_;
        XTestFakeKeyEvent(display_, *shiftHeld_, held ? True : False, CurrentTime);
        if (!held) shiftHeld_.reset();
    }

    // The modifiers go back to what the device holds.
    void endTyping() {
        if (!typing_) return;
        typing_ = false;
        if (!shiftHeld_ && lifted_.empty() && !capsTaken_) return;
        settleForLateReaders();
        if (shiftHeld_) XTestFakeKeyEvent(display_, *shiftHeld_, False, CurrentTime);
        shiftHeld_.reset();
        for (KeyCode keycode : lifted_) XTestFakeKeyEvent(display_, keycode, True, CurrentTime);
        if (capsTaken_) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, LockMask);
        lifted_.clear();
        capsTaken_ = false;
    }

    // Waits until the last key press may have been read with the
    // modifiers it went down with.
    void settle() {
        if (lastPressAt_) sleepUntil(*lastPressAt_ + modifierSettleMillis);
    }
    // Typing's own changes of the modifiers: every reader but a locked
    // screen's dialog takes them with the key's event, in order.
    void settleForLateReaders() {
        if (lateReaders_) settle();
    }

    void moveTo(GlobalPoint at) {
        XTestFakeMotionEvent(display_, -1, static_cast<int>(std::floor(at.x)), static_cast<int>(std::floor(at.y)),
                             CurrentTime);
    }

    void click(unsigned int button, int times) {
        for (int i = 0; i < times; ++i) {
            XTestFakeButtonEvent(display_, button, True, CurrentTime);
            XTestFakeButtonEvent(display_, button, False, CurrentTime);
        }
    }

    // Keyboard mapping changes (ours included) arrive as events on this
    // connection; they only mark the tables for reading again.
    void takeEvents() {
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == MappingNotify) {
                XRefreshKeyboardMapping(&event.xmapping);
                layoutStale_ = true;
            } else if (watchingWindows_) {
                tellWindow(event);
            }
        }
    }

    // What the root's substructure says of its windows: a window taken into
    // another one is no longer a window of its own on the screen.
    void tellWindow(const XEvent& event) {
        using Kind = WindowNews::Kind;
        std::optional<WindowNews> news;
        if (event.type == CreateNotify && event.xcreatewindow.parent == root())
            news = WindowNews{Kind::made, event.xcreatewindow.window, covers(event.xcreatewindow)};
        else if (event.type == MapNotify && event.xmap.event == root())
            news = WindowNews{Kind::shown, event.xmap.window};
        else if (event.type == UnmapNotify && event.xunmap.event == root())
            news = WindowNews{Kind::gone, event.xunmap.window};
        else if (event.type == DestroyNotify && event.xdestroywindow.event == root())
            news = WindowNews{Kind::gone, event.xdestroywindow.window};
        else if (event.type == ReparentNotify && event.xreparent.event == root() && event.xreparent.parent != root())
            news = WindowNews{Kind::gone, event.xreparent.window};
        if (!news) return;
        // Nobody asking while windows come and go by the thousand: the
        // oldest news goes, which at worst costs a key for the dialog one
        // more wait.
        if (windowNews_.size() >= maxWindowNews) windowNews_.erase(windowNews_.begin());
        windowNews_.push_back(*news);
    }

    Window root() const { return DefaultRootWindow(display_); }

    // The monitors, or the whole screen where RandR names none.
    void readScreens() {
        screens_.clear();
        int event = 0, error = 0, count = 0;
        if (XRRQueryExtension(display_, &event, &error)) {
            if (XRRMonitorInfo* monitors = XRRGetMonitors(display_, root(), True, &count)) {
                for (int i = 0; i < count; ++i)
                    screens_.push_back({monitors[i].x, monitors[i].y, monitors[i].width, monitors[i].height});
                XRRFreeMonitors(monitors);
            }
        }
        Window unused = 0;
        int x = 0, y = 0;
        unsigned int width = 0, height = 0, border = 0, depth = 0;
        if (screens_.empty() && XGetGeometry(display_, root(), &unused, &x, &y, &width, &height, &border, &depth))
            screens_.push_back({0, 0, static_cast<int>(width), static_cast<int>(height)});
    }

    bool covers(const XCreateWindowEvent& made) const {
        return std::any_of(screens_.begin(), screens_.end(), [&](const Area& s) {
            return made.x <= s.x && made.y <= s.y && made.x + made.width >= s.x + s.width &&
                   made.y + made.height >= s.y + s.height;
        });
    }

    std::optional<KeyCode> keycodeFor(std::string_view code) {
        if (layoutStale_) readKeyboard();
        const auto key = x11Key(code);
        if (!key) return std::nullopt;
        if (const auto it = physical_.find(std::string(key->xkbName)); it != physical_.end()) return it->second;
        const KeyCode keycode = XKeysymToKeycode(display_, key->keysym);
        if (keycode == 0) return std::nullopt;
        return keycode;
    }

    void readKeyboard() {
        layoutStale_ = false;
        physical_.clear();
        if (XkbDescPtr xkb = XkbGetMap(display_, 0, XkbUseCoreKbd)) {
            if (XkbGetNames(display_, XkbKeyNamesMask | XkbKeyAliasesMask, xkb) == Success && xkb->names &&
                xkb->names->keys) {
                for (int kc = xkb->min_key_code; kc <= xkb->max_key_code; ++kc) {
                    const char* name = xkb->names->keys[kc].name;
                    const std::string key(name, strnlen(name, XkbKeyNameLength));
                    if (!key.empty()) physical_.emplace(key, static_cast<KeyCode>(kc));
                }
                for (int i = 0; i < xkb->names->num_key_aliases; ++i) {
                    const auto& alias = xkb->names->key_aliases[i];
                    const std::string real(alias.real, strnlen(alias.real, XkbKeyNameLength));
                    const std::string other(alias.alias, strnlen(alias.alias, XkbKeyNameLength));
                    if (const auto it = physical_.find(real); it != physical_.end()) physical_.emplace(other, it->second);
                }
            }
            XkbFreeKeyboard(xkb, 0, True);
        }

        // Keys of the shift, control, alt and super modifiers; not those of
        // the lock modifiers, which a release and press would toggle.
        // Looking a keysym up also keeps Xlib's copy of the keyboard fresh,
        // without which it would not report the keyboard's changes to us.
        shiftKey_ = XKeysymToKeycode(display_, XK_Shift_L);
        // Keys of every modifier change the state a key is read with.
        modifierKeys_.clear();
        stateKeys_.clear();
        if (XModifierKeymap* modifiers = XGetModifierMapping(display_)) {
            for (int index = ShiftMapIndex; index <= Mod5MapIndex; ++index) {
                const bool lock = index == LockMapIndex || index == Mod2MapIndex;
                for (int k = 0; k < modifiers->max_keypermod; ++k) {
                    const KeyCode keycode = modifiers->modifiermap[index * modifiers->max_keypermod + k];
                    if (keycode == 0) continue;
                    stateKeys_.insert(keycode);
                    if (!lock) modifierKeys_.insert(keycode);
                }
            }
            XFreeModifiermap(modifiers);
        }

        layout_.clear();
        const int count = maxKeycode_ - minKeycode_ + 1;
        int perKeycode = 0;
        KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(minKeycode_), count, &perKeycode);
        if (!map) return;
        const auto symsOf = [&](int keycode) {
            return map + static_cast<std::ptrdiff_t>(keycode - minKeycode_) * perKeycode;
        };
        std::vector<int> empty;
        for (int keycode = minKeycode_; keycode <= maxKeycode_; ++keycode) {
            const KeySym* syms = symsOf(keycode);
            if (std::all_of(syms, syms + perKeycode, [](KeySym s) { return s == NoSymbol; })) empty.push_back(keycode);
        }
        // Ours is a key with the character's symbol and nothing else on it,
        // however the server spreads it over the levels.
        pool_.refresh(std::move(empty), [&](int keycode, char32_t c) {
            const KeySym* syms = symsOf(keycode);
            const KeySym keysym = keysymOf(c);
            return syms[0] == keysym &&
                   std::all_of(syms, syms + perKeycode, [&](KeySym s) { return s == keysym || s == NoSymbol; });
        });
        for (int keycode = minKeycode_; keycode <= maxKeycode_; ++keycode) {
            if (pool_.owns(keycode)) continue;
            const KeySym* syms = symsOf(keycode);
            for (int level = 0; level < std::min(perKeycode, 2); ++level) {
                const char32_t c = characterOf(syms[level]);
                if (c != 0 && !layout_.contains(c))
                    layout_.emplace(c, Stroke{static_cast<KeyCode>(keycode), level == 1 ? Level::shifted : Level::plain});
            }
        }
        XFree(map);
    }

    std::function<bool(char32_t)> lacks() const {
        return [this](char32_t c) { return typable(c) && !layout_.contains(c); };
    }

    // What the layout types only with Shift held.
    std::function<bool(char32_t)> shifted() const {
        return [this](char32_t c) {
            const auto found = layout_.find(c);
            return found != layout_.end() && found->second.level == Level::shifted;
        };
    }

    // Bindings go out together, before any key of the text; each key's
    // settle counts from when the server has them.
    void bind(const std::vector<SpareKeyPool::Binding>& bindings) {
        if (bindings.empty()) return;
        change(bindings);
        XSync(display_, False);
        const std::int64_t now = nowMillis();
        for (const auto& b : bindings) pool_.bind(b.key, b.character, now);
    }

    int giveBack(SpareKeyPool::Keep keep) {
        if (x11ConnectionLost(display_)) return 0;
        // A key the user's layout took since is not ours to give back.
        takeEvents();
        if (layoutStale_) readKeyboard();
        const std::int64_t now = nowMillis();
        const auto given = pool_.giveBack(now, keep);
        std::vector<SpareKeyPool::Binding> emptied;
        for (int keycode : given.keys) emptied.push_back({keycode, 0});
        change(emptied);
        XFlush(display_);
        return given.nextAt ? static_cast<int>(std::max<std::int64_t>(*given.nextAt - now, 1)) : 0;
    }

    // Character 0 empties its key.
    void change(const std::vector<SpareKeyPool::Binding>& bindings) {
        for (const auto& run : SpareKeyPool::runs(bindings)) {
            std::vector<KeySym> syms;
            for (const auto& b : run) syms.insert(syms.end(), 2, b.character ? keysymOf(b.character) : NoSymbol);
            XChangeKeyboardMapping(display_, run.front().key, 2, syms.data(), static_cast<int>(run.size()));
        }
    }

    static void sleepUntil(std::int64_t millis) {
        const std::int64_t wait = millis - nowMillis();
        if (wait > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }

    Display* display_;
    int minKeycode_ = 8, maxKeycode_ = 255;
    bool layoutStale_ = false;
    std::unordered_map<std::string, KeyCode> physical_;
    std::unordered_map<char32_t, Stroke> layout_;
    SpareKeyPool pool_;
    // The text being typed, and how far its typing has come.
    std::u32string upcoming_;
    std::size_t next_ = 0;
    std::map<KeyCode, int> pressed_;
    std::set<KeyCode> modifierKeys_, stateKeys_;
    // The text goes to a locked screen's dialog.
    bool lateReaders_ = false;
    // What typing changed of the modifiers, until the text is over.
    bool typing_ = false;
    std::vector<KeyCode> lifted_;
    bool capsTaken_ = false;
    KeyCode shiftKey_ = 0;
    std::optional<KeyCode> shiftHeld_;
    std::optional<std::int64_t> lastPressAt_;
    // The top-level windows' news while a locked screen's wake watches them.
    bool watchingWindows_ = false;
    std::vector<WindowNews> windowNews_;
    // Where a window made covers a whole screen, read as the watch begins.
    std::vector<Area> screens_;
};

}  // namespace

std::unique_ptr<InputBackend> makeX11InputBackend(std::function<void(const std::string&)> log,
                                                  const std::string& displayName,
                                                  std::optional<std::u32string> prepared) {
    Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (!display) {
        if (log) log("input injection is not available: the X display cannot be opened");
        return nullptr;
    }
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &event, &error, &major, &minor)) {
        if (log) log("input injection is not available: the X server has no XTEST extension");
        XCloseDisplay(display);
        return nullptr;
    }
    tolerateX11Errors(display);
    if (!prepared) {
        const auto variable = [](const char* name) -> const char* { return std::getenv(name); };
        prepared = LikelyCharacters::forLocales(LikelyCharacters::userLocales(variable));
    }
    return std::make_unique<X11InputBackend>(display, std::move(*prepared));
}

std::unique_ptr<InputSink> makeX11Input(Executor& queue, std::function<std::optional<Rect>()> displayBounds,
                                        std::function<void(const std::string&)> log, const std::string& displayName,
                                        std::optional<std::u32string> prepared, std::function<bool()> screenLocked) {
    auto backend = makeX11InputBackend(log, displayName, std::move(prepared));
    if (!backend) return nullptr;
    return std::make_unique<EventInput>(queue, std::move(backend), std::move(displayBounds),
                                        InputTuning::pixelsPerWheelStep, std::move(screenLocked), std::move(log));
}

}  // namespace morvane
