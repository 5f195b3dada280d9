#pragma once

namespace korvel::platform {

// Whether standard output goes to a terminal (someone is watching).
bool standardOutputIsTerminal();
// Whether standard input is a terminal (someone can type).
bool standardInputIsTerminal();

// While alive, whatever the process writes to standard error goes nowhere
// (a full-screen view would be torn by stray log lines); restored after.
class StandardErrorSilenced {
public:
    StandardErrorSilenced();
    ~StandardErrorSilenced();
    StandardErrorSilenced(const StandardErrorSilenced&) = delete;
    StandardErrorSilenced& operator=(const StandardErrorSilenced&) = delete;

private:
    int saved_ = -1;
};

} // namespace korvel::platform
