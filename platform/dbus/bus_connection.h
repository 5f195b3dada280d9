#pragma once

#include <string>

typedef struct _GDBusConnection GDBusConnection;

namespace korvel::platform {

enum class MessageBus { system, session };

// A private connection to a message bus: closing it cannot affect, or end,
// anyone else's. busAddress empty: the bus itself, as the environment names
// it. Null when there is none. The caller closes and unrefs it.
GDBusConnection* openBusConnection(MessageBus bus, const std::string& busAddress);

} // namespace korvel::platform
