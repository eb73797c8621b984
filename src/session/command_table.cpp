#include "session/command_table.h"

#include <cstring>

namespace command {

namespace {

struct Entry {
    const char* word;
    int code;
};

const Entry kTable[] = {
    {"NOOP", kNoop}, {"CWD", kCwd},   {"TYPE", kType}, {"STOR", kStor}, {"RETR", kRetr},
    {"NLST", kNlst}, {"QUIT", kQuit}, {"PASV", kPasv}, {"STAT", kStat}, {"PATH", kPath},
    {"MODE", kMode}, {"SEXT", kSext}, {"CLEN", kClen}, {"DELE", kDele}, {"DBUG", kDbug},
    {"UPDT", kUpdt}, {"CNFG", kCnfg}, {"PRBE", kPrbe}, {"PROT", kProt},
};

}  // namespace

int codeOfWord(const char* word, unsigned length) {
    for (const Entry& entry : kTable) {
        if (std::strlen(entry.word) == length && std::memcmp(entry.word, word, length) == 0) {
            return entry.code;
        }
    }
    return kQuit;
}

}  // namespace command
