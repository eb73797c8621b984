#include "peer/json_line.h"

#include <chrono>
#include <ctime>

#include "common/text_format.h"
#include "common/utf8.h"

namespace peer {

namespace {

// A character above ASCII as JSON escapes, a surrogate pair past U+FFFF, so
// that the line stays ASCII whatever reads it.
void appendEscaped(std::string& out, char32_t c) {
    if (c < 0x10000) {
        out += formatText("\\u%04x", static_cast<unsigned>(c));
        return;
    }
    c -= 0x10000;
    out += formatText("\\u%04x\\u%04x", static_cast<unsigned>(0xD800 + (c >> 10)),
                      static_cast<unsigned>(0xDC00 + (c & 0x3FF)));
}

}  // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    std::size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            bool valid = true;
            appendEscaped(out, decodeUtf8(text, at, valid));
            continue;
        }
        ++at;
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
                if (byte < 0x20 || byte == 0x7F) {
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
