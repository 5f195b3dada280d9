#pragma once

#include "companion/top/top_model.h"

#include <string>

namespace korvel::top {

// The model as one JSON document: system figures, interfaces, the network
// path, session totals, and every process with its CPU %, rates, attribution
// and sockets. Members without a value are left out.
std::string modelJson(const TopModel& model);

} // namespace korvel::top
