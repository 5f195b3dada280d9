#pragma once

namespace korvel {

enum class MemoryPressure { normal, warning, critical };

} // namespace korvel
