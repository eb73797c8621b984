#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/configuration_elements.h"

namespace {

// Elements as "name=value" and "name/source/type" strings, in list order.
std::vector<std::string> protocolsOf(const ConfigurationElements& c) {
    std::vector<std::string> out;
    for (const auto& e : c.protocolElements) out.push_back(e->name + "=" + e->value);
    return out;
}

std::vector<std::string> dataOf(const ConfigurationElements& c) {
    std::vector<std::string> out;
    for (const auto& e : c.dataElements) {
        EXPECT_EQ("a value", e->value);
        EXPECT_EQ("Current", e->valueState);
        out.push_back(e->name + "/" + e->source + "/" + e->type);
    }
    return out;
}

TEST(ConfigurationElements, ParsesSections) {
    using List = std::vector<std::string>;
    struct Case {
        const char* payload;
        List protocols;
        List data;
    };
    const Case cases[] = {
        {"ProtocolElement{<Name:A><Value:1>}", {"A=1"}, {}},
        {"DataElement{<Name:X><Source:S><Type:T>", {}, {"X/S/T"}},
        {"ProtocolElement{<Name:P><Value:v>} DataElement{<Name:X><Source:S><Type:T>} "
         "DataElement{<Name:Y><Source:s2><Type:t2>}",
         {"P=v"},
         {"X/S/T", "Y/s2/t2"}},
        // Keys out of order: the type search starts after the source.
        {"DataElement{<Name:X><Type:T><Source:S>}", {}, {}},
        {"DataElement{<Name:X><Type:T><Source:S>} DataElement{<Name:Y><Source:Q><Type:Z>}",
         {},
         {"X/S/Z"}},
        // Blanks are kept; lower-case keys are not keys.
        {"ProtocolElement{<Name: A ><Value:1>}", {" A =1"}, {}},
        {"ProtocolElement{<name:A><Value:1>}", {}, {}},
        // No value key after the name: the parse ends, data sections included.
        {"ProtocolElement{<Name:A>} DataElement{<Name:X><Source:S><Type:T>}", {}, {}},
        // Searches cross section boundaries: a later value key serves.
        {"ProtocolElement{<Name:A>} ProtocolElement{<Name:B><Value:2>}", {"A=2"}, {}},
        // Fields may be empty and hold "<" and line ends.
        {"ProtocolElement{<Name:><Value:a<b\r\n>}", {"=a<b\r\n"}, {}},
        // All protocol sections come first, data sections only after the last.
        {"DataElement{<Name:X><Source:S><Type:T>} ProtocolElement{<Name:A><Value:1>}", {"A=1"}, {}},
        {"", {}, {}},
        {"no sections here", {}, {}},
        // A malformed section keeps what came before it.
        {"ProtocolElement{<Name:A><Value:1>} ProtocolElement{<Name:B", {"A=1"}, {}},
    };
    for (const Case& c : cases) {
        ConfigurationElements configuration;
        EXPECT_TRUE(configuration.parseElements(c.payload));
        EXPECT_EQ(c.payload, configuration.lastPayload);
        EXPECT_EQ(c.protocols, protocolsOf(configuration)) << c.payload;
        EXPECT_EQ(c.data, dataOf(configuration)) << c.payload;
    }
}

TEST(ConfigurationElements, ListsOnlyGrowAcrossPayloads) {
    ConfigurationElements configuration;
    configuration.parseElements("ProtocolElement{<Name:A><Value:1>}");
    configuration.parseElements("ProtocolElement{<Name:B><Value:2>}");
    configuration.parseElements("nothing");
    EXPECT_EQ((std::vector<std::string>{"A=1", "B=2"}), protocolsOf(configuration));
    EXPECT_EQ("nothing", configuration.lastPayload);
}

}  // namespace
