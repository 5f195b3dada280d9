#include "platform/program/terminal.h"

#include <fcntl.h>
#include <unistd.h>

namespace korvel::platform {

bool standardOutputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

bool standardInputIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

StandardErrorSilenced::StandardErrorSilenced()
    : saved_(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
}

StandardErrorSilenced::~StandardErrorSilenced() {
    if (saved_ >= 0) {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
}

} // namespace korvel::platform
