#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/activity_log.h"
#include "common/properties.h"
#include "common/text_format.h"
#include "platform/platform.h"
#include "test_support.h"

using testing_support::readFile;
using testing_support::ScopedSeams;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

struct Expected {
    std::string port;
    std::string portNote;
    std::string hostAddress;
    int logLevel;
    int fixedLogLevel;
    int receiveTimeout;
    int sendTimeout;
};

class PropertiesTest : public ::testing::Test {
protected:
    void TearDown() override { logLevel = 1; }

    // Runs init as the loader would: the command line, or the ini file of the
    // program folder when the line is empty.
    bool load(const std::string& commandLine, tMDCProperty& properties) {
        properties.programDir = dir.path();
        if (commandLine.empty()) return properties.init(dir.file("ini.txt"), false);
        return properties.init(commandLine, true);
    }

    void check(const tMDCProperty& p, const Expected& e, const std::string& what) {
        EXPECT_EQ(e.port, p.port) << what;
        EXPECT_EQ(e.portNote, p.portNote) << what;
        EXPECT_EQ(e.hostAddress, p.hostAddress) << what;
        EXPECT_EQ(e.logLevel, p.logLevel) << what;
        EXPECT_EQ(e.fixedLogLevel, p.fixedLogLevel) << what;
        EXPECT_EQ(e.receiveTimeout, p.receiveTimeout) << what;
        EXPECT_EQ(e.sendTimeout, p.sendTimeout) << what;
    }

    ScopedSeams seams;
    TempDir dir;
};

TEST_F(PropertiesTest, CommandLineOptions) {
    struct Case {
        const char* commandLine;
        Expected expected;
    };
    const Case cases[] = {
        {"-p 9000 -d 7", {"9000", "CI Port 9000", "", 5, 5, 5000, 5000}},
        {"-D 12", {"8194", "", "", 1, 1, 5000, 5000}},
        {"-I 192.168.0.7 -P 8300", {"8300", "CI Port 8300", "192.168.0.7", 1, 0, 5000, 5000}},
        {"-P 80a81", {"8081", "CI Port 8081", "", 1, 0, 5000, 5000}},
        {"-P -5", {"", "CI Port ", "", 1, 0, 5000, 5000}},
        {"-D x", {"8194", "", "", 0, 0, 5000, 5000}},
        {"-P 8194 -P 81", {"81", "CI Port 81", "", 1, 0, 5000, 5000}},
        {"-Q 5 -I 127.0.0.1", {"8194", "", "127.0.0.1", 1, 0, 5000, 5000}},
    };
    for (const Case& c : cases) {
        tMDCProperty properties;
        ASSERT_TRUE(load(c.commandLine, properties)) << c.commandLine;
        check(properties, c.expected, c.commandLine);
        EXPECT_EQ(dir.file("vxhid.log"), properties.logFile) << c.commandLine;
    }
    EXPECT_TRUE(ScopedSeams::sleeps().empty());
}

TEST_F(PropertiesTest, OptionValuesAreCutAt79Characters) {
    tMDCProperty properties;
    ASSERT_TRUE(load("-I " + std::string(300, '1'), properties));
    EXPECT_EQ(std::string(79, '1'), properties.hostAddress);
}

TEST_F(PropertiesTest, FixedLevelIgnoresLaterChanges) {
    tMDCProperty fixed;
    ASSERT_TRUE(load("-p 9000 -d 7", fixed));
    EXPECT_EQ(5, logLevel);
    fixed.setLogLevel("3");
    EXPECT_EQ(5, fixed.logLevel);
    EXPECT_EQ(5, logLevel);

    tMDCProperty free;
    ASSERT_TRUE(load("", free));
    for (auto [text, level] : {std::pair<const char*, int>{"3", 3},
                               {"", 0},
                               {"12 x", 12},
                               {"abc", 0},
                               {"99999999999", 2147483647}}) {
        free.setLogLevel(text);
        EXPECT_EQ(level, free.logLevel) << text;
        EXPECT_EQ(level, logLevel) << text;
    }
}

TEST_F(PropertiesTest, RestartAfterUpdateWaitsAndRemovesTheSavedProgram) {
    for (const char* commandLine : {"-X", "-X -P 8194 -I 10.0.0.5"}) {
        ScopedSeams::sleeps().clear();
        writeFile(dir.file("vxhid.obo"), "old agent");
        writeFile(dir.file("ini.txt"), "9999\r\nelsewhere\r\n");
        tMDCProperty properties;
        ASSERT_TRUE(load(commandLine, properties)) << commandLine;
        EXPECT_EQ(std::vector<unsigned>{6000}, ScopedSeams::sleeps()) << commandLine;
        EXPECT_FALSE(platform::fileExists(dir.file("vxhid.obo"))) << commandLine;
        EXPECT_EQ("8194", properties.port) << "ini.txt is not read: " << commandLine;
        EXPECT_EQ(dir.path(), properties.logDir) << commandLine;
    }
    tMDCProperty properties;
    ASSERT_TRUE(load("-X -P 8194 -I 10.0.0.5", properties));
    EXPECT_EQ("10.0.0.5", properties.hostAddress);
    // A missing saved program is no error.
    EXPECT_FALSE(platform::fileExists(dir.file("vxhid.obo")));
}

TEST_F(PropertiesTest, PropertiesFile) {
    TempDir logs;
    struct Case {
        std::string content;
        bool loads;
        Expected expected;
        std::string logDir;
    };
    const Case cases[] = {
        {"", true, {"8194", "", "", 1, 0, 5000, 5000}, dir.path()},  // no file at all
        {"8195\n" + logs.path() + "\n", true, {"8195", "", "", 1, 0, 5000, 5000}, logs.path()},
        {"8195\r\n" + logs.path() + "\r\n", true, {"8195", "", "", 1, 0, 5000, 5000}, logs.path()},
        {"8195\n" + logs.path(), true, {"8195", "", "", 1, 0, 5000, 5000}, logs.path()},
        {"8196\r\n" + logs.path() + "\r\n700\r\n900\r\nignored\r\n",
         true,
         {"8196", "", "", 1, 0, 700, 900},
         logs.path()},
        {"8197\n" + logs.path() + "\nsoon\n", true, {"8197", "", "", 1, 0, 0, 5000}, logs.path()},
        {"8195\n", false, {}, ""},
    };
    for (const Case& c : cases) {
        std::string ini = dir.file("ini.txt");
        platform::deleteFile(ini);
        if (!c.content.empty()) writeFile(ini, c.content);
        tMDCProperty properties;
        bool loaded = load("", properties);
        EXPECT_EQ(c.loads, loaded) << c.content;
        if (!loaded) continue;
        check(properties, c.expected, c.content);
        EXPECT_EQ(c.logDir, properties.logDir) << c.content;
        EXPECT_EQ(c.logDir + platform::pathSeparator + "vxhid.log", properties.logFile);
    }
}

TEST_F(PropertiesTest, LoaderTakesTheWorkingFolderAsProgramFolder) {
    tMDCProperty properties;
    ASSERT_TRUE(loadProperties("-P 8300", &properties));
    std::string expected = platform::fullPath("vxhid.exe");
    expected.resize(expected.size() - std::string("vxhid.exe").size() - 1);
    EXPECT_EQ(expected, properties.programDir);
    EXPECT_EQ(properties.programDir, properties.logDir);
    EXPECT_EQ("8300", properties.port);
}

}  // namespace

namespace {

// -A and the fifth line of the properties file. problem: "" for a good list.
struct PeersCase {
    std::string source;
    bool given;
    std::vector<std::string> addresses;
    std::string problem;
};

void checkPeers(const tMDCProperty& properties, const PeersCase& c) {
    const AllowedPeers& peers = properties.allowedPeers;
    EXPECT_EQ(c.given, peers.given()) << c.source;
    EXPECT_EQ(c.addresses, peers.addresses()) << c.source;
    EXPECT_EQ(c.problem, peers.problem()) << c.source;
}

TEST_F(PropertiesTest, AllowedPeersOption) {
    const std::string notAddress = "Allowed peers list entry \"%s\" is not an IPv4 address";
    const PeersCase cases[] = {
        {"-P 8300", false, {}, ""},
        {"-A 127.0.0.2", true, {"127.0.0.2"}, ""},
        {"-a 127.0.0.2,10.0.0.1", true, {"127.0.0.2", "10.0.0.1"}, ""},
        {"-P 9000 -A127.0.0.2", true, {"127.0.0.2"}, ""},
        {"-A 127.0.0.2 -A 10.0.0.1", true, {"10.0.0.1"}, ""},
        {"-A", true, {}, "Allowed peers list is empty"},
        {"-A   ", true, {}, "Allowed peers list is empty"},
        {"-A -P 9000", true, {}, "Allowed peers list is empty"},
        {"-A 127.0.0.2, 10.0.0.1", true, {}, formatText(notAddress.c_str(), "")},
        {"-A localhost", true, {}, formatText(notAddress.c_str(), "LOCALHOST")},
        {"-A 127.0.0.2-P9", true, {}, formatText(notAddress.c_str(), "127.0.0.2-P9")},
        {"-A " + std::string(300, '1'),
         true,
         {},
         "Allowed peers list is longer than 255 characters, at entry \"" + std::string(40, '1') +
             "...\""},
    };
    for (const PeersCase& c : cases) {
        tMDCProperty properties;
        ASSERT_TRUE(load(c.source, properties)) << c.source;
        checkPeers(properties, c);
    }

    // -A is an option only as a word of its own: at the start or after a
    // blank. Inside a word it is read as before the list existed (a "-"
    // followed by a letter that is no option).
    const PeersCase positions[] = {
        {"-P 9000\t-A 127.0.0.2", true, {"127.0.0.2"}, ""},
        {"-P 9000  -a 127.0.0.2", true, {"127.0.0.2"}, ""},
        {"-P 9000-A 127.0.0.2", false, {}, ""},
        {"C:\\vx-agent\\ini.txt", false, {}, ""},
        {"C:\\vx-agent\\ini.txt -A 127.0.0.2", true, {"127.0.0.2"}, ""},
        {"/opt/x-a/ini.txt", false, {}, ""},
    };
    for (const PeersCase& c : positions) {
        tMDCProperty properties;
        ASSERT_TRUE(load(c.source, properties)) << c.source;
        checkPeers(properties, c);
    }

    // The list's digits and dots are no value of the other options around it.
    tMDCProperty properties;
    ASSERT_TRUE(load("-I 127.0.0.1 -A 127.0.0.2,127.0.0.3 -P 9000 -D 3", properties));
    check(properties, {"9000", "CI Port 9000", "127.0.0.1", 3, 3, 5000, 5000}, "with -A");
    EXPECT_EQ((std::vector<std::string>{"127.0.0.2", "127.0.0.3"}),
              properties.allowedPeers.addresses());
}

// The restart after an update drops the first three characters of the
// command line; an -A there stays in force rather than be cut off.
TEST_F(PropertiesTest, RestartAfterUpdateKeepsAnAllowedPeersListItWouldCutOff) {
    const PeersCase cases[] = {
        {"-A 127.0.0.2 -X -P 8194", true, {"127.0.0.2"}, ""},
        {"-A127.0.0.2,10.0.0.1 -X", true, {"127.0.0.2", "10.0.0.1"}, ""},
        {"  -A 127.0.0.2 -X", true, {"127.0.0.2"}, ""},
        {"-X -P 8194 -I 10.0.0.5 -A 127.0.0.2", true, {"127.0.0.2"}, ""},
        {"-A 127.0.0.2 -X -A 10.0.0.1", true, {"10.0.0.1"}, ""},
        {"-A -X", true, {}, "Allowed peers list is empty"},
        {"-X -P 8194", false, {}, ""},
    };
    for (const PeersCase& c : cases) {
        tMDCProperty properties;
        ASSERT_TRUE(load(c.source, properties)) << c.source;
        checkPeers(properties, c);
    }
}

// A command line that names a properties file reads that file; a "-a" inside
// its path is no -A.
TEST_F(PropertiesTest, PropertiesFileWhosePathHoldsDashA) {
    // The command line is upper-cased before it is taken as a path, so the
    // file is named in capitals and found relative to the working folder.
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    writeFile(dir.file("VX-AGENT.TXT"), "8196\r\n" + dir.path() + "\r\n");
    tMDCProperty properties;
    bool loaded = load("vx-agent.txt", properties);
    std::filesystem::current_path(previous);
    ASSERT_TRUE(loaded);
    EXPECT_EQ("8196", properties.port);
    EXPECT_FALSE(properties.allowedPeers.given());
}

TEST_F(PropertiesTest, AllowedPeersFifthLine) {
    const std::string head = "8195\r\n" + dir.path() + "\r\n700\r\n900\r\n";
    const PeersCase cases[] = {
        {head, false, {}, ""},
        {head + "127.0.0.2\r\n", true, {"127.0.0.2"}, ""},
        {head + "127.0.0.2,10.0.0.1", true, {"127.0.0.2", "10.0.0.1"}, ""},
        {head + "127.0.0.2\r\nignored\r\n", true, {"127.0.0.2"}, ""},
        // A blank line at the end of a file of today is no list, nor a note
        // that older versions ignored.
        {head + "\r\n", false, {}, ""},
        {head + "localhost\r\n", false, {}, ""},
        {head + "CNC service at 10.0.0.1\r\n", false, {}, ""},
        {head + "-Allowed: 10.0.0.1\r\n", false, {}, ""},
        // -A and the list after it, with the option's rules.
        {head + "-A 127.0.0.2,10.0.0.1\r\n", true, {"127.0.0.2", "10.0.0.1"}, ""},
        {head + " -a\t127.0.0.2 \r\n", true, {"127.0.0.2"}, ""},
        {head + "-A127.0.0.2\r\n", true, {"127.0.0.2"}, ""},
        {head + "-A\r\n", true, {}, "Allowed peers list is empty"},
        {head + "-A localhost\r\n",
         true,
         {},
         "Allowed peers list entry \"localhost\" is not an IPv4 address"},
        {head + "-A 127.0.0.2 note\r\n",
         true,
         {},
         "Allowed peers list entry \"127.0.0.2 note\" is not an IPv4 address"},
        // A bare list that is malformed still stops the start.
        {head + "127.0.0.2,,10.0.0.1\r\n",
         true,
         {},
         "Allowed peers list entry \"\" is not an IPv4 address"},
        // Blanks and tabs around the list and a CR LF or LF line end do
        // not count; blanks inside it do.
        {head + " 127.0.0.2\r\n", true, {"127.0.0.2"}, ""},
        {head + "\t127.0.0.2,10.0.0.1 \t\r\n", true, {"127.0.0.2", "10.0.0.1"}, ""},
        {head + "127.0.0.2 \n", true, {"127.0.0.2"}, ""},
        {head + "   \r\n", false, {}, ""},
        {head + " \t \n127.0.0.2\r\n", false, {}, ""},
        {head + "127.0.0.2, 10.0.0.1\r\n",
         true,
         {},
         "Allowed peers list entry \" 10.0.0.1\" is not an IPv4 address"},
        {head + std::string(256, '1') + "\r\n",
         true,
         {},
         "Allowed peers list is longer than 255 characters, at entry \"" + std::string(40, '1') +
             "...\""},
        // The fifth line is read only after the third and the fourth.
        {"8195\r\n" + dir.path() + "\r\n700\r\n", false, {}, ""},
    };
    for (const PeersCase& c : cases) {
        writeFile(dir.file("ini.txt"), c.source);
        tMDCProperty properties;
        ASSERT_TRUE(load("", properties)) << c.source;
        checkPeers(properties, c);
    }
}

// -L is taken out of the command line before anything else reads it, as a
// word of its own like -A; US is its only value, in any case.
TEST(KeyboardOption, TakenOutOfTheCommandLine) {
    const std::string unknown = "Keyboard translation -L %s is not known (only -L US is)";
    const struct {
        std::string line;
        std::string left;
        bool us;
        std::string problem;
    } cases[] = {
        {"-P 9000", "-P 9000", false, ""},
        {"-L US", "", true, ""},
        {"-l us -P 9000", " -P 9000", true, ""},
        {"-P 9000 -LUS", "-P 9000 ", true, ""},
        {"-P 9000\t-L  Us -D 3", "-P 9000\t -D 3", true, ""},
        {"-L FR -P 9000", " -P 9000", false, formatText(unknown.c_str(), "FR")},
        {"-L US -L de", " ", false, formatText(unknown.c_str(), "DE")},
        {"-L", "", false, "Keyboard translation -L has no value (only -L US is known)"},
        {"-L -P 9000", "-P 9000", false,
         "Keyboard translation -L has no value (only -L US is known)"},
        {"-L " + std::string(50, 'X'), "", false,
         formatText(unknown.c_str(), (std::string(40, 'X') + "...").c_str())},
        // Inside a word it is no option: a properties file's path stays whole.
        {"C:\\vx-lager\\ini.txt", "C:\\vx-lager\\ini.txt", false, ""},
        {"C:\\vx-lager\\ini.txt -L US", "C:\\vx-lager\\ini.txt ", true, ""},
        {"-P 9000-L US", "-P 9000-L US", false, ""},
    };
    for (const auto& c : cases) {
        std::string line = c.line;
        const KeyboardOption option = takeKeyboardOption(line);
        EXPECT_EQ(c.left, line) << c.line;
        EXPECT_EQ(c.us, option.usTranslation) << c.line;
        EXPECT_EQ(c.problem, option.problem) << c.line;
    }
}

// A command line of -L US alone still reads "ini.txt"; with other options
// it is a command line like any other.
TEST_F(PropertiesTest, KeyboardOptionAloneKeepsThePropertiesFile) {
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    writeFile(dir.file("ini.txt"), "8197\r\n" + dir.path() + "\r\n");
    tMDCProperty alone, withPort, plain;
    const bool loaded = loadProperties("-L US", &alone) &&
                        loadProperties("-L US -P 8300", &withPort) && loadProperties("", &plain);
    std::filesystem::current_path(previous);
    ASSERT_TRUE(loaded);
    EXPECT_EQ("8197", alone.port);
    EXPECT_TRUE(alone.usKeyTranslation);
    EXPECT_EQ("8300", withPort.port);
    EXPECT_TRUE(withPort.usKeyTranslation);
    EXPECT_EQ("8197", plain.port);
    EXPECT_FALSE(plain.usKeyTranslation);
    EXPECT_EQ("", plain.keyboardProblem);
}

}  // namespace
