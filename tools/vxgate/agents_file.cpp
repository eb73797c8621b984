#include "agents_file.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>

#include "common/allowed_peers.h"
#include "common/text_format.h"

namespace vxgate {

namespace {

// Characters of a bad value that a message shows.
constexpr size_t kMaxShown = 80;

std::string shown(const std::string& text) {
    if (text.size() <= kMaxShown) return "\"" + text + "\"";
    return "\"" + text.substr(0, kMaxShown) + "...\"";
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The line's words up to a comment: a '#' at the start of a word begins it.
std::vector<std::string> wordsOf(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i])) ++i;
        if (i >= line.size() || line[i] == '#') break;
        size_t start = i;
        while (i < line.size() && !isBlank(line[i])) ++i;
        words.push_back(line.substr(start, i - start));
    }
    return words;
}

// Empty when name can be an agent's name; otherwise why not.
std::string nameProblem(const std::string& name) {
    if (name.size() > kMaxAgentName) {
        return formatText("the name %s is longer than %d characters", shown(name).c_str(),
                          static_cast<int>(kMaxAgentName));
    }
    for (char c : name) {
        if (c == '/' || c == '+' || c == '#') {
            return formatText("the name %s holds '%c', which MQTT topics reserve",
                              shown(name).c_str(), c);
        }
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x21 || byte > 0x7e) {
            return formatText("the name %s holds a character that is not printable ASCII",
                              shown(name).c_str());
        }
    }
    return "";
}

// A host name as DNS allows it: labels of letters, digits and '-', not
// beginning or ending with '-', 1 to 63 characters each, 253 in all.
bool isHostName(const std::string& host) {
    if (host.empty() || host.size() > 253) return false;
    size_t start = 0;
    for (;;) {
        size_t dot = host.find('.', start);
        size_t end = dot == std::string::npos ? host.size() : dot;
        size_t length = end - start;
        if (length == 0 || length > 63) return false;
        if (host[start] == '-' || host[end - 1] == '-') return false;
        for (size_t i = start; i < end; ++i) {
            unsigned char c = static_cast<unsigned char>(host[i]);
            if (!std::isalnum(c) && c != '-') return false;
        }
        if (dot == std::string::npos) return true;
        start = dot + 1;
    }
}

// Empty when address is HOST:PORT; otherwise why not.
std::string parseAddress(const std::string& address, AgentEntry* entry) {
    size_t colon = address.rfind(':');
    if (colon == std::string::npos) {
        return formatText("the address %s has no :PORT", shown(address).c_str());
    }
    std::string host = address.substr(0, colon);
    std::string port = address.substr(colon + 1);
    bool numeric = !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
    if (numeric ? !isDottedIPv4(host) : !isHostName(host)) {
        return formatText("the host %s is neither a dotted IPv4 address nor a host name",
                          shown(host).c_str());
    }
    int value = 0;
    bool digits = !port.empty() && port.size() <= 5 &&
                  port.find_first_not_of("0123456789") == std::string::npos;
    if (digits) value = std::stoi(port);
    if (!digits || value < 1 || value > 65535) {
        return formatText("the port %s is not a number from 1 to 65535", shown(port).c_str());
    }
    entry->host = host;
    entry->port = value;
    return "";
}

std::string addressKey(const AgentEntry& entry) {
    std::string host = entry.host;
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return host + ":" + std::to_string(entry.port);
}

}  // namespace

AgentsList parseAgents(const std::string& text, const std::string& fileName) {
    AgentsList list;
    // Index in list.agents of each name and address seen so far.
    std::map<std::string, size_t> nameIndex;
    std::map<std::string, size_t> addressIndex;

    size_t start = 0;
    // A byte order mark from a Windows editor is not part of the first name.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
    int lineNumber = 0;
    while (start < text.size()) {
        ++lineNumber;
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();

        auto fail = [&](const std::string& why) {
            list.agents.clear();
            list.error = formatText("%s:%d: %s", fileName.c_str(), lineNumber, why.c_str());
            return list;
        };
        if (line.size() > kMaxAgentsLine) {
            return fail(formatText("the line is longer than %d characters",
                                   static_cast<int>(kMaxAgentsLine)));
        }
        std::vector<std::string> words = wordsOf(line);
        if (words.empty()) continue;
        if (words.size() == 1)
            return fail("expected NAME HOST:PORT, found only " + shown(words[0]));
        if (words.size() > 2)
            return fail("unexpected text after NAME HOST:PORT: " + shown(words[2]));

        AgentEntry entry;
        entry.name = words[0];
        entry.line = lineNumber;
        std::string problem = nameProblem(entry.name);
        if (problem.empty()) problem = parseAddress(words[1], &entry);
        if (!problem.empty()) return fail(problem);

        auto sameName = nameIndex.find(entry.name);
        if (sameName != nameIndex.end()) {
            return fail(formatText("the name %s is given twice (first on line %d)",
                                   shown(entry.name).c_str(), list.agents[sameName->second].line));
        }
        std::string key = addressKey(entry);
        auto sameAddress = addressIndex.find(key);
        if (sameAddress != addressIndex.end()) {
            const AgentEntry& first = list.agents[sameAddress->second];
            return fail(formatText("the address %s is given twice (first on line %d, for %s)",
                                   entry.address().c_str(), first.line, shown(first.name).c_str()));
        }
        nameIndex[entry.name] = list.agents.size();
        addressIndex[key] = list.agents.size();
        list.agents.push_back(entry);
    }
    return list;
}

AgentsList readAgentsFile(const std::string& path) {
    AgentsList list;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        list.error = "cannot read the agents file " + path;
        return list;
    }
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxAgentsFileBytes) {
            list.error = formatText("the agents file %s is larger than %d bytes", path.c_str(),
                                    static_cast<int>(kMaxAgentsFileBytes));
            return list;
        }
    }
    if (in.bad()) {
        list.error = "cannot read the agents file " + path;
        return list;
    }
    return parseAgents(text, path);
}

AgentsDiff diffAgents(const std::vector<AgentEntry>& before, const std::vector<AgentEntry>& after) {
    std::map<std::string, const AgentEntry*> old;
    for (const AgentEntry& entry : before) old[entry.name] = &entry;
    AgentsDiff diff;
    for (const AgentEntry& entry : after) {
        auto found = old.find(entry.name);
        if (found == old.end()) {
            diff.added.push_back(entry);
            continue;
        }
        const AgentEntry& previous = *found->second;
        bool moved = addressKey(previous) != addressKey(entry);
        (moved ? diff.changed : diff.unchanged).push_back(entry);
        old.erase(found);
    }
    for (const AgentEntry& entry : before) {
        if (old.count(entry.name) != 0) diff.removed.push_back(entry);
    }
    return diff;
}

}  // namespace vxgate
