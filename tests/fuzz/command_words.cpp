// Taking a command apart: getCommandCode maps the command's word to its code,
// getCommandArgument takes the argument after a given word. The input is the
// command text as the session loop has it (the decrypted message up to its
// first zero byte; zeros are kept here too).
#include <cctype>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "session/dnc_session.h"

namespace {

struct Word {
    const char* word;
    int code;
};

const Word kWords[] = {
    {"NOOP", 0},  {"CWD", 1},   {"TYPE", 2},  {"STOR", 3},  {"RETR", 4},
    {"NLST", 5},  {"QUIT", 6},  {"PASV", 7},  {"STAT", 8},  {"PATH", 10},
    {"MODE", 11}, {"SEXT", 13}, {"CLEN", 15}, {"DELE", 16}, {"DBUG", 17},
    {"UPDT", 18}, {"CNFG", 19}, {"PRBE", 20}, {"PROT", 21},
};

bool isWhiteSpace(char c) { return c != '\0' && std::strchr(" \t\r\n\v\f", c) != nullptr; }

// The word ends at the first blank; without one the last two characters (the
// line end) are not part of it.
int expectedCode(const std::string& command) {
    size_t blank = command.find(' ');
    size_t end = blank != std::string::npos ? blank : command.size() >= 2 ? command.size() - 2 : 0;
    const std::string word = command.substr(0, end);
    for (const Word& entry : kWords) {
        if (word == entry.word) return entry.code;
    }
    return 6;  // any other word counts as QUIT
}

void checkArgument(DncSession& session, const std::string& command, const std::string& word) {
    const std::string unchanged = "\x01unchanged\x02";
    std::string argument = unchanged;
    const bool found = session.getCommandArgument(command, word, argument);
    size_t blank = command.find(' ');
    FUZZ_CHECK(found == (blank != std::string::npos && command.compare(0, blank, word) == 0));
    if (!found) {
        FUZZ_CHECK(argument == unchanged);
        return;
    }
    // The rest after the blank, white space removed at both ends.
    if (argument.empty()) {
        for (size_t i = blank; i < command.size(); ++i) FUZZ_CHECK(isWhiteSpace(command[i]));
        return;
    }
    FUZZ_CHECK(!isWhiteSpace(argument.front()) && !isWhiteSpace(argument.back()));
    size_t at = command.find(argument, blank);
    FUZZ_CHECK(at != std::string::npos);
    for (size_t i = blank; i < at; ++i) FUZZ_CHECK(isWhiteSpace(command[i]));
    for (size_t i = at + argument.size(); i < command.size(); ++i) {
        FUZZ_CHECK(isWhiteSpace(command[i]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initializeProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string command(reinterpret_cast<const char*>(data), size);
    DncSession session;

    FUZZ_CHECK(session.getCommandCode(command) == expectedCode(command));

    // The two words whose argument the session uses, and whatever word the
    // command itself starts with.
    checkArgument(session, command, "DBUG");
    checkArgument(session, command, "CNFG");
    checkArgument(session, command, command.substr(0, command.find(' ')));

    session.ShutdownThread();
    return 0;
}
