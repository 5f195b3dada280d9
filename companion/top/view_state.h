#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel::top {

enum class SortKey { cpu, memory, sockets, in, out, name, gpu, diskRead, diskWrite };

// What the user chose in this view; nothing of it is stored.
struct ViewState {
    SortKey sortKey = SortKey::cpu;
    std::string filter;
    bool editingFilter = false;
    // Follows the stored setting until `s` is pressed.
    std::optional<bool> showSystemProcesses;
    std::optional<int32_t> selectedPid;
    // Until the user moves it, the selection stays on the top row whatever
    // the order; from then on it follows its process through re-sorts.
    bool selectionFollowsProcess = false;
    size_t scrollTop = 0;
    std::optional<int32_t> openPid; // the process whose sockets are shown
    size_t detailScrollTop = 0;
    bool quit = false;
};

// A key as the screen reports it, before it means anything.
struct Key {
    enum class Kind {
        character,
        up,
        down,
        pageUp,
        pageDown,
        home,
        end,
        enter,
        escape,
        backspace,
        left,
        resize
    };
    Kind kind = Kind::character;
    char32_t character = 0;
};

// What a key asks for, given where the view is.
struct Command {
    enum class Kind {
        none,
        quit,
        sortBy,
        toggleSystemProcesses,
        startFilter,
        typeFilter,
        eraseFilter,
        finishFilter,
        cancelFilter,
        moveBy,
        movePages,
        moveToStart,
        moveToEnd,
        open,
        close,
        redraw,
        stepBack, // a recorded moment's neighbours
        stepForward
    };
    Kind kind = Kind::none;
    SortKey sortKey = SortKey::cpu;
    char32_t character = 0;
    int rows = 0; // moveBy rows, movePages pages; positive is down
};

Command commandForKey(const Key& key, const ViewState& state);

// Applies one command. `visiblePids` is the list as drawn, `pageRows` its
// height; `showSystemSetting` the stored setting, for the first `s`.
void applyCommand(ViewState& state, const Command& command, const std::vector<int32_t>& visiblePids,
                  size_t pageRows, bool showSystemSetting);

// Keeps the selection on a listed process and inside the scrolled window.
void settleSelection(ViewState& state, const std::vector<int32_t>& visiblePids, size_t pageRows);

} // namespace korvel::top
