#pragma once
// The configuration a CNFG command hands over: ProtocolElement sections (a
// name and a value) and DataElement sections (a name, a source and a type),
// kept in arrival order for the life of the session.
#include <memory>
#include <string>
#include <vector>

class ProtocolElement {
public:
    virtual ~ProtocolElement() = default;
    std::string name;
    std::string value;
};

class DataElement {
public:
    virtual ~DataElement() = default;
    std::string name;
    std::string source;
    std::string type;
    std::string value;
    std::string valueState;
};

class ConfigurationElements {
public:
    virtual ~ConfigurationElements() = default;

    std::string lastPayload;
    std::vector<std::unique_ptr<DataElement>> dataElements;
    std::vector<std::unique_ptr<ProtocolElement>> protocolElements;

    // Appends every well-formed section of the payload: all ProtocolElement
    // sections first, then the DataElement sections after the last of them.
    // A malformed section ends the parse quietly. Always true.
    bool parseElements(std::string payload);
};
