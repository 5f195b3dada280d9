#pragma once

namespace korvel::platform {

// Whether standard output goes to a terminal (someone is watching).
bool standardOutputIsTerminal();

} // namespace korvel::platform
