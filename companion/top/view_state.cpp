#include "companion/top/view_state.h"

#include "shared/utf8.h"

#include <algorithm>
#include <utility>

namespace korvel::top {
namespace {

std::optional<size_t> indexOf(const std::vector<int32_t>& pids, std::optional<int32_t> pid) {
    if (!pid) {
        return std::nullopt;
    }
    const auto it = std::find(pids.begin(), pids.end(), *pid);
    if (it == pids.end()) {
        return std::nullopt;
    }
    return static_cast<size_t>(it - pids.begin());
}

void eraseLastCharacter(std::string& text) {
    while (!text.empty()) {
        const bool continuation = (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80;
        text.pop_back();
        if (!continuation) {
            return;
        }
    }
}

// The letters that sort the list, as the keys line names them.
constexpr std::pair<char32_t, SortKey> kSortLetters[] = {
    {'c', SortKey::cpu}, {'m', SortKey::memory},   {'k', SortKey::sockets},
    {'i', SortKey::in},  {'o', SortKey::out},      {'n', SortKey::name},
    {'g', SortKey::gpu}, {'r', SortKey::diskRead}, {'w', SortKey::diskWrite}};

} // namespace

Command commandForKey(const Key& key, const ViewState& state) {
    using K = Key::Kind;
    using C = Command::Kind;
    if (key.kind == K::resize) {
        return {C::redraw};
    }
    if (state.editingFilter) {
        switch (key.kind) {
        case K::enter:
            return {C::finishFilter};
        case K::escape:
            return {C::cancelFilter};
        case K::backspace:
            return {C::eraseFilter};
        case K::character:
            if (key.character >= 0x20 && key.character != 0x7F) {
                return {.kind = C::typeFilter, .character = key.character};
            }
            return {};
        default:
            break; // moving around still works while typing
        }
    }
    switch (key.kind) {
    case K::up:
        return {.kind = C::moveBy, .rows = -1};
    case K::down:
        return {.kind = C::moveBy, .rows = 1};
    case K::pageUp:
        return {.kind = C::movePages, .rows = -1};
    case K::pageDown:
        return {.kind = C::movePages, .rows = 1};
    case K::home:
        return {C::moveToStart};
    case K::end:
        return {C::moveToEnd};
    case K::enter:
        return {state.openPid ? C::none : C::open};
    case K::escape:
    case K::left:
    case K::backspace:
        return {state.openPid ? C::close : (state.filter.empty() ? C::none : C::cancelFilter)};
    case K::resize:
    case K::character:
        break;
    }
    for (const auto& [letter, sortKey] : kSortLetters) {
        if (key.character == letter) {
            return {.kind = C::sortBy, .sortKey = sortKey};
        }
    }
    switch (key.character) {
    case 'q':
    case 'Q':
        return {C::quit};
    case 's':
        return {C::toggleSystemProcesses};
    case '/':
        return {C::startFilter};
    case 12: // Ctrl-L
        return {C::redraw};
    case '[':
        return {C::stepBack};
    case ']':
        return {C::stepForward};
    default:
        return {};
    }
}

void applyCommand(ViewState& state, const Command& command, const std::vector<int32_t>& visiblePids,
                  size_t pageRows, bool showSystemSetting) {
    using C = Command::Kind;
    const size_t page = std::max<size_t>(pageRows, 1);
    switch (command.kind) {
    case C::none:
    case C::redraw:
    case C::stepBack:
    case C::stepForward:
        break;
    case C::quit:
        state.quit = true;
        break;
    case C::sortBy:
        state.sortKey = command.sortKey;
        break;
    case C::toggleSystemProcesses:
        state.showSystemProcesses = !state.showSystemProcesses.value_or(showSystemSetting);
        break;
    case C::startFilter:
        state.editingFilter = true;
        state.openPid.reset();
        break;
    case C::typeFilter:
        appendUtf8(state.filter, command.character);
        break;
    case C::eraseFilter:
        eraseLastCharacter(state.filter);
        break;
    case C::finishFilter:
        state.editingFilter = false;
        break;
    case C::cancelFilter:
        state.editingFilter = false;
        state.filter.clear();
        break;
    case C::moveBy:
    case C::movePages:
    case C::moveToStart:
    case C::moveToEnd: {
        if (state.openPid) {
            // The detail panel scrolls; the panel clamps what it draws.
            if (command.kind == C::moveToStart) {
                state.detailScrollTop = 0;
            } else if (command.kind != C::moveToEnd) {
                const long step = command.kind == C::movePages
                                      ? command.rows * static_cast<long>(page)
                                      : command.rows;
                state.detailScrollTop = static_cast<size_t>(
                    std::max(0L, static_cast<long>(state.detailScrollTop) + step));
            }
            break;
        }
        if (visiblePids.empty()) {
            break;
        }
        state.selectionFollowsProcess = true;
        const long last = static_cast<long>(visiblePids.size()) - 1;
        long index = static_cast<long>(indexOf(visiblePids, state.selectedPid).value_or(0));
        if (command.kind == C::moveToStart) {
            index = 0;
        } else if (command.kind == C::moveToEnd) {
            index = last;
        } else if (command.kind == C::movePages) {
            index += command.rows * static_cast<long>(page);
        } else {
            index += command.rows;
        }
        state.selectedPid = visiblePids[static_cast<size_t>(std::clamp(index, 0L, last))];
        break;
    }
    case C::open:
        if (!visiblePids.empty()) {
            settleSelection(state, visiblePids, pageRows);
            state.openPid = state.selectedPid;
            state.detailScrollTop = 0;
        }
        break;
    case C::close:
        state.openPid.reset();
        break;
    }
    settleSelection(state, visiblePids, pageRows);
}

void settleSelection(ViewState& state, const std::vector<int32_t>& visiblePids, size_t pageRows) {
    if (visiblePids.empty()) {
        state.scrollTop = 0;
        return;
    }
    const size_t page = std::max<size_t>(pageRows, 1);
    const auto followed =
        state.selectionFollowsProcess ? indexOf(visiblePids, state.selectedPid) : std::nullopt;
    const size_t index = followed.value_or(std::min(state.scrollTop, visiblePids.size() - 1));
    state.selectedPid = visiblePids[index];
    if (index < state.scrollTop) {
        state.scrollTop = index;
    } else if (index >= state.scrollTop + page) {
        state.scrollTop = index + 1 - page;
    }
    state.scrollTop = std::min(state.scrollTop,
                               visiblePids.size() > page ? visiblePids.size() - page : size_t{0});
}

} // namespace korvel::top
