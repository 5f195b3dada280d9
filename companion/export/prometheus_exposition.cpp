#include "companion/export/prometheus_exposition.h"

#include <charconv>
#include <cmath>

namespace korvel::exporter {
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
        const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
        out.append(buffer, end);
    }
}

} // namespace

std::string renderExposition(const std::vector<MetricFamily>& families) {
    std::string out;
    for (const auto& family : families) {
        if (family.samples.empty()) {
            continue;
        }
        out += "# HELP " + family.name + ' ';
        appendEscaped(out, family.help, false);
        out += "\n# TYPE " + family.name + ' ' + family.type + '\n';
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
            out += '\n';
        }
    }
    return out;
}

} // namespace korvel::exporter
