#pragma once

#include <string>

namespace korvel {

class KorvelManager;

// One short line about the last refresh: processes, sockets, data mode and
// the network path.
std::string engineStatusLine(const KorvelManager& manager);

} // namespace korvel
