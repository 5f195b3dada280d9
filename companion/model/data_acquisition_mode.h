#pragma once

namespace korvel {

// helperFull while the last merged reading carried at least one process or socket.
enum class DataAcquisitionMode { coreOnly, helperFull };

} // namespace korvel
