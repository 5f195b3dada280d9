#pragma once

#include "companion/app/app_delegate.h"
#include "companion/program/companion_launch.h"

#include <gtkmm.h>

#include <memory>

namespace korvel {

class EngineSession;
class PanelIndicator;

// The companion as a GTK application ("qn.Korvel.companion"): no main
// window; it keeps running with none open. Its launch creates the delegate,
// which creates the engine and shows the setup window on first runs. The
// "app.preferences" action (Ctrl+,) opens the settings window, "app.window"
// the live window.
class KorvelApp : public Gtk::Application {
public:
    static Glib::RefPtr<KorvelApp> create(std::unique_ptr<EngineInstance> instance,
                                          LaunchRequest request, std::string companionProgram);
    ~KorvelApp() override;

    AppDelegate* delegate() const { return delegate_.get(); }

protected:
    KorvelApp(std::unique_ptr<EngineInstance> instance, LaunchRequest request,
              std::string companionProgram);
    void on_startup() override;
    void on_activate() override;
    void on_shutdown() override;

private:
    std::string answer(const std::string& command);

    std::unique_ptr<EngineInstance> instance_;
    LaunchRequest request_;
    std::string companionProgram_;
    std::shared_ptr<AppDelegate> delegate_;
    std::unique_ptr<EngineSession> session_;
    std::unique_ptr<PanelIndicator> indicator_;
};

// The window program, handed the engine claim by korvel-companion: the
// application with its windows when the display opens, else back to
// korvel-companion without one.
int runKorvelApp(WindowLaunch launch);

} // namespace korvel
