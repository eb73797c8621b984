#pragma once
// printf-style formatting into a std::string, for log messages and the few
// texts the agent builds from a format ("CI Port %s", "-X -P %s -I %s").
#include <string>

std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
