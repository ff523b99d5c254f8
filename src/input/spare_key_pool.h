// Which spare keys of the keyboard hold the characters the layout lacks, and
// when a key may be pressed or bound to another character. An application
// reads a key's symbol when it gets to the key's event, and one starved of
// the processor gets there late: a key is bound anew, or given back, only
// once every press of it may have been read. A binding reaches most
// applications before any key pressed after the server made it, as the
// server's notice of it comes first on their connections; a key is first
// pressed a settle after its binding for those that hear the notice on a
// connection other than their keys'. Likely characters are bound ahead of
// any text, so that they cost no settle, and bindings stay from one text to
// the next, so that a character typed before costs none either; a key the
// pool needs for another character is taken from the character pressed
// longest ago. Keys are keycodes; times are milliseconds of one steady clock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

class SpareKeyPool {
public:
    struct Tuning {
        // From a binding the server has made to the first press of its key.
        // Chromium reads the keymap on a connection of its own, and takes a
        // key pressed before it got to the news as the key it was: within
        // 2 ms on an idle machine, and in 3 of 20 runs at 20 ms beside two
        // busy loops and a page playing the session (none of 10 at 40 ms,
        // none of 12 at 100 ms).
        std::int64_t settleMillis = 100;
        // From the last press of a key to its next binding or its give-back.
        std::int64_t idleMillis = 2000;
        // Spare keys left to other programs that borrow keys the same way.
        std::size_t leftFree = 2;
        // Keys that hold likely characters ahead of any text, at most half
        // of those the pool may hold.
        std::size_t preparedKeys = 6;
    };

    SpareKeyPool();
    explicit SpareKeyPool(Tuning tuning) : tuning_(tuning) {}

    // What the keyboard holds now: the keys with nothing on them, and for
    // each key of the pool whether it still holds the pool's character
    // alone. One that does not was changed by the layout or another
    // program: the pool forgets it and never gives it "back".
    void refresh(std::vector<int> emptyKeys, const std::function<bool(int key, char32_t character)>& holds);

    bool owns(int key) const;
    std::optional<int> keyOf(char32_t character) const;
    // When the key holding `character` may first be pressed.
    std::int64_t readyAt(char32_t character) const;
    void pressed(char32_t character, std::int64_t now);

    struct Choice {
        int key = 0;
        // The earliest time the key may be bound.
        std::int64_t at = 0;
        // The character it would no longer hold (0: none), and where that
        // one is next typed, if it is.
        char32_t replaced = 0;
        std::optional<std::size_t> neededAt;
    };
    // The key for a character new to the pool, keeping those of `rest`
    // (what is still to be typed) where it can: an empty key while the pool
    // may grow, else the key free soonest; of those free as soon, the one
    // whose character is typed last or never, pressed longest ago.
    // Nothing when there is no spare key at all.
    std::optional<Choice> choose(std::u32string_view rest, std::int64_t now) const;
    void bind(int key, char32_t character, std::int64_t now);

    struct Binding {
        int key = 0;
        char32_t character = 0;
        bool operator==(const Binding&) const = default;
    };
    // Binds the characters of `text` that neither the layout (`lacks` says
    // which it lacks) nor the pool holds, in the text's order, for as long
    // as a key is free at `now` without taking one typed before them:
    // whatever the text needs is bound before its first key, and waits
    // for no one. Returns the bindings for the keyboard to make.
    std::vector<Binding> bindFree(std::u32string_view text, const std::function<bool(char32_t)>& lacks,
                                  std::int64_t now);
    // When bindFree would next bind one of them, as a key comes free:
    // nothing while none is to come.
    std::optional<std::int64_t> nextFree(std::u32string_view text, const std::function<bool(char32_t)>& lacks,
                                         std::int64_t now) const;

    // Binds the characters of `text` that the layout types only with a
    // modifier held (`wants` says which) and the pool does not hold, on keys
    // that nothing else asks for now: an empty key while the pool may grow,
    // else the key idle longest whose character is neither likely nor still
    // to be typed. Such a key types its character with no modifier, so that a
    // reader that asks for the modifiers late still reads it right, and it
    // stays for the texts after, as any binding does. A character left
    // without a key is typed with its modifier held. Returns the bindings for
    // the keyboard to make.
    std::vector<Binding> bindSpare(std::u32string_view text, const std::function<bool(char32_t)>& wants,
                                   std::int64_t now);

    // The characters to hold ahead of any text, most likely first
    // (LikelyCharacters). Those the layout lacks are bound on keys nothing
    // else needs, stay when a session's keys go back, and give way to a
    // text that needs their keys.
    void prepare(std::u32string characters) { prepared_ = std::move(characters); }
    // Returns the bindings for the keyboard to make.
    std::vector<Binding> bindPrepared(const std::function<bool(char32_t)>& lacks, std::int64_t now);

    struct GiveBack {
        // Keys to empty now: they left the pool.
        std::vector<int> keys;
        // When the next of those still held may go.
        std::optional<std::int64_t> nextAt;
    };
    enum class Keep { prepared, nothing };
    GiveBack giveBack(std::int64_t now, Keep keep = Keep::prepared);

    // `bindings` by key, in runs of keys that follow one another: the
    // keyboard changes each run in one request, of which every application
    // hears once and reads the keyboard again once.
    static std::vector<std::vector<Binding>> runs(std::vector<Binding> bindings);

private:
    struct Slot {
        int key = 0;
        char32_t character = 0;
        std::int64_t boundAt = 0;
        std::optional<std::int64_t> pressedAt;
        bool prepared = false;
    };
    std::int64_t freeAt(const Slot& slot) const;
    std::optional<Choice> chooseFor(std::u32string_view text, std::size_t position, std::int64_t now) const;
    std::size_t capacity() const;

    Tuning tuning_;
    std::vector<Slot> slots_;
    // Keys with nothing on them that the pool may take, lowest first.
    std::vector<int> empty_;
    std::u32string prepared_;
};

}  // namespace morvane
