#pragma once

#include "companion/app/app_delegate.h"
#include "companion/cli/engine_instance.h"

#include <gtkmm.h>

#include <memory>

namespace korvel {

class EngineSession;

// What a start of the companion was asked for.
struct LaunchRequest {
    // `korvel-companion --settings`: open the settings window.
    bool openSettings = false;
};

// The companion as a GTK application ("qn.Korvel.companion"): no main
// window; it keeps running with none open. Its launch creates the delegate,
// which creates the engine and shows the setup window on first runs. The
// "app.preferences" action (Ctrl+,) opens the settings window.
class KorvelApp : public Gtk::Application {
public:
    static Glib::RefPtr<KorvelApp> create(std::unique_ptr<EngineInstance> instance,
                                          LaunchRequest request);
    ~KorvelApp() override;

    AppDelegate* delegate() const { return delegate_.get(); }

protected:
    KorvelApp(std::unique_ptr<EngineInstance> instance, LaunchRequest request);
    void on_startup() override;
    void on_activate() override;
    void on_shutdown() override;

private:
    std::string answer(const std::string& command);

    std::unique_ptr<EngineInstance> instance_;
    LaunchRequest request_;
    std::shared_ptr<AppDelegate> delegate_;
    std::unique_ptr<EngineSession> session_;
};

// The program's start without a command: one engine per user (a second start
// hands its request to the running one), with windows when a display can be
// opened and headless otherwise.
int runKorvelApp(const char* programName, LaunchRequest request);

} // namespace korvel
