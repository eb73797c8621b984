#pragma once
// The cncpeer command line: options, the list of commands, one run against
// an agent and the printed report. Apart from main so that tests can run it.
#include <ostream>
#include <string>
#include <vector>

namespace cncpeer {

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,      // bad options or command list
    kExitConnect = 2,    // no connection
    kExitHandshake = 3,  // the handshake did not end in "100 Confirmed"
    kExitCommand = 4,    // a command was not acknowledged, or its answer was missing or wrong
    kExitOutput = 5,     // standard output could not be written; no answer was acknowledged after
};

// Flushes out and says whether everything written to it so far went out.
// On a failure err gets why (the system's reason, such as a full disk or a
// closed pipe), followed by consequence.
bool outputWritten(std::ostream& out, std::ostream& err, const char* consequence);
constexpr char kNotAcknowledged[] = ": the answer is not acknowledged, the agent keeps its scans";

extern const char kUsage[];

// Runs the tool with its arguments (the program name left out). The report
// goes to out, one line per step; problems go to err. Returns the exit code.
int runCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace cncpeer
