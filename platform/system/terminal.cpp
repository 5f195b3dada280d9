#include "platform/system/terminal.h"

#include <unistd.h>

namespace korvel::platform {

bool standardOutputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

} // namespace korvel::platform
