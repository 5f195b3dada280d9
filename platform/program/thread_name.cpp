#include "platform/program/thread_name.h"

#include <pthread.h>

namespace korvel::platform {

void nameCurrentThread(const std::string& name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

} // namespace korvel::platform
