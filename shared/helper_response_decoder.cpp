#include "shared/helper_response.h"
#include "shared/helper_response_fields.h"
#include "shared/strict_json_reader.h"

#include <array>
#include <utility>

namespace korvel {
namespace {

using namespace strict_json;
using wire::Fields;
using wire::Presence;

constexpr int kRecordDepth = 3;

template <typename Record> bool decodeRecord(Reader& r, Record& record, int depth);

// An array of records; false (everything still read) when it is not an array
// or any element is not a valid record.
template <typename Row> bool readRows(Reader& r, std::vector<Row>& rows) {
    rows.clear();
    if (r.peek() != '[') {
        r.skip(1);
        return false;
    }
    bool valid = true;
    r.array(
        [&] {
            if (!valid || r.peek() != '{') {
                r.skip(kRecordDepth - 1);
                valid = false;
                return;
            }
            Row row;
            if (decodeRecord(r, row, kRecordDepth)) {
                rows.push_back(std::move(row));
            } else {
                valid = false;
            }
        },
        1);
    return valid;
}

template <typename T> bool readValue(Reader& r, T& out, int depth) {
    if constexpr (std::is_same_v<T, std::string>) {
        return r.string(out, depth);
    } else if constexpr (wire::IsRows<T>::value) {
        return readRows(r, out);
    } else {
        Number n;
        if (!r.number(n, depth)) {
            return false;
        }
        if constexpr (std::is_same_v<T, double>) {
            return doubleFrom(n, out);
        } else {
            return integerFrom(n, out);
        }
    }
}

// How the last occurrence of a member left it; a required member starts
// missing, the others start acceptable.
struct MemberState {
    bool acceptable = false;
};

template <typename Record, typename Value>
void readMember(Reader& r, const wire::Field<Record, Value>& field, Record& record,
                MemberState& state, int depth) {
    Value& value = record.*field.member;
    if constexpr (wire::IsOptional<Value>::value) {
        if (r.null()) {
            value.reset();
            state.acceptable = true;
            return;
        }
        typename wire::IsOptional<Value>::Value read{};
        const bool ok = readValue(r, read, depth);
        if (ok || field.presence == Presence::optional) {
            value = std::move(read);
        } else {
            value.reset();
        }
        state.acceptable = ok || field.presence == Presence::additive;
    } else if (field.presence == Presence::additive) {
        if (r.null() || !readValue(r, value, depth)) {
            value = Value{};
        }
        state.acceptable = true;
    } else {
        state.acceptable = readValue(r, value, depth);
    }
}

// The field's name and member as constants, so each comparison compiles as
// the hand-written chain of comparisons would.
template <typename Record, size_t I>
bool readIfNamed(Reader& r, std::string_view key, Record& record, MemberState& state, int depth) {
    static constexpr auto field = std::get<I>(Fields<Record>::all);
    if (key != field.name) {
        return false;
    }
    readMember(r, field, record, state, depth);
    return true;
}

template <typename Record, size_t... I>
bool decodeRecord(Reader& r, Record& record, int depth, std::index_sequence<I...>) {
    std::array<MemberState, sizeof...(I)> states{
        MemberState{std::get<I>(Fields<Record>::all).presence != Presence::required}...};
    r.object(
        [&](std::string_view key) {
            if (!(readIfNamed<Record, I>(r, key, record, states[I], depth) || ...)) {
                r.skip(depth);
            }
        },
        depth - 1);
    return (states[I].acceptable && ...);
}

template <typename Record> bool decodeRecord(Reader& r, Record& record, int depth) {
    constexpr size_t count = std::tuple_size_v<std::remove_cvref_t<decltype(Fields<Record>::all)>>;
    return decodeRecord(r, record, depth, std::make_index_sequence<count>{});
}

} // namespace

std::optional<HelperResponse> decodeHelperResponse(std::string_view text) {
    try {
        Reader r(text);
        if (r.peek() != '{') {
            return std::nullopt;
        }
        HelperResponse response;
        if (!decodeRecord(r, response, 1) || !r.finished()) {
            return std::nullopt;
        }
        return response;
    } catch (const SyntaxError&) {
        return std::nullopt;
    }
}

} // namespace korvel
