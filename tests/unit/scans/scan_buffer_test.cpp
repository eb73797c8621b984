#include "scans/scan_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "scans/probe.h"
#include "scans_test_support.h"

namespace {

class ScanBufferTest : public ::testing::Test {
protected:
    ScanBufferTest() {
        initializeScanBufferLock();
        scan_buffer_testing::clearScanBuffer();
    }
    ~ScanBufferTest() override { scan_buffer_testing::clearScanBuffer(); }
};

TEST_F(ScanBufferTest, TakesOnlyAScanThatFits) {
    std::string scan = "untouched";
    EXPECT_FALSE(isScanAvailable());
    EXPECT_EQ(ScanTake::none, takeScan(scan, 100));
    appendScan("12345");
    EXPECT_TRUE(isScanAvailable());
    EXPECT_EQ(ScanTake::tooLong, takeScan(scan, 4));
    EXPECT_EQ("untouched", scan);
    EXPECT_EQ(ScanTake::taken, takeScan(scan, 5));
    EXPECT_EQ("12345", scan);
    EXPECT_FALSE(isScanAvailable());
}

// Producers append numbered scans while one consumer drains the buffer
// through the probe: every scan arrives once, whole, and each producer's scans
// in the order they were appended.
TEST_F(ScanBufferTest, ConcurrentAppendAndProbeLoseNothing) {
    constexpr int kProducers = 2;
    constexpr int kScansEach = 3000;
    std::atomic<int> producersDone{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([p, &producersDone] {
            for (int i = 0; i < kScansEach; ++i) {
                // Lengths vary so answers often end at the size limit.
                appendScan(std::to_string(p) + ":" + std::to_string(i) + ":" +
                           std::string(static_cast<std::size_t>(i % 97) * 3, '.'));
            }
            ++producersDone;
        });
    }
    std::vector<std::string> answers;
    for (;;) {
        // Once every scan was appended before a probe, an empty answer means
        // the buffer is drained.
        const bool allAppended = producersDone == kProducers;
        std::string answer;
        probeScans(answer);
        if (allAppended && answer.empty()) break;
        if (answer.empty()) {
            std::this_thread::yield();  // let the producers run on a busy machine
        } else {
            answers.push_back(answer);
        }
    }
    for (std::thread& producer : producers) producer.join();

    std::vector<int> next(kProducers, 0);
    for (const std::string& answer : answers) {
        ASSERT_LE(answer.size(), kMaxProbeAnswer);
        std::size_t start = 0;
        for (std::size_t end; (end = answer.find('\n', start)) != std::string::npos;
             start = end + 1) {
            const std::string scan = answer.substr(start, end - start);
            const std::size_t colon = scan.find(':');
            const int producer = std::stoi(scan.substr(0, colon));
            const int number = std::stoi(scan.substr(colon + 1));
            ASSERT_EQ(next[producer], number) << "producer " << producer;
            ASSERT_EQ(scan.size() - scan.find(':', colon + 1) - 1,
                      static_cast<std::size_t>(number % 97) * 3);
            ++next[producer];
        }
        ASSERT_EQ(answer.size(), start);
    }
    EXPECT_EQ(std::vector<int>(kProducers, kScansEach), next);
    EXPECT_FALSE(isScanAvailable());
}

}  // namespace
