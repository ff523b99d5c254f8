// What the injector needs of the platform: posting pointer, wheel and key
// events, typing one character, the cursor, and what a locked screen's wake
// needs to see and do (LockerWake). Every
// call comes on the injector's own queue, one at a time.
#pragma once

#include <optional>
#include <string_view>

#include "core/display.h"
#include "input/locker_wake.h"

namespace morvane {

struct GlobalPoint {
    double x = 0, y = 0;
    bool operator==(const GlobalPoint&) const = default;
};

class InputBackend : public LockScreenView {
public:
    virtual ~InputBackend() = default;

    // The whole of the main display in global coordinates.
    virtual Rect mainDisplayBounds() = 0;
    virtual std::optional<GlobalPoint> cursor() = 0;

    // `dragged` is the button that is held while moving, if any.
    virtual void move(GlobalPoint at, std::optional<int> dragged) = 0;
    // button 0 left, 1 right, 2 middle; clicks 1...3.
    virtual void button(int button, bool down, GlobalPoint at, int clicks) = 0;
    // Whole wheel steps; negative vertical scrolls down, negative horizontal
    // scrolls right.
    virtual void wheel(int vertical, int horizontal) = 0;
    // A key by its browser name; `repeat` marks a press of a key already down.
    virtual void key(std::string_view code, bool down, bool repeat) = 0;
    // Comes once before a text is typed, with every scalar it types, so
    // that whatever some of them need is made ready for all in one go.
    // `lockedScreen`: the text goes to a locked screen's unlock dialog, which
    // asks for the modifiers only when it gets to a key, late.
    virtual void expectText(std::u32string_view scalars, bool lockedScreen) = 0;
    // Types one Unicode scalar whatever the keyboard layout holds.
    virtual void type(char32_t scalar) = 0;
    // Presses and releases a key by its browser name as part of typed text:
    // like a typed character, it carries none of the modifiers held.
    virtual void tap(std::string_view code) = 0;
    // The text is typed: the modifiers are as the device holds them again.
    virtual void endText() = 0;
    // Typing is over for this session: gives back what typing borrowed, as
    // far as applications are done with it, and says in how many
    // milliseconds to call again for the rest (0: nothing is left).
    virtual int giveBackKeys() = 0;
    virtual void pause(int millis) = 0;
};

}  // namespace morvane
