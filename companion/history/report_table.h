#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace korvel::history {

enum class Format { table, json, csv, openMetrics };

// One table: a header, then rows; the machine's strings already printable.
// As JSON the records are printed, as CSV the records' members the header
// names, else the rows, aligned.
struct Table {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows = {};
    std::vector<nlohmann::json> records = {};
};

void print(const Table& table, Format format, std::ostream& out);

// A record's member that may be missing: JSON null then.
template <typename T> nlohmann::json orNull(const std::optional<T>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

std::string bytesText(int64_t bytes);
// Local time, "YYYY-MM-DD HH:MM:SS" unless another strftime format is given.
std::string timeText(int64_t unixSeconds, const char* format = "%Y-%m-%d %H:%M:%S");

} // namespace korvel::history
