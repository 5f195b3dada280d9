#include "platform/log/ns_log.h"

#include "platform/log/log_sink.h"

#include <memory>
#include <mutex>

namespace korvel::platform::log {
namespace {

std::mutex sinkMutex;
std::shared_ptr<const NSLogSink> installedSink;

} // namespace

std::string nsLogLine(std::string_view program, long pid, std::string_view message) {
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

void nsLog(std::string_view message) {
    std::shared_ptr<const NSLogSink> sink;
    {
        std::lock_guard lock(sinkMutex);
        sink = installedSink;
    }
    if (sink) {
        (*sink)(std::string(message));
        return;
    }
    writeStderrLine(nsLogLine(programName(), processId(), message));
}

NSLogSink exchangeNSLogSink(NSLogSink sink) {
    auto replacement = sink ? std::make_shared<const NSLogSink>(std::move(sink)) : nullptr;
    std::lock_guard lock(sinkMutex);
    auto previous = std::exchange(installedSink, std::move(replacement));
    return previous ? *previous : NSLogSink{};
}

} // namespace korvel::platform::log
