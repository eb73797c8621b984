#include "peer/session_key.h"

#include <random>

#include "common/text_format.h"

namespace peer {

Key randomKey() {
    std::random_device source;
    Key key{};
    for (unsigned char& byte : key) byte = static_cast<unsigned char>(source() & 0xFF);
    return key;
}

bool parseKey(const std::string& hex, Key& key) {
    if (hex.size() != 2 * key.size()) return false;
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    Key parsed{};
    for (size_t i = 0; i < parsed.size(); ++i) {
        int high = digit(hex[2 * i]);
        int low = digit(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        parsed[i] = static_cast<unsigned char>(high * 16 + low);
    }
    key = parsed;
    return true;
}

std::string keyToHex(const Key& key) {
    std::string hex;
    for (unsigned char byte : key) hex += formatText("%02X", byte);
    return hex;
}

}  // namespace peer
