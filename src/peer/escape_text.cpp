#include "peer/escape_text.h"

#include "common/text_format.h"
#include "common/utf8.h"

namespace peer {

namespace {

void appendEscaped(std::string& out, char c) {
    unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        default:
            if (byte >= 0x20 && byte < 0x7F) {
                out += c;
            } else {
                out += formatText("\\x%02X", byte);
            }
    }
}

}  // namespace

std::string escapeText(const std::string& text) {
    std::string out;
    for (char c : text) appendEscaped(out, c);
    return out;
}

std::string escapeUtf8Text(const std::string& text) {
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t start = at;
        bool valid = true;
        // C1 controls (U+0080 to U+009F) stay escaped, like those of ASCII.
        if (decodeUtf8(text, at, valid) >= 0xA0 && valid) {
            out.append(text, start, at - start);
        } else {
            for (std::size_t i = start; i < at; ++i) appendEscaped(out, text[i]);
        }
    }
    return out;
}

}  // namespace peer
