#include "companion/app/overview_sections.h"
#include "companion/app/panel_indicator.h"
#include "companion/app/panel_metric.h"
#include "companion/archive/history_location.h"
#include "companion/history/history_store.h"
#include "tests/companion/app/gtk_test_support.h"
#include "tests/support/helper_process.h"
#include "tests/support/scoped_env.h"

#include <cmath>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel::testing {
namespace {

using namespace notifications;
using namespace std::string_literals;

class LiveWindowTest : public GtkManagerTest {
protected:
    void SetUp() override {
        GtkManagerTest::SetUp();
        center.addObserver("", [this](const platform::Notification& n) {
            if (n.name == kMenuBarDataRefreshed) {
                return;
            }
            std::string text = n.name;
            for (const auto& [key, value] : n.userInfo.value_or(platform::UserInfo{})) {
                text += " " + key + "=" +
                        std::visit(
                            [](const auto& v) {
                                if constexpr (std::is_same_v<std::decay_t<decltype(v)>, bool>) {
                                    return std::string(v ? "true" : "false");
                                } else if constexpr (std::is_same_v<std::decay_t<decltype(v)>,
                                                                    std::string>) {
                                    return v;
                                } else {
                                    return std::to_string(v);
                                }
                            },
                            value);
            }
            posted.push_back(text);
        });
    }

    LiveWindow& openWindow() {
        defaults.setBool(settings::kCompanionSetupCompleted, true);
        delegate = makeDelegate();
        delegate->applicationDidFinishLaunching();
        manager = delegate->manager();
        delegate->showLiveWindow();
        EXPECT_TRUE(iterateUntil([&] { return delegate->liveWindow()->get_mapped(); }));
        dispatch.runPending();
        return *delegate->liveWindow();
    }

    // What was posted since the last call.
    std::vector<std::string> takePosted() {
        dispatch.runPending();
        return std::exchange(posted, {});
    }

    // Answers the newest request, so the reading is not stale.
    void answerNewest(HelperResponse response) {
        answer(requests.size() - 1, std::move(response));
        pumpMainContext();
    }

    std::shared_ptr<AppDelegate> delegate;
    std::vector<std::string> posted;
};

// Emits a signal of the handle's drag source, as a pointer drag would.
void emitOnDragSource(Gtk::Widget& handle, const char* signal) {
    GListModel* controllers = gtk_widget_observe_controllers(handle.gobj());
    for (guint i = 0; i < g_list_model_get_n_items(controllers); ++i) {
        auto* controller = static_cast<GObject*>(g_list_model_get_item(controllers, i));
        if (GTK_IS_DRAG_SOURCE(controller)) {
            if (std::string(signal) == "drag-begin") {
                g_signal_emit_by_name(controller, signal, nullptr);
            } else {
                g_signal_emit_by_name(controller, signal, nullptr, FALSE);
            }
        }
        g_object_unref(controller);
    }
    g_object_unref(controllers);
}

TEST_F(LiveWindowTest, TheWindowTellsTheEngineWhenAndWhereSomeoneLooks) {
    LiveWindow& window = openWindow();
    EXPECT_EQ(takePosted(),
              (std::vector<std::string>{kPopoverVisibilityChanged + " isVisible=true"s}));
    EXPECT_EQ(manager->refreshPeriod(), 1.0) << "overview";

    const size_t asked = requests.size();
    g_signal_emit_by_name(window.refreshButton().gobj(), "clicked");
    EXPECT_EQ(takePosted(), (std::vector<std::string>{kRefreshNow}));
    EXPECT_EQ(requests.size(), asked + 1);

    window.setMinimized(true);
    EXPECT_EQ(takePosted(),
              (std::vector<std::string>{kPopoverVisibilityChanged + " isVisible=false"s}));
    EXPECT_EQ(manager->refreshPeriod(), 5.0) << "nobody looks: the user's period";
    window.setMinimized(false);
    EXPECT_EQ(takePosted(),
              (std::vector<std::string>{kPopoverVisibilityChanged + " isVisible=true"s}));

    auto& handle = window.overview().dragHandle("network");
    emitOnDragSource(handle, "drag-begin");
    EXPECT_EQ(takePosted(),
              (std::vector<std::string>{kOverviewDragStateChanged + " isDragging=true"s}));
    EXPECT_TRUE(manager->isInteractionSuspended.get());
    emitOnDragSource(handle, "drag-end");
    EXPECT_EQ(takePosted(),
              (std::vector<std::string>{kOverviewDragStateChanged + " isDragging=false"s}));
    EXPECT_FALSE(manager->isInteractionSuspended.get());
    EXPECT_EQ(manager->refreshPeriod(), 1.0);
}

TEST_F(LiveWindowTest, TheKeyboardAloneSwitchesTabsRefreshesOpensSettingsAndCloses) {
    LiveWindow& window = openWindow();
    takePosted();
    uint64_t samples = 0;
    const auto sampled =
        manager->liveOutboundRate.observe([&](double) { ++samples; }); // one per sampler tick
    // From the last tab back, so that every key switches.
    const std::vector<std::tuple<const char*, const char*, double>> tabs = {
        {"<Alt>4", "interfaces", 1.0},
        {"<Alt>3", "connections", 0.5},
        {"<Alt>2", "processes", 0.5},
        {"<Alt>1", "overview", 1.0}};
    for (const auto& [keys, tab, period] : tabs) {
        ASSERT_TRUE(activateShortcut(window, keys)) << keys;
        EXPECT_EQ(window.currentTab(), tab);
        EXPECT_EQ(takePosted(), (std::vector<std::string>{kPopoverTabChanged + " tab="s + tab}));
        EXPECT_EQ(manager->refreshPeriod(), period) << tab;
        samples = 0;
        dispatch.advance(1.0);
        EXPECT_EQ(samples, 2u) << "the traffic sampler at 500 ms on " << tab;
    }
    manager->liveOutboundRate.removeObserver(sampled);

    for (const char* keys : {"F5", "<Control>r"}) {
        const size_t asked = requests.size();
        ASSERT_TRUE(activateShortcut(window, keys)) << keys;
        EXPECT_EQ(takePosted(), (std::vector<std::string>{kRefreshNow})) << keys;
        EXPECT_EQ(requests.size(), asked + 1) << keys;
    }

    // Enter on a process moves to its sockets, Escape there back to the table.
    answerNewest(fullReading(dispatch.now()));
    ASSERT_TRUE(activateShortcut(window, "<Alt>2"));
    auto& processes = window.processes();
    processes.model().selection->set_selected(0);
    g_signal_emit_by_name(processes.table().gobj(), "activate", 0u);
    const auto focusIn = [&](Gtk::Widget& widget) {
        auto* focus = window.get_focus();
        return focus != nullptr && (focus == &widget || focus->is_ancestor(widget));
    };
    EXPECT_TRUE(focusIn(processes.sockets().view()));
    GListModel* controllers =
        gtk_widget_observe_controllers(processes.sockets().get_parent()->gobj());
    for (guint i = 0; i < g_list_model_get_n_items(controllers); ++i) {
        auto* controller = static_cast<GObject*>(g_list_model_get_item(controllers, i));
        gboolean handled = FALSE;
        if (GTK_IS_EVENT_CONTROLLER_KEY(controller)) {
            g_signal_emit_by_name(controller, "key-pressed", GDK_KEY_Escape, 0u, GdkModifierType{},
                                  &handled);
        }
        g_object_unref(controller);
    }
    g_object_unref(controllers);
    EXPECT_TRUE(focusIn(processes.table()));
    takePosted();

    ASSERT_TRUE(activateShortcut(window, "<Control>comma"));
    ASSERT_NE(delegate->settingsWindow(), nullptr);
    EXPECT_TRUE(iterateUntil([&] { return delegate->settingsWindow()->get_mapped(); }));

    ASSERT_TRUE(activateShortcut(window, "<Control>w"));
    EXPECT_TRUE(iterateUntil([&] { return !window.get_mapped(); }));
    EXPECT_EQ(takePosted(),
              (std::vector<std::string>{kPopoverVisibilityChanged + " isVisible=false"s}));
    EXPECT_EQ(delegate->liveWindow(), &window) << "closing only hides it";
    // The engine runs on, at the user's period.
    const size_t asked = requests.size();
    dispatch.advance(5.0);
    EXPECT_EQ(requests.size(), asked + 1);
}

TEST_F(LiveWindowTest, TheProcessTableIsUpdatedInPlace) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::execlp("sleep", "sleep", "30", nullptr);
        ::_exit(127);
    }
    LiveWindow& window = openWindow();
    window.showTab("processes");
    auto& processes = window.processes();
    const auto ours = [&](uint64_t cpuNS, std::optional<uint16_t> remotePort) {
        HelperResponse r = reading(dispatch.now(), {{child, "sleep", "/usr/bin/sleep", cpuNS, 4096},
                                                    {1, "init", "/sbin/init", 0, 8192}});
        if (remotePort) {
            r.connections.push_back(
                {child, "TCP", "127.0.0.1", 40000, "127.0.0.1", *remotePort, 4});
        }
        return r;
    };
    answerNewest(ours(0, 8080));
    auto& store = processes.model().store;
    ASSERT_EQ(store->get_n_items(), 2u);
    const auto rowOfChild = [&] {
        Glib::RefPtr<ListRow<ProcessRowValue>> found;
        for (guint i = 0; i < store->get_n_items(); ++i) {
            if (store->get_item(i)->value().process.id == child) {
                found = store->get_item(i);
            }
        }
        return found;
    };
    const auto row = rowOfChild();
    ASSERT_TRUE(row);

    dispatch.advance(0.5);
    answerNewest(ours(250'000'000, std::nullopt));
    ASSERT_EQ(store->get_n_items(), 2u);
    EXPECT_EQ(rowOfChild(), row) << "the same row object, with new values";
    EXPECT_GT(row->value().process.cpuPercent, 0.0);
    // Busiest first, and the order follows the figures.
    const auto busiest = [&] {
        auto* model = G_LIST_MODEL(processes.model().sorted->gobj());
        const Glib::RefPtr<Glib::Object> first =
            Glib::wrap(G_OBJECT(g_list_model_get_item(model, 0)));
        return rowOf<ProcessRowValue>(first->gobj())->value().process.id;
    };
    EXPECT_EQ(busiest(), child);
    dispatch.advance(0.5);
    HelperResponse initBusier = ours(250'000'000, std::nullopt);
    initBusier.processes[1].cpuNS = 400'000'000;
    answerNewest(initBusier);
    EXPECT_EQ(busiest(), 1);

    processes.search().set_text("SLEEP");
    EXPECT_TRUE(iterateUntil([&] { return processes.model().filtered->get_n_items() == 1; }));
    processes.model().selection->set_selected(0);
    const auto& sockets = processes.sockets().model().store;
    ASSERT_EQ(sockets->get_n_items(), 1u) << "the socket closed since: recently closed";
    EXPECT_TRUE(sockets->get_item(0)->value().closedAgo);
    EXPECT_EQ(sockets->get_item(0)->value().connection.remotePort, 8080);

    dispatch.advance(0.5);
    HelperResponse gone = reading(dispatch.now(), {{1, "init", "/sbin/init", 0, 8192}});
    answerNewest(gone);
    EXPECT_EQ(store->get_n_items(), 1u);
    EXPECT_EQ(processes.model().filtered->get_n_items(), 0u);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

// Nobody touches the table while each merge makes other processes the
// busiest: the view stays at the top, the busiest rows in sight, and a view
// scrolled down stays there.
TEST_F(LiveWindowTest, TheProcessTableStaysWhereItWasLeftAsRowsMove) {
    LiveWindow& window = openWindow();
    window.showTab("processes");
    auto& table = window.processes().table();
    const auto adjustment = table.get_vadjustment();
    std::vector<HelperProcessData> processes;
    for (int32_t pid = 10000; pid < 10400; ++pid) {
        processes.push_back({pid, "p" + std::to_string(pid), std::nullopt, 0, 4096});
    }
    int step = 0;
    const auto merges = [&](int count) {
        for (const int end = step + count; step < end; ++step) {
            for (size_t i = 0; i < processes.size(); ++i) {
                processes[i].cpuNS += (i + 7 * step) % 400 < 30 ? 10'000'000 * (1 + i % 5) : 0;
            }
            dispatch.advance(0.5);
            answerNewest(reading(dispatch.now(), processes));
            const auto frame = table.get_frame_clock()->get_frame_counter();
            iterateUntil([&] { return table.get_frame_clock()->get_frame_counter() > frame + 1; });
        }
    };
    merges(20);
    EXPECT_EQ(adjustment->get_value(), 0);
    // What the first row on screen, below the header, shows: the busiest.
    const Glib::RefPtr<Glib::Object> first = Glib::wrap(G_OBJECT(
        g_list_model_get_item(G_LIST_MODEL(window.processes().model().sorted->gobj()), 0)));
    auto* shown = dynamic_cast<Gtk::Label*>(table.pick(40, 48));
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->get_text().raw(), rowOf<ProcessRowValue>(first->gobj())->value().process.name);

    adjustment->set_value(640);
    merges(10);
    EXPECT_EQ(adjustment->get_value(), 640);
}

// A process of ours moving about a megabyte a second over one loopback TCP
// connection, both ends its own. IPv6-mapped: the helper leaves out plain
// loopback pairs.
pid_t startPacedTransfer() {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr.s6_addr[10] = address.sin6_addr.s6_addr[11] = 0xff;
    address.sin6_addr.s6_addr[12] = 127;
    address.sin6_addr.s6_addr[15] = 1;
    socklen_t length = sizeof address;
    const int listener = ::socket(AF_INET6, SOCK_STREAM, 0);
    const int zero = 0;
    ::setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const int sender = ::socket(AF_INET6, SOCK_STREAM, 0);
    ::connect(sender, reinterpret_cast<sockaddr*>(&address), length);
    const int receiver = ::accept(listener, nullptr, nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        static char chunk[16384];
        const timespec pause{0, 16'000'000};
        for (;;) {
            (void)!::write(sender, chunk, sizeof chunk);
            (void)!::read(receiver, chunk, sizeof chunk);
            ::nanosleep(&pause, nullptr);
        }
    }
    for (const int fd : {listener, sender, receiver}) {
        ::close(fd);
    }
    return child;
}

// The machine as the real helper reads it, through `korvel-companion fetch`.
std::optional<HelperResponse> fetchFromHelper() {
    std::string program = KORVEL_TEST_BINARY_DIR "/korvel-companion";
    std::string fetch = "fetch", all = "--show-system";
    gchar* argv[] = {program.data(), fetch.data(), all.data(), nullptr};
    gchar* out = nullptr;
    if (!g_spawn_sync(nullptr, argv, nullptr, G_SPAWN_STDERR_TO_DEV_NULL, nullptr, nullptr, &out,
                      nullptr, nullptr, nullptr)) {
        return std::nullopt;
    }
    auto response = decodeHelperResponse(out);
    g_free(out);
    return response;
}

TEST_F(LiveWindowTest, AProcessOfOursShowsItsSocketsAndTheirRatesFromTheRealHelper) {
    TempDir runtime;
    std::filesystem::permissions(runtime.path(), std::filesystem::perms::owner_all);
    ScopedEnv privateHelper("XDG_RUNTIME_DIR", runtime.str());
    const pid_t child = startPacedTransfer();
    LiveWindow& window = openWindow();
    window.showTab("processes");
    auto first = fetchFromHelper();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto second = fetchFromHelper();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    killHelpers();
    ASSERT_TRUE(first && second);
    answerNewest(std::move(*first));
    dispatch.advance(0.5);
    answerNewest(std::move(*second));

    const auto& store = window.processes().model().store;
    const ProcessRowValue* row = nullptr;
    for (guint i = 0; i < store->get_n_items(); ++i) {
        if (store->get_item(i)->value().process.id == child) {
            row = &store->get_item(i)->value();
        }
    }
    ASSERT_NE(row, nullptr);
    const NetProcess* ours = &row->process;
    EXPECT_EQ(row->socketCount, 3u) << "the listener and both ends";
    EXPECT_GT(ours->rateIn.value_or(0), 100'000.0);
    EXPECT_GT(ours->rateOut.value_or(0), 100'000.0);
}

TEST_F(LiveWindowTest, TheGraphsShowTheRecordedLastHourAndGoBackToLive) {
    TempDir state;
    ScopedEnv stateHome("XDG_STATE_HOME", state.str());
    std::string error;
    auto db = history::openHistoryForWriting(*history::historyPlace(), error, [](const auto&) {});
    ASSERT_TRUE(db) << error;
    history::HistoryStore store(std::move(*db));
    // The last twenty minutes at 42 % CPU; nothing before.
    const int64_t now = std::time(nullptr);
    for (int64_t t = now - 1200; t <= now; t += 5) {
        history::HistoryReading reading;
        reading.time = t;
        reading.system.cpuPercent = 42;
        ASSERT_EQ(store.record(reading, {}), 0);
    }

    LiveWindow& window = openWindow();
    answerNewest(fullReading(dispatch.now()));
    auto& overview = window.overview();
    const HistoryGraph* cpu = overview.graph("cpu");
    ASSERT_NE(cpu, nullptr);
    EXPECT_EQ(cpu->series().front().values, &manager->cpuHistory.get());

    overview.graphSpan().set_selected(1); // the last hour
    ASSERT_TRUE(iterateUntil([&] { return cpu->series().front().values->size() == 60; }));
    const History& recorded = *cpu->series().front().values;
    EXPECT_TRUE(std::isnan(recorded.front())) << "nothing recorded then";
    EXPECT_DOUBLE_EQ(recorded[recorded.size() - 2], 42);
    const auto minutes =
        std::count_if(recorded.begin(), recorded.end(), [](double v) { return v == 42; });
    EXPECT_TRUE(minutes == 20 || minutes == 21) << minutes << " slots of a minute";
    EXPECT_EQ(overview.graph("connections")->series().front().values,
              &manager->connectionCountHistory.get())
        << "not recorded: stays live";

    overview.graphSpan().set_selected(0);
    EXPECT_EQ(cpu->series().front().values, &manager->cpuHistory.get());
}

TEST_F(LiveWindowTest, OverviewSectionsFollowTheirStoredOrderAndHiddenSet) {
    EXPECT_EQ(overviewSectionOrder("disk, bogus,cpu,disk").front(), "disk");
    EXPECT_EQ(overviewSectionOrder("path , network,disk"),
              (std::vector<std::string>{"path", "network", "disk", "cpu", "memory", "gpu",
                                        "temperatures", "connections", "battery"}));
    EXPECT_EQ(overviewSectionOrder("").size(), kOverviewSectionIds.size());
    EXPECT_EQ(overviewHiddenSections("gpu,nope"), std::set<std::string>{"gpu"});

    LiveWindow& window = openWindow();
    auto& overview = window.overview();
    answerNewest(fullReading(dispatch.now()));
    auto shown = overview.visibleSections();
    EXPECT_EQ(std::count(shown.begin(), shown.end(), "battery"), 0) << "no battery here";
    EXPECT_EQ(overview.figure("cpu").get_text(), "12 %");

    overview.setSectionHidden("gpu", true);
    overview.moveSection("network", "cpu");
    EXPECT_EQ(defaults.stringFor(settings::kOverviewHiddenSections, ""), "gpu");
    shown = overview.visibleSections();
    EXPECT_EQ(shown.front(), "network");
    EXPECT_EQ(std::count(shown.begin(), shown.end(), "gpu"), 0);

    // As `defaults write` from a shell would.
    defaults.setString(settings::kOverviewSectionOrder, "path");
    defaults.remove(settings::kOverviewHiddenSections);
    dispatch.runPending();
    shown = overview.visibleSections();
    EXPECT_EQ(shown.front(), "path");
    EXPECT_EQ(std::count(shown.begin(), shown.end(), "gpu"), 1);
}

TEST_F(LiveWindowTest, SettingsChangedInTheWindowAreStoredAndOutsideChangesShow) {
    TempDir state;
    ScopedEnv stateHome("XDG_STATE_HOME", state.str());
    std::string error;
    auto db = history::openHistoryForWriting(*history::historyPlace(), error, [](const auto&) {});
    ASSERT_TRUE(db) << error;
    history::HistoryReading recorded;
    recorded.time = 1700000000; // 20 s into a minute, 13 minutes into an hour
    ASSERT_EQ(history::HistoryStore(std::move(*db)).record(recorded, {}), 0);
    const auto local = [](std::time_t t) {
        std::tm tm{};
        localtime_r(&t, &tm);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
        return std::string(text);
    };

    LiveWindow& window = openWindow();
    answerNewest(fullReading(dispatch.now()));
    delegate->showSettingsWindow();
    auto& controls = delegate->settingsWindow()->view().controls();
    takePosted();
    ASSERT_TRUE(iterateUntil([&] { return !controls.historySpan().get_text().empty(); }));
    EXPECT_EQ(controls.historySpan().get_text().raw(), "Readings since " + local(1700000000) +
                                                           "\nMinutes since " + local(1699999980) +
                                                           "\nHours since " + local(1699999200));

    controls.refreshInterval().set_value(30);
    EXPECT_EQ(defaults.integerFor(settings::kAutoRefreshInterval, 0), 30);
    EXPECT_EQ(takePosted(), (std::vector<std::string>{kRefreshIntervalChanged}));
    window.close();
    iterateUntil([&] { return !window.get_mapped(); });
    dispatch.runPending();
    EXPECT_EQ(manager->refreshPeriod(), 30.0);

    controls.number(settings::kHistoryMaxMegabytes).set_value(64);
    EXPECT_EQ(defaults.integerFor(settings::kHistoryMaxMegabytes, 0), 64);
    for (const char* key : {settings::kShowSystemProcesses, settings::kTrafficEnabled,
                            settings::kMenuBarColorEnabled, settings::kHistoryEnabled}) {
        auto& toggle = controls.toggle(key);
        toggle.set_active(!toggle.get_active());
        EXPECT_EQ(defaults.boolFor(key, !toggle.get_active()), toggle.get_active()) << key;
    }
    controls.panelMetric().set_selected(2); // "cpu"
    EXPECT_EQ(defaults.stringFor(settings::kMenuBarMetric, ""), "cpu");
    dispatch.runPending();
    EXPECT_EQ(window.get_title().substr(0, 8), "CPU 12 %");

    auto& atLogin = controls.toggle(settings::kLaunchAtLogin);
    ASSERT_TRUE(atLogin.get_active()) << "registered at launch";
    atLogin.set_active(false);
    EXPECT_FALSE(std::filesystem::exists(entryPath));
    EXPECT_FALSE(defaults.boolFor(settings::kLaunchAtLogin, true));
    atLogin.set_active(true);
    EXPECT_TRUE(std::filesystem::exists(entryPath));
    EXPECT_TRUE(defaults.boolFor(settings::kLaunchAtLogin, false));

    // Written elsewhere while the window is open.
    defaults.setBool(settings::kResolveHostnames, false);
    defaults.setString(settings::kPrometheusTextfileDirectory, "/srv/metrics");
    dispatch.runPending();
    EXPECT_FALSE(controls.toggle(settings::kResolveHostnames).get_active());
    EXPECT_EQ(controls.textfileDirectory().get_text(), "/srv/metrics");
}

// A session bus of its own with a minimal StatusNotifierWatcher on it, as a
// panel would run one.
class PrivateWatcher {
public:
    PrivateWatcher() {
        // A bus daemon started by exec: GTestDBus forks a watcher that never
        // execs, and such a copy of a threaded, sanitized process can hang in
        // its leak check at exit, holding the test's output open.
        const char* argv[] = {"dbus-daemon", "--session", "--nofork", "--print-address=1", nullptr};
        gint out = -1;
        if (!g_spawn_async_with_pipes(
                nullptr, const_cast<char**>(argv), nullptr,
                static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
                nullptr, &daemon_, nullptr, &out, nullptr, nullptr)) {
            ADD_FAILURE() << "dbus-daemon did not start";
            return;
        }
        char c = 0;
        while (read(out, &c, 1) == 1 && c != '\n') {
            address += c;
        }
        close(out);
        g_setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), TRUE);
        connection = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        node_ = g_dbus_node_info_new_for_xml(
            "<node><interface name='org.kde.StatusNotifierWatcher'><method "
            "name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>"
            "</interface></node>",
            nullptr);
        static const GDBusInterfaceVTable vtable = {
            [](GDBusConnection*, const char*, const char*, const char*, const char*,
               GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
                const char* service = nullptr;
                g_variant_get(parameters, "(&s)", &service);
                static_cast<PrivateWatcher*>(self)->registered.emplace_back(service);
                g_dbus_method_invocation_return_value(invocation, nullptr);
            },
            nullptr,
            nullptr,
            {}};
        g_dbus_connection_register_object(connection, "/StatusNotifierWatcher",
                                          node_->interfaces[0], &vtable, this, nullptr, nullptr);
        g_bus_own_name_on_connection(connection, "org.kde.StatusNotifierWatcher",
                                     G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr, nullptr,
                                     nullptr);
    }
    ~PrivateWatcher() {
        g_object_unref(connection);
        g_dbus_node_info_unref(node_);
        if (daemon_ > 0) {
            kill(daemon_, SIGTERM);
            waitpid(daemon_, nullptr, 0);
        }
    }

    // Calls the item without blocking the main loop that serves it.
    GVariant* callItem(const char* interface, const char* method, GVariant* parameters) {
        GVariant* reply = nullptr;
        g_dbus_connection_call(
            connection, registered.at(0).c_str(), "/StatusNotifierItem", interface, method,
            parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer out) {
                *static_cast<GVariant**>(out) =
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
            },
            &reply);
        iterateUntil([&] { return reply != nullptr; });
        return reply;
    }
    std::string title() {
        GVariant* reply = callItem("org.freedesktop.DBus.Properties", "Get",
                                   g_variant_new("(ss)", "org.kde.StatusNotifierItem", "Title"));
        if (reply == nullptr) {
            return "(no answer)";
        }
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        std::string text = g_variant_get_string(value, nullptr);
        g_variant_unref(value);
        g_variant_unref(reply);
        return text;
    }

    std::string address;
    GDBusConnection* connection = nullptr;
    std::vector<std::string> registered;

private:
    static std::optional<std::string> now(const char* name) {
        const char* value = g_getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    ScopedEnv keepBus_{"DBUS_SESSION_BUS_ADDRESS", now("DBUS_SESSION_BUS_ADDRESS")};
    GPid daemon_ = 0;
    GDBusNodeInfo* node_ = nullptr;
};

TEST_F(LiveWindowTest, ThePanelIndicatorFollowsTheMetricAndOpensTheWindow) {
    PrivateWatcher watcher;
    defaults.setBool(settings::kCompanionSetupCompleted, true);
    delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    manager = delegate->manager();
    PanelIndicator indicator(
        manager, defaults, [&] { delegate->showLiveWindow(); }, watcher.address);
    EXPECT_EQ(indicator.item(), nullptr) << "no metric chosen";

    defaults.setString(settings::kMenuBarMetric, "cpu");
    dispatch.runPending();
    ASSERT_TRUE(iterateUntil([&] { return watcher.registered.size() == 1; }));
    EXPECT_TRUE(watcher.registered[0].starts_with("org.kde.StatusNotifierItem-" +
                                                  std::to_string(::getpid()) + "-"))
        << watcher.registered[0];
    EXPECT_EQ(watcher.title(), "CPU 0 %");
    answer(0, fullReading(dispatch.now()));
    EXPECT_EQ(watcher.title(), "CPU 12 %");

    g_variant_unref(
        watcher.callItem("org.kde.StatusNotifierItem", "Activate", g_variant_new("(ii)", 0, 0)));
    ASSERT_NE(delegate->liveWindow(), nullptr);
    EXPECT_TRUE(iterateUntil([&] { return delegate->liveWindow()->get_mapped(); }));

    defaults.setString(settings::kMenuBarMetric, "none");
    dispatch.runPending();
    EXPECT_EQ(indicator.item(), nullptr);
}

using PanelMetricTest = ManagerFixture;

TEST_F(PanelMetricTest, EachMetricShowsItsOwnFigureAndLevel) {
    start();
    SystemStats stats;
    stats.totalMem = 4;
    stats.usedMem = 1;
    stats.diskTotal = 1; // the smallest total still has a share
    stats.cpuUsagePercent = 12;
    stats.gpuUsagePercent = 30;
    stats.battery = BatterySnapshot{75, false, false};
    stats.cpuTemperatureCelsius = std::nan("");
    stats.gpuTemperatureCelsius = 70;
    manager->systemStats.set(stats);
    const std::vector<std::tuple<const char*, std::optional<std::string>, std::optional<double>>>
        cases{{"memory", "Memory 25 %", 0.25},
              {"disk", "Disk 100 %", 1.0},
              {"gpu", "GPU 30 %", 0.3},
              {"battery", "Battery 75 %", 0.25},
              {"cpuTemp", "CPU —", std::nullopt},
              {"gpuTemp", "GPU 70 °C", 0.7},
              {"none", std::nullopt, std::nullopt}};
    for (const auto& [metric, text, level] : cases) {
        EXPECT_EQ(panelMetricText(metric, *manager), text) << metric;
        EXPECT_EQ(panelMetricLevel(metric, *manager), level) << metric;
    }
}

TEST(PanelIndicatorIcon, TheBarFillsAndColoursWithTheLevel) {
    const auto pixel = [](const std::string& icon, int x, int y) {
        const size_t at = 4u * static_cast<size_t>(y * 24 + x);
        return static_cast<uint32_t>(static_cast<uint8_t>(icon[at])) << 24 |
               static_cast<uint32_t>(static_cast<uint8_t>(icon[at + 1])) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(icon[at + 2])) << 8 |
               static_cast<uint8_t>(icon[at + 3]);
    };
    EXPECT_EQ(levelIconPixels(0.3).size(), 24u * 24u * 4u);
    EXPECT_EQ(pixel(levelIconPixels(0.3), 12, 19), 0xff33d17au) << "low: green at the bottom";
    EXPECT_EQ(pixel(levelIconPixels(0.3), 12, 5), 0x40808080u) << "empty above the level";
    EXPECT_EQ(pixel(levelIconPixels(0.7), 12, 19), 0xffff7800u);
    EXPECT_EQ(pixel(levelIconPixels(1.0), 12, 4), 0xffe01b24u) << "full and red";
}

} // namespace
} // namespace korvel::testing
