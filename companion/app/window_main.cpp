// korvel-companion-gtk: the companion with its windows. korvel-companion
// starts it (by exec, handing over its engine claim) when a display is named;
// it is not meant to be started by hand.

#include "companion/app/korvel_app.h"

#include <csignal>
#include <iostream>
#include <string_view>
#include <vector>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    auto launch = korvel::parseWindowProgramArguments(args);
    if (!launch) {
        std::cerr << "korvel-companion-gtk: a part of korvel-companion; start that instead\n";
        return 2;
    }
    return korvel::runKorvelApp(std::move(*launch));
}
