#include "platform/linux/input_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "input/event_input.h"
#include "platform/linux/x11_errors.h"
#include "platform/linux/input_x11_keys.h"
#include "platform/linux/locker_linux.h"

namespace morvane {

namespace {

// How long fresh bindings of spare keys are given to reach applications
// before any key is pressed, and how long what was typed on borrowed keys is
// given to be read before they are taken back for others. An application
// learns of a binding from a MappingNotify that it handles in its own time,
// and one that is starved of the processor takes far longer than usual; a
// key it reads before then is the empty key it was, and the character is
// lost. The wait is paid once for all the characters a text lacks, never
// for the characters the layout has.
constexpr std::chrono::milliseconds mappingSettle{250};

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

class X11InputBackend final : public InputBackend {
public:
    X11InputBackend(Display* display, std::function<void(const std::string&)> log)
        : display_(display), locker_(std::move(log)) {
        XDisplayKeycodes(display_, &minKeycode_, &maxKeycode_);
        XTestGrabControl(display_, True);
        readKeyboard();
    }

    ~X11InputBackend() override {
        if (!x11ConnectionLost(display_)) {
            for (const auto& [keycode, count] : pressed_) {
                if (count > 0) XTestFakeKeyEvent(display_, keycode, False, CurrentTime);
            }
            restoreBorrowed();
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
        const auto found = keycodeFor(code);
        if (!found) return;
        const KeyCode keycode = *found;
        int& count = pressed_[keycode];
        if (down) {
            // Two names can share one key (Command and Control here): the
            // key goes down with the first and up with the last.
            if (repeat || count++ == 0) XTestFakeKeyEvent(display_, keycode, True, CurrentTime);
        } else if (count > 0 && --count == 0) {
            XTestFakeKeyEvent(display_, keycode, False, CurrentTime);
        }
        XFlush(display_);
    }

    void expectText(std::u32string_view scalars) override {
        takeEvents();
        if (layoutStale_) readKeyboard();
        upcoming_.assign(scalars);
        next_ = 0;
        bindMissing(upcoming_);
    }

    void type(char32_t scalar) override {
        if (next_ < upcoming_.size() && upcoming_[next_] == scalar) ++next_;
        if (!typable(scalar)) return;
        takeEvents();
        if (layoutStale_) readKeyboard();
        std::optional<Stroke> stroke;
        if (const auto found = layout_.find(scalar); found != layout_.end()) {
            stroke = found->second;
        } else {
            auto bound = borrowed_.find(keysymOf(scalar));
            if (bound == borrowed_.end()) {
                // Not bound beforehand: the spare keys ran out before this
                // character. It is bound now, with what the text still
                // lacks after it.
                std::u32string rest(1, scalar);
                rest.append(upcoming_, next_);
                bindMissing(rest);
                bound = borrowed_.find(keysymOf(scalar));
            }
            if (bound != borrowed_.end()) stroke = Stroke{bound->second, false};
        }
        if (stroke) strokeAlone(*stroke);
    }

    void tap(std::string_view code) override {
        takeEvents();
        if (const auto keycode = keycodeFor(code)) strokeAlone(Stroke{*keycode, false});
    }

    void settleTyping() override {
        restoreBorrowed();
        XFlush(display_);
    }

    void pause(int millis) override {
        XFlush(display_);
        std::this_thread::sleep_for(std::chrono::milliseconds(millis));
    }

    bool screenLocked() override { return locker_.isLocked(); }
    void lockScreen() override { locker_.lock(); }

private:
    struct Stroke {
        KeyCode keycode;
        bool shift;
    };

    // Typed text carries no modifier the device holds: Control held while
    // typing must not turn letters, line breaks or tabs into shortcuts. Nor
    // does it carry a locked Caps Lock, which would change the case of what
    // was sent; the lock is taken off for the stroke and put back.
    void strokeAlone(const Stroke& stroke) {
        std::vector<KeyCode> lifted;
        for (const auto& [keycode, count] : pressed_) {
            if (count > 0 && modifierKeys_.contains(keycode)) lifted.push_back(keycode);
        }
        XkbStateRec state{};
        const bool capsLocked = XkbGetState(display_, XkbUseCoreKbd, &state) == Success &&
                                (state.locked_mods & LockMask) != 0;
        if (capsLocked) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, 0);
        for (KeyCode keycode : lifted) XTestFakeKeyEvent(display_, keycode, False, CurrentTime);
        const KeyCode shift = XKeysymToKeycode(display_, XK_Shift_L);
        const bool needsShift = stroke.shift && shift != 0;
        if (needsShift) XTestFakeKeyEvent(display_, shift, True, CurrentTime);
        XTestFakeKeyEvent(display_, stroke.keycode, True, CurrentTime);
        XTestFakeKeyEvent(display_, stroke.keycode, False, CurrentTime);
        if (needsShift) XTestFakeKeyEvent(display_, shift, False, CurrentTime);
        for (KeyCode keycode : lifted) XTestFakeKeyEvent(display_, keycode, True, CurrentTime);
        if (capsLocked) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, LockMask);
        XFlush(display_);
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
            }
        }
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
        modifierKeys_.clear();
        if (XModifierKeymap* modifiers = XGetModifierMapping(display_)) {
            for (int index : {ShiftMapIndex, ControlMapIndex, Mod1MapIndex, Mod3MapIndex, Mod4MapIndex, Mod5MapIndex}) {
                for (int k = 0; k < modifiers->max_keypermod; ++k) {
                    const KeyCode keycode = modifiers->modifiermap[index * modifiers->max_keypermod + k];
                    if (keycode != 0) modifierKeys_.insert(keycode);
                }
            }
            XFreeModifiermap(modifiers);
        }

        layout_.clear();
        spare_.clear();
        const int count = maxKeycode_ - minKeycode_ + 1;
        int perKeycode = 0;
        KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(minKeycode_), count, &perKeycode);
        if (!map) return;
        for (int i = 0; i < count; ++i) {
            const auto keycode = static_cast<KeyCode>(minKeycode_ + i);
            const KeySym* syms = map + static_cast<std::ptrdiff_t>(i) * perKeycode;
            bool empty = true;
            for (int level = 0; level < perKeycode; ++level) empty = empty && syms[level] == NoSymbol;
            if (empty) {
                spare_.push_back(keycode);
                continue;
            }
            if (borrowedKeycodes_.contains(keycode)) continue;
            for (int level = 0; level < std::min(perKeycode, 2); ++level) {
                const char32_t c = characterOf(syms[level]);
                if (c != 0 && !layout_.contains(c)) layout_.emplace(c, Stroke{keycode, level == 1});
            }
        }
        XFree(map);
    }

    std::vector<KeyCode> freeSpares() const {
        std::vector<KeyCode> free;
        for (KeyCode keycode : spare_)
            if (!borrowedKeycodes_.contains(keycode)) free.push_back(keycode);
        return free;
    }

    // Binds keycodes with nothing on them to the characters of `scalars`
    // that the layout lacks and no key holds yet, in order, as many as there
    // are spare keys, one after the other before a single wait: every
    // binding reaches applications before the first key of the text is
    // pressed. The bindings stay until typing settles, so a character
    // typed again costs nothing.
    void bindMissing(std::u32string_view scalars) {
        std::vector<KeySym> wanted;
        for (char32_t c : scalars) {
            if (!typable(c) || layout_.contains(c)) continue;
            const KeySym keysym = keysymOf(c);
            if (borrowed_.contains(keysym) || std::find(wanted.begin(), wanted.end(), keysym) != wanted.end())
                continue;
            wanted.push_back(keysym);
        }
        if (wanted.empty()) return;
        std::vector<KeyCode> free = freeSpares();
        if (free.empty()) {
            if (borrowed_.empty()) return;  // the keyboard has no spare key at all
            // Every spare key is in use: let applications read what was
            // typed before taking the keys back.
            XSync(display_, False);
            std::this_thread::sleep_for(mappingSettle);
            restoreBorrowed();
            XSync(display_, False);
            readKeyboard();
            free = freeSpares();
        }
        const std::size_t count = std::min(wanted.size(), free.size());
        if (count == 0) return;
        for (std::size_t i = 0; i < count; ++i) {
            KeySym syms[2] = {wanted[i], wanted[i]};
            XChangeKeyboardMapping(display_, free[i], 2, syms, 1);
            borrowed_.emplace(wanted[i], free[i]);
            borrowedKeycodes_.insert(free[i]);
        }
        XSync(display_, False);
        std::this_thread::sleep_for(mappingSettle);
    }

    void restoreBorrowed() {
        for (KeyCode keycode : borrowedKeycodes_) {
            KeySym none[2] = {NoSymbol, NoSymbol};
            XChangeKeyboardMapping(display_, keycode, 2, none, 1);
        }
        borrowed_.clear();
        borrowedKeycodes_.clear();
    }

    Display* display_;
    ScreenLocker locker_;
    int minKeycode_ = 8, maxKeycode_ = 255;
    bool layoutStale_ = false;
    std::unordered_map<std::string, KeyCode> physical_;
    std::unordered_map<char32_t, Stroke> layout_;
    std::vector<KeyCode> spare_;
    std::map<KeySym, KeyCode> borrowed_;
    // The text being typed, and how far its typing has come.
    std::u32string upcoming_;
    std::size_t next_ = 0;
    std::set<KeyCode> borrowedKeycodes_;
    std::map<KeyCode, int> pressed_;
    std::set<KeyCode> modifierKeys_;
};

}  // namespace

std::unique_ptr<InputBackend> makeX11InputBackend(std::function<void(const std::string&)> log,
                                                  const std::string& displayName) {
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
    return std::make_unique<X11InputBackend>(display, std::move(log));
}

std::unique_ptr<InputSink> makeX11Input(Executor& queue, std::function<std::optional<Rect>()> displayBounds,
                                        std::function<void(const std::string&)> log, const std::string& displayName) {
    auto backend = makeX11InputBackend(std::move(log), displayName);
    if (!backend) return nullptr;
    return std::make_unique<EventInput>(queue, std::move(backend), std::move(displayBounds));
}

}  // namespace morvane
