#include "companion/app/korvel_app.h"

#include "companion/app/app_style.h"
#include "companion/app/localization.h"
#include "companion/app/panel_indicator.h"
#include "companion/app/support_page.h"
#include "companion/engine/korvel_manager.h"
#include "companion/program/engine_session.h"
#include "platform/dispatch/glib_dispatch.h"
#include "platform/program/program_handover.h"

#include <clocale>
#include <iostream>

namespace korvel {
namespace {

// The display cannot be opened after all: the engine runs in the public
// program, which never maps the toolkit. The claim is given up for it to take.
int runWithoutToolkit(std::unique_ptr<EngineInstance> instance, const WindowLaunch& launch) {
    instance.reset();
    g_unsetenv("DISPLAY");
    g_unsetenv("WAYLAND_DISPLAY");
    const std::string error =
        platform::handOverToProgram(launch.companionProgram, companionArguments(launch.request));
    std::cerr << "korvel-companion: " << error << '\n';
    return 1;
}

} // namespace

Glib::RefPtr<KorvelApp> KorvelApp::create(std::unique_ptr<EngineInstance> instance,
                                          LaunchRequest request, std::string companionProgram) {
    return Glib::make_refptr_for_instance<KorvelApp>(
        new KorvelApp(std::move(instance), request, std::move(companionProgram)));
}

KorvelApp::KorvelApp(std::unique_ptr<EngineInstance> instance, LaunchRequest request,
                     std::string companionProgram)
    : Gtk::Application(kCompanionApplicationId), instance_(std::move(instance)), request_(request),
      companionProgram_(std::move(companionProgram)) {}

KorvelApp::~KorvelApp() = default;

void KorvelApp::on_startup() {
    Gtk::Application::on_startup();
    // Registered without a session bus, the application has no object path,
    // and GTK's accessibility would build its objects' paths on that null
    // one (criticals, then a crash when a window unmaps). Not being the
    // default application, GTK names them after the program instead.
    if (get_dbus_object_path().empty()) {
        g_application_set_default(nullptr);
    }
    // No main window: the companion stays until it is told to quit.
    hold();
    style::installCompanionStyle();

    add_action("preferences", [this] {
        if (delegate_) {
            delegate_->showSettingsWindow();
        }
    });
    set_accel_for_action("app.preferences", "<Control>comma");
    add_action("window", [this] {
        if (delegate_) {
            delegate_->showLiveWindow();
        }
    });

    AppDelegateEnvironment env;
    env.makeManager = [] { return KorvelManager::create(ManagerEnvironment::live()); };
    env.defaults = &platform::UserDefaults::companion();
    env.notifications = &platform::NotificationCenter::forThisProcess();
    env.now = [] { return platform::liveDispatch().now(); };
    env.autostart = AutostartItem::forCompanion(companionProgram_);
    env.terminate = [this] { quit(); };
    env.adoptWindow = [this](Gtk::Window& window) { add_window(window); };
    env.openSupportPage = openSupportPage;
    delegate_ = AppDelegate::create(std::move(env));
    delegate_->applicationDidFinishLaunching();
    session_ = std::make_unique<EngineSession>(
        delegate_->manager(), [this] { quit(); }, request_.textfileDirectory,
        [this](const std::string& network) {
            if (delegate_) {
                delegate_->showUsage(network);
            }
        });
    indicator_ =
        std::make_unique<PanelIndicator>(delegate_->manager(), platform::UserDefaults::companion(),
                                         [this] { activate_action("window"); });

    if (instance_) {
        std::string error;
        if (!instance_->serveCommands(
                platform::liveDispatch(),
                [this](const std::string& command) { return answer(command); }, error)) {
            std::cerr << "korvel-companion: " << error << '\n';
        }
    }
    if (request_.openSettings) {
        delegate_->showSettingsWindow();
    }
    if (request_.openWindow) {
        delegate_->showLiveWindow();
    }
}

void KorvelApp::on_activate() {
    // A start forwarded over the session bus: bring the setup window forward
    // if it is still open.
    if (delegate_ && delegate_->setupWindow() && delegate_->setupWindow()->get_visible()) {
        delegate_->setupWindow()->present();
    }
}

void KorvelApp::on_shutdown() {
    // Windows go while GTK is still up.
    indicator_.reset();
    session_.reset();
    delegate_.reset();
    Gtk::Application::on_shutdown();
}

std::string KorvelApp::answer(const std::string& command) {
    if (command == kOpenSettingsCommand && delegate_) {
        delegate_->showSettingsWindow();
        return kCommandDone;
    }
    if (command == kOpenWindowCommand && delegate_) {
        delegate_->showLiveWindow();
        return kCommandDone;
    }
    return kCommandUnknown;
}

int runKorvelApp(WindowLaunch launch) {
    std::setlocale(LC_ALL, "");
    setUpLocalization(launch.companionProgram);

    std::unique_ptr<EngineInstance> instance;
    if (launch.claimDescriptor >= 0) {
        std::string error = "no private runtime directory";
        const auto directory = EngineInstance::defaultDirectory();
        if (directory) {
            instance = EngineInstance::adopt(*directory, launch.claimDescriptor, error);
        }
        if (!instance) {
            std::cerr << "korvel-companion: cannot make sure that only one engine runs: " << error
                      << '\n';
        }
    }
    if (!gtk_init_check()) {
        return runWithoutToolkit(std::move(instance), launch);
    }

    const LaunchRequest request = launch.request;
    auto app = KorvelApp::create(std::move(instance), request, launch.companionProgram);
    // With a session bus, an instance started in another runtime directory
    // is found there; without one, registration succeeds as the only one.
    try {
        app->register_application();
    } catch (const Glib::Error& error) {
        // The bus refused the name (its policy, or a holder that is no
        // companion). The lock file keeps the engine single all the same.
        std::cerr << "korvel-companion: the session bus refused the name "
                  << kCompanionApplicationId << " (" << error.what() << "); running without it\n";
        app->set_flags(app->get_flags() | Gio::Application::Flags::NON_UNIQUE);
        try {
            app->register_application();
        } catch (const Glib::Error&) {
            // run() tries once more and says why it cannot.
        }
    }
    // A remote instance's run hands the start to the primary instance (which
    // brings its setup window forward) and leaves the bus cleanly.
    if (app->is_remote()) {
        if (request.openSettings) {
            app->activate_action("preferences");
        } else if (request.openWindow) {
            app->activate_action("window");
        } else {
            std::cout << kAlreadyRunningMessage << std::endl;
        }
    }
    char* argv[] = {launch.companionProgram.data(), nullptr};
    return app->run(1, argv);
}

} // namespace korvel
