#include "scans/probe.h"

#include <gtest/gtest.h>

#include <memory>

#include "scans/scan_buffer.h"
#include "scans/tessel_hid.h"
#include "scans_test_support.h"
#include "test_support.h"

namespace {

using scans_test::takeAllScans;
using Scans = std::vector<std::string>;

class ProbeTest : public ::testing::Test {
protected:
    ProbeTest() { scan_buffer_testing::clearScanBuffer(); }
    ~ProbeTest() override { scan_buffer_testing::clearScanBuffer(); }

    static std::string probe() {
        std::string answer;
        EXPECT_TRUE(probeScans(answer));
        return answer;
    }
    static void queue(const Scans& scans) {
        for (const std::string& scan : scans) appendScan(scan);
    }

    testing_support::LogCapture log{3};
};

TEST_F(ProbeTest, NothingQueuedGivesAnEmptyAnswerAndNoLogLine) {
    std::string answer = "left from before";
    EXPECT_TRUE(probeScans(answer));
    EXPECT_EQ("", answer);
    EXPECT_FALSE(log.contains("TesselHID::doProbe"));
}

TEST_F(ProbeTest, ScansComeOldestFirstEachWithALineFeed) {
    queue({"4006381333931", "", "AB-12"});
    const std::string expected = "4006381333931\n\nAB-12\n";
    EXPECT_EQ(expected, probe());
    EXPECT_TRUE(log.contains("TesselHID::doProbe " + expected));
    EXPECT_EQ("", probe());
}

TEST_F(ProbeTest, AnEmptyScanIsALoneLineFeed) {
    queue({""});
    EXPECT_EQ("\n", probe());
}

TEST_F(ProbeTest, AScanLongerThan255CharactersIsDeliveredWhole) {
    const std::string scan(300, 'q');
    queue({scan, "next"});
    EXPECT_EQ(scan + "\n" + "next\n", probe());
}

TEST_F(ProbeTest, AnswerStaysWithinOneMessageAndTheRestWaitsInOrder) {
    struct Case {
        std::vector<std::size_t> lengths;
        std::vector<std::size_t> scansPerProbe;
    };
    const Case cases[] = {
        {{2047}, {1}},              // exactly 2048 bytes
        {{1023, 1023}, {2}},        // two that fill the message exactly
        {{1023, 1024}, {1, 1}},     // one byte too many for the second
        {{1023, 1024, 1}, {1, 2}},  // a small later scan does not jump the queue
        {{0, 2046, 0}, {2, 1}},     // empty scans count their line feed
        {{500, 500, 500, 500, 500}, {4, 1}},
    };
    char letter = 'a';
    for (const Case& c : cases) {
        Scans scans;
        for (std::size_t length : c.lengths) scans.push_back(std::string(length, letter++));
        queue(scans);
        std::size_t next = 0;
        for (std::size_t count : c.scansPerProbe) {
            std::string expected;
            for (std::size_t i = 0; i < count; ++i) expected += scans[next++] + "\n";
            std::string answer = probe();
            EXPECT_LE(answer.size(), kMaxProbeAnswer);
            EXPECT_EQ(expected, answer) << "case starting with " << c.lengths[0];
        }
        EXPECT_EQ("", probe());
    }
}

TEST_F(ProbeTest, AScanThatCanNeverFitIsCutWithALogLine) {
    const std::string scan(3000, 'z');
    queue({"before", scan, "after"});
    EXPECT_EQ("before\n", probe());
    EXPECT_FALSE(log.contains("cut"));
    EXPECT_EQ(std::string(2047, 'z') + "\n", probe());
    EXPECT_TRUE(log.contains("TesselHID::doProbe Scan of 3000 characters cut to 2047"));
    EXPECT_EQ("after\n", probe());
}

TEST_F(ProbeTest, CutLineIsWrittenAtLevelOne) {
    testing_support::LogCapture quiet(1);
    queue({std::string(2048, 'z')});
    EXPECT_EQ(std::string(2047, 'z') + "\n", probe());
    EXPECT_TRUE(quiet.contains("Scan of 2048 characters cut to 2047"));
    // The answer itself is a level-2 line.
    EXPECT_EQ(std::string::npos, quiet.contents().find("zzzz"));
}

TEST_F(ProbeTest, SessionClassAnswersTheProbe) {
    std::unique_ptr<DncSession> session = std::make_unique<TesselHID>();
    EXPECT_TRUE(session->doProt());
    queue({"one", "two"});
    std::string answer;
    EXPECT_TRUE(session->doProbe(answer));
    EXPECT_EQ("one\ntwo\n", answer);

    // The base session offers no scans and leaves the answer alone.
    DncSession base;
    queue({"three"});
    answer = "unchanged";
    EXPECT_FALSE(base.doProt());
    EXPECT_TRUE(base.doProbe(answer));
    EXPECT_EQ("unchanged", answer);
    EXPECT_EQ(Scans{"three"}, takeAllScans());

    session->ShutdownThread();
    base.ShutdownThread();
}

}  // namespace
