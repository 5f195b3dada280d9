#pragma once

#include "platform/smc/smc_call_block.h"

#include <cstdint>
#include <memory>

namespace korvel::platform::smc {

// An open connection to the sensor controller's keys endpoint.
class SMCConnection {
public:
    virtual ~SMCConnection() = default;

    // One structured call. False when the driver refused the call itself; the
    // controller's own verdict is the output's result byte.
    virtual bool callStructMethod(uint32_t selector, const SMCCallBlock& input,
                                  SMCCallBlock& output) = 0;
};

// Finds the keys endpoint and opens a connection to it.
class SMCDriver {
public:
    virtual ~SMCDriver() = default;

    // Null when there is no endpoint or it refuses the connection.
    virtual std::unique_ptr<SMCConnection> openKeysEndpoint() = 0;
};

} // namespace korvel::platform::smc
