// The program folder option -F: taken out of the command line before the
// other options are read, expanded, created and made the working folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/activity_log.h"
#include "common/program_folder.h"
#include "common/properties.h"
#include "platform/platform.h"
#include "test_support.h"

using testing_support::readFile;
using testing_support::ScopedSeams;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

void setVariable(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

TEST(ProgramFolderOption, IsTakenOutOfTheCommandLine) {
    struct Case {
        std::string commandLine;
        bool given;
        std::string folder;
        std::string rest;
    };
    const Case cases[] = {
        {"-F C:\\Vexmoor", true, "C:\\Vexmoor", ""},
        {"-f \"C:\\Users\\Jean Pierre\\AppData\\Local\\Vexmoor\\vxhid\"", true,
         "C:\\Users\\Jean Pierre\\AppData\\Local\\Vexmoor\\vxhid", ""},
        {"-F \"%LOCALAPPDATA%\\Vexmoor\\vxhid\" -I 10.0.0.5 -P 9000", true,
         "%LOCALAPPDATA%\\Vexmoor\\vxhid", "-I 10.0.0.5 -P 9000"},
        {"-P 9000 -F C:\\Users\\JEAN-PIERRE\t-D 3 ", true, "C:\\Users\\JEAN-PIERRE",
         "-P 9000 \t-D 3"},
        {"-F\"C:\\x y\"-A 127.0.0.2", true, "C:\\x y", "-A 127.0.0.2"},
        {"-F \"C:\\unclosed -P 9", true, "C:\\unclosed -P 9", ""},
        {"-F C:\\a -F C:\\b", true, "C:\\b", ""},
        {"-F", true, "", ""},
        {"-F \"\" -P 9000", true, "", "-P 9000"},
        // Not the option: inside a word, or a letter follows; the line stays
        // exactly as it was.
        {"-P 9000 ", false, "", "-P 9000 "},
        {"C:\\vx-folder\\ini.txt", false, "", "C:\\vx-folder\\ini.txt"},
        {"-Fx -P 9000", false, "", "-Fx -P 9000"},
        {"", false, "", ""},
    };
    for (const Case& c : cases) {
        std::string line = c.commandLine;
        std::string folder;
        EXPECT_EQ(c.given, takeProgramFolderOption(line, folder)) << c.commandLine;
        EXPECT_EQ(c.folder, folder) << c.commandLine;
        EXPECT_EQ(c.rest, line) << c.commandLine;
    }
}

// Loading with -F: the folder becomes the working folder and the program
// folder, made when missing; alone, the option reads "ini.txt" there.
class ProgramFolderLoadTest : public ::testing::Test {
protected:
    void TearDown() override {
        std::filesystem::current_path(saved);
        logLevel = 1;
    }
    std::string under(const std::string& relative) const {
        return dir.path() + platform::pathSeparator + relative;
    }
    std::filesystem::path saved = std::filesystem::current_path();
    ScopedSeams seams;
    TempDir dir;
};

TEST_F(ProgramFolderLoadTest, FolderIsMadeEnteredAndHoldsIniTxt) {
    // A user's folder with a hyphen and a blank: no letter of it is an
    // option, and the agent's own folder is the one given.
    const std::string folder =
        under("Users" + std::string(platform::pathSeparator) + "JEAN-PIERRE X1");
    tMDCProperty fresh;
    ASSERT_TRUE(loadProperties("-F \"" + folder + "\"", &fresh));
    EXPECT_EQ(folder, fresh.programDir);
    EXPECT_EQ(folder, fresh.logDir);
    EXPECT_EQ("8194", fresh.port);
    EXPECT_EQ("", fresh.portNote);
    EXPECT_EQ(std::filesystem::path(folder), std::filesystem::current_path());

    writeFile(folder + platform::pathSeparator + "ini.txt", "8199\r\n" + dir.path() + "\r\n");
    tMDCProperty withIni;
    ASSERT_TRUE(loadProperties("  -f \"" + folder + "\"  ", &withIni));
    EXPECT_EQ("8199", withIni.port);
    EXPECT_EQ(dir.path(), withIni.logDir);

    // With other options ini.txt is not read, as without -F.
    tMDCProperty withOptions;
    ASSERT_TRUE(loadProperties("-P 9000 -F \"" + folder + "\" -D 2", &withOptions));
    EXPECT_EQ("9000", withOptions.port);
    EXPECT_EQ(2, withOptions.fixedLogLevel);
    EXPECT_EQ(folder, withOptions.logDir);
}

TEST_F(ProgramFolderLoadTest, EnvironmentVariablesAreExpanded) {
    setVariable("VXHID_TEST_PROFILE", dir.path());
    tMDCProperty properties;
    ASSERT_TRUE(loadProperties(
        "-F %VXHID_TEST_PROFILE%" + std::string(platform::pathSeparator) + "vxhid", &properties));
    EXPECT_EQ(under("vxhid"), properties.programDir);
    EXPECT_TRUE(std::filesystem::is_directory(under("vxhid")));
    // A name that is not set stays as written.
    EXPECT_EQ("%VXHID_NOT_SET_AT_ALL%x", platform::expandEnvironment("%VXHID_NOT_SET_AT_ALL%x"));
}

// A folder that cannot be used ends the start, with its reason in a log
// already there in the folder the agent was started in. Neither a variable
// that is not set nor a relative path may leave a folder there.
TEST_F(ProgramFolderLoadTest, AFolderThatCannotBeUsedEndsTheStart) {
    writeFile(under("plain-file"), "not a folder");
    writeFile(under("vxhid.log"), "");
    std::filesystem::current_path(dir.path());
    const std::string sep = platform::pathSeparator;
    const struct {
        std::string commandLine;
        std::string reason;
    } cases[] = {
        {"-F", "Program folder is empty"},
        {"-F \"\" -P 9000", "Program folder is empty"},
        {"-F " + under("plain-file") + sep + "vxhid",
         "Unable to use the program folder \"" + under("plain-file") + sep + "vxhid\""},
        {"-F " + under(std::string(kMaxProgramFolderLength, 'x')),
         "Program folder is longer than 200 characters"},
        {"-F %VXHID_NOT_SET_AT_ALL%" + sep + "vxhid",
         "Program folder \"%VXHID_NOT_SET_AT_ALL%" + sep +
             "vxhid\" names a variable that is not set"},
        {"-F Vexmoor" + sep + "vxhid",
         "Program folder \"Vexmoor" + sep + "vxhid\" is not a full path"},
    };
    for (const auto& c : cases) {
        tMDCProperty properties;
        EXPECT_FALSE(loadProperties(c.commandLine, &properties)) << c.commandLine;
        EXPECT_EQ(std::filesystem::path(dir.path()), std::filesystem::current_path())
            << c.commandLine;
        EXPECT_NE(std::string::npos, readFile(under("vxhid.log")).find(c.reason + "\r\n"))
            << c.commandLine;
    }
    EXPECT_FALSE(std::filesystem::exists(under("%VXHID_NOT_SET_AT_ALL%")));
    EXPECT_FALSE(std::filesystem::exists(under("Vexmoor")));
}

}  // namespace
