#include "companion/top/terminal_screen.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#define NCURSES_WIDECHAR 1
#include <curses.h>
#include <langinfo.h>

namespace korvel::top {
namespace {

enum Pair : short { kTitle = 1, kColumns, kSelected, kWarning };

int attributesFor(LineStyle style, bool colour) {
    switch (style) {
    case LineStyle::plain:
        return A_NORMAL;
    case LineStyle::title:
        return A_BOLD | (colour ? COLOR_PAIR(kTitle) : 0);
    case LineStyle::columns:
        return colour ? COLOR_PAIR(kColumns) : A_REVERSE;
    case LineStyle::selected:
        return colour ? COLOR_PAIR(kSelected) : A_REVERSE | A_BOLD;
    case LineStyle::warning:
        return A_BOLD | (colour ? COLOR_PAIR(kWarning) : 0);
    }
    return A_NORMAL;
}

} // namespace

std::unique_ptr<TerminalScreen> TerminalScreen::open() {
    std::setlocale(LC_ALL, "");
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) {
        return nullptr;
    }
    // A terminal that cannot place the cursor (TERM=dumb, a printing terminal)
    // is refused before anything is drawn.
    const char* cursorAddress = tigetstr("cup");
    if (cursorAddress == nullptr || cursorAddress == reinterpret_cast<char*>(-1)) {
        endwin();
        delscreen(screen);
        return nullptr;
    }
    set_term(screen);
    return std::unique_ptr<TerminalScreen>(new TerminalScreen(screen));
}

TerminalScreen::TerminalScreen(SCREEN* screen) : screen_(screen) {
    unicode_ = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    curs_set(0);
    set_escdelay(25);
    const char* noColor = std::getenv("NO_COLOR");
    colour_ = (noColor == nullptr || noColor[0] == '\0') && has_colors();
    if (colour_) {
        start_color();
        use_default_colors();
        init_pair(kTitle, COLOR_CYAN, -1);
        init_pair(kColumns, COLOR_BLACK, COLOR_GREEN);
        init_pair(kSelected, COLOR_BLACK, COLOR_CYAN);
        init_pair(kWarning, COLOR_RED, -1);
    }
}

TerminalScreen::~TerminalScreen() {
    endwin();
    delscreen(screen_);
}

size_t TerminalScreen::width() const {
    return static_cast<size_t>(std::max(COLS, 1));
}

size_t TerminalScreen::height() const {
    return static_cast<size_t>(std::max(LINES, 1));
}

void TerminalScreen::draw(const Frame& frame) {
    erase();
    const int rows = std::min<int>(LINES, static_cast<int>(frame.lines.size()));
    for (int row = 0; row < rows; ++row) {
        const FrameLine& line = frame.lines[static_cast<size_t>(row)];
        const int attributes = attributesFor(line.style, colour_);
        attrset(attributes);
        mvaddnstr(row, 0, line.text.c_str(), static_cast<int>(line.text.size()));
        attrset(A_NORMAL);
    }
    refresh();
}

std::optional<Key> TerminalScreen::nextKey() {
    wint_t c = 0;
    const int kind = get_wch(&c);
    if (kind == ERR) {
        return std::nullopt;
    }
    using K = Key::Kind;
    if (kind == KEY_CODE_YES) {
        switch (c) {
        case KEY_UP:
            return Key{K::up};
        case KEY_DOWN:
            return Key{K::down};
        case KEY_PPAGE:
            return Key{K::pageUp};
        case KEY_NPAGE:
            return Key{K::pageDown};
        case KEY_HOME:
        case KEY_FIND: // ESC [ 1 ~ under screen and tmux
        case KEY_A1:
            return Key{K::home};
        case KEY_END:
        case KEY_SELECT: // ESC [ 4 ~
        case KEY_C1:
            return Key{K::end};
        case KEY_ENTER:
            return Key{K::enter};
        case KEY_BACKSPACE:
            return Key{K::backspace};
        case KEY_LEFT:
            return Key{K::left};
        case KEY_RESIZE:
            return Key{K::resize};
        default:
            return Key{K::character, 0};
        }
    }
    switch (c) {
    case '\r':
    case '\n':
        return Key{K::enter};
    case 27:
        return Key{K::escape};
    case 127:
    case 8:
        return Key{K::backspace};
    default:
        return Key{K::character, static_cast<char32_t>(c)};
    }
}

} // namespace korvel::top
