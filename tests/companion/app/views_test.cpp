#include "companion/app/app_style.h"
#include "companion/app/background_read.h"
#include "companion/app/korvel_settings_view.h"
#include "companion/app/localization.h"
#include "platform/desktop/text_domain.h"
#include "tests/companion/app/gtk_test_support.h"

#include <atomic>
#include <clocale>
#include <cstdint>
#include <map>

namespace korvel::testing {
namespace {

// A gettext catalogue for the companion's domain in a made-up language,
// active while the object lives.
class ScopedTranslations {
public:
    explicit ScopedTranslations(std::map<std::string, std::string> entries) {
        entries.emplace("", "Content-Type: text/plain; charset=UTF-8\n");
        // The .mo layout: header, tables of (length, offset) for the originals
        // (sorted) and the translations, then the strings.
        const auto count = static_cast<uint32_t>(entries.size());
        const uint32_t stringsAt = 28 + 16 * count;
        std::string header, originals, translations, strings;
        auto put = [](std::string& out, uint32_t value) {
            for (int i = 0; i < 4; ++i) {
                out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
            }
        };
        auto add = [&](std::string& table, const std::string& text) {
            put(table, static_cast<uint32_t>(text.size()));
            put(table, stringsAt + static_cast<uint32_t>(strings.size()));
            strings += text + '\0';
        };
        for (const auto& [key, value] : entries) {
            add(originals, key);
            add(translations, value);
        }
        for (uint32_t v : {0x950412deu, 0u, count, 28u, 28 + 8 * count, 0u, stringsAt}) {
            put(header, v);
        }
        dir_.write("xx/LC_MESSAGES/" + std::string(kTextDomain) + ".mo",
                   header + originals + translations + strings);
        // LANGUAGE is ignored in the plain C locale.
        previousLocale_ = std::setlocale(LC_MESSAGES, nullptr);
        std::setlocale(LC_MESSAGES, "C.UTF-8");
        g_setenv("LANGUAGE", "xx", TRUE);
        // Binding again makes gettext forget what it looked up before.
        platform::desktop::bindTextDomain(kTextDomain, dir_.str());
    }
    ~ScopedTranslations() {
        g_unsetenv("LANGUAGE");
        std::setlocale(LC_MESSAGES, previousLocale_.c_str());
        platform::desktop::bindTextDomain(kTextDomain, (dir_.path() / "none").string());
    }

private:
    TempDir dir_;
    std::string previousLocale_;
};

using ViewsTest = GtkManagerTest;

TEST_F(ViewsTest, BothViewsFollowTheManagerWhileOpen) {
    start();
    CompanionStatusView status(manager);
    const auto& row = status.relayRow();
    int opened = 0;
    KorvelSettingsView settingsView(defaults, center, autostart(), [&opened] { ++opened; });
    const Glib::ustring unavailableDetail = settingsView.detail().get_text();
    const auto expectLook = [&](bool active) {
        EXPECT_EQ(row.isActive(), active);
        EXPECT_EQ(row.value(),
                  active ? "Publishing Advanced data" : "Advanced data is not being published");
        EXPECT_EQ(row.symbol().get_icon_name(),
                  active ? CompanionStatusRow::kActiveIcon : CompanionStatusRow::kInactiveIcon);
        EXPECT_EQ(row.symbol().has_css_class(style::kActive), active);
        EXPECT_EQ(settingsView.availability().get_text(), active ? "Available" : "Not available");
        EXPECT_EQ(settingsView.availability().has_css_class(style::kActive), active);
        EXPECT_EQ(settingsView.pageButton().get_label(),
                  active ? "Open Korvel Page" : "Learn more");
    };
    expectLook(false);
    { CompanionStatusView gone(manager); } // the next change must not reach it

    answer(0, fullReading(dispatch.now()));
    dispatch.runPending(); // delivers the helperAvailable write to observers
    expectLook(true);
    EXPECT_EQ(settingsView.detail().get_text(), "Process and connection details are available.");
    g_signal_emit_by_name(settingsView.pageButton().gobj(), "clicked");
    EXPECT_EQ(opened, 1);

    // The helper delivers nothing: the snapshot goes, and so does the green.
    dispatch.advance(KorvelManager::kFirstStartupRefreshDelay);
    ASSERT_EQ(requests.size(), 2u);
    answer(1, reading(dispatch.now()));
    dispatch.runPending();
    expectLook(false);
    EXPECT_EQ(settingsView.detail().get_text(), unavailableDetail);
}

TEST_F(ViewsTest, TextsGoThroughTheCatalogueOnceAndLongOnesWrap) {
    const std::string longDescription =
        "Der Begleiter läuft leise im Hintergrund und erweitert Korvel um erweiterte Diagnosen, "
        "die sonst nirgends zu sehen wären, und zwar ohne jede weitere Einstellung.";
    ScopedTranslations translations({
        {"Feature Mode", "Funktionsmodus"},
        {"Relay", "Relais"},
        // A value that happens to be a key must not be translated again.
        {"Publishing Advanced data", "Relay"},
        {"The Companion runs quietly in the background and extends Korvel with Advanced "
         "diagnostics.",
         longDescription},
    });
    KorvelSettingsView settingsView(defaults, center, autostart(), [] {});
    EXPECT_EQ(settingsView.sectionCaption().get_text(), "FUNKTIONSMODUS");

    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    auto* window = delegate->setupWindow();
    ASSERT_NE(window, nullptr);
    auto& setup = window->view();
    EXPECT_EQ(setup.description().get_text().raw(), longDescription);
    dispatch.runPending();
    answer(0, fullReading(dispatch.now()));
    EXPECT_EQ(setup.statusView().relayRow().title(), "Relais");
    EXPECT_EQ(setup.statusView().relayRow().value(), "Relay");

    pumpMainContext();
    EXPECT_EQ(window->get_width(), 420) << "a long translation wraps instead";
    EXPECT_GT(setup.description().get_height(), 20) << "wrapped onto several lines";
}

// A second read that ends before the first one's result reaches the main loop:
// two deliveries are queued, and only the newest result is handed on, once.
TEST(BackgroundReadTest, AReadEndingBeforeTheLastDeliveryHandsNoEmptyResult) {
    if (!gtkAvailable()) {
        GTEST_SKIP() << "no display: set DISPLAY (scripts/run-tests.sh starts Xvfb)";
    }
    std::vector<std::string> delivered;
    BackgroundRead<std::string> read([&](std::string r) { delivered.push_back(std::move(r)); });
    read.start([] { return std::string("first"); });
    std::atomic<bool> secondRan{false};
    while (!secondRan) { // dropped while the first still runs
        read.start([&] {
            secondRan = true;
            return std::string("second");
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(iterateUntil([&] { return !delivered.empty(); }));
    pumpMainContext();
    EXPECT_EQ(delivered, std::vector<std::string>{"second"});
}

} // namespace
} // namespace korvel::testing
