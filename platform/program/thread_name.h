#pragma once

#include <string>

namespace korvel::platform {

// Names the calling thread where process listings show it (the kernel keeps
// 15 bytes), so that its CPU use can be told from its process's.
void nameCurrentThread(const std::string& name);

} // namespace korvel::platform
