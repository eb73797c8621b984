// The properties file: tMDCProperty::init reading the input as "ini.txt", a
// positional file of port, log folder and two time-outs.
#include <cctype>
#include <climits>
#include <string>
#include <vector>

#include "common/properties.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

// The file's lines as a text reader sees them: split at LF, a CR before the
// LF dropped, no line after a final LF.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// atoi's value, held within int: blanks, a sign, decimal digits.
int numberOf(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initializeProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string path = fuzz::workFolder() + platform::pathSeparator + "ini.txt";
    // A fresh file each time: rewriting one in place makes ext4 flush it to
    // disk on every close, which slows the run down tenfold.
    platform::deleteFile(path);
    testing_support::writeFile(path, content);

    testing_support::ScopedSeams seams;
    tMDCProperty properties;
    properties.programDir = fuzz::workFolder();
    const bool loaded = properties.init(path, false);

    const std::vector<std::string> lines = linesOf(content);
    FUZZ_CHECK(loaded == (lines.size() >= 2));
    FUZZ_CHECK(seams.sleeps().empty());
    FUZZ_CHECK(properties.logLevel == 1 && properties.fixedLogLevel == 0);
    FUZZ_CHECK(properties.hostAddress.empty() && properties.portNote.empty());
    if (!loaded) return 0;
    FUZZ_CHECK(properties.port == lines[0]);
    FUZZ_CHECK(properties.logDir == lines[1]);
    FUZZ_CHECK(properties.logFile == lines[1] + platform::pathSeparator + "vxhid.log");
    FUZZ_CHECK(properties.receiveTimeout == (lines.size() >= 3 ? numberOf(lines[2]) : 5000));
    FUZZ_CHECK(properties.sendTimeout == (lines.size() >= 4 ? numberOf(lines[3]) : 5000));
    // A fifth line is the allowed-peers list (blanks and tabs around it do
    // not count) when it is "-A" and the list, or holds only digits, dots,
    // commas and blanks; any other fifth line (a note) is ignored. A good
    // list holds exactly the addresses written there.
    const AllowedPeers& peers = properties.allowedPeers;
    std::string fifth = lines.size() >= 5 ? lines[4] : std::string();
    auto trimmed = [](const std::string& text) {
        const size_t first = text.find_first_not_of(" \t");
        return first == std::string::npos
                   ? std::string()
                   : text.substr(first, text.find_last_not_of(" \t") + 1 - first);
    };
    fifth = trimmed(fifth);
    bool listGiven = false;
    if (fifth.size() >= 2 && fifth[0] == '-' && (fifth[1] == 'A' || fifth[1] == 'a')) {
        listGiven = fifth.size() == 2 || fifth[2] == ' ' || fifth[2] == '\t' ||
                    std::isdigit(static_cast<unsigned char>(fifth[2]));
        fifth = trimmed(fifth.substr(2));
    } else {
        listGiven =
            !fifth.empty() && fifth.find_first_not_of("0123456789., \t") == std::string::npos;
    }
    FUZZ_CHECK(peers.given() == listGiven);
    if (listGiven && peers.problem().empty()) {
        std::string joined;
        for (const std::string& address : peers.addresses()) {
            FUZZ_CHECK(isDottedIPv4(address));
            joined += (joined.empty() ? "" : ",") + address;
        }
        FUZZ_CHECK(joined == fifth && peers.addresses().size() <= AllowedPeers::kMaxAddresses);
    } else if (listGiven) {
        FUZZ_CHECK(peers.addresses().empty() && !peers.allows(""));
    }
    return 0;
}
