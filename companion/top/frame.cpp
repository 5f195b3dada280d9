#include "companion/top/frame.h"
#include "companion/top/text_layout.h"

namespace korvel::top {
namespace {

std::string keysLine(const TopModel& model, const ViewState& state, size_t width) {
    if (state.editingFilter) {
        return "Filter: " + state.filter + "_   Enter keeps it, Esc clears it";
    }
    if (state.openPid) {
        return "Esc back   Up/Down scroll   q quit";
    }
    // The sort letters follow the column titles: CPU% RSS SOCK IN OUT NAME.
    std::string keys =
        "Sort: c cpu m mem k sockets i in o out g gpu r/w disk n name  / filter  s system  "
        "Enter sockets  q quit";
    if (model.recorded) {
        keys = "[ earlier  ] later  Sort: c cpu m mem k sockets i in o out g gpu r/w disk n name  "
               "/ filter  q quit";
    }
    if (columnCount(keys) > width) {
        keys = model.recorded ? "[ ] step  Sort c/m/k/i/o/n  / filter  q quit"
                              : "Sort c/m/k/i/o/g/r/w/n  / filter  s system  Enter sockets  q quit";
    }
    if (!state.filter.empty()) {
        keys = "Filter \"" + state.filter + "\" (Esc clears)  " + keys;
    }
    return keys;
}

} // namespace

Frame renderFrame(const TopModel& model, ViewState& state, const FrameOptions& options) {
    Frame frame;
    drawHeader(model, state, options, frame.lines);
    frame.lines.push_back({std::string(options.width, ' ')});

    const std::vector<const NetProcess*> listed =
        listedProcesses(model, state, options.showListeningPorts);
    frame.listedPids.reserve(listed.size());
    for (const NetProcess* process : listed) {
        frame.listedPids.push_back(process->id);
    }
    // Below the header: one line of column titles, the rows, one line of keys.
    const size_t used = frame.lines.size() + 2 + (showsOtherTcp(model, state) ? 1 : 0);
    if (options.height == 0) {
        frame.listRows = state.openPid ? 0 : listed.size();
    } else {
        frame.listRows = options.height > used ? options.height - used : 0;
    }
    settleSelection(state, frame.listedPids, frame.listRows);

    if (state.openPid) {
        drawProcessDetail(model, state, options, frame.listRows + 1, frame.lines);
    } else {
        drawProcessTable(model, listed, state, options, frame.listRows, frame.lines);
    }
    if (options.height > 0) {
        while (frame.lines.size() + 1 < options.height) {
            frame.lines.push_back({std::string(options.width, ' ')});
        }
        frame.lines.resize(options.height - 1);
        frame.lines.push_back(
            {fitLeft(keysLine(model, state, options.width), options.width, options.unicode),
             LineStyle::columns});
    }
    return frame;
}

} // namespace korvel::top
