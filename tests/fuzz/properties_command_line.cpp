// The properties from a command line: tMDCProperty::init with the options
// flag, given the input as the whole command line. Sleeps are recorded, not
// waited, and the file that "-X" deletes lies in a folder of this run.
#include <algorithm>
#include <cctype>
#include <string>

#include "common/activity_log.h"
#include "common/properties.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

// An option value as kept: at most 79 characters, digits and dots only.
bool isOptionValue(const std::string& value) {
    return value.size() <= 79 && std::all_of(value.begin(), value.end(), [](char c) {
               return (c >= '0' && c <= '9') || c == '.';
           });
}

std::string upperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initializeProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string commandLine(reinterpret_cast<const char*>(data), size);
    const std::string whole = upperCase(commandLine);
    std::string source = whole;
    const bool restart = source.find("-X") != std::string::npos;
    if (restart) source.erase(0, std::min<size_t>(3, source.size()));
    // What is left of the command line may name a properties file, which is
    // then read (only upper-case names: "." or "/", say).
    const bool fileNamed = !source.empty() && platform::fileExists(source);

    testing_support::ScopedSeams seams;
    tMDCProperty properties;
    properties.programDir = fuzz::workFolder();
    const bool loaded = properties.init(commandLine, true);

    FUZZ_CHECK(loaded || fileNamed);
    FUZZ_CHECK(seams.sleeps() == (restart ? std::vector<unsigned>{6000} : std::vector<unsigned>{}));
    FUZZ_CHECK(isOptionValue(properties.hostAddress));
    FUZZ_CHECK(properties.fixedLogLevel >= 0 && properties.fixedLogLevel <= 5);
    FUZZ_CHECK(properties.logLevel >= 0 && properties.logLevel <= 5);
    FUZZ_CHECK(logLevel >= 0 && logLevel <= 5);
    // The options are read from what is left after "-X" took its three characters.
    if (source.find("-I") == std::string::npos) FUZZ_CHECK(properties.hostAddress.empty());
    if (source.find("-D") == std::string::npos) {
        FUZZ_CHECK(properties.fixedLogLevel == 0 && properties.logLevel == 1);
    }
    const AllowedPeers& peers = properties.allowedPeers;
    FUZZ_CHECK(peers.addresses().size() <= AllowedPeers::kMaxAddresses);
    if (!peers.problem().empty()) FUZZ_CHECK(peers.addresses().empty() && !peers.allows(""));
    for (const std::string& address : peers.addresses()) {
        FUZZ_CHECK(isDottedIPv4(address) && peers.allows(address));
    }
    if (fileNamed) return 0;

    // An -A that the restart's cut would take off stays in force.
    if (restart && whole.compare(0, 2, "-A") == 0) FUZZ_CHECK(peers.given());
    if (whole.find("-A") == std::string::npos) FUZZ_CHECK(!peers.given());

    FUZZ_CHECK(isOptionValue(properties.port));
    if (source.find("-P") == std::string::npos) {
        FUZZ_CHECK(properties.port == "8194" && properties.portNote.empty());
    } else if (source.find("-A") == std::string::npos) {
        // (A "-P" inside the value of -A is part of that list, not an option.)
        FUZZ_CHECK(properties.portNote == "CI Port " + properties.port);
    }
    FUZZ_CHECK(properties.receiveTimeout == 5000 && properties.sendTimeout == 5000);
    FUZZ_CHECK(properties.logDir == properties.programDir);
    FUZZ_CHECK(properties.logFile == properties.programDir + platform::pathSeparator + "vxhid.log");
    return 0;
}
