// Google Test comes before the X headers, whose macros would clash with it.
#include <gtest/gtest.h>

#include "platform/linux/input_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "core/loop_executor.h"
#include "input/event_input.h"
#include "input/key_map.h"
#include "input/spare_key_pool.h"
#include "../support/eventually.h"
#include "../support/xvfb.h"
#include "state_asking_reader.h"
#include "x_recorder.h"

namespace morvane {
namespace {

using testing::XRecord;
using testing::XRecorder;

std::vector<XRecord> only(const std::vector<XRecord>& records, std::initializer_list<int> types) {
    std::vector<XRecord> out;
    for (const auto& r : records)
        if (std::find(types.begin(), types.end(), r.type) != types.end()) out.push_back(r);
    return out;
}

std::u32string typed(const std::vector<XRecord>& records) {
    std::u32string out;
    for (const auto& r : records)
        if (r.type == KeyPress)
            if (char32_t c = testing::characterOf(r.keysym)) out.push_back(c);
    return out;
}

// The key that types `keysym` now, as a client that connects afresh sees it.
unsigned int keycodeOf(KeySym keysym) {
    Display* probe = XOpenDisplay(nullptr);
    if (!probe) return 0;
    const unsigned int keycode = XKeysymToKeycode(probe, keysym);
    XCloseDisplay(probe);
    return keycode;
}

// Puts `keysym` on `keycode`, as the user's own layout change would.
void rebindAsTheUser(unsigned int keycode, KeySym keysym) {
    Display* other = XOpenDisplay(nullptr);
    ASSERT_TRUE(other);
    KeySym syms[2] = {keysym, keysym};
    XChangeKeyboardMapping(other, static_cast<int>(keycode), 2, syms, 1);
    XSync(other, False);
    XCloseDisplay(other);
}

// The server's clock counts coarse ticks of a few milliseconds.
constexpr long serverTick = 10;

struct X11InputFixture : ::testing::Test {
    morvane::testing::Xvfb xvfb{"1280x720x24"};
    XRecorder recorder;
    std::optional<Rect> shown;
    std::vector<std::string> log;
    LoopExecutor queue{"input"};
    // Characters the layout lacks are bound as texts need them: none ahead.
    std::unique_ptr<InputSink> input =
        makeX11Input(queue, [this] { return shown; }, [this](const std::string& l) { log.push_back(l); }, "", U"");

    void send(std::initializer_list<InputEvent> events) {
        for (const auto& e : events) input->handle(e);
    }

    // The input at a locked screen, where the unlock dialog reads keys: one
    // that shows all along here (the recorder's window), so the first key
    // waits out a wake in vain and the keys after it go straight.
    LoopExecutor lockedSinkQueue{"input.locked"};
    std::unique_ptr<InputSink> lockedSink = makeX11Input(
        lockedSinkQueue, [] { return std::optional<Rect>(); }, {}, "", U"", [] { return true; });
};

// A password by Type (one text) or by Live (a text a character), then Return.
void sendPassword(InputSink& input, const std::string& password, bool live) {
    if (live) {
        for (char c : password) input.handle(input::Text{std::string(1, c)});
    } else {
        input.handle(input::Text{password});
    }
    input.handle(input::Key{"Enter", true});
    input.handle(input::Key{"Enter", false});
}

TEST_F(X11InputFixture, PointerAndButtonsArriveAtTheMappedRootPosition) {
    ASSERT_TRUE(input);
    send({input::Move{0.25, 0.5}, input::Button{0, true, 0.25, 0.5, 1}, input::Move{0.5, 0.5},
          input::Button{0, false, 0.5, 0.5, 1}});
    ASSERT_TRUE(recorder.waitForCount(ButtonRelease, 1));
    const auto events = only(recorder.records(), {MotionNotify, ButtonPress, ButtonRelease});
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events.front().type, MotionNotify);
    EXPECT_EQ(events.front().x, 320);
    EXPECT_EQ(events.front().y, 360);
    const auto press = std::find_if(events.begin(), events.end(), [](auto& r) { return r.type == ButtonPress; });
    ASSERT_NE(press, events.end());
    EXPECT_EQ(press->button, 1u);
    EXPECT_EQ(press->x, 320);
    EXPECT_EQ(press->y, 360);
    // The move in between is a drag: the button shows in its state.
    const auto drag = std::find_if(press, events.end(), [](auto& r) { return r.type == MotionNotify && r.x == 640; });
    ASSERT_NE(drag, events.end());
    EXPECT_TRUE(drag->state & Button1Mask);
    EXPECT_EQ(events.back().type, ButtonRelease);
    EXPECT_EQ(events.back().button, 1u);
    EXPECT_EQ(events.back().x, 640);

    // Right and middle buttons, on the shown display's part of the screen.
    recorder.clear();
    shown = Rect{640, 0, 640, 360};
    send({input::Button{1, true, 0.5, 0.5, 1}, input::Button{1, false, 0.5, 0.5, 1},
          input::Button{2, true, 1, 1, 1}, input::Button{2, false, 1, 1, 1}});
    ASSERT_TRUE(recorder.waitForCount(ButtonRelease, 2));
    const auto buttons = only(recorder.records(), {ButtonPress, ButtonRelease});
    ASSERT_EQ(buttons.size(), 4u);
    EXPECT_EQ(buttons[0].button, 3u);
    EXPECT_EQ(buttons[0].x, 960);
    EXPECT_EQ(buttons[0].y, 180);
    EXPECT_EQ(buttons[2].button, 2u);
    EXPECT_EQ(buttons[2].x, 1279);
    EXPECT_EQ(buttons[2].y, 359);
}

TEST_F(X11InputFixture, ScrollArrivesAsWheelClicksKeepingTheRest) {
    ASSERT_TRUE(input);
    // 120 px down is two steps (20 px left over), 30 more make a third;
    // 100 px leftwards content motion is two steps to the left.
    send({input::Scroll{0, 120}, input::Scroll{0, 30}, input::Scroll{-100, 0}});
    ASSERT_TRUE(recorder.waitForCount(ButtonRelease, 5));
    std::vector<unsigned int> presses;
    for (const auto& r : only(recorder.records(), {ButtonPress})) presses.push_back(r.button);
    EXPECT_EQ(presses, (std::vector<unsigned int>{5, 5, 5, 6, 6}));
}

TEST_F(X11InputFixture, KeysActOnTheirPhysicalPlaceCommandActsAsControlAndTheOSKeyAsSuper) {
    ASSERT_TRUE(input);
    send({input::Key{"ShiftLeft", true}, input::Key{"KeyA", true}, input::Key{"KeyA", false},
          input::Key{"ShiftLeft", false}, input::Key{"MetaLeft", true}, input::Key{"KeyC", true},
          input::Key{"KeyC", false}, input::Key{"MetaLeft", false}, input::Key{"OSLeft", true},
          input::Key{"KeyE", true}, input::Key{"KeyE", false}, input::Key{"OSLeft", false},
          input::Key{"PrintScreen", true}, input::Key{"PrintScreen", false}});
    ASSERT_TRUE(recorder.waitForCount(KeyRelease, 7));
    const auto presses = only(recorder.records(), {KeyPress});
    ASSERT_EQ(presses.size(), 7u);
    EXPECT_EQ(presses[0].keysym, static_cast<KeySym>(XK_Shift_L));
    EXPECT_EQ(presses[1].keysym, static_cast<KeySym>(XK_A));
    EXPECT_TRUE(presses[1].state & ShiftMask);
    EXPECT_EQ(presses[2].keysym, static_cast<KeySym>(XK_Control_L));
    EXPECT_EQ(presses[3].keysym, static_cast<KeySym>(XK_c));
    EXPECT_TRUE(presses[3].state & ControlMask);
    EXPECT_EQ(presses[4].keysym, static_cast<KeySym>(XK_Super_L));
    EXPECT_EQ(presses[5].keysym, static_cast<KeySym>(XK_e));
    EXPECT_TRUE(presses[5].state & Mod4Mask);
    EXPECT_FALSE(presses[5].state & ControlMask);
    EXPECT_EQ(presses[6].keysym, static_cast<KeySym>(XK_Print));
}

TEST_F(X11InputFixture, EveryKeyNameReachesAKeyOfItsOwn) {
    ASSERT_TRUE(input);
    std::map<unsigned int, std::vector<std::string>> byKeycode;
    for (const auto& entry : KeyMap::entries()) {
        if (entry.code == "Fn") continue;  // no such key on X
        recorder.clear();
        const std::string code(entry.code);
        send({input::Key{code, true}, input::Key{code, false}});
        ASSERT_TRUE(recorder.waitForCount(KeyRelease, 1)) << code;
        byKeycode[recorder.records().front().keycode].push_back(code);
    }
    // Only names of the same key share one: Command acts as Control, and
    // the OS keys are the Super keys of their own.
    for (const auto& [keycode, codes] : byKeycode) {
        if (codes.size() == 1) continue;
        std::string all;
        for (const auto& c : codes) all += c + " ";
        EXPECT_TRUE(all == "MetaLeft ControlLeft " || all == "MetaRight ControlRight " ||
                    all == "Insert Help ")
            << keycode << ": " << all;
    }
}

TEST_F(X11InputFixture, TextArrivesInOrderIncludingCharactersTheLayoutLacks) {
    ASSERT_TRUE(input);
    send({input::Text{"a\xC3\xA9\xE2\x82\xAC\tbA"}});
    ASSERT_TRUE(recorder.waitFor([](const auto& r) { return typed(r).size() >= 6; }));
    const auto records = recorder.records();
    EXPECT_EQ(typed(records), U"a\u00e9\u20ac\tbA");
    // The keys borrowed for the characters the layout lacks are all bound
    // before the text's first key goes down: applications have the news of
    // them before any key it concerns, and the text waits for that once.
    std::set<unsigned int> borrowed, boundBeforeFirstPress;
    for (const auto& r : only(records, {KeyPress}))
        if (r.keysym == XK_eacute || r.keysym == 0x10020ac) borrowed.insert(r.keycode);
    ASSERT_EQ(borrowed.size(), 2u);
    for (const auto& r : records) {
        if (r.type == KeyPress) break;
        if (r.type == MappingNotify)
            for (unsigned int k = r.keycode; k < r.keycode + r.count; ++k) boundBeforeFirstPress.insert(k);
    }
    for (unsigned int keycode : borrowed) EXPECT_TRUE(boundBeforeFirstPress.contains(keycode)) << keycode;
}

TEST(X11Input, LikelyCharactersAreBoundAheadGoWithNoBindingAndStayUntilTheSinkGoes) {
    morvane::testing::Xvfb xvfb{"640x480x24"};
    LoopExecutor queue("input");
    auto input = makeX11Input(queue, [] { return std::optional<Rect>(); }, {}, xvfb.display(), U"a\u2019é");
    ASSERT_TRUE(input);
    // Only those the layout lacks take a key, before any text.
    EXPECT_NE(keycodeOf(0x1002019), 0u);
    EXPECT_NE(keycodeOf(XK_eacute), 0u);
    XRecorder app;

    input->handle(input::Text{"é\u2019ñ"});
    ASSERT_TRUE(app.waitFor([](const auto& r) { return typed(r).size() >= 3; }));
    const auto records = app.records();
    EXPECT_EQ(typed(records), U"é\u2019ñ");
    // The only binding the text waited for is ñ's.
    const auto changes = only(records, {MappingNotify});
    ASSERT_FALSE(changes.empty());
    for (const auto& r : changes) EXPECT_EQ(r.keycode, keycodeOf(XK_ntilde));

    // The session's key goes back; the likely ones stay for the next
    // session, and go when the sink does, as when the host quits.
    input->releaseEverything();
    ASSERT_TRUE(testing::eventually([] { return keycodeOf(XK_ntilde) == 0; }));
    EXPECT_NE(keycodeOf(XK_eacute), 0u);
    EXPECT_NE(keycodeOf(0x1002019), 0u);
    input.reset();
    EXPECT_EQ(keycodeOf(XK_eacute), 0u);
    EXPECT_EQ(keycodeOf(0x1002019), 0u);
}

TEST(X11Input, AnApplicationStarvedOfTheProcessorReadsEveryCharacterAsSent) {
    morvane::testing::Xvfb xvfb{"640x480x24"};
    // It gets to each key half a second late and asks for the key's symbol
    // only then; more different characters than there are spare keys make
    // keys change characters between texts and within one.
    XRecorder late{std::chrono::milliseconds(500)};
    LoopExecutor queue("input");
    auto input = makeX11Input(queue, [] { return std::optional<Rect>(); }, {}, xvfb.display(), U"é");
    ASSERT_TRUE(input);
    const std::u32string sent = U"αβγδεζηθικλμνξοπρστυφ ñé ωψχφ é";
    for (const char* text : {"αβγδεζηθικλμνξοπρστυφ", " ñé ", "ωψχφ é"})
        input->handle(input::Text{text});
    ASSERT_TRUE(late.waitFor([&](const auto& r) { return typed(r).size() >= sent.size(); }));
    EXPECT_EQ(typed(late.records()), sent);
}

TEST_F(X11InputFixture, TypedTextLeavesOutTheModifiersHeldButKeepsThemHeld) {
    ASSERT_TRUE(input);
    send({input::Key{"ControlLeft", true}, input::Text{"a\xC3\xBC\n\t"}, input::Key{"KeyB", true},
          input::Key{"KeyB", false}, input::Key{"ControlLeft", false}});
    ASSERT_TRUE(recorder.waitFor([](const auto& r) { return typed(r).find(U'b') != std::u32string::npos; }));
    const auto records = recorder.records();
    std::vector<XRecord> characters;
    for (const auto& r : only(records, {KeyPress}))
        if (testing::characterOf(r.keysym)) characters.push_back(r);
    ASSERT_EQ(characters.size(), 5u);
    // Line breaks and tabs are typed too: no Control-Return, no Control-Tab.
    const std::u32string expected = U"a\u00fc\n\t";
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(testing::characterOf(characters[i].keysym), expected[i]);
        EXPECT_FALSE(characters[i].state & ControlMask) << "character " << i;
    }
    EXPECT_EQ(testing::characterOf(characters[4].keysym), U'b');
    EXPECT_TRUE(characters[4].state & ControlMask);
}

TEST_F(X11InputFixture, TypedTextKeepsItsCaseWhileCapsLockIsOn) {
    ASSERT_TRUE(input);
    send({input::Key{"CapsLock", true}, input::Key{"CapsLock", false}, input::Text{"aB\xC3\xB1"},
          input::Key{"KeyC", true}, input::Key{"KeyC", false}});
    ASSERT_TRUE(recorder.waitFor([](const auto& r) { return typed(r).find(U'c') != std::u32string::npos; }));
    std::vector<XRecord> characters;
    for (const auto& r : only(recorder.records(), {KeyPress}))
        if (testing::characterOf(r.keysym)) characters.push_back(r);
    ASSERT_EQ(characters.size(), 4u);
    // The typed characters arrive without the caps lock, so applications
    // show them as sent; the device's own key presses still see it.
    for (std::size_t i = 0; i < 3; ++i) EXPECT_FALSE(characters[i].state & LockMask) << "character " << i;
    EXPECT_EQ(testing::characterOf(characters[0].keysym), U'a');
    EXPECT_EQ(testing::characterOf(characters[1].keysym), U'B');
    EXPECT_EQ(testing::characterOf(characters[2].keysym), U'\u00f1');
    EXPECT_TRUE(characters[3].state & LockMask);
}

TEST_F(X11InputFixture, AReaderThatAsksForTheModifiersWhenItGetsToAKeyReadsWhatWasSent) {
    ASSERT_TRUE(lockedSink);
    // It gets to the keys a frame after they came, as xscreensaver's unlock
    // dialog does: a modifier must stay as it was across a key until then.
    testing::StateAskingReader reader;
    const std::string password = "Phone-road-8!";
    struct Road {
        const char* name;
        std::vector<InputEvent> events;
        std::string read;
    };
    std::vector<InputEvent> live;
    for (char c : password) live.push_back(input::Text{std::string(1, c)});
    const std::vector<Road> roads = {
        {"Type", {input::Text{password + "\n"}}, password + "\n"},
        {"Live", live, password},
        // The keys panel's chords: modifier, key and release in one burst.
        {"keys panel",
         {input::Key{"KeyB", true}, input::Key{"KeyB", false}, input::Key{"ShiftLeft", true},
          input::Key{"Digit1", true}, input::Key{"Digit1", false}, input::Key{"ShiftLeft", false},
          input::Key{"KeyA", true}, input::Key{"KeyA", false}},
         "b!a"},
        // Caps Lock stays off for the whole text.
        {"Caps Lock",
         {input::Key{"CapsLock", true}, input::Key{"CapsLock", false}, input::Text{"aB"}, input::Key{"CapsLock", true},
          input::Key{"CapsLock", false}},
         "aB"},
    };
    for (const auto& road : roads) {
        recorder.clear();
        for (const auto& e : road.events) lockedSink->handle(e);
        EXPECT_EQ(reader.read(road.read.size(), std::chrono::milliseconds(20)), road.read) << road.name;
        // An ordinary window with the focus reads the same.
        std::u32string sent(road.read.begin(), road.read.end());
        EXPECT_TRUE(recorder.waitFor([&](const auto& r) { return typed(r).size() >= sent.size(); })) << road.name;
        EXPECT_EQ(typed(recorder.records()), sent) << road.name;
    }
}

TEST_F(X11InputFixture, CapitalsAndSymbolsGoOnKeysOfTheirOwnThatEveryReaderReadsRightHoweverLate) {
    ASSERT_TRUE(lockedSink);
    // At a locked screen it gets to the keys half a second late: long after
    // any Shift a hand would hold across them.
    testing::StateAskingReader reader;
    const std::string password = "Phone-road-8! aB";
    lockedSink->handle(input::Text{password});
    EXPECT_EQ(reader.read(password.size(), std::chrono::milliseconds(500)), password);
    const std::u32string sent(password.begin(), password.end());
    ASSERT_TRUE(recorder.waitFor([&](const auto& r) { return typed(r).size() >= sent.size(); }));
    EXPECT_EQ(typed(recorder.records()), sent);

    // No Shift held for them: each is its key's first symbol, which plain
    // Xlib, its UTF-8 look-up and XKB read alike, Caps Lock on or off.
    Display* probe = XOpenDisplay(nullptr);
    ASSERT_TRUE(probe);
    XIM im = XOpenIM(probe, nullptr, nullptr, nullptr);
    ASSERT_TRUE(im);
    XIC ic = XCreateIC(im, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, nullptr);
    ASSERT_TRUE(ic);
    int capitals = 0;
    for (const auto& r : only(recorder.records(), {KeyPress})) {
        const char32_t c = testing::characterOf(r.keysym);
        if (!(c >= U'A' && c <= U'Z') && c != U'!') continue;
        ++capitals;
        EXPECT_FALSE(r.state & ShiftMask) << static_cast<char>(c);
        for (unsigned int lock : {0u, static_cast<unsigned int>(LockMask)}) {
            XKeyEvent key{};
            key.type = KeyPress;
            key.display = probe;
            key.keycode = r.keycode;
            key.state = lock;
            char plain[8] = {}, utf8[8] = {};
            KeySym keysym = NoSymbol;
            XLookupString(&key, plain, sizeof plain, &keysym, nullptr);
            Status status = 0;
            Xutf8LookupString(ic, &key, utf8, sizeof utf8 - 1, &keysym, &status);
            KeySym xkb = NoSymbol;
            unsigned int consumed = 0;
            XkbLookupKeySym(probe, static_cast<KeyCode>(r.keycode), lock, &consumed, &xkb);
            EXPECT_EQ(std::string(plain), std::string(1, static_cast<char>(c))) << "lock " << lock;
            EXPECT_EQ(std::string(utf8), std::string(1, static_cast<char>(c))) << "lock " << lock;
            EXPECT_EQ(testing::characterOf(xkb), c) << "lock " << lock;
        }
    }
    XDestroyIC(ic);
    XCloseIM(im);
    XCloseDisplay(probe);
    EXPECT_EQ(capitals, 3);

    // The keys stay for the texts after: a run of them binds nothing anew.
    recorder.clear();
    std::string many;
    for (int i = 0; i < 40; ++i) many += "aB";
    lockedSink->handle(input::Text{many});
    ASSERT_TRUE(recorder.waitFor([&](const auto& r) { return typed(r).size() >= many.size(); }));
    EXPECT_EQ(typed(recorder.records()), std::u32string(many.begin(), many.end()));
    EXPECT_TRUE(only(recorder.records(), {MappingNotify}).empty());
}

// Away from a locked screen every reader takes the modifiers with the key's
// event: what the layout types with Shift goes on its own key with Shift on,
// which binds no key and waits for no binding to settle, and Shift is off
// for the small letter after it. No event of Shift's own goes with it: a
// reader that asks the server about each key would pay for it.
TEST_F(X11InputFixture, CapitalsGoWithShiftOnTheirOwnKeysAndChangeNoKeymap) {
    ASSERT_TRUE(input);
    std::string many;
    for (int i = 0; i < 200; ++i) many += "aB";
    struct Row {
        const char* what;
        std::string text;
    };
    const Row rows[] = {
        {"a lone capital", "A"},
        {"capitals among small letters", "aBcD e"},
        {"symbols typed with Shift", "Phone-road-8! Hello"},
        {"400 characters of aB", many},
    };
    for (const auto& row : rows) {
        recorder.clear();
        send({input::Text{row.text}});
        const std::u32string sent(row.text.begin(), row.text.end());
        ASSERT_TRUE(recorder.waitFor([&](const auto& r) { return typed(r).size() >= sent.size(); })) << row.what;
        const auto records = recorder.records();
        EXPECT_EQ(typed(records), sent) << row.what;
        EXPECT_TRUE(only(records, {MappingNotify}).empty()) << row.what;
        for (const auto& r : only(records, {KeyPress})) {
            const char32_t c = testing::characterOf(r.keysym);
            EXPECT_NE(c, U'\0') << row.what << ": a key of no character, keysym " << r.keysym;
            if (!c) continue;
            const bool shifted = (c >= U'A' && c <= U'Z') || c == U'!';
            EXPECT_EQ((r.state & ShiftMask) != 0, shifted) << row.what << ": " << static_cast<char>(c);
            if (c >= U'A' && c <= U'Z') {
                EXPECT_EQ(r.base, static_cast<KeySym>(c - U'A' + U'a')) << row.what;
            }
        }
    }
}

// A locker's unlock dialog as xscreensaver's comes up: asleep until the
// pointer moves or a key goes down, it makes a window of its own a moment
// later and reads keys only from then on; the key that woke it is gone.
// xscreensaver's also makes its window anew as it starts (`remade`), and
// reads only a moment after the second is up; at a lock it may start its
// animation anew in a window over the whole screen, long before its dialog
// comes (`animation`).
class SleepingDialog {
public:
    // Returns once it is asleep, listening for what wakes it.
    explicit SleepingDialog(std::size_t count, bool remade = false, bool animation = false) {
        std::promise<void> asleep;
        auto listening = asleep.get_future();
        thread_ = std::thread(
            [this, count, remade, animation, &asleep] { text_ = run(count, remade, animation, asleep); });
        listening.wait();
    }
    std::string read() {
        thread_.join();
        return text_;
    }

private:
    static Window show(Display* display, bool whole = false) {
        XSetWindowAttributes a{};
        a.override_redirect = True;
        const int screen = DefaultScreen(display), at = whole ? 0 : 100;
        const Window window = XCreateWindow(
            display, DefaultRootWindow(display), at, at, whole ? DisplayWidth(display, screen) : 300,
            whole ? DisplayHeight(display, screen) : 100, 0, CopyFromParent, InputOutput, CopyFromParent,
            CWOverrideRedirect, &a);
        XMapRaised(display, window);
        XSync(display, False);
        return window;
    }

    static std::string run(std::size_t count, bool remade, bool animation, std::promise<void>& asleep) {
        Display* display = XOpenDisplay(nullptr);
        if (!display) {
            asleep.set_value();
            return "no display";
        }
        int opcode = 0, event = 0, error = 0;
        XQueryExtension(display, "XInputExtension", &opcode, &event, &error);
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawMotion);
        XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
        XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
        XSync(display, False);
        asleep.set_value();
        XEvent e;
        XNextEvent(display, &e);  // woken
        if (animation) show(display, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(animation ? 1000 : 300));
        std::optional<testing::StateAskingReader> reader;
        if (remade) {
            XDestroyWindow(display, show(display));
            show(display);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            reader.emplace();
        } else {
            reader.emplace();
            show(display);
        }
        const std::string text = reader->read(count, std::chrono::milliseconds(20));
        XCloseDisplay(display);
        return text;
    }
    std::thread thread_;
    std::string text_;
};

TEST_F(X11InputFixture, ALockedScreensDialogIsWokenBeforeThePasswordSoItsFirstKeyIsRead) {
    LoopExecutor lockedQueue("input.locked");
    const std::string password = "Phone-road-8!";
    for (const auto& [live, animation] : {std::pair{false, false}, std::pair{true, false}, std::pair{false, true}}) {
        // A session of its own each: the dialog the first one woke is gone.
        auto lockedInput = makeX11Input(
            lockedQueue, [] { return std::optional<Rect>(); }, {}, "", U"", [] { return true; });
        ASSERT_TRUE(lockedInput);
        SleepingDialog dialog(password.size() + 1, false, animation);
        sendPassword(*lockedInput, password, live);
        EXPECT_EQ(dialog.read(), password + "\n") << (live ? "Live" : "Type") << (animation ? ", animation" : "");
    }
}

// The phone locks the computer and sends the password the banner asks for,
// try after try, by Type or Live, with or without a key first to wake the
// dialog: every try reaches a dialog that reads, whole and in order.
TEST_F(X11InputFixture, EveryPasswordAfterALockReachesADialogThatReadsIt) {
    ASSERT_TRUE(lockedSink);
    const std::string password = "Phone-road-8!";
    for (const bool live : {false, true}) {
        for (const bool keyFirst : {false, true}) {
            for (int attempt = 0; attempt < 2; ++attempt) {
                lockedSink->handle(input::Lock{});
                SleepingDialog dialog(password.size() + 1, true);
                if (keyFirst) {
                    lockedSink->handle(input::Key{"ArrowDown", true});
                    lockedSink->handle(input::Key{"ArrowDown", false});
                }
                sendPassword(*lockedSink, password, live);
                EXPECT_EQ(dialog.read(), password + "\n")
                    << (live ? "Live" : "Type") << (keyFirst ? ", a key first" : "") << ", try " << attempt + 1;
            }
        }
    }
}

TEST_F(X11InputFixture, NothingStaysHeldWhenTheSessionEnds) {
    ASSERT_TRUE(input);
    send({input::Key{"ShiftLeft", true}, input::Key{"KeyQ", true}, input::Key{"ControlRight", true},
          input::Button{0, true, 0.1, 0.1, 1}, input::Button{1, true, 0.1, 0.1, 1}, input::Text{"\xC3\xB1"}});
    ASSERT_TRUE(recorder.waitFor([](const auto& r) { return typed(r).find(U'\u00f1') != std::u32string::npos; }));
    input->releaseEverything();

    Display* probe = XOpenDisplay(nullptr);
    ASSERT_TRUE(probe);
    char keys[32];
    XQueryKeymap(probe, keys);
    EXPECT_TRUE(std::all_of(std::begin(keys), std::end(keys), [](char c) { return c == 0; }));
    Window root, child;
    int rx, ry, wx, wy;
    unsigned int mask = 0;
    XQueryPointer(probe, DefaultRootWindow(probe), &root, &child, &rx, &ry, &wx, &wy, &mask);
    EXPECT_EQ(mask & (Button1Mask | Button2Mask | Button3Mask | ShiftMask | ControlMask), 0u);
    XCloseDisplay(probe);
    // The key borrowed for the missing character is given back, once an
    // application may have read its press.
    const auto pressed = recorder.records();
    const auto press = std::find_if(pressed.begin(), pressed.end(), [](auto& r) { return r.keysym == XK_ntilde; });
    ASSERT_NE(press, pressed.end());
    ASSERT_TRUE(testing::eventually([] { return keycodeOf(XK_ntilde) == 0; }));
    ASSERT_TRUE(recorder.waitFor([&](const auto& records) {
        return std::any_of(records.begin(), records.end(),
                           [&](auto& r) { return r.type == MappingNotify && r.serverTime > press->serverTime; });
    }));
    for (const auto& r : recorder.records()) {
        if (r.type == MappingNotify && r.keycode == press->keycode && r.serverTime > press->serverTime) {
            EXPECT_GE(static_cast<long>(r.serverTime - press->serverTime),
                      SpareKeyPool::Tuning{}.idleMillis - serverTick);
        }
    }

    // Destroying the sink also lets go, and gives back what typing borrowed
    // before it is gone, as when the host quits.
    send({input::Key{"AltLeft", true}, input::Button{2, true, 0.5, 0.5, 1}, input::Text{"\xC3\x9F"}});
    ASSERT_TRUE(recorder.waitFor([](const auto& r) { return typed(r).find(U'\u00df') != std::u32string::npos; }));
    ASSERT_NE(keycodeOf(XK_ssharp), 0u);
    input.reset();
    EXPECT_EQ(keycodeOf(XK_ssharp), 0u);
    probe = XOpenDisplay(nullptr);
    XQueryKeymap(probe, keys);
    EXPECT_TRUE(std::all_of(std::begin(keys), std::end(keys), [](char c) { return c == 0; }));
    XQueryPointer(probe, DefaultRootWindow(probe), &root, &child, &rx, &ry, &wx, &wy, &mask);
    EXPECT_EQ(mask & Button2Mask, 0u);
    XCloseDisplay(probe);
}

TEST_F(X11InputFixture, ACharacterTypedBeforeGoesAtOnceAndNoKeyIsBoundAnewWhileItsPressesMayBeUnread) {
    ASSERT_TRUE(input);
    // More different characters than the keyboard has spare keys: some keys
    // must take a second character within the one text.
    const std::u32string greek = U"αβγδεζηθικλμνξοπρστυφ";
    send({input::Text{"αβγδεζηθικλμνξοπρστυφ"}});
    ASSERT_TRUE(recorder.waitFor([&](const auto& r) { return typed(r).size() >= greek.size(); }));
    // The last of them is still bound: typed again, its key goes with no
    // binding before it.
    const std::size_t before = recorder.records().size();
    send({input::Text{"φ"}});
    ASSERT_TRUE(recorder.waitFor([&](const auto& r) { return typed(r).size() > greek.size(); }));
    const auto records = recorder.records();
    EXPECT_EQ(typed(records), greek + U"φ");
    for (std::size_t i = before; i < records.size(); ++i) EXPECT_NE(records[i].type, MappingNotify);

    // On the server's clock: a key is first pressed a settle after its
    // binding, and bound anew only once every press of it may have been read.
    const auto tuning = SpareKeyPool::Tuning{};
    std::map<unsigned int, XRecord> lastMapping, lastPress;
    std::set<unsigned int> rebound;
    for (const auto& r : records) {
        if (r.type == MappingNotify) {
            if (const auto p = lastPress.find(r.keycode); p != lastPress.end()) {
                rebound.insert(r.keycode);
                EXPECT_GE(static_cast<long>(r.serverTime - p->second.serverTime), tuning.idleMillis - serverTick)
                    << "key " << r.keycode;
            }
            lastMapping[r.keycode] = r;
            lastPress.erase(r.keycode);
        } else if (r.type == KeyPress && !lastPress.contains(r.keycode)) {
            if (const auto m = lastMapping.find(r.keycode); m != lastMapping.end()) {
                EXPECT_GE(static_cast<long>(r.serverTime - m->second.serverTime), tuning.settleMillis - serverTick)
                    << "key " << r.keycode;
            }
            lastPress[r.keycode] = r;
        }
    }
    EXPECT_FALSE(rebound.empty()) << "the text needed more keys than there are";
}

TEST_F(X11InputFixture, AKeyTheUserRebindsIsTheirsAndTypingFindsAnother) {
    ASSERT_TRUE(input);
    send({input::Text{"é"}});
    ASSERT_TRUE(recorder.waitFor([](const auto& r) { return typed(r) == U"é"; }));
    const unsigned int borrowed = recorder.records().back().keycode;

    // The user puts ß on that key: ß is the layout's now, and é goes on
    // another key.
    rebindAsTheUser(borrowed, XK_ssharp);
    recorder.clear();
    send({input::Text{"éß"}});
    ASSERT_TRUE(recorder.waitFor([](const auto& r) { return typed(r).size() >= 2; }));
    std::vector<XRecord> presses = only(recorder.records(), {KeyPress});
    ASSERT_EQ(presses.size(), 2u);
    EXPECT_EQ(typed(presses), U"éß");
    EXPECT_NE(presses[0].keycode, borrowed);
    EXPECT_EQ(presses[1].keycode, borrowed);

    // What typing gives back leaves the user's key as they made it.
    input->releaseEverything();
    ASSERT_TRUE(testing::eventually([] { return keycodeOf(XK_eacute) == 0; }));
    EXPECT_EQ(keycodeOf(XK_ssharp), borrowed);
}

TEST(X11Input, ALostServerEndsTheInputButNotTheProcess) {
    auto xvfb = std::make_unique<morvane::testing::Xvfb>("640x480x24");
    LoopExecutor queue("input");
    auto input = makeX11Input(queue, [] { return std::optional<Rect>(); }, {}, xvfb->display());
    ASSERT_TRUE(input);
    input->handle(input::Key{"ShiftLeft", true});
    input->handle(input::Text{"a\xC3\xB1"});
    input->releaseEverything();
    xvfb.reset();
    // Everything still returns: events go nowhere, held keys are let go of
    // nowhere, and the sink can be destroyed.
    input->handle(input::Move{0.5, 0.5});
    input->handle(input::Key{"ControlLeft", true});
    input->handle(input::Button{0, true, 0.5, 0.5, 1});
    input->handle(input::Text{"x\n\xC3\xBC"});
    input->handle(input::Scroll{0, 200});
    input->releaseEverything();
    input.reset();
}

TEST(X11Input, NoDisplayGivesNothingAndSaysWhy) {
    std::vector<std::string> log;
    LoopExecutor queue("input");
    auto input = makeX11Input(queue, nullptr, [&](const std::string& line) { log.push_back(line); }, ":4711");
    EXPECT_FALSE(input);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "input injection is not available: the X display cannot be opened");
}

}  // namespace
}  // namespace morvane
