#pragma once

namespace korvel {

struct BatterySnapshot {
    double percentage = 0; // not clamped: a battery may report more than its full capacity
    bool isCharging = false;
    bool isOnACPower = false;

    bool operator==(const BatterySnapshot&) const = default;
};

} // namespace korvel
