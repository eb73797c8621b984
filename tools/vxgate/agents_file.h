#pragma once
// The agents file: one "NAME HOST:PORT" a line, blank lines and # comments
// allowed. NAME becomes a topic level, so it holds no '/', '+' or '#'; it is
// printable ASCII, as are host names. Read at start (a malformed file ends
// the start) and again on SIGHUP (a malformed file keeps the old list).
#include <string>
#include <vector>

namespace vxgate {

constexpr size_t kMaxAgentName = 128;
constexpr size_t kMaxAgentsLine = 1024;
constexpr size_t kMaxAgentsFileBytes = 16 * 1024 * 1024;

struct AgentEntry {
    std::string name;
    std::string host;  // a dotted IPv4 address or a host name, as written
    int port = 0;
    int line = 0;  // where it was read, for messages
    // HOST:PORT as written.
    std::string address() const { return host + ":" + std::to_string(port); }
};

struct AgentsList {
    std::vector<AgentEntry> agents;  // in the file's order
    std::string error;               // empty when the file is well formed
};

// Parses the text of a file; error names the file and the line ("FILE:LINE:
// ..."). A name given twice, or an address given twice (host names compared
// without regard to case), is an error at its second line.
AgentsList parseAgents(const std::string& text, const std::string& fileName);

// Reads and parses the file.
AgentsList readAgentsFile(const std::string& path);

// What a reload changes: agents by name. An agent whose address changed is
// in changed (its session moves to the new address, its topics stay).
struct AgentsDiff {
    std::vector<AgentEntry> added;
    std::vector<AgentEntry> removed;
    std::vector<AgentEntry> changed;    // the new entries
    std::vector<AgentEntry> unchanged;  // the new entries (a host's case may differ)
};

AgentsDiff diffAgents(const std::vector<AgentEntry>& before, const std::vector<AgentEntry>& after);

}  // namespace vxgate
