#include "peer/escape_text.h"

#include "common/text_format.h"

namespace peer {

std::string escapeText(const std::string& text) {
    std::string out;
    for (char c : text) {
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
    return out;
}

}  // namespace peer
