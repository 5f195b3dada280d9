#include "platform/proc/interpreter_script.h"

#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace korvel::platform::proc {
namespace {

// Command lines as `ps` shows them, one argument a word, and what runs; "" for nothing.
TEST(InterpreterScriptTest, TheScriptOrModuleAfterTheInterpretersOwnOptions) {
    const std::pair<std::string, std::string> cases[] = {
        {"python3 -u sink.py --port 9", "sink.py"},
        {"python3.11 -W ignore -X dev -OO /srv/app/sink.py", "sink.py"},
        {"python3 -Wdefault -Xutf8 -um http.server 8000", "http.server"},
        {"python3 -m http.server 8000", "http.server"},
        {"python3 -c print(1) x.py", ""},
        {"python3 -", ""},
        {"/usr/bin/node --inspect server.js", "server.js"},
        {"node -r dotenv/config --max-old-space-size=512 dist/main.js", "main.js"},
        {"node --require=ts-node/register app.ts", "app.ts"},
        {"node -e require('x')", ""},
        {"java -Xmx1g -jar app.jar", "app.jar"},
        {"java -cp a.jar com.x.Main arg", "com.x.Main"},
        {"java --module-path mods -m com.x/com.x.Main", "com.x.Main"},
        {"bash -e ./run.sh", "run.sh"},
        {"bash --rcfile rc -o pipefail deploy.sh", "deploy.sh"},
        {"sh -c cmd", ""},
        {"bash -lc cmd", ""},
        {"zsh", ""},
        {"ruby -I lib -W0 bin/rails server", "rails"},
        {"perl -MFile::Temp -I lib tool.pl", "tool.pl"},
        {"php8.2 -d memory_limit=1G -f artisan", "artisan"},
        {"lua5.4 -e x=1 init.lua", "init.lua"},
        {"bash /dev/fd/63", ""},
        {"vim notes.py", ""},
        {"python3x script.py", ""},
    };
    for (const auto& [line, script] : cases) {
        std::istringstream split(line);
        const std::vector<std::string> words{std::istream_iterator<std::string>(split), {}};
        const std::vector<std::string_view> argv(words.begin(), words.end());
        const std::string executable = words[0].substr(words[0].rfind('/') + 1);
        EXPECT_EQ(interpreterScript(executable, argv).value_or(""), script) << line;
        EXPECT_EQ(isInterpreter(executable), executable != "vim" && executable != "python3x")
            << line;
    }
    EXPECT_FALSE(interpreterScript("python3", {})) << "an empty command line";
}

} // namespace
} // namespace korvel::platform::proc
