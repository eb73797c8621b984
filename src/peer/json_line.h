#pragma once
// One JSON object per line, for programs that read what a peer reports.
// The agent's texts are bytes of a single-byte code page, not UTF-8: every
// byte above 0x7F is written as \u0080 to \u00ff, its own value, so nothing
// is lost and the line stays valid JSON.
#include <string>

namespace peer {

// text as a JSON string, quotes included.
std::string jsonString(const std::string& text);

// The current time as "2026-12-10T05:31:34.123Z" (UTC, milliseconds).
std::string jsonTimeNow();

// Builds {"time":...,"host":...,"port":...} and further fields in the order
// they are added.
class JsonLine {
public:
    JsonLine(const std::string& host, int port);
    JsonLine& text(const char* name, const std::string& value);
    JsonLine& null(const char* name);
    JsonLine& flag(const char* name, bool value);
    // The object and its line end.
    std::string line() const { return body_ + "}\n"; }

private:
    void name(const char* field);
    std::string body_;
};

}  // namespace peer
