#include "shared/helper_response.h"
#include "shared/helper_response_fields.h"
#include "shared/strict_json_writer.h"
#include "shared/utf8.h"

#include <charconv>
#include <cmath>
#include <tuple>
#include <type_traits>

namespace korvel {
namespace {

using Writer = strict_json::Writer;

using wire::Fields;
using wire::Presence;

template <typename Record> bool writeRecord(Writer& w, const Record& record);

template <typename T> bool writeValue(Writer& w, const T& value) {
    if constexpr (std::is_same_v<T, std::string>) {
        w.string(value);
        return true;
    } else if constexpr (std::is_same_v<T, double>) {
        return w.number(value);
    } else if constexpr (wire::IsRows<T>::value) {
        w.raw("[");
        for (size_t i = 0; i < value.size(); ++i) {
            if (i > 0) {
                w.raw(",");
            }
            if (!writeRecord(w, value[i])) {
                return false;
            }
        }
        w.raw("]");
        return true;
    } else {
        w.integer(value);
        return true;
    }
}

template <typename T>
bool writeKeyed(Writer& w, std::string_view name, const T& value, bool& first) {
    if (!first) {
        w.raw(",");
    }
    first = false;
    w.key(name);
    return writeValue(w, value);
}

// False when the member cannot be written and the document must not be: a
// figure that is not finite. An additive one is left out instead, as readers
// that know it also take its absence.
template <typename Record, size_t I>
bool writeMember(Writer& w, const Record& record, bool& first) {
    static constexpr auto field = std::get<I>(Fields<Record>::all);
    const auto& value = record.*field.member;
    using Value = std::remove_cvref_t<decltype(value)>;
    if constexpr (wire::IsOptional<Value>::value) {
        if (!value) {
            return true;
        }
        if constexpr (std::is_same_v<typename wire::IsOptional<Value>::Value, double>) {
            if (field.presence == Presence::additive && !std::isfinite(*value)) {
                return true;
            }
        }
        return writeKeyed(w, field.name, *value, first);
    } else {
        if constexpr (wire::IsRows<Value>::value) {
            if (field.presence == Presence::additive && value.empty()) {
                return true;
            }
        }
        return writeKeyed(w, field.name, value, first);
    }
}

template <typename Record, size_t... I>
bool writeRecord(Writer& w, const Record& record, std::index_sequence<I...>) {
    w.raw("{");
    bool first = true;
    const bool written = (writeMember<Record, I>(w, record, first) && ...);
    w.raw("}");
    return written;
}

template <typename Record> bool writeRecord(Writer& w, const Record& record) {
    constexpr size_t count = std::tuple_size_v<std::remove_cvref_t<decltype(Fields<Record>::all)>>;
    return writeRecord(w, record, std::make_index_sequence<count>{});
}

} // namespace

std::vector<HelperInterfaceData> interfaceRows(const std::vector<platform::LinkCounters>& links) {
    std::vector<HelperInterfaceData> rows;
    rows.reserve(links.size());
    for (const auto& link : links) {
        rows.push_back({sanitizeUtf8(link.name), link.bytesIn, link.bytesOut});
    }
    return rows;
}

std::optional<std::string> encodeHelperResponse(const HelperResponse& r) {
    Writer w(256 + r.processes.size() * 160 +
             (r.connections.size() + r.endedConnections.size()) * 170 + r.interfaces.size() * 64);
    if (!writeRecord(w, r)) {
        return std::nullopt;
    }
    return w.take();
}

} // namespace korvel
