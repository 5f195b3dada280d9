#pragma once

#include "companion/top/top_model.h"
#include "companion/top/view_state.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvel::top {

enum class LineStyle { plain, title, columns, selected, warning };

struct FrameLine {
    std::string text; // exactly the frame's width in columns
    LineStyle style = LineStyle::plain;
};

// How to draw; the settings come from the store, the rest from the screen.
struct FrameOptions {
    size_t width = 80;
    size_t height = 24; // 0: as long as the content (the plain-text frame)
    bool unicode = true;
    bool showListeningPorts = true;
    bool resolveHostnames = true;
    double refreshPeriod = 5;
    std::string clock; // "14:03:05"
    // A name for a numeric address when one is known by now; never waits.
    std::function<std::optional<std::string>(const std::string&)> hostName;
};

struct Frame {
    std::vector<FrameLine> lines;
    std::vector<int32_t> listedPids; // the process list as drawn, all of it
    size_t listRows = 0;             // how many of them fit
};

// The whole screen: header, then the process list or the open process,
// then one line of keys (or the filter being typed). Keeps the selection of
// `state` on a listed process.
Frame renderFrame(const TopModel& model, ViewState& state, const FrameOptions& options);

// Panels, each appending its lines.
void drawHeader(const TopModel& model, const ViewState& state, const FrameOptions& options,
                std::vector<FrameLine>& out);
std::vector<const NetProcess*> listedProcesses(const TopModel& model, const ViewState& state,
                                               bool showListeningPorts);
void drawProcessTable(const TopModel& model, const std::vector<const NetProcess*>& listed,
                      const ViewState& state, const FrameOptions& options, size_t rows,
                      std::vector<FrameLine>& out);
void drawProcessDetail(const TopModel& model, const ViewState& state, const FrameOptions& options,
                       size_t rows, std::vector<FrameLine>& out);

// Whether the process list ends with a row for the TCP traffic no listed
// process accounts for: only when there is some, and no filter narrows the list.
bool showsOtherTcp(const TopModel& model, const ViewState& state);

// Who a process belongs to beyond its user: container, application or unit.
std::string originText(const NetProcess& process);
std::string userText(const TopModel& model, const NetProcess& process);

} // namespace korvel::top
