#pragma once
// The four-letter command words of the CNC Service and their codes.

namespace command {

enum Code : int {
    kNoop = 0,
    kCwd = 1,
    kType = 2,
    kStor = 3,
    kRetr = 4,
    kNlst = 5,
    kQuit = 6,
    kPasv = 7,
    kStat = 8,
    kPath = 10,
    kMode = 11,
    kSext = 13,
    kClen = 15,
    kDele = 16,
    kDbug = 17,
    kUpdt = 18,
    kCnfg = 19,
    kPrbe = 20,
    kProt = 21,
};

// The code of a command word, compared byte for byte; kQuit for any word
// not in the table.
int codeOfWord(const char* word, unsigned length);

}  // namespace command
