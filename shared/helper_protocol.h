#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

inline constexpr const char* kHelperServiceName = "qn.Korvel.companion.helper";
inline constexpr const char* kFetchDataSelector = "fetchDataWithShowSystem:reply:";

// The helper's one remote method; reply receives the JSON of one
// HelperResponse, or no value (nil) when it could not be encoded.
class KorvelHelperXPCProtocol {
public:
    virtual ~KorvelHelperXPCProtocol() = default;
    virtual void fetchData(bool showSystem,
                           const std::function<void(const std::optional<std::string>&)>& reply) = 0;
};

} // namespace korvel
