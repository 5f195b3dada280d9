#include "platform/program/free_memory.h"

#include <malloc.h>

namespace korvel::platform {

void returnFreeMemoryToSystem() {
    ::malloc_trim(0);
}

} // namespace korvel::platform
