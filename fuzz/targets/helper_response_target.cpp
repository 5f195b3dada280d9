#include "fuzz/fuzz_targets.h"
#include "shared/helper_response.h"

namespace korvel::fuzz {

// Whatever the reader accepts, the writer can write, and what the writer
// wrote reads back to the same document.
std::string helperResponse(std::string_view input) {
    const auto decoded = decodeHelperResponse(input);
    if (!decoded) {
        return {};
    }
    const auto encoded = encodeHelperResponse(*decoded);
    if (!encoded) {
        return "an accepted document could not be written";
    }
    const auto again = decodeHelperResponse(*encoded);
    if (!again) {
        return "the writer's document was refused";
    }
    if (encodeHelperResponse(*again) != encoded) {
        return "writing a document read back changed it";
    }
    return {};
}

} // namespace korvel::fuzz
