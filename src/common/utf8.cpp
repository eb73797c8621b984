#include "common/utf8.h"

namespace {

bool isSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// A character is at most four bytes long.
constexpr std::size_t kMaxSequence = 4;

}  // namespace

void appendUtf8(std::string& out, char32_t c) {
    if (isSurrogate(c) || c > 0x10FFFF) c = kReplacementCharacter;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void appendUtf16(std::string& out, const char16_t* units, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const char32_t unit = units[i];
        if (isHighSurrogate(unit) && i + 1 < count && isLowSurrogate(units[i + 1])) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            appendUtf8(out, unit);  // a lone surrogate becomes U+FFFD
        }
    }
}

std::size_t utf8CutLength(const std::string& text, std::size_t limit) {
    if (limit >= text.size()) return limit;
    std::size_t end = limit;
    // Back over the continuation bytes of the character the limit splits.
    for (std::size_t step = 0; step < kMaxSequence - 1 && end > 0; ++step) {
        if (!isContinuation(static_cast<unsigned char>(text[end]))) return end;
        --end;
    }
    if (!isContinuation(static_cast<unsigned char>(text[end]))) return end;
    return limit;
}

std::size_t lastCharacterStart(const std::string& text) {
    if (text.empty()) return 0;
    std::size_t start = text.size() - 1;
    for (std::size_t step = 0; step < kMaxSequence - 1 && start > 0; ++step) {
        if (!isContinuation(static_cast<unsigned char>(text[start]))) break;
        --start;
    }
    std::size_t at = start;
    bool valid = true;
    decodeUtf8(text, at, valid);
    return valid && at == text.size() ? start : text.size() - 1;
}

char32_t decodeUtf8(const std::string& text, std::size_t& at, bool& valid) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    valid = true;
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    // The well-formed sequences: the second byte's range depends on the lead
    // (no overlong forms, no surrogates, nothing past U+10FFFF).
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    char32_t c = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        c = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        c = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    std::size_t i = at + 1;
    for (std::size_t n = 1; n < length; ++n, ++i) {
        if (i >= text.size() || byte(i) < low || byte(i) > high) {
            length = 0;
            break;
        }
        c = (c << 6) | (byte(i) & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    if (length == 0) {
        valid = false;
        at = i;
        return kReplacementCharacter;
    }
    at = i;
    return c;
}
