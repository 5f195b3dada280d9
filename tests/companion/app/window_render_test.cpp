#include "companion/app/usage_card.h"
#include "companion/archive/history_location.h"
#include "companion/history/history_store.h"
#include "platform/clock/absolute_time.h"
#include "tests/companion/app/gtk_test_support.h"
#include "tests/support/scoped_env.h"

#include <cstdint>
#include <cstdlib>

namespace korvel::testing {
namespace {

// Where the pictures go: $KORVEL_SCREENSHOT_DIR, else screenshots/ in the build.
std::filesystem::path screenshotDirectory() {
    if (const char* dir = std::getenv("KORVEL_SCREENSHOT_DIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    return std::filesystem::path(KORVEL_TEST_BINARY_DIR).parent_path() / "screenshots";
}

void notePainted(bool* painted) {
    *painted = true;
}

// The window as it is drawn on screen; empty when it has no size.
Glib::RefPtr<Gdk::Texture> renderWindow(Gtk::Window& window) {
    pumpMainContext();
    // The views catch up in idle iterations and the frame clock lays out and
    // paints on its own timer: wait for a frame after them.
    if (GdkFrameClock* clock = gtk_widget_get_frame_clock(GTK_WIDGET(window.gobj()))) {
        bool painted = false;
        const gulong handler =
            g_signal_connect_swapped(clock, "after-paint", G_CALLBACK(notePainted), &painted);
        window.queue_draw();
        iterateUntil([&] { return painted; });
        g_signal_handler_disconnect(clock, handler);
    }
    const int width = window.get_width();
    const int height = window.get_height();
    if (width <= 0 || height <= 0) {
        return {};
    }
    auto paintable = Gtk::WidgetPaintable::create(window);
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gdk_paintable_snapshot(GDK_PAINTABLE(paintable->gobj()), GDK_SNAPSHOT(snapshot), width, height);
    GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
    if (node == nullptr) {
        return {};
    }
    const graphene_rect_t bounds =
        GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
    GdkTexture* texture = gsk_renderer_render_texture(
        gtk_native_get_renderer(GTK_NATIVE(window.gobj())), node, &bounds);
    gsk_render_node_unref(node);
    return Glib::wrap(texture);
}

// How many of the picture's pixels read as the theme's green.
size_t greenPixels(const Glib::RefPtr<Gdk::Texture>& texture) {
    const int width = texture->get_width();
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * texture->get_height() * 4);
    gdk_texture_download(texture->gobj(), pixels.data(), static_cast<gsize>(width) * 4);
    size_t count = 0;
    for (size_t i = 0; i < pixels.size(); i += 4) {
        // Cairo's native order: B, G, R, A (premultiplied).
        const int b = pixels[i], g = pixels[i + 1], r = pixels[i + 2];
        if (g > 150 && g - r > 80 && g - b > 40) {
            ++count;
        }
    }
    return count;
}

Glib::RefPtr<Gdk::Texture> save(Gtk::Window& window, const std::string& name) {
    auto texture = renderWindow(window);
    if (texture) {
        std::filesystem::create_directories(screenshotDirectory());
        const auto file = screenshotDirectory() / name;
        EXPECT_TRUE(texture->save_to_png(file.string())) << file;
        EXPECT_GT(std::filesystem::file_size(file), 1000u) << file;
    }
    return texture;
}

using WindowRenderTest = GtkManagerTest;

TEST_F(WindowRenderTest, BothWindowsRenderAndShowGreenOnlyWhileActive) {
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    delegate->showSettingsWindow();
    auto* setup = delegate->setupWindow();
    auto* settings = delegate->settingsWindow();
    ASSERT_TRUE(setup && settings);

    const auto setupIdle = save(*setup, "setup-window-idle.png");
    const auto settingsIdle = save(*settings, "settings-window-idle.png");
    ASSERT_TRUE(setupIdle && settingsIdle);
    EXPECT_EQ(setupIdle->get_width(), 420) << "texts wrap instead of widening the window";
    EXPECT_EQ(settingsIdle->get_width(), 380);
    EXPECT_GE(settingsIdle->get_height(), 720);
    EXPECT_EQ(greenPixels(setupIdle) + greenPixels(settingsIdle), 0u);

    // The helper answers: both windows turn green in place.
    dispatch.runPending();
    answer(0, fullReading(dispatch.now()));
    dispatch.runPending();
    const auto setupActive = save(*setup, "setup-window.png");
    const auto settingsActive = save(*settings, "settings-window.png");
    ASSERT_TRUE(setupActive && settingsActive);
    EXPECT_GT(greenPixels(setupActive), 20u) << "the Relay row's symbol";
    EXPECT_GT(greenPixels(settingsActive), 20u) << "\"Available\"";
}

// A machine with a few busy processes, read at time t (seconds of traffic).
HelperResponse busyReading(double timestamp, uint64_t t) {
    HelperResponse r;
    r.timestamp = timestamp;
    r.processes = {{1201, "firefox", "/usr/lib/firefox/firefox", t * 400'000'000, 900u << 20, 0,
                    "app-firefox-1201.scope", "firefox"},
                   {1302, "syncthing", "/usr/bin/syncthing", t * 90'000'000, 120u << 20, 0,
                    "syncthing.service"},
                   {1403, "sshd", "/usr/sbin/sshd", t * 1'000'000, 8u << 20, 0, "ssh.service"}};
    r.connections = {
        {1201, "TCP", "192.168.1.20", 51544, "151.101.1.140", 443, 4, t * 2'400'000, t * 90'000},
        {1201, "TCP6", "2001:db8::20", 40112, "2606:4700::6810", 443, 4, t * 800'000, t * 40'000},
        {1302, "TCP", "0.0.0.0", 22000, "0.0.0.0", 0, 1},
        {1302, "TCP", "192.168.1.20", 22000, "192.168.1.31", 50122, 4, t * 60'000, t * 1'900'000},
        {1403, "TCP", "0.0.0.0", 22, "0.0.0.0", 0, 1}};
    r.interfaces = {{"wlan0", t * 3'300'000 + (t >= 6 ? 5'000'000 : 0), t * 2'100'000},
                    {"tun0", t * 200'000, t * 50'000},
                    {"lo", t * 10'000, t * 10'000}};
    r.totalRam = 16ull << 30;
    r.usedRam = 5ull << 30;
    r.gpuUsagePercent = 23.0 + static_cast<double>(t % 7);
    r.cpuTemperatureCelsius = 54;
    return r;
}

TEST_F(WindowRenderTest, TheLiveWindowRendersEachTabWithData) {
    defaults.setBool(settings::kCompanionSetupCompleted, true);
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    manager = delegate->manager();
    delegate->showLiveWindow();
    auto* window = delegate->liveWindow();
    ASSERT_TRUE(iterateUntil([&] { return window->get_mapped(); }));
    for (uint64_t t = 1; t <= 12; ++t) {
        dispatch.advance(1.0);
        liveCounters = {{"wlan0", t * 3'300'000 + (t % 3) * 900'000, t * 2'100'000}};
        answer(requests.size() - 1, busyReading(dispatch.now(), t));
    }
    window->showTab("processes");
    dispatch.runPending();
    window->processes().model().selection->set_selected(0); // the busiest, with its sockets
    for (const char* tab : LiveWindow::kTabs) {
        window->showTab(tab);
        dispatch.runPending();
        pumpMainContext();
        EXPECT_TRUE(save(*window, "live-window-" + std::string(tab) + ".png")) << tab;
    }
    EXPECT_EQ(window->processes().model().store->get_n_items(), 3u);
    const auto& interfaces = window->interfaces().model().store;
    ASSERT_EQ(interfaces->get_n_items(), 3u);
    for (guint i = 0; i < interfaces->get_n_items(); ++i) {
        const auto& row = interfaces->get_item(i)->value();
        EXPECT_DOUBLE_EQ(row.peakIn, row.stat.id == "wlan0" ? 8'300'000 : row.stat.rateIn)
            << row.stat.id << ": a burst while the Overview showed";
    }
}

// Three minutes at home: 3 GB in, 300 MB out, a process "fetcher" behind
// 60 % of both.
void recordHome() {
    std::string error;
    auto db = history::openHistoryForWriting(*history::historyPlace(), error, [](const auto&) {});
    ASSERT_TRUE(db) << error;
    history::HistoryStore store(std::move(*db));
    NetProcess fetcher;
    fetcher.id = 20;
    fetcher.name = "fetcher";
    fetcher.connections.resize(1);
    fetcher.connections[0].remoteAddr = "198.51.100.7";
    fetcher.connections[0].used = fetcher.bytesUsed = {600'000'000, 60'000'000};
    for (int64_t minute = 3; minute > 0; --minute) {
        ReadingFrame f;
        f.time = static_cast<double>(std::time(nullptr) - 60 * minute) -
                 platform::kUnixToAbsoluteTimeOffset;
        f.helperFull = true;
        f.interfaces = {{"wlan0"}};
        f.interfaces[0].used = {1'000'000'000, 100'000'000};
        f.networks = {{"wlan0", "uuid-home", "Home", "uuid-home", "HomeNet", "192.0.2.1", true}};
        f.processes = {fetcher};
        history::FrameUse use;
        use.add(f);
        ASSERT_EQ(store.record(use.reading(f, {}), {}), 0);
    }
}

TEST_F(WindowRenderTest, APlanSetInTheSettingsFillsItsNetworksCardAndUsageView) {
    TempDir state;
    ScopedEnv stateHome("XDG_STATE_HOME", state.str());
    recordHome();
    defaults.setBool(settings::kCompanionSetupCompleted, true);
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    delegate->showSettingsWindow();
    auto& view = delegate->settingsWindow()->view();
    auto& plans = view.plans();
    ASSERT_TRUE(iterateUntil([&] { return plans.networks().size() == 1; }));
    EXPECT_EQ(plans.networks()[0], "uuid-home");
    defaults.set(usage::kDataPlansKey, nlohmann::json::parse(R"([{"network": "Office",
        "capBytes": 5}, {"network": "Home", "capBytes": 1, "cycleStartDay": 40}])"));
    plans.cap("uuid-home").set_value(10); // GB, a new plan's unit
    EXPECT_EQ(defaults.object(usage::kDataPlansKey)->dump(),
              R"([{"capBytes":5,"network":"Office"},{"capBytes":10000000000,)"
              R"("count":"both","cycleStartDay":1,"network":"Home","warningPercent":80}])")
        << "the unsound plan replaced under its name, the other network's kept";
    dispatch.runPending(); // the stored plans read back
    auto scroll = view.get_vadjustment();
    iterateUntil([&] { return scroll->get_upper() > scroll->get_page_size(); });
    scroll->set_value(scroll->get_upper());
    EXPECT_TRUE(save(*delegate->settingsWindow(), "settings-data-plans.png"));

    delegate->showLiveWindow();
    auto* window = delegate->liveWindow();
    ASSERT_TRUE(iterateUntil([&] { return window->overview().usageCards().size() == 1; }));
    for (uint64_t t = 1; t <= 4; ++t) {
        dispatch.advance(1.0);
        answer(requests.size() - 1, busyReading(dispatch.now(), t));
    }
    UsageCard& card = *window->overview().usageCards()[0];
    EXPECT_DOUBLE_EQ(card.bar().get_value(), 0.33);
    EXPECT_EQ(card.figure().get_text(), "3.3 GB of 10.0 GB");
    EXPECT_TRUE(save(*window, "overview-data-usage.png"));

    card.activate();
    EXPECT_TRUE(iterateUntil([&] { return window->currentTab() == "interfaces"; }));
    const auto& shown = window->interfaces().usage().detail();
    ASSERT_EQ(shown.apps.size(), 2u);
    EXPECT_EQ(shown.apps[0].label, "fetcher");
    EXPECT_EQ(shown.apps[0].used.bytesIn + shown.apps[1].used.bytesIn, 3'000'000'000u);
    EXPECT_TRUE(shown.apps[1].other) << "the rest, last";
    EXPECT_TRUE(save(*window, "live-window-data-usage.png"));
}

} // namespace
} // namespace korvel::testing
