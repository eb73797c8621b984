#include "log.h"

#include <cstdarg>
#include <cstdio>

#include "messages.h"

namespace vxgate {

namespace {

int currentLevel = kDefaultLogLevel;
std::function<void(const std::string&)> lineSink;

// A message longer than this is cut: a log line never needs more, and a
// text from outside (a broker's reason string) cannot make it grow.
constexpr size_t kMaxMessage = 2048;

const char* levelName(LogLevel level) {
    switch (level) {
        case LogLevel::error:
            return "error";
        case LogLevel::warning:
            return "warning";
        case LogLevel::info:
            return "info";
        case LogLevel::debug:
            return "debug";
    }
    return "?";
}

}  // namespace

void setLogLevel(int level) { currentLevel = level; }

bool logEnabled(LogLevel level) { return static_cast<int>(level) <= currentLevel; }

void setLogSink(std::function<void(const std::string& line)> sink) { lineSink = std::move(sink); }

void logLine(LogLevel level, const char* format, ...) {
    if (!logEnabled(level)) return;
    char message[kMaxMessage];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    std::string line =
        utcTime(std::chrono::system_clock::now()) + " " + levelName(level) + ": " + message + "\n";
    if (lineSink) {
        lineSink(line);
    } else {
        // Standard error is unbuffered: one call, one write, so a line
        // reaches journald whole.
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
}

}  // namespace vxgate
