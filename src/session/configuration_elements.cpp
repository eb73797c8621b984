#include "session/configuration_elements.h"

#include <string_view>

namespace {

// Constants without destructors: the process may end through its exit
// handlers on another thread while a session is parsing.
constexpr std::string_view kProtocolKeyword = "ProtocolElement{";
constexpr std::string_view kDataKeyword = "DataElement{";

// Finds key at or after from and the ">" that ends the field after it. The
// field's text goes to field and the position just after its ">" to next.
// The searches do not stop at section boundaries.
bool readField(const std::string& payload, const std::string& key, size_t from, std::string& field,
               size_t& next) {
    size_t keyAt = payload.find(key, from);
    if (keyAt == std::string::npos) return false;
    size_t begin = keyAt + key.size();
    size_t end = payload.find('>', begin);
    if (end == std::string::npos) return false;
    field = payload.substr(begin, end - begin);
    next = end + 1;
    return true;
}

}  // namespace

bool ConfigurationElements::parseElements(std::string payload) {
    lastPayload = payload;
    size_t pos = 0;

    for (;;) {
        size_t keyword = payload.find(kProtocolKeyword, pos);
        if (keyword == std::string::npos) break;
        auto element = std::make_unique<ProtocolElement>();
        size_t at = keyword + kProtocolKeyword.size();
        if (!readField(payload, "<Name:", at, element->name, at) ||
            !readField(payload, "<Value:", at, element->value, at)) {
            return true;
        }
        protocolElements.push_back(std::move(element));
        pos = at;
    }

    for (;;) {
        size_t keyword = payload.find(kDataKeyword, pos);
        if (keyword == std::string::npos) return true;
        auto element = std::make_unique<DataElement>();
        size_t at = keyword + kDataKeyword.size();
        if (!readField(payload, "<Name:", at, element->name, at) ||
            !readField(payload, "<Source:", at, element->source, at) ||
            !readField(payload, "<Type:", at, element->type, at)) {
            return true;
        }
        element->value = "a value";
        element->valueState = "Current";
        dataElements.push_back(std::move(element));
        pos = at;
    }
}
