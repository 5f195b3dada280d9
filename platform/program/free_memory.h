#pragma once

namespace korvel::platform {

// Gives the heap's free pages back to the system. A refresh cycle allocates
// and frees megabytes at a time (the reply, its rows, the old model), which
// the allocator would otherwise keep resident between cycles.
void returnFreeMemoryToSystem();

} // namespace korvel::platform
