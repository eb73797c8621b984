#include "common/allowed_peers.h"

#include <algorithm>

#include "common/text_format.h"

namespace {

// The entry as its log line shows it: cut to a bounded length.
std::string shown(const std::string& entry) {
    if (entry.size() <= AllowedPeers::kMaxShownEntry) return entry;
    return entry.substr(0, AllowedPeers::kMaxShownEntry) + "...";
}

}  // namespace

bool isDottedIPv4(const std::string& text) {
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        size_t start = i;
        int value = 0;
        while (i < text.size() && i - start < 3 && text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + (text[i] - '0');
            ++i;
        }
        size_t digits = i - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
        ++parts;
        if (parts == 4) break;
        if (i >= text.size() || text[i] != '.') return false;
        ++i;
    }
    return i == text.size();
}

void AllowedPeers::set(const std::string& text) {
    given_ = true;
    problem_.clear();
    addresses_.clear();
    if (text.empty()) {
        problem_ = "Allowed peers list is empty";
        return;
    }

    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        size_t end = comma == std::string::npos ? text.size() : comma;
        std::string entry = text.substr(start, end - start);
        if (end > kMaxLength) {
            problem_ =
                formatText("Allowed peers list is longer than %d characters, at entry \"%s\"",
                           static_cast<int>(kMaxLength), shown(entry).c_str());
        } else if (addresses_.size() == kMaxAddresses) {
            problem_ = formatText("Allowed peers list has more than %d addresses, at entry \"%s\"",
                                  static_cast<int>(kMaxAddresses), shown(entry).c_str());
        } else if (!isDottedIPv4(entry)) {
            problem_ = formatText("Allowed peers list entry \"%s\" is not an IPv4 address",
                                  shown(entry).c_str());
        }
        if (!problem_.empty()) {
            addresses_.clear();
            return;
        }
        addresses_.push_back(entry);
        if (comma == std::string::npos) return;
        start = comma + 1;
    }
}

std::string AllowedPeers::text() const {
    std::string list;
    for (const std::string& address : addresses_) list += (list.empty() ? "" : ",") + address;
    return list;
}

bool AllowedPeers::allows(const std::string& address) const {
    if (!given_) return true;
    if (!problem_.empty()) return false;
    return std::find(addresses_.begin(), addresses_.end(), address) != addresses_.end();
}
