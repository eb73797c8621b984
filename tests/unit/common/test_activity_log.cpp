#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "common/activity_log.h"
#include "common/properties.h"
#include "test_support.h"

using testing_support::LogCapture;
using testing_support::ProcessExit;
using testing_support::readFile;
using testing_support::ScopedSeams;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

long long fakeNow = 1700000000;  // a fixed second; tests move it by hand
long long fakeClock() { return fakeNow; }

class ActivityLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakeNow = 1700000000;
        activity_log_testing::setClock(fakeClock);
    }
    ScopedSeams seams;
    LogCapture log{2};
};

TEST_F(ActivityLogTest, LineFormatDependsOnTheCurrentLevel) {
    struct Case {
        int current;
        int messageLevel;
        const char* pattern;  // empty: nothing written
    };
    const Case cases[] = {
        {2, 2, "^[A-Z][a-z]{2}, [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}  Begin new Session\r\n$"},
        {3, 2,
         "^[A-Z][a-z]{2}, [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}  TesselMDC::_tWinMain Begin new "
         "Session\r\n$"},
        {2, 3, ""},
        {0, 1, ""},
    };
    for (const Case& c : cases) {
        activity_log_testing::reset();
        activity_log_testing::setClock(fakeClock);
        openLogFile(&log.properties());
        logLevel = c.current;
        writeLog("TesselMDC::_tWinMain", "Begin new Session", c.messageLevel);
        std::string text = log.contents();
        if (c.pattern[0] == '\0') {
            EXPECT_EQ("", text) << "level " << c.current << " message " << c.messageLevel;
        } else {
            EXPECT_TRUE(std::regex_match(text, std::regex(c.pattern))) << text;
        }
    }
}

TEST_F(ActivityLogTest, MessageEndingInLineFeedKeepsItBeforeTheLineEnd) {
    writeLog("vSecureSocket::doAccept", "Unable Set Keep Alive: Socket Error 5\n", 1);
    std::string text = log.contents();
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ("\n\r\n", text.substr(text.size() - 3));
}

TEST_F(ActivityLogTest, LoopGuardAbortsOnThe102ndLineInTheReferenceSecond) {
    for (int i = 1; i <= 101; ++i) writeLog("T::t", "line " + std::to_string(i), 1);
    EXPECT_TRUE(log.contains("line 101\r\n"));
    EXPECT_THROW(writeLog("T::t", "line 102", 1), ProcessExit);
    std::string text = log.contents();
    EXPECT_EQ(std::string::npos, text.find("line 102"));
    const std::string abort = "TesselDnc seems to be in a loop - Abort\r\n";
    ASSERT_GE(text.size(), abort.size());
    EXPECT_EQ(abort, text.substr(text.size() - abort.size()));
    EXPECT_EQ(std::vector<int>{0}, ScopedSeams::exits());
}

TEST_F(ActivityLogTest, LoopGuardCountsOnlyConsecutiveLinesAndIgnoresFilteredOnes) {
    for (int i = 0; i < 100; ++i) writeLog("T::t", "a", 2);
    // Filtered lines neither count nor reset.
    for (int i = 0; i < 50; ++i) writeLog("T::t", "detail", 3);
    writeLog("T::t", "101st", 2);
    // A line in another second resets the run.
    fakeNow += 1;
    writeLog("T::t", "other second", 2);
    // The guard compares the second of the minute only: a minute later is
    // the reference second again.
    fakeNow += 59;
    for (int i = 0; i < 101; ++i) writeLog("T::t", "b", 2);
    EXPECT_TRUE(log.contains("other second"));
    EXPECT_FALSE(log.contains("in a loop"));
    EXPECT_THROW(writeLog("T::t", "one too many", 2), ProcessExit);
}

TEST(ActivityLogRotation, StartOfRunKeepsOneSavedGeneration) {
    TempDir dir;
    tMDCProperty properties;
    properties.programDir = dir.path();
    properties.init("", false);
    writeFile(dir.file("vxhid.log"), "first run\r\n");
    writeFile(dir.file("vxhidLog.sav"), "older run\r\n");

    activity_log_testing::reset();
    openLogFile(&properties);
    writeLog("T::t", "second run", 1);
    EXPECT_EQ("first run\r\n", readFile(dir.file("vxhidLog.sav")));
    EXPECT_NE(std::string::npos, readFile(dir.file("vxhid.log")).find("second run"));

    activity_log_testing::reset();
    openLogFile(&properties);
    EXPECT_NE(std::string::npos, readFile(dir.file("vxhidLog.sav")).find("second run"));
    EXPECT_EQ("", readFile(dir.file("vxhid.log")));
    activity_log_testing::reset();
}

TEST(ActivityLogRotation, MissingPreviousLogStillGivesAFreshLog) {
    TempDir dir;
    tMDCProperty properties;
    properties.programDir = dir.path();
    properties.init("", false);
    activity_log_testing::reset();
    openLogFile(&properties);
    writeLog("T::t", "hello", 1);
    EXPECT_NE(std::string::npos, readFile(dir.file("vxhid.log")).find("hello"));
    activity_log_testing::reset();
}

TEST_F(ActivityLogTest, SizeRotationHappensAbove120000Bytes) {
    const std::string version = "Vexmoor Tessel HID (vxhid.exe) version 11.1.0.8  ";
    for (size_t size : {size_t{120000}, size_t{120001}}) {
        activity_log_testing::reset();
        activity_log_testing::setClock(fakeClock);
        openLogFile(&log.properties());
        // The open log grows to the given size, as a long-running agent's does.
        writeFile(log.properties().logFile, std::string(size, 'x'));
        doLogFileSize(&log.properties(), version);
        std::string current = log.contents();
        if (size > 120000) {
            EXPECT_EQ(size, readFile(log.dir().file("vxhidLog.sav")).size());
            EXPECT_NE(std::string::npos, current.find("  " + version + "\r\n"));
            EXPECT_LT(current.size(), 200u);
        } else {
            EXPECT_EQ(size, current.size());
        }
    }
}

TEST_F(ActivityLogTest, DirectWriteAppendsToAnExistingFileOnly) {
    TempDir dir;
    std::string path = dir.file("vxhid.log");
    writeFile(path, "previous run\r\n");
    writeLogDirect(path, "The Network was not availble, retry every 60 Seconds");
    std::string text = readFile(path);
    EXPECT_EQ(0u, text.find("previous run\r\n"));
    EXPECT_NE(std::string::npos, text.find("  The Network was not availble"));

    std::string missing = dir.file("absent.log");
    writeLogDirect(missing, "lost");
    EXPECT_EQ("", readFile(missing));
    // The open log is untouched by either call.
    writeLog("T::t", "still open", 1);
    EXPECT_TRUE(log.contains("still open"));
}

TEST_F(ActivityLogTest, LostDirectLineStillCountsForTheLoopGuard) {
    TempDir dir;
    writeLogDirect(dir.file("absent.log"), "lost");
    for (int i = 2; i <= 101; ++i) writeLog("T::t", "line " + std::to_string(i), 1);
    EXPECT_TRUE(log.contains("line 101\r\n"));
    EXPECT_THROW(writeLog("T::t", "line 102", 1), ProcessExit);
    EXPECT_FALSE(log.contains("line 102"));
}

// Lines a peer causes never reach the loop guard, however many fall into
// its second; at most 100 of them are written a second, and the rest are
// counted in one line before the next peer line of a later second, or by
// flushCount. The agent's own lines keep the guard.
TEST_F(ActivityLogTest, PeerLinesNeverReachTheLoopGuardAndAreLimitedPerSecond) {
    auto count = [this](const std::string& part) {
        std::string text = log.contents();
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++n;
        }
        return n;
    };
    const std::string summary =
        "TesselDNC::writeLog 900 lines caused by peer connections were not logged: more than "
        "100 in a second";
    logLevel = 3;
    writeLog("T::t", "own line", 1);  // the guard's reference second
    {
        peer_lines::Scope peer(peer_lines::kSessions);
        for (int i = 0; i < 1000; ++i) writeLog("S::s", "peer line", 3);
        EXPECT_EQ(100u, count("peer line"));
        EXPECT_TRUE(peer_lines::countPending());
        // The version line of a rotation is written all the same.
        writeFile(log.properties().logFile, std::string(120001, 'x'));
        doLogFileSize(&log.properties(), "version line");
        EXPECT_EQ(1u, count("version line"));

        fakeNow += 1;
        writeLog("S::s", "next second", 1);
    }
    EXPECT_EQ(1u, count(summary));
    EXPECT_LT(log.contents().find(summary), log.contents().find("next second"));
    EXPECT_FALSE(peer_lines::countPending());

    // Counted lines are written by flushCount only once their second is over.
    {
        peer_lines::Scope peer(peer_lines::kSessions);
        for (int i = 0; i < 199; ++i) writeLog("S::s", "again", 1);
    }
    peer_lines::flushCount();
    EXPECT_EQ(1u, count("were not logged"));
    fakeNow += 1;
    peer_lines::flushCount();
    EXPECT_EQ(1u, count("TesselDNC::writeLog 100 lines caused by peer connections"));

    // The agent's own lines still end it in the guard's second, a minute on.
    fakeNow += 58;
    for (int i = 0; i < 101; ++i) writeLog("T::t", "own", 1);
    EXPECT_FALSE(log.contains("in a loop"));
    EXPECT_THROW(writeLog("T::t", "one too many", 1), ProcessExit);
}

}  // namespace
