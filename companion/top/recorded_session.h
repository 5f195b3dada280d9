#pragma once

#include "companion/archive/history_moment.h"
#include "companion/top/frame.h"
#include "companion/top/top_model.h"
#include "companion/top/view_state.h"

#include <memory>
#include <string>

namespace korvel::top {

// The view's model of a moment read back from the history.
TopModel topModelOf(const history::Moment& moment);

// The terminal view on the recorded history: one moment at a time, stepped
// with [ and ]. Nothing runs live and nothing refreshes by itself.
class RecordedSession {
public:
    RecordedSession(history::Database db, const history::Step& first);

    // The user's history, read only, at the step nearest `unixTime`. Null,
    // and why in error, when there is none to read.
    static std::unique_ptr<RecordedSession> open(int64_t unixTime, std::string& error);

    const TopModel& model() const { return model_; }
    ViewState& state() { return state_; }

    // [ and ] step; the rest as in the live view, but a recorded process has
    // no sockets to open and no engine shows or hides system processes.
    void apply(const Command& command, const Frame& drawn);

private:
    void show(const history::Step& step);

    history::Database db_;
    history::Moment moment_;
    TopModel model_;
    ViewState state_;
};

} // namespace korvel::top
