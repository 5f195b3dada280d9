#pragma once

namespace korvel {

enum class NetworkPathStatus { online, offline, constrained, expensive };

} // namespace korvel
