#include "peer/json_line.h"

#include <chrono>
#include <ctime>

#include "common/text_format.h"

namespace peer {

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte > 0x7E) {
                    out += formatText("\\u%04x", byte);
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string jsonTimeNow() {
    using namespace std::chrono;
    system_clock::time_point now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    long long millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    // One thread writes the output, so gmtime's shared result is safe here.
    const std::tm* utc = std::gmtime(&seconds);
    if (utc == nullptr) return "1970-01-01T00:00:00.000Z";
    return formatText("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc->tm_year + 1900, utc->tm_mon + 1,
                      utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec,
                      static_cast<int>(millis));
}

JsonLine::JsonLine(const std::string& host, int port) {
    body_ = "{\"time\":" + jsonString(jsonTimeNow()) + ",\"host\":" + jsonString(host) +
            ",\"port\":" + std::to_string(port);
}

void JsonLine::name(const char* field) { body_ += ",\"" + std::string(field) + "\":"; }

JsonLine& JsonLine::text(const char* field, const std::string& value) {
    name(field);
    body_ += jsonString(value);
    return *this;
}

JsonLine& JsonLine::null(const char* field) {
    name(field);
    body_ += "null";
    return *this;
}

JsonLine& JsonLine::flag(const char* field, bool value) {
    name(field);
    body_ += value ? "true" : "false";
    return *this;
}

}  // namespace peer
