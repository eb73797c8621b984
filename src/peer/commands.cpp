#include "peer/commands.h"

namespace peer {

const char kDoneAnswer[] = "200\r\n";
const char kQuitAnswer[] = "100";

Answer answerFor(const std::string& word) {
    struct Entry {
        const char* word;
        Answer answer;
    };
    static const Entry kTable[] = {
        {"NOOP", Answer::kNone},   {"CWD", Answer::kNone},  {"TYPE", Answer::kNone},
        {"STOR", Answer::kNone},   {"RETR", Answer::kNone}, {"NLST", Answer::kNone},
        {"QUIT", Answer::kQuit},   {"PASV", Answer::kNone}, {"STAT", Answer::kNone},
        {"PATH", Answer::kNone},   {"MODE", Answer::kNone}, {"SEXT", Answer::kNone},
        {"CLEN", Answer::kNone},   {"DELE", Answer::kNone}, {"DBUG", Answer::kDone},
        {"UPDT", Answer::kUpdate}, {"CNFG", Answer::kNone}, {"PRBE", Answer::kProbe},
        {"PROT", Answer::kNone},
    };
    for (const Entry& entry : kTable) {
        if (word == entry.word) return entry.answer;
    }
    return Answer::kQuit;  // the agent ends the session on any word it does not know
}

std::string commandText(const std::string& word, const std::string& argument) {
    return argument.empty() ? word + "\r\n" : word + " " + argument + "\r\n";
}

}  // namespace peer
