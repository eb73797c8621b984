// vxgate: holds a session with each agent of a list and publishes their scans
// to an MQTT broker; see options.cpp for the command line and gateway.h for
// what it does.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "gateway.h"
#include "log.h"
#include "options.h"

namespace {

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    vxgate::ParsedOptions parsed = vxgate::parseOptions(args, hostName());
    if (parsed.outcome == vxgate::ParsedOptions::Outcome::help) {
        std::cout << vxgate::kUsage;
        return vxgate::kExitOk;
    }
    if (parsed.outcome == vxgate::ParsedOptions::Outcome::usageError) {
        std::cerr << "vxgate: " << parsed.error << "\n\n" << vxgate::kUsage;
        return vxgate::kExitUsage;
    }
    // A peer that closes its end must be a failed write, not the end of the
    // process.
    signal(SIGPIPE, SIG_IGN);
    vxgate::setLogLevel(parsed.options.logLevel);
    vxgate::Gateway gateway(parsed.options);
    return gateway.run();
}
