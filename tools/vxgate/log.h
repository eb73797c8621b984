#pragma once
// The gateway's log: one line per event on standard error, each with its UTC
// time and level, so that journald or a terminal shows them as they come.
// Levels: 0 nothing, 1 errors, 2 warnings, 3 information (the default),
// 4 debugging (libmosquitto's own messages included).
#include <functional>
#include <string>

namespace vxgate {

enum class LogLevel { error = 1, warning = 2, info = 3, debug = 4 };

constexpr int kMinLogLevel = 0;
constexpr int kMaxLogLevel = 4;
constexpr int kDefaultLogLevel = 3;

void setLogLevel(int level);
bool logEnabled(LogLevel level);

// Replaces standard error as the destination of whole lines (line end
// included); an empty function restores it. For tests.
void setLogSink(std::function<void(const std::string& line)> sink);

void logLine(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace vxgate
