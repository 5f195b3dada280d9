#pragma once

#include "companion/top/frame.h"
#include "companion/top/view_state.h"

#include <memory>
#include <optional>

struct screen; // ncurses' SCREEN

namespace korvel::top {

// The full-screen terminal, through ncurses: draws frames and reports keys.
// One at a time; the terminal is given back when it is destroyed.
class TerminalScreen {
public:
    // Takes the terminal over; colour unless NO_COLOR is set or the terminal
    // has none. Null when the terminal's type is unknown or it cannot move
    // the cursor.
    static std::unique_ptr<TerminalScreen> open();
    ~TerminalScreen();
    TerminalScreen(const TerminalScreen&) = delete;
    TerminalScreen& operator=(const TerminalScreen&) = delete;

    size_t width() const;
    size_t height() const;
    // Whether the locale can show the view's Unicode glyphs.
    bool unicode() const { return unicode_; }

    void draw(const Frame& frame);
    // The next key typed, without waiting; no value when none is pending.
    std::optional<Key> nextKey();

private:
    explicit TerminalScreen(::screen* screen);

    ::screen* screen_;
    bool unicode_ = false;
    bool colour_ = false;
};

} // namespace korvel::top
