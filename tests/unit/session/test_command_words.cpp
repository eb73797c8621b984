#include <gtest/gtest.h>

#include <string>

#include "session/dnc_session.h"

namespace {

TEST(CommandWords, CodeOfEachWord) {
    struct Case {
        std::string command;
        int code;
    };
    const Case cases[] = {
        {"NOOP\r\n", 0},
        {"CWD\r\n", 1},
        {"TYPE\r\n", 2},
        {"STOR\r\n", 3},
        {"RETR\r\n", 4},
        {"NLST\r\n", 5},
        {"QUIT\r\n", 6},
        {"PASV\r\n", 7},
        {"STAT\r\n", 8},
        {"PATH\r\n", 10},
        {"MODE\r\n", 11},
        {"SEXT\r\n", 13},
        {"CLEN\r\n", 15},
        {"DELE\r\n", 16},
        {"DBUG 3\r\n", 17},
        {"UPDT\r\n", 18},
        {"CNFG x\r\n", 19},
        {"PRBE\r\n", 20},
        {"PROT\r\n", 21},
        // Without a line end the last two letters are cut off: "NO" is unknown.
        {"NOOP", 6},
        // Case-sensitive, whole word.
        {"noop\r\n", 6},
        {"PRBEX\r\n", 6},
        {"PRB\r\n", 6},
        {"DBUG\r\n", 17},
        {"X", 6},
        {" PRBE\r\n", 6},
        {"PRBE \r\n", 20},
    };
    DncSession session;
    for (const Case& c : cases) EXPECT_EQ(c.code, session.getCommandCode(c.command)) << c.command;
    session.ShutdownThread();
}

TEST(CommandWords, ArgumentAfterTheFirstBlank) {
    struct Case {
        std::string command;
        std::string word;
        bool found;
        std::string argument;  // "<kept>" when unchanged
    };
    const Case cases[] = {
        {"DBUG 3\r\n", "DBUG", true, "3"},        {"DBUG \t 4 \r\n", "DBUG", true, "4"},
        {"DBUG\r\n", "DBUG", false, "<kept>"},    {"DBUG \r\n", "DBUG", true, ""},
        {"CNFG a b\r\n", "CNFG", true, "a b"},    {"CNFG x\r\n", "DBUG", false, "<kept>"},
        {"DBUGX 5\r\n", "DBUG", false, "<kept>"},
    };
    DncSession session;
    for (const Case& c : cases) {
        std::string argument = "<kept>";
        EXPECT_EQ(c.found, session.getCommandArgument(c.command, c.word, argument)) << c.command;
        EXPECT_EQ(c.argument, argument) << c.command;
    }
    session.ShutdownThread();
}

}  // namespace
