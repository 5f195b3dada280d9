#include "helper/temperatures.h"

namespace korvel {

// Placeholder until the sensor sources land: no reading.
Temperatures readTemperatures() { return {}; }

} // namespace korvel
