#pragma once

#include "companion/model/history.h"

#include <gtkmm.h>

#include <mutex>
#include <thread>

namespace korvel {

// What the Overview's graphs span: the engine's live lists, or the last
// hour, day or week as the history recorded it.
enum class GraphSpan { live, hour, day, week };

// Reads the recorded CPU, GPU and network figures of a span on a thread of
// its own (opening the database may wait on the disk) and hands them to the
// main loop through `read`. A slot nothing was recorded in is NaN.
class RecordedGraphs {
public:
    struct Values {
        History cpu, gpu, in, out;
    };

    RecordedGraphs();
    ~RecordedGraphs();
    RecordedGraphs(const RecordedGraphs&) = delete;
    RecordedGraphs& operator=(const RecordedGraphs&) = delete;

    // Reads the span ending now, or goes back to the live lists. A read
    // asked for while one runs starts when it ends; only the span asked for
    // last is shown.
    void request(GraphSpan span);
    // The values of span(), on the main loop; empty while live.
    const Values& values() const { return values_; }
    GraphSpan span() const { return shownSpan_; }
    // The span asked for last, whether or not its values have arrived.
    GraphSpan wanted() const { return wanted_; }
    sigc::signal<void()> read;

    // The slots a span is cut into.
    static size_t slotsOf(GraphSpan span);

private:
    void startReader(GraphSpan span);

    Glib::Dispatcher done_;
    std::mutex mutex_; // guards pending_ and pendingSpan_
    Values pending_;
    GraphSpan pendingSpan_ = GraphSpan::live;
    std::thread reader_;
    bool reading_ = false;
    GraphSpan wanted_ = GraphSpan::live;
    Values values_;
    GraphSpan shownSpan_ = GraphSpan::live;
};

} // namespace korvel
