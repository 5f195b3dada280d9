#include "companion/app/live_window.h"

#include "companion/app/app_style.h"
#include "companion/app/localization.h"
#include "companion/app/panel_metric.h"
#include "companion/engine/command_notifications.h"
#include "companion/engine/korvel_manager.h"
#include "companion/engine/settings_keys.h"
#include "companion/sampling/host_names.h"

namespace korvel {
namespace {

// A shortcut that runs an action wherever the focus is in the window.
void addShortcut(Gtk::ShortcutController& controller, const char* trigger,
                 std::function<void()> action) {
    controller.add_shortcut(Gtk::Shortcut::create(
        Gtk::ShortcutTrigger::parse_string(trigger),
        Gtk::CallbackAction::create(
            [action = std::move(action)](Gtk::Widget&, const Glib::VariantBase&) {
                action();
                return true;
            })));
}

} // namespace

LiveWindow::LiveWindow(LiveWindowEnvironment environment)
    : env_(std::move(environment)), hostNames_(std::make_shared<HostNames>(systemResolver())),
      usage_(*env_.defaults), overview_(env_.manager, *env_.defaults, *env_.notifications, usage_,
                                        [this](const std::string& network) {
                                            interfaces_.showUsage(network);
                                            showTab("interfaces");
                                        }),
      processes_(
          env_.manager, *env_.defaults,
          [this](const std::string& address) -> std::optional<std::string> {
              return resolveHostnames_ ? hostNames_->name(address) : std::nullopt;
          },
          [this] { refreshNow(); }, env_.now),
      connections_(env_.manager, *env_.defaults,
                   [this](const std::string& address) -> std::optional<std::string> {
                       return resolveHostnames_ ? hostNames_->name(address) : std::nullopt;
                   }),
      interfaces_(env_.manager, usage_) {
    set_default_size(900, 640);
    set_hide_on_close(true);

    // In the order of kTabs.
    const std::pair<Gtk::Widget*, const char*> pages[] = {
        {&overview_, translatable("Overview")},
        {&processes_, translatable("Processes")},
        {&connections_, translatable("Connections")},
        {&interfaces_, translatable("Interfaces")}};
    static_assert(std::size(pages) == kTabs.size());
    for (size_t i = 0; i < kTabs.size(); ++i) {
        stack_.add(*pages[i].first, kTabs[i], localized(pages[i].second));
    }
    stack_.set_transition_type(Gtk::StackTransitionType::NONE);
    switcher_.set_stack(stack_);
    style::setAccessibleName(switcher_, localized("Tabs"));
    header_.set_title_widget(switcher_);

    refreshButton_.set_icon_name("view-refresh-symbolic");
    refreshButton_.set_tooltip_text(localized("Refresh now (F5)"));
    style::setAccessibleName(refreshButton_, localized("Refresh"));
    refreshButton_.signal_clicked().connect([this] { refreshNow(); });
    settingsButton_.set_icon_name("emblem-system-symbolic");
    settingsButton_.set_tooltip_text(localized("Settings (Ctrl+,)"));
    style::setAccessibleName(settingsButton_, localized("Settings"));
    settingsButton_.signal_clicked().connect([this] { env_.openSettings(); });
    header_.pack_start(refreshButton_);
    header_.pack_end(settingsButton_);
    set_titlebar(header_);
    set_child(stack_);

    auto shortcuts = Gtk::ShortcutController::create();
    shortcuts->set_scope(Gtk::ShortcutScope::GLOBAL);
    for (size_t i = 0; i < kTabs.size(); ++i) {
        const std::string trigger = "<Alt>" + std::to_string(i + 1);
        addShortcut(*shortcuts, trigger.c_str(), [this, i] { showTab(kTabs[i]); });
    }
    addShortcut(*shortcuts, "F5", [this] { refreshNow(); });
    addShortcut(*shortcuts, "<Control>r", [this] { refreshNow(); });
    addShortcut(*shortcuts, "<Control>w", [this] { close(); });
    addShortcut(*shortcuts, "<Control>comma", [this] { env_.openSettings(); });
    add_controller(shortcuts);

    stack_.property_visible_child_name().signal_changed().connect([this] {
        env_.notifications->post(notifications::kPopoverTabChanged,
                                 platform::UserInfo{{"tab", currentTab()}});
        update();
    });
    signal_map().connect([this] {
        watchSurface();
        update();
        postVisibility();
    });
    signal_unmap().connect([this] { postVisibility(); });
    signal_unrealize().connect([this] { surfaceState_.disconnect(); });

    // Read once per change rather than for every cell or tick.
    const auto readSettings = [this] {
        resolveHostnames_ =
            env_.defaults->boolFor(settings::kResolveHostnames, settings::kResolveHostnamesDefault);
        metric_ =
            env_.defaults->stringFor(settings::kMenuBarMetric, settings::kMenuBarMetricDefault);
    };
    readSettings();
    defaultsObserver_ =
        env_.defaults->addObserver("", [this, readSettings](const std::string& key) {
            if (key == settings::kResolveHostnames || key == settings::kMenuBarMetric) {
                readSettings();
                updateTitle();
            }
        });
    // After each merge, and the traffic figures after each sampler tick.
    mergeObserver_ = env_.manager->readingsMerged.observe([this](uint64_t) {
        interfaces_.notePeaks();
        // Not in the iteration that merged: the pages' work and the merge's
        // would hold the loop together.
        if (!pendingUpdate_.connected()) {
            pendingUpdate_ = Glib::signal_idle().connect(
                [this] {
                    update();
                    return false;
                },
                kViewUpdatePriority);
        }
    });
    trafficObserver_ = env_.manager->outboundHistory.observe([this](const History&) {
        updateTitle();
        if (postedVisible_ && currentTab() == "overview") {
            overview_.updateTraffic();
        }
    });
    updateTitle();
}

LiveWindow::~LiveWindow() {
    // Posts "hidden" while the members its handlers use are still here.
    hide();
    surfaceState_.disconnect();
    pendingUpdate_.disconnect();
    env_.manager->outboundHistory.removeObserver(trafficObserver_);
    env_.manager->readingsMerged.removeObserver(mergeObserver_);
    env_.defaults->removeObserver(defaultsObserver_);
}

void LiveWindow::showTab(const std::string& name) {
    stack_.set_visible_child(name);
}

std::string LiveWindow::currentTab() const {
    return stack_.get_visible_child_name();
}

void LiveWindow::refreshNow() {
    env_.notifications->post(notifications::kRefreshNow);
}

void LiveWindow::setMinimized(bool minimized) {
    minimized_ = minimized;
    postVisibility();
}

void LiveWindow::watchSurface() {
    auto surface = get_surface();
    if (!surface || !GDK_IS_TOPLEVEL(surface->gobj()) || surfaceState_.connected()) {
        return;
    }
    // A raw pointer: a reference held by its own handler would keep it alive.
    Gdk::Toplevel* toplevel = Glib::wrap(GDK_TOPLEVEL(surface->gobj()), true).get();
    surfaceState_ = toplevel->property_state().signal_changed().connect([this, toplevel] {
        setMinimized((toplevel->get_state() & Gdk::Toplevel::State::MINIMIZED) ==
                     Gdk::Toplevel::State::MINIMIZED);
    });
}

void LiveWindow::postVisibility() {
    const bool visible = get_mapped() && !minimized_;
    if (visible == postedVisible_) {
        return;
    }
    postedVisible_ = visible;
    env_.notifications->post(notifications::kPopoverVisibilityChanged,
                             platform::UserInfo{{"isVisible", visible}});
    if (visible) {
        update();
    }
}

void LiveWindow::update() {
    updateTitle();
    if (!get_mapped()) {
        return; // nobody looks: the pages catch up when shown
    }
    const std::string tab = currentTab();
    if (tab == "overview") {
        overview_.update();
    } else if (tab == "processes") {
        processes_.update();
    } else if (tab == "connections") {
        connections_.update();
    } else {
        interfaces_.update();
    }
}

void LiveWindow::updateTitle() {
    if (metric_ == "dataUsage") {
        usage_.refresh();
    }
    const auto metric = panelMetricText(metric_, *env_.manager, &usage_);
    set_title(metric ? *metric + " — " + localized("Korvel Companion")
                     : localized("Korvel Companion"));
}

} // namespace korvel
