// The CNFG payload: parseElements reads ProtocolElement and DataElement
// sections into the session's configuration. The input's first byte splits
// the rest into two payloads, parsed one after the other into one container
// as two CNFG commands of a session would be.
#include <string>

#include "fuzz_support.h"
#include "session/configuration_elements.h"

namespace {

size_t occurrences(const std::string& text, const std::string& key) {
    size_t count = 0;
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        ++count;
    }
    return count;
}

// A field runs up to the next ">" and was found in the payload after its key.
void checkField(const std::string& field, const std::string& key, const std::string& payload) {
    FUZZ_CHECK(field.find('>') == std::string::npos);
    FUZZ_CHECK(payload.find(key + field + ">") != std::string::npos);
}

void checkElements(const ConfigurationElements& elements, size_t protocolBefore, size_t dataBefore,
                   const std::string& payload) {
    FUZZ_CHECK(elements.lastPayload == payload);
    FUZZ_CHECK(elements.protocolElements.size() - protocolBefore <=
               occurrences(payload, "ProtocolElement{"));
    FUZZ_CHECK(elements.dataElements.size() - dataBefore <= occurrences(payload, "DataElement{"));
    for (size_t i = protocolBefore; i < elements.protocolElements.size(); ++i) {
        const ProtocolElement& element = *elements.protocolElements[i];
        checkField(element.name, "<Name:", payload);
        checkField(element.value, "<Value:", payload);
    }
    for (size_t i = dataBefore; i < elements.dataElements.size(); ++i) {
        const DataElement& element = *elements.dataElements[i];
        checkField(element.name, "<Name:", payload);
        checkField(element.source, "<Source:", payload);
        checkField(element.type, "<Type:", payload);
        FUZZ_CHECK(element.value == "a value" && element.valueState == "Current");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initializeProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    const size_t split = input.byte();
    const std::string first = input.bytes(split);
    const std::string second = input.rest();

    ConfigurationElements elements;
    FUZZ_CHECK(elements.parseElements(first));
    checkElements(elements, 0, 0, first);

    // A second payload only adds: the first one's elements stay as they were.
    const size_t protocolCount = elements.protocolElements.size();
    const size_t dataCount = elements.dataElements.size();
    const std::string firstName = protocolCount > 0 ? elements.protocolElements[0]->name : "";
    FUZZ_CHECK(elements.parseElements(second));
    FUZZ_CHECK(elements.protocolElements.size() >= protocolCount);
    FUZZ_CHECK(elements.dataElements.size() >= dataCount);
    if (protocolCount > 0) FUZZ_CHECK(elements.protocolElements[0]->name == firstName);
    checkElements(elements, protocolCount, dataCount, second);
    return 0;
}
