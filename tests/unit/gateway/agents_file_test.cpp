#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agents_file.h"
#include "test_support.h"

namespace {

using vxgate::AgentEntry;
using vxgate::AgentsList;
using vxgate::parseAgents;

std::vector<std::string> namesOf(const std::vector<AgentEntry>& agents) {
    std::vector<std::string> names;
    for (const AgentEntry& agent : agents) names.push_back(agent.name);
    return names;
}

TEST(AgentsFileTest, ReadsNamesAndAddressesAroundCommentsAndBlankLines) {
    const std::string text =
        "\xEF\xBB\xBF# hall 2\r\n"
        "press-1 10.2.0.11:8194\r\n"
        "\n"
        "   \t\n"
        "  lathe_4\t pc-lathe4.plant.local:9000   # the old PC\n"
        "#commented 10.2.0.99:8194\n"
        "Saw.3 192.168.1.5:1";  // no line end at the end
    AgentsList list = parseAgents(text, "agents.txt");
    ASSERT_EQ("", list.error);
    ASSERT_EQ(3u, list.agents.size());
    EXPECT_EQ("press-1", list.agents[0].name);
    EXPECT_EQ("10.2.0.11", list.agents[0].host);
    EXPECT_EQ(8194, list.agents[0].port);
    EXPECT_EQ(2, list.agents[0].line);
    EXPECT_EQ("lathe_4", list.agents[1].name);
    EXPECT_EQ("pc-lathe4.plant.local:9000", list.agents[1].address());
    EXPECT_EQ(5, list.agents[1].line);
    EXPECT_EQ("Saw.3", list.agents[2].name);
    EXPECT_EQ(1, list.agents[2].port);
    EXPECT_EQ(7, list.agents[2].line);

    EXPECT_EQ("", parseAgents("", "empty").error);
    EXPECT_EQ("", parseAgents("# nothing yet\n\n", "empty").error);
}

TEST(AgentsFileTest, MalformedLinesAreNamedByFileAndLine) {
    struct Case {
        std::string line;
        const char* says;
    } cases[] = {
        {"press-1", "expected NAME HOST:PORT, found only \"press-1\""},
        {"press-1 10.0.0.1:8194 extra", "unexpected text after NAME HOST:PORT: \"extra\""},
        {"press/1 10.0.0.1:8194", "holds '/'"},
        {"press+1 10.0.0.1:8194", "holds '+'"},
        {"press#1 10.0.0.1:8194", "holds '#'"},
        {"pr\xC3\xA4sse 10.0.0.1:8194", "not printable ASCII"},
        {std::string(129, 'n') + " 10.0.0.1:8194", "longer than 128 characters"},
        {"press-1 10.0.0.1", "has no :PORT"},
        {"press-1 10.0.0.1:", "port \"\""},
        {"press-1 10.0.0.1:0", "port \"0\""},
        {"press-1 10.0.0.1:65536", "port \"65536\""},
        {"press-1 10.0.0.1:81x4", "port \"81x4\""},
        {"press-1 10.0.0.1:+8194", "port \"+8194\""},
        {"press-1 10.0.0.1:8194#x", "port \"8194#x\""},
        {"press-1 :8194", "host \"\""},
        {"press-1 300.0.0.1:8194", "host \"300.0.0.1\""},
        {"press-1 010.0.0.1:8194", "host \"010.0.0.1\""},
        {"press-1 10.0.0:8194", "host \"10.0.0\""},
        {"press-1 -pc.plant:8194", "host \"-pc.plant\""},
        {"press-1 pc..plant:8194", "host \"pc..plant\""},
        {"press-1 pc_1:8194", "host \"pc_1\""},
        {"press-1 [::1]:8194", "host \"[::1]\""},
        {"press-1 10.0.0.1:8194" + std::string(1100, ' '), "longer than 1024 characters"},
    };
    for (const Case& c : cases) {
        AgentsList list = parseAgents("ok-1 10.0.0.9:8194\n# comment\n" + c.line + "\n", "a.txt");
        EXPECT_TRUE(list.agents.empty()) << c.line;
        EXPECT_EQ(0u, list.error.find("a.txt:3: ")) << c.line << " gave: " << list.error;
        EXPECT_NE(std::string::npos, list.error.find(c.says)) << c.line << " gave: " << list.error;
    }
}

TEST(AgentsFileTest, ANameOrAnAddressGivenTwiceIsAnError) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"a 10.0.0.1:8194\nb 10.0.0.2:8194\na 10.0.0.3:8194\n",
         "f:3: the name \"a\" is given twice (first on line 1)"},
        {"a 10.0.0.1:8194\n\nb 10.0.0.1:8194\n",
         "f:3: the address 10.0.0.1:8194 is given twice (first on line 1, for \"a\")"},
        {"a PC-1.plant:8194\nb pc-1.PLANT:8194\n",
         "f:2: the address pc-1.PLANT:8194 is given twice (first on line 1, for \"a\")"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.error, parseAgents(c.text, "f").error);
    // Names differ in case, ports differ: different agents.
    AgentsList list = parseAgents("a 10.0.0.1:8194\nA 10.0.0.1:8195\n", "f");
    EXPECT_EQ("", list.error);
    EXPECT_EQ(2u, list.agents.size());
}

TEST(AgentsFileTest, ReadsAFileAndSaysWhenItCannot) {
    testing_support::TempDir dir;
    testing_support::writeFile(dir.file("agents"), "a 127.0.0.1:8194\nb 127.0.0.1:8195\n");
    AgentsList list = vxgate::readAgentsFile(dir.file("agents"));
    EXPECT_EQ("", list.error);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), namesOf(list.agents));

    list = vxgate::readAgentsFile(dir.file("missing"));
    EXPECT_EQ("cannot read the agents file " + dir.file("missing"), list.error);

    testing_support::writeFile(dir.file("bad"), "a 127.0.0.1:8194\nb\n");
    EXPECT_EQ(dir.file("bad") + ":2: expected NAME HOST:PORT, found only \"b\"",
              vxgate::readAgentsFile(dir.file("bad")).error);
}

TEST(AgentsFileTest, DiffTellsAddedRemovedMovedAndUnchangedByName) {
    AgentsList before = parseAgents(
        "keep 10.0.0.1:8194\nmove 10.0.0.2:8194\ngone 10.0.0.3:8194\nport 10.0.0.4:8194\n"
        "case PC-9:8194\n",
        "f");
    AgentsList after = parseAgents(
        "new 10.0.0.9:8194\nkeep 10.0.0.1:8194\nport 10.0.0.4:8195\nmove 10.0.0.7:8194\n"
        "case pc-9:8194\n",
        "f");
    ASSERT_EQ("", before.error);
    ASSERT_EQ("", after.error);
    vxgate::AgentsDiff diff = vxgate::diffAgents(before.agents, after.agents);
    EXPECT_EQ((std::vector<std::string>{"new"}), namesOf(diff.added));
    EXPECT_EQ((std::vector<std::string>{"gone"}), namesOf(diff.removed));
    EXPECT_EQ((std::vector<std::string>{"port", "move"}), namesOf(diff.changed));
    EXPECT_EQ("10.0.0.7:8194", diff.changed[1].address());
    EXPECT_EQ((std::vector<std::string>{"keep", "case"}), namesOf(diff.unchanged));

    vxgate::AgentsDiff none = vxgate::diffAgents(after.agents, after.agents);
    EXPECT_TRUE(none.added.empty() && none.removed.empty() && none.changed.empty());
    EXPECT_EQ(5u, none.unchanged.size());
}

}  // namespace
