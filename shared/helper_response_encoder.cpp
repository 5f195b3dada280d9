#include "shared/helper_response.h"
#include "shared/utf8.h"

#include <charconv>
#include <cmath>
#include <type_traits>

namespace korvel {
namespace {

// Written by hand rather than through a JSON tree: a busy machine's reply holds
// tens of thousands of rows, and building a DOM for them doubled the fetch time.
class Writer {
public:
    explicit Writer(size_t reserve) { out_.reserve(reserve); }

    void raw(std::string_view text) { out_.append(text); }

    void key(std::string_view name) {
        out_ += '"';
        out_.append(name);
        out_ += "\":";
    }

    void string(std::string_view value) {
        if (!isValidUtf8(value)) {
            escaped(sanitizeUtf8(value));
        } else {
            escaped(value);
        }
    }

    template <typename Integer> void integer(Integer value) {
        char buffer[24];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
        out_.append(buffer, end);
    }

    bool number(double value) {
        if (!std::isfinite(value)) {
            return false;
        }
        char buffer[32];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
        out_.append(buffer, end);
        return true;
    }

    std::string take() { return std::move(out_); }

private:
    void escaped(std::string_view value) {
        static constexpr char kHex[] = "0123456789abcdef";
        out_ += '"';
        for (const char ch : value) {
            const auto c = static_cast<unsigned char>(ch);
            switch (c) {
            case '"':
                out_ += "\\\"";
                break;
            case '\\':
                out_ += "\\\\";
                break;
            case '\n':
                out_ += "\\n";
                break;
            case '\r':
                out_ += "\\r";
                break;
            case '\t':
                out_ += "\\t";
                break;
            case '\b':
                out_ += "\\b";
                break;
            case '\f':
                out_ += "\\f";
                break;
            default:
                if (c < 0x20) {
                    out_ += "\\u00";
                    out_ += kHex[c >> 4];
                    out_ += kHex[c & 0xF];
                } else {
                    out_ += ch;
                }
            }
        }
        out_ += '"';
    }

    std::string out_;
};

template <typename T>
void writeOptional(Writer& w, std::string_view name, const std::optional<T>& value) {
    if (!value) {
        return;
    }
    w.raw(",");
    w.key(name);
    if constexpr (std::is_same_v<T, std::string>) {
        w.string(*value);
    } else if constexpr (std::is_same_v<T, double>) {
        w.number(*value);
    } else {
        w.integer(*value);
    }
}

void writeProcess(Writer& w, const HelperProcessData& p) {
    w.raw("{");
    w.key("pid");
    w.integer(p.pid);
    w.raw(",");
    w.key("name");
    w.string(p.name);
    if (p.execPath) {
        w.raw(",");
        w.key("execPath");
        w.string(*p.execPath);
    }
    w.raw(",");
    w.key("cpuNS");
    w.integer(p.cpuNS);
    w.raw(",");
    w.key("memBytes");
    w.integer(p.memBytes);
    writeOptional(w, "uid", p.uid);
    writeOptional(w, "unit", p.unit);
    writeOptional(w, "appId", p.appId);
    writeOptional(w, "container", p.container);
    if (p.startTime && std::isfinite(*p.startTime)) {
        writeOptional(w, "startTime", p.startTime);
    }
    w.raw("}");
}

void writeConnection(Writer& w, const HelperConnectionData& c) {
    w.raw("{");
    w.key("pid");
    w.integer(c.pid);
    w.raw(",");
    w.key("proto");
    w.string(c.proto);
    w.raw(",");
    w.key("localAddr");
    w.string(c.localAddr);
    w.raw(",");
    w.key("localPort");
    w.integer(c.localPort);
    w.raw(",");
    w.key("remoteAddr");
    w.string(c.remoteAddr);
    w.raw(",");
    w.key("remotePort");
    w.integer(c.remotePort);
    w.raw(",");
    w.key("tcpStateRaw");
    w.integer(c.tcpStateRaw);
    writeOptional(w, "bytesIn", c.bytesIn);
    writeOptional(w, "bytesOut", c.bytesOut);
    writeOptional(w, "cookie", c.cookie);
    w.raw("}");
}

void writeInterface(Writer& w, const HelperInterfaceData& i) {
    w.raw("{");
    w.key("id");
    w.string(i.id);
    w.raw(",");
    w.key("bytesIn");
    w.integer(i.bytesIn);
    w.raw(",");
    w.key("bytesOut");
    w.integer(i.bytesOut);
    w.raw("}");
}

template <typename Row, typename WriteRow>
void writeArray(Writer& w, std::string_view name, const std::vector<Row>& rows, WriteRow writeRow) {
    w.key(name);
    w.raw("[");
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i > 0) {
            w.raw(",");
        }
        writeRow(w, rows[i]);
    }
    w.raw("]");
}

bool writeOptionalNumber(Writer& w, std::string_view name, const std::optional<double>& value) {
    if (!value) {
        return true;
    }
    w.raw(",");
    w.key(name);
    return w.number(*value);
}

} // namespace

std::optional<std::string> encodeHelperResponse(const HelperResponse& r) {
    Writer w(256 + r.processes.size() * 160 +
             (r.connections.size() + r.endedConnections.size()) * 170 + r.interfaces.size() * 64);
    w.raw("{");
    writeArray(w, "processes", r.processes, writeProcess);
    w.raw(",");
    writeArray(w, "connections", r.connections, writeConnection);
    w.raw(",");
    writeArray(w, "interfaces", r.interfaces, writeInterface);
    w.raw(",");
    w.key("timestamp");
    if (!w.number(r.timestamp)) {
        return std::nullopt;
    }
    w.raw(",");
    w.key("totalRam");
    w.integer(r.totalRam);
    w.raw(",");
    w.key("usedRam");
    w.integer(r.usedRam);
    w.raw(",");
    w.key("freeRam");
    w.integer(r.freeRam);
    w.raw(",");
    w.key("memPressureLevel");
    w.integer(r.memPressureLevel);
    if (r.gpuCoreCount) {
        w.raw(",");
        w.key("gpuCoreCount");
        w.integer(*r.gpuCoreCount);
    }
    if (!writeOptionalNumber(w, "gpuUsagePercent", r.gpuUsagePercent) ||
        !writeOptionalNumber(w, "cpuTemperatureCelsius", r.cpuTemperatureCelsius) ||
        !writeOptionalNumber(w, "gpuTemperatureCelsius", r.gpuTemperatureCelsius)) {
        return std::nullopt;
    }
    if (!r.endedConnections.empty()) {
        w.raw(",");
        writeArray(w, "endedConnections", r.endedConnections, writeConnection);
    }
    writeOptional(w, "unattributedTcpBytesIn", r.unattributedTcpBytesIn);
    writeOptional(w, "unattributedTcpBytesOut", r.unattributedTcpBytesOut);
    w.raw("}");
    return w.take();
}

} // namespace korvel
