#include "companion/text/prometheus_exposition.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace korvel::exposition {
namespace {

void appendEscaped(std::string& out, const std::string& text, bool quotes) {
    for (const char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' && quotes) {
            out += "\\\"";
        } else {
            out += c;
        }
    }
}

void appendValue(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
    } else {
        char buffer[32];
        // Byte counts read as the integers they are, not as 2.4e+08.
        const bool whole = value == std::trunc(value) && std::abs(value) < 1e17;
        const auto [end, ec] =
            whole ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed)
                  : std::to_chars(buffer, buffer + sizeof buffer, value);
        out.append(buffer, end);
    }
}

std::string render(const std::vector<MetricFamily>& families, bool openMetrics) {
    std::string out;
    for (const auto& family : families) {
        if (family.samples.empty()) {
            continue;
        }
        std::string_view metadataName = family.name;
        if (openMetrics && family.type == "counter" && metadataName.ends_with("_total")) {
            metadataName.remove_suffix(std::string_view("_total").size());
        }
        out += "# HELP " + std::string(metadataName) + ' ';
        appendEscaped(out, family.help, openMetrics);
        out += "\n# TYPE " + std::string(metadataName) + ' ' + family.type + '\n';
        if (openMetrics && !family.unit.empty()) {
            out += "# UNIT " + std::string(metadataName) + ' ' + family.unit + '\n';
        }
        for (const auto& sample : family.samples) {
            out += family.name;
            if (!sample.labels.empty()) {
                out += '{';
                for (size_t i = 0; i < sample.labels.size(); ++i) {
                    out += (i ? "," : "") + sample.labels[i].first + "=\"";
                    appendEscaped(out, sample.labels[i].second, true);
                    out += '"';
                }
                out += '}';
            }
            out += ' ';
            appendValue(out, sample.value);
            if (sample.time) {
                out += ' ';
                appendValue(out, openMetrics ? *sample.time : std::round(*sample.time * 1000));
            }
            out += '\n';
        }
    }
    return openMetrics ? out + "# EOF\n" : out;
}

} // namespace

std::string renderExposition(const std::vector<MetricFamily>& families) {
    return render(families, false);
}

std::string renderOpenMetrics(const std::vector<MetricFamily>& families) {
    return render(families, true);
}

} // namespace korvel::exposition
