#include "platform/log/report_line.h"

#include "platform/log/log_sink.h"

#include <memory>
#include <mutex>

namespace korvel::platform::log {
namespace {

std::mutex sinkMutex;
std::shared_ptr<const ReportLineSink> installedSink;

} // namespace

std::string reportLineText(std::string_view program, long pid, std::string_view message) {
    std::string line;
    line.reserve(program.size() + message.size() + 16);
    line.append(program);
    line += '[';
    line += std::to_string(pid);
    line += "]: ";
    for (const char c : message) {
        line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
    }
    line += '\n';
    return line;
}

void reportLine(std::string_view message) {
    std::shared_ptr<const ReportLineSink> sink;
    {
        std::lock_guard lock(sinkMutex);
        sink = installedSink;
    }
    if (sink) {
        (*sink)(std::string(message));
        return;
    }
    writeStderrLine(reportLineText(programName(), processId(), message));
}

ReportLineSink exchangeReportLineSink(ReportLineSink sink) {
    auto replacement = sink ? std::make_shared<const ReportLineSink>(std::move(sink)) : nullptr;
    std::lock_guard lock(sinkMutex);
    auto previous = std::exchange(installedSink, std::move(replacement));
    return previous ? *previous : ReportLineSink{};
}

} // namespace korvel::platform::log
