#include "platform/desktop/directory_watcher.h"

#include <gio/gio.h>

#include <filesystem>

namespace korvel::platform::desktop {

struct DirectoryWatcher::State {
    std::vector<std::string> directories;
    std::chrono::milliseconds settle;
    std::function<void()> onStart;
    std::function<void()> onChange;
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    std::vector<GFileMonitor*> monitors;
    GSource* pending = nullptr;

    ~State() {
        g_main_loop_unref(loop);
        g_main_context_unref(context);
    }
    void watchAll();
    void unwatchAll();
    void changed();
};

namespace {

void onMonitorEvent(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent, gpointer data) {
    static_cast<DirectoryWatcher::State*>(data)->changed();
}

gboolean onSettled(gpointer data) {
    auto* state = static_cast<DirectoryWatcher::State*>(data);
    g_source_unref(state->pending);
    state->pending = nullptr;
    // Watch first (new subdirectories may have appeared), then read: whatever
    // changes after this reading starts is seen by the new watches.
    state->unwatchAll();
    state->watchAll();
    state->onChange();
    return G_SOURCE_REMOVE;
}

} // namespace

void DirectoryWatcher::State::watchAll() {
    std::vector<std::string> targets;
    for (const auto& dir : directories) {
        targets.push_back(dir);
        std::error_code error;
        std::filesystem::recursive_directory_iterator it(
            dir, std::filesystem::directory_options::skip_permission_denied, error);
        for (const std::filesystem::recursive_directory_iterator end; !error && it != end;
             it.increment(error)) {
            if (it->is_directory(error)) {
                targets.push_back(it->path().string());
            }
        }
    }
    for (const auto& target : targets) {
        GFile* file = g_file_new_for_path(target.c_str());
        GFileMonitor* monitor =
            g_file_monitor_directory(file, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
        g_object_unref(file);
        if (monitor != nullptr) {
            g_signal_connect(monitor, "changed", G_CALLBACK(onMonitorEvent), this);
            monitors.push_back(monitor);
        }
    }
}

void DirectoryWatcher::State::unwatchAll() {
    for (GFileMonitor* monitor : monitors) {
        g_signal_handlers_disconnect_by_data(monitor, this);
        g_file_monitor_cancel(monitor);
        g_object_unref(monitor);
    }
    monitors.clear();
}

void DirectoryWatcher::State::changed() {
    if (pending != nullptr) {
        g_source_destroy(pending);
        g_source_unref(pending);
    }
    pending = g_timeout_source_new(static_cast<guint>(settle.count()));
    g_source_set_callback(pending, onSettled, this, nullptr);
    g_source_attach(pending, context);
}

DirectoryWatcher::DirectoryWatcher(std::vector<std::string> directories,
                                   std::chrono::milliseconds settle, std::function<void()> onStart,
                                   std::function<void()> onChange)
    : state_(std::make_shared<State>()) {
    state_->directories = std::move(directories);
    state_->settle = settle;
    state_->onStart = std::move(onStart);
    state_->onChange = std::move(onChange);
    thread_ = std::thread([state = state_] {
        g_main_context_push_thread_default(state->context);
        state->watchAll();
        if (state->onStart) {
            state->onStart();
        }
        g_main_loop_run(state->loop);
        state->unwatchAll();
        if (state->pending != nullptr) {
            g_source_destroy(state->pending);
            g_source_unref(state->pending);
            state->pending = nullptr;
        }
        g_main_context_pop_thread_default(state->context);
    });
}

DirectoryWatcher::~DirectoryWatcher() {
    // Queued on the loop's own context, so a loop that has not started yet
    // still sees it.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        state_->loop, nullptr);
    g_source_attach(quit, state_->context);
    g_source_unref(quit);
    thread_.join();
}

} // namespace korvel::platform::desktop
