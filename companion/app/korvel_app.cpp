#include "companion/app/korvel_app.h"

#include "companion/app/app_style.h"
#include "companion/app/localization.h"
#include "companion/app/support_page.h"
#include "companion/cli/engine_command.h"
#include "companion/cli/engine_session.h"
#include "companion/engine/korvel_manager.h"
#include "platform/dispatch/glib_dispatch.h"
#include "platform/system/terminal.h"

#include <clocale>
#include <cstdlib>
#include <iostream>

namespace korvel {
namespace {

constexpr std::chrono::milliseconds kCommandTimeout{5000};

bool displayNamed() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && x11[0] != '\0') || (wayland != nullptr && wayland[0] != '\0');
}

// Another engine runs: hand it this start's request.
int forwardToRunningEngine(const std::string& directory, const LaunchRequest& request) {
    if (!request.openSettings) {
        std::cout << kAlreadyRunningMessage << std::endl;
        return 0;
    }
    std::string error;
    const auto answer =
        EngineInstance::send(directory, kOpenSettingsCommand, kCommandTimeout, error);
    if (!answer) {
        std::cerr << "korvel-companion: the running companion did not answer: " << error << '\n';
        return 1;
    }
    if (*answer == kCommandNoDisplay) {
        std::cerr << "korvel-companion: the running companion has no display; the settings "
                     "window cannot be shown\n";
        return 1;
    }
    return 0;
}

void sayOnTerminal(const std::string& line) {
    if (platform::standardOutputIsTerminal()) {
        std::cout << line << std::endl;
    }
}

int runWithoutDisplay(std::unique_ptr<EngineInstance> instance, LaunchRequest request) {
    HeadlessLaunch launch;
    launch.afterLaunch = [request](const std::shared_ptr<KorvelManager>&) {
        if (registerAndCheckSetupPending(platform::UserDefaults::standard(),
                                         LoginItem::forCompanion())) {
            sayOnTerminal("No display (DISPLAY and WAYLAND_DISPLAY are unset or cannot be "
                          "opened): the setup window could not be shown. The companion runs "
                          "without it.");
        }
        if (request.openSettings) {
            sayOnTerminal("No display: the settings window could not be shown.");
        }
    };
    launch.onCommand = [](const std::string& command) -> std::string {
        return command == kOpenSettingsCommand ? kCommandNoDisplay : kCommandUnknown;
    };
    return runHeadlessEngine(std::move(instance), std::move(launch));
}

} // namespace

Glib::RefPtr<KorvelApp> KorvelApp::create(std::unique_ptr<EngineInstance> instance,
                                          LaunchRequest request) {
    return Glib::make_refptr_for_instance<KorvelApp>(new KorvelApp(std::move(instance), request));
}

KorvelApp::KorvelApp(std::unique_ptr<EngineInstance> instance, LaunchRequest request)
    : Gtk::Application(kCompanionApplicationId), instance_(std::move(instance)), request_(request) {
}

KorvelApp::~KorvelApp() = default;

void KorvelApp::on_startup() {
    Gtk::Application::on_startup();
    // No main window: the companion stays until it is told to quit.
    hold();
    style::installCompanionStyle();

    add_action("preferences", [this] {
        if (delegate_) {
            delegate_->showSettingsWindow();
        }
    });
    set_accel_for_action("app.preferences", "<Control>comma");

    AppDelegateEnvironment env;
    env.makeManager = [] { return KorvelManager::create(ManagerEnvironment::live()); };
    env.defaults = &platform::UserDefaults::standard();
    env.loginItem = LoginItem::forCompanion();
    env.terminate = [this] { quit(); };
    env.adoptWindow = [this](Gtk::Window& window) { add_window(window); };
    env.openSupportPage = openSupportPage;
    delegate_ = AppDelegate::create(std::move(env));
    delegate_->applicationDidFinishLaunching();
    session_ = std::make_unique<EngineSession>(delegate_->manager(), [this] { quit(); });

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
    session_.reset();
    delegate_.reset();
    Gtk::Application::on_shutdown();
}

std::string KorvelApp::answer(const std::string& command) {
    if (command == kOpenSettingsCommand && delegate_) {
        delegate_->showSettingsWindow();
        return kCommandDone;
    }
    return kCommandUnknown;
}

int runKorvelApp(const char* programName, LaunchRequest request) {
    std::setlocale(LC_ALL, "");
    setUpLocalization();

    const auto directory = EngineInstance::defaultDirectory();
    auto claimed = claimEngineInstance();
    if (!claimed) {
        return forwardToRunningEngine(*directory, request);
    }
    auto instance = std::move(*claimed);

    if (!displayNamed() || !gtk_init_check()) {
        return runWithoutDisplay(std::move(instance), request);
    }

    auto app = KorvelApp::create(std::move(instance), request);
    // With a session bus, an instance started in another runtime directory
    // is found there; without one, registration succeeds as the only one.
    try {
        app->register_application();
    } catch (const Glib::Error&) {
    }
    char* argv[] = {const_cast<char*>(programName), nullptr};
    if (app->is_remote()) {
        if (request.openSettings) {
            app->activate_action("preferences");
        } else {
            std::cout << kAlreadyRunningMessage << std::endl;
        }
        // Hands the start to the primary instance (which brings its setup
        // window forward) and leaves the bus cleanly.
        return app->run(1, argv);
    }
    return app->run(1, argv);
}

} // namespace korvel
