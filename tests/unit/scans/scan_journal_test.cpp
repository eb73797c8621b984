// The scan journal: its record format and reader (every torn and corrupt
// case a power cut or a bad disk can leave), and the journal at work: written
// by its own thread after a commit, delivered marks, recovery ahead of new scans,
// compaction, an unwritable journal, and the flush before an exit.
#include "scans/scan_journal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "scans/scan_buffer.h"
#include "scans/scan_journal_format.h"
#include "scans_test_support.h"
#include "test_support.h"

namespace {

using scan_journal::appendDeliveredRecord;
using scan_journal::appendScanRecord;
using scan_journal::JournalReading;
using scan_journal::readJournal;
using scans_test::takeAllScans;
using testing_support::LogCapture;
using testing_support::readFile;
using testing_support::writeFile;
using Scans = std::vector<std::string>;

JournalReading read(const std::string& bytes) {
    return readJournal(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

Scans texts(const JournalReading& reading) {
    Scans result;
    for (const auto& scan : reading.undelivered) result.push_back(scan.text);
    return result;
}

std::string records(const Scans& scans, std::uint64_t first = 1) {
    std::string out;
    for (const std::string& scan : scans) appendScanRecord(out, first++, scan);
    return out;
}

TEST(ScanJournalFormat, CrcIsTheIeeeOne) {
    const std::string check = "123456789";
    EXPECT_EQ(0xCBF43926u,
              scan_journal::crc32(reinterpret_cast<const unsigned char*>(check.data()), 9));
}

// What a reader makes of every kind of damage: the good records before and
// after it are kept, the damage is counted, nothing stops the reading.
TEST(ScanJournalFormat, RecoveryTable) {
    const std::string ab = records({"A1", "B2"});
    std::string c;
    appendScanRecord(c, 3, "C3");
    std::string deliveredThroughOne;
    appendDeliveredRecord(deliveredThroughOne, 1);
    std::string badCheck = c;
    badCheck[10] ^= 0x01;  // a check byte
    std::string badPayload = c;
    badPayload.back() ^= 0x20;
    std::string hugeLength = c;
    hugeLength[7] = 0x7F;  // a length far past the limit

    const struct {
        const char* name;
        std::string bytes;
        Scans undelivered;
        int damaged;
    } cases[] = {
        {"empty", "", {}, 0},
        {"whole records", ab + c, {"A1", "B2", "C3"}, 0},
        {"torn header", ab + c.substr(0, 7), {"A1", "B2"}, 1},
        {"torn payload", ab + c.substr(0, c.size() - 1), {"A1", "B2"}, 1},
        {"only a torn record", c.substr(0, 14), {}, 1},
        {"bad checksum in the middle",
         records({"A1"}) + badCheck + records({"D4"}, 4),
         {"A1", "D4"},
         1},
        {"bad payload byte", badPayload + records({"D4"}, 4), {"D4"}, 1},
        {"length past the limit", hugeLength + records({"D4"}, 4), {"D4"}, 1},
        {"garbage between records", ab + "\x01\x02garbage" + c, {"A1", "B2", "C3"}, 1},
        {"delivered mark", ab + deliveredThroughOne + c, {"B2", "C3"}, 0},
        // A compacted journal (the undelivered scans renumbered from 1) with
        // records appended after it, then a torn one.
        {"compaction boundary",
         records({"B2", "C3"}) + deliveredThroughOne + records({"E5"}, 3) + c.substr(0, 5),
         {"C3", "E5"},
         1},
        {"scan numbers going back are skipped", ab + records({"X"}, 2) + c, {"A1", "B2", "C3"}, 1},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        JournalReading reading = read(t.bytes);
        EXPECT_EQ(t.undelivered, texts(reading));
        EXPECT_EQ(t.damaged, reading.damagedStretches);
    }
}

TEST(ScanJournalFormat, EveryTornTailKeepsTheWholeRecordsBeforeIt) {
    const std::string whole = records({"first", "second", std::string(300, 's')});
    const std::size_t lastStart = records({"first", "second"}).size();
    for (std::size_t cut = lastStart + 1; cut < whole.size(); ++cut) {
        JournalReading reading = read(whole.substr(0, cut));
        ASSERT_EQ((Scans{"first", "second"}), texts(reading)) << "cut at " << cut;
        ASSERT_EQ(1, reading.damagedStretches);
        ASSERT_EQ(cut - lastStart, reading.damagedBytes);
    }
}

class ScanJournalTest : public ::testing::Test {
protected:
    ScanJournalTest() {
        initializeScanBufferLock();
        scan_buffer_testing::clearScanBuffer();
    }
    ~ScanJournalTest() override {
        scan_journal_testing::stop();
        scan_journal_testing::setCompactionThreshold(64u << 10);
        scan_journal_testing::setWriteDelay(0);
        scan_journal_testing::setSizeLimit(256u << 20);
        scan_buffer_testing::clearScanBuffer();
    }

    std::string path() const { return log.dir().file(scan_journal::kFileName); }
    JournalReading onDisk() const { return read(readFile(path())); }

    // As at a new start of the process: the queue in memory is gone.
    void restart() {
        scan_journal_testing::stop();
        scan_buffer_testing::clearScanBuffer();
        scan_journal::start(path());
    }

    LogCapture log{1};
};

// A commit reaches the disk by itself, written by the journal's own thread:
// the committing thread (the keyboard hook) never waits for the disk, even
// a slow one. How fast it gets there is the disk's matter, not asserted.
TEST_F(ScanJournalTest, ACommitReachesTheDiskWithoutTheCommitterWaiting) {
    scan_journal::start(path());
    scan_journal_testing::setWriteDelay(1000);  // a slow disk
    for (int i = 0; i < 2; ++i) {
        const std::string scan = "SCAN" + std::to_string(i);
        appendScan(scan);
        EXPECT_EQ(static_cast<std::size_t>(i), texts(onDisk()).size()) << scan << " waited for";
        for (int waited = 0; waited < 10000 && texts(onDisk()).size() <= std::size_t(i);
             waited += 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_EQ(static_cast<std::size_t>(i + 1), texts(onDisk()).size()) << scan;
        EXPECT_EQ(scan, texts(onDisk()).back());
    }
}

// Undelivered scans come back first, in order, ahead of scans committed
// before the journal was read; delivered ones never come back.
TEST_F(ScanJournalTest, RecoveryQueuesUndeliveredScansFirst) {
    std::string bytes = records({"GONE", "KEEP1", "KEEP2"});
    appendDeliveredRecord(bytes, 1);
    writeFile(path(), bytes);
    appendScan("EARLY");  // committed before the journal was read

    scan_journal::start(path());
    appendScan("NEW");
    ASSERT_TRUE(scan_journal::flush(1000));
    EXPECT_EQ((Scans{"KEEP1", "KEEP2", "EARLY", "NEW"}), texts(onDisk()));
    EXPECT_EQ((Scans{"KEEP1", "KEEP2", "EARLY", "NEW"}), takeAllScans());
}

// What the probe took and the peer acknowledged is marked; a restart brings
// back the rest only, also when the mark was the last thing written. Scans
// are UTF-8, kept byte for byte.
TEST_F(ScanJournalTest, DeliveredScansDoNotComeBack) {
    const std::string c = "C-\xC3\x9F\xE2\x82\xAC\xF0\x9F\x98\x80";
    scan_journal::start(path());
    for (const std::string& scan : {std::string("A"), std::string("B"), c}) appendScan(scan);
    QueuedScan a, b;
    ASSERT_EQ(ScanTake::taken, takeScan(a, 100));
    ASSERT_EQ(ScanTake::taken, takeScan(b, 100));
    scan_journal::recordDelivered(b.sequence);
    ASSERT_TRUE(scan_journal::flush(1000));
    EXPECT_EQ(Scans{c}, texts(onDisk()));

    restart();
    EXPECT_EQ(Scans{c}, takeAllScans());
    restart();  // taken but never marked: still there
    EXPECT_EQ(Scans{c}, takeAllScans());
}

// A damaged journal is read up to the damage and past it, said at level 1,
// and rewritten whole.
TEST_F(ScanJournalTest, DamageIsSkippedWithALevelOneLineAndRepaired) {
    std::string bytes = records({"A1", "B2"});
    bytes += "\xde\xad";
    bytes += records({"C3"}, 3).substr(0, 9);
    writeFile(path(), bytes);
    scan_journal::start(path());
    EXPECT_TRUE(log.contains("damaged records skipped")) << log.contents();
    EXPECT_EQ((Scans{"A1", "B2"}), texts(onDisk()));
    EXPECT_EQ(0, onDisk().damagedStretches);
    EXPECT_EQ((Scans{"A1", "B2"}), takeAllScans());
}

// Delivered records are dropped once they make up most of the file, so the
// journal stays small however many scans pass through.
TEST_F(ScanJournalTest, CompactionBoundsTheFileAndKeepsTheQueue) {
    scan_journal_testing::setCompactionThreshold(4096);
    scan_journal::start(path());
    Scans waiting;
    for (int i = 0; i < 2000; ++i) {
        const std::string text = "PASSING" + std::to_string(i);
        appendScan(text);
        if (i >= 1990) {
            waiting.push_back(text);
            continue;
        }
        QueuedScan scan;
        ASSERT_EQ(ScanTake::taken, takeScan(scan, 100));
        scan_journal::recordDelivered(scan.sequence);
        if (i % 100 == 0) {
            ASSERT_TRUE(scan_journal::flush(1000));
        }
    }
    ASSERT_TRUE(scan_journal::flush(1000));
    EXPECT_LT(readFile(path()).size(), 2u * 4096);
    EXPECT_EQ(waiting, texts(onDisk()));
    restart();
    EXPECT_EQ(waiting, takeAllScans());
}

// A journal that cannot be written costs a level-1 line, never a scan.
TEST_F(ScanJournalTest, AnUnwritableJournalKeepsTheQueueInMemory) {
    const std::string nowhere =
        log.dir().file("missing-folder") + platform::pathSeparator + scan_journal::kFileName;
    appendScan("BEFORE");
    scan_journal::start(nowhere);
    appendScan("AFTER");
    EXPECT_TRUE(scan_journal::flush(1000));
    EXPECT_TRUE(log.contains("cannot be written")) << log.contents();
    EXPECT_EQ((Scans{"BEFORE", "AFTER"}), takeAllScans());
}

// Replaces the file seams for its lifetime: a replace that fails while
// failReplace is set (as when a virus scanner holds the journal without delete
// sharing), reads that fail the first failReads times with a sharing
// violation.
struct FailingFiles {
    FailingFiles() {
        platform::FileSeams& files = platform::fileSeams();
        files.replaceFile = [](const std::string& from, const std::string& to, int& error) {
            ++replaces;
            if (!failReplace) return platform::defaultFileSeams().replaceFile(from, to, error);
            error = 32;
            return false;
        };
        files.readWholeFile = [](const std::string& path, std::size_t limit, std::string& contents,
                                 int& error) {
            ++reads;
            if (reads <= failReads) {
                error = 32;
                return false;
            }
            return platform::defaultFileSeams().readWholeFile(path, limit, contents, error);
        };
        // The next brokenReads reads of a file get part of it and then end
        // early (brokenError 0) or fail (the error).
        files.readSome = [](std::intptr_t handle, char* buffer, std::size_t size,
                            int& error) -> long long {
            if (brokenReads == 0) {
                return platform::defaultFileSeams().readSome(handle, buffer, size, error);
            }
            if (!partRead) {
                partRead = true;
                return platform::defaultFileSeams().readSome(handle, buffer, size / 2, error);
            }
            partRead = false;
            --brokenReads;
            if (brokenError == 0) return 0;
            error = brokenError;
            return -1;
        };
    }
    ~FailingFiles() {
        platform::fileSeams() = platform::defaultFileSeams();
        failReplace = false;
        partRead = false;
        replaces = reads = failReads = brokenReads = brokenError = 0;
    }
    static std::atomic<bool> failReplace;  // read by the writer's timer
    static int replaces;
    static int reads;
    static int failReads;
    static int brokenReads;
    static int brokenError;
    static bool partRead;
};
std::atomic<bool> FailingFiles::failReplace{false};
int FailingFiles::replaces = 0;
int FailingFiles::reads = 0;
int FailingFiles::failReads = 0;
int FailingFiles::brokenReads = 0;
int FailingFiles::brokenError = 0;
bool FailingFiles::partRead = false;

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Takes the oldest scan and marks it delivered.
void deliverOne() {
    QueuedScan scan;
    ASSERT_EQ(ScanTake::taken, takeScan(scan, 100));
    scan_journal::recordDelivered(scan.sequence);
    ASSERT_TRUE(scan_journal::flush(1000));
}

// A compaction whose replace fails keeps the journal whole: the old file
// stays open and gets every later record, with one level-1 line; compaction
// is tried again, less often, and succeeds once the file can be replaced. A
// restart brings back no delivered scan.
TEST_F(ScanJournalTest, AFailedCompactionKeepsAppendingToTheOldJournal) {
    FailingFiles files;
    scan_journal_testing::setCompactionThreshold(256);
    scan_journal::start(path());
    FailingFiles::failReplace = true;
    for (int i = 0; i < 600; ++i) appendScan("PASSING" + std::to_string(i));
    const Scans waiting{"WAIT1", "WAIT2"};
    for (const std::string& scan : waiting) appendScan(scan);
    for (int i = 0; i < 400; ++i) deliverOne();

    EXPECT_EQ(1, occurrences(log.contents(), "cannot be compacted")) << log.contents();
    EXPECT_FALSE(log.contains("kept in memory")) << log.contents();
    EXPECT_GT(FailingFiles::replaces, 1);
    EXPECT_LT(FailingFiles::replaces, 10);  // backed off, not at every batch
    EXPECT_GT(readFile(path()).size(), 16u * 1024);
    EXPECT_FALSE(platform::fileExists(path() + ".new"));
    JournalReading lagging = onDisk();
    EXPECT_EQ(200u + waiting.size(), lagging.undelivered.size());
    EXPECT_EQ(0, lagging.damagedStretches);

    FailingFiles::failReplace = false;
    for (int i = 400; i < 600; ++i) deliverOne();
    EXPECT_LT(readFile(path()).size(), 1024u);
    EXPECT_EQ(waiting, texts(onDisk()));
    restart();
    EXPECT_EQ(waiting, takeAllScans());
}

// A journal that cannot be put in place at start stays as it was; the
// journal is written whole again at the first chance after a pause, with
// what was delivered meanwhile left out.
TEST_F(ScanJournalTest, AJournalNotReplacedAtStartIsWrittenWholeLater) {
    FailingFiles files;
    std::string bytes = records({"GONE", "KEEP1"});
    appendDeliveredRecord(bytes, 1);
    writeFile(path(), bytes);
    FailingFiles::failReplace = true;
    scan_journal::start(path());
    EXPECT_TRUE(log.contains("cannot be replaced")) << log.contents();
    EXPECT_EQ(bytes, readFile(path()));
    deliverOne();  // KEEP1, while the file lags behind
    FailingFiles::failReplace = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    appendScan("NEW");
    ASSERT_TRUE(scan_journal::flush(1000));
    EXPECT_TRUE(log.contains("is written again")) << log.contents();
    EXPECT_EQ(Scans{"NEW"}, texts(onDisk()));
    restart();
    EXPECT_EQ(Scans{"NEW"}, takeAllScans());
}

// A journal that broke is written whole again on the writer's own schedule,
// with no new scan or delivered mark to set it off.
TEST_F(ScanJournalTest, ABrokenJournalIsWrittenAgainWithoutANewEvent) {
    FailingFiles files;
    std::string bytes = records({"GONE", "KEEP1", "KEEP2"});
    appendDeliveredRecord(bytes, 1);
    writeFile(path(), bytes);
    FailingFiles::failReplace = true;
    scan_journal::start(path());
    EXPECT_TRUE(log.contains("cannot be replaced")) << log.contents();
    deliverOne();  // KEEP1, while the file lags behind
    FailingFiles::failReplace = false;
    const std::string repaired = path() + " is written again";
    for (int waited = 0; waited < 10000 && !log.contains(repaired); waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(log.contains(repaired)) << log.contents();
    EXPECT_EQ(Scans{"KEEP2"}, texts(onDisk()));
    EXPECT_EQ(1u, scan_journal::deliveredOnDisk());
    restart();
    EXPECT_EQ(Scans{"KEEP2"}, takeAllScans());
}

// A read that fails for a moment at start (a sharing violation) is tried
// again; one that keeps failing leaves the file as it is and the queue in
// memory.
TEST_F(ScanJournalTest, AFailingReadIsTriedAgainBeforeTheJournalIsLeftAlone) {
    testing_support::ScopedSeams seams;  // the pauses are recorded, not waited
    FailingFiles files;
    const std::string bytes = records({"KEEP1"});
    writeFile(path(), bytes);
    FailingFiles::failReads = 2;
    scan_journal::start(path());
    EXPECT_EQ(Scans{"KEEP1"}, takeAllScans());
    EXPECT_EQ(2u, testing_support::ScopedSeams::sleeps().size());
    EXPECT_FALSE(log.contains("cannot be read")) << log.contents();

    scan_journal_testing::stop();
    writeFile(path(), bytes);
    FailingFiles::reads = 0;
    FailingFiles::failReads = 100;
    scan_journal::start(path());
    appendScan("MEMORY");
    EXPECT_TRUE(scan_journal::flush(1000));
    EXPECT_LE(FailingFiles::reads, 5);
    EXPECT_TRUE(log.contains("cannot be read (error 32): scans are kept in memory only"))
        << log.contents();
    EXPECT_EQ(bytes, readFile(path()));
    EXPECT_EQ(Scans{"MEMORY"}, takeAllScans());
}

// A read that comes back short or fails partway through the file is a failed
// read: tried again, and when it keeps failing nothing of it is queued and
// the file stays as it is for the next start.
TEST_F(ScanJournalTest, AReadBrokenPartwayIsAFailedRead) {
    testing_support::ScopedSeams seams;  // the pauses are recorded, not waited
    const struct {
        const char* name;
        int error;  // 0: the file ends early
        int brokenReads;
        bool recovered;
    } cases[] = {
        {"short once", 0, 1, true},
        {"failing twice", 5, 2, true},
        {"always short", 0, 100, false},
        {"always failing", 5, 100, false},
    };
    const std::string bytes = records({"KEEP1", "KEEP2", "KEEP3"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FailingFiles files;
        scan_journal_testing::stop();  // Windows writes no file the journal holds open
        writeFile(path(), bytes);
        FailingFiles::brokenError = c.error;
        FailingFiles::brokenReads = c.brokenReads;
        const int said = occurrences(log.contents(), "cannot be read");
        restart();
        appendScan("MEMORY");
        ASSERT_TRUE(scan_journal::flush(1000));
        if (c.recovered) {
            EXPECT_EQ((Scans{"KEEP1", "KEEP2", "KEEP3", "MEMORY"}), texts(onDisk()));
            EXPECT_EQ((Scans{"KEEP1", "KEEP2", "KEEP3", "MEMORY"}), takeAllScans());
        } else {
            EXPECT_EQ(said + 1, occurrences(log.contents(), "cannot be read")) << log.contents();
            EXPECT_EQ(bytes, readFile(path()));
            EXPECT_EQ(Scans{"MEMORY"}, takeAllScans());
        }
    }
}

// A second agent on the same folder (another address or port) finds the
// journal locked: it neither reads nor writes it, and says so once.
TEST_F(ScanJournalTest, ASecondAgentOnTheFolderLeavesTheJournalAlone) {
    const std::string bytes = records({"FIRSTS"});
    writeFile(path(), bytes);
    platform::FileLock first;
    int error = 0;
    ASSERT_EQ(platform::FileLock::Result::taken, first.take(path() + ".lock", error));
    scan_journal::start(path());
    appendScan("SECONDS");
    EXPECT_TRUE(scan_journal::flush(1000));
    EXPECT_EQ(1, occurrences(log.contents(), "is in use by another agent")) << log.contents();
    EXPECT_EQ(bytes, readFile(path()));
    EXPECT_EQ(Scans{"SECONDS"}, takeAllScans());

    first.release();
    restart();
    EXPECT_EQ(Scans{"FIRSTS"}, takeAllScans());
}

// A journal in another folder (the log folder, where earlier versions kept
// it) is taken over: its scans first and in order, then the journal's own,
// then those committed before the start; it is gone there afterwards. A
// start that ended anywhere in the middle leaves files from which the next
// one finishes with no scan lost or doubled.
TEST_F(ScanJournalTest, AJournalInTheLogFolderIsTakenOverOnce) {
    testing_support::TempDir logFolder;
    const std::string earlier = logFolder.file(scan_journal::kFileName);
    const std::string earlierBytes = records({"E1", "E2"});
    const std::string ownBytes = records({"O1"});
    const std::string mergedBytes = records({"E1", "E2", "O1"});
    const struct {
        const char* name;
        bool earlierThere;
        bool takenThere;   // the copy of the earlier journal beside this one
        bool mergedThere;  // the two put together
    } cases[] = {
        {"nothing begun", true, false, false},
        {"copied, not yet removed there", true, true, false},
        {"copied and removed", false, true, false},
        {"merged, copy not yet removed", false, true, true},
        {"merged, copy removed", false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scan_journal_testing::stop();
        scan_buffer_testing::clearScanBuffer();
        writeFile(path(), ownBytes);
        if (c.earlierThere) writeFile(earlier, earlierBytes);
        if (c.takenThere) writeFile(path() + ".taken", earlierBytes);
        if (c.mergedThere) writeFile(path() + ".merged", mergedBytes);
        appendScan("EARLY");
        scan_journal::start(path(), earlier);
        EXPECT_EQ((Scans{"E1", "E2", "O1", "EARLY"}), takeAllScans());
        EXPECT_FALSE(platform::fileExists(earlier));
        EXPECT_FALSE(platform::fileExists(path() + ".taken"));
        EXPECT_FALSE(platform::fileExists(path() + ".merged"));
        EXPECT_EQ((Scans{"E1", "E2", "O1", "EARLY"}), texts(onDisk()));
        scan_journal_testing::stop();
        scan_buffer_testing::clearScanBuffer();
        scan_journal::start(path(), earlier);
        EXPECT_EQ((Scans{"E1", "E2", "O1", "EARLY"}), takeAllScans());
    }
}

// A journal in another folder stays where it is when another agent holds
// it, when it cannot be read, and when it is this very journal under another
// name; the journal's own scans go on as before.
TEST_F(ScanJournalTest, AJournalThatCannotBeTakenOverIsLeftWhereItIs) {
    testing_support::TempDir logFolder;
    const std::string earlier = logFolder.file(scan_journal::kFileName);
    const std::string earlierBytes = records({"E1"});
    platform::FileLock other;
    int error = 0;
    ASSERT_EQ(platform::FileLock::Result::taken, other.take(earlier + ".lock", error));
    writeFile(earlier, earlierBytes);
    writeFile(path(), records({"O1"}));
    scan_journal::start(path(), earlier);
    EXPECT_EQ(Scans{"O1"}, takeAllScans());
    EXPECT_TRUE(log.contains("is in use by another agent: it is left where it is"))
        << log.contents();
    other.release();
    {
        FailingFiles files;
        FailingFiles::brokenReads = 100;
        FailingFiles::brokenError = 5;
        testing_support::ScopedSeams seams;
        scan_journal_testing::stop();
        scan_journal::start(path(), earlier);
    }
    EXPECT_TRUE(log.contains("cannot be read (error 5): it is left where it is")) << log.contents();
    EXPECT_EQ(earlierBytes, readFile(earlier));
    EXPECT_FALSE(platform::fileExists(path() + ".taken"));

    // The same folder spelled otherwise is no other journal.
    const std::string sameJournal = log.dir().path() + platform::pathSeparator + "." +
                                    platform::pathSeparator + scan_journal::kFileName;
    scan_journal_testing::stop();
    scan_buffer_testing::clearScanBuffer();
    scan_journal::start(path(), sameJournal);
    EXPECT_EQ(Scans{"O1"}, takeAllScans());
    EXPECT_EQ(records({"O1"}), readFile(path()));
}

// The journal never grows past the size a start reads: it is compacted at
// once before that, and when even its undelivered scans do not fit it is
// given up with a level-1 line, the queue kept in memory.
TEST_F(ScanJournalTest, TheJournalStaysWithinTheSizeAStartReads) {
    scan_journal_testing::setSizeLimit(2048);
    scan_journal_testing::setCompactionThreshold(1u << 20);
    scan_journal::start(path());
    for (int i = 0; i < 200; ++i) {
        appendScan("PASSING" + std::to_string(i));
        deliverOne();
        ASSERT_LE(readFile(path()).size(), 2048u);
    }
    appendScan("WAIT");
    ASSERT_TRUE(scan_journal::flush(1000));
    EXPECT_FALSE(log.contains("kept in memory")) << log.contents();
    restart();
    EXPECT_EQ(Scans{"WAIT"}, takeAllScans());

    Scans many;
    for (int i = 0; i < 100; ++i) {
        many.push_back("UNDELIVERED" + std::to_string(i));
        appendScan(many.back());
    }
    ASSERT_TRUE(scan_journal::flush(1000));
    EXPECT_LE(readFile(path()).size(), 2048u);
    EXPECT_TRUE(log.contains("would grow past its limit: scans are kept in memory only"))
        << log.contents();
    EXPECT_EQ(many, takeAllScans());
}

// Without a writer thread the start goes on: a level-1 line, the journal
// left as it is for the next start, every scan kept in memory.
TEST_F(ScanJournalTest, AStartWithoutAWriterThreadKeepsTheQueueInMemory) {
    const std::string bytes = records({"NEXTSTART"});
    writeFile(path(), bytes);
    appendScan("BEFORE");
    scan_journal_testing::refuseWriterThread(true);
    EXPECT_NO_THROW(scan_journal::start(path()));
    scan_journal_testing::refuseWriterThread(false);
    appendScan("AFTER");
    EXPECT_TRUE(scan_journal::flush(1000));
    EXPECT_TRUE(log.contains("has no writer thread")) << log.contents();
    EXPECT_EQ(bytes, readFile(path()));
    EXPECT_EQ((Scans{"BEFORE", "AFTER"}), takeAllScans());
    restart();
    EXPECT_EQ(Scans{"NEXTSTART"}, takeAllScans());
}

// Every exit the agent performs waits for the journal first, also on a slow
// disk.
TEST_F(ScanJournalTest, AnExitFlushesTheJournalFirst) {
    testing_support::ScopedSeams seams;
    scan_journal::start(path());
    scan_journal_testing::setWriteDelay(200);
    Scans committed;
    for (int i = 0; i < 3000; ++i) {
        committed.push_back("S" + std::to_string(i));
        appendScan(committed.back());
    }
    EXPECT_THROW(platform::exitProcess(0), testing_support::ProcessExit);
    EXPECT_EQ(committed, texts(onDisk()));
}

}  // namespace
