#include "scans/scan_journal.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "common/activity_log.h"
#include "common/text_format.h"
#include "platform/platform.h"
#include "scans/scan_buffer.h"
#include "scans/scan_journal_format.h"
#include "scans/scan_journal_takeover.h"

namespace scan_journal {

const char kFileName[] = "vxhid.scans";

namespace {

const char kTag[] = "ScanJournal::write";
const char kStartTag[] = "ScanJournal::start";
// A journal larger than this is neither read nor written: 256 MiB holds
// millions of scans, far beyond any queue a shop floor builds up.
constexpr std::size_t kMaxJournalSize = 256u << 20;
constexpr std::uint64_t kDefaultCompactionThreshold = 64u << 10;
// After a failed compaction the next one waits until the file has grown by
// the threshold times 2, 4, ... up to this factor.
constexpr unsigned kMaxCompactionBackoffShift = 6;
// A journal that could not be written is written whole again at the first
// batch after this long, doubled at every failure up to the maximum.
constexpr unsigned kFirstRepairDelayMs = 1000;
constexpr unsigned kMaxRepairDelayMs = 60000;

struct Event {
    char kind;
    std::uint64_t sequence;
    std::string text;
};

struct Journal {
    // Shared between the committing threads, the writer and flush.
    std::mutex lock;
    std::condition_variable wake;     // the writer waits here for events
    std::condition_variable written;  // flush waits here for the writer
    std::vector<Event> pending;
    std::uint64_t handedOver = 0;    // events handed over so far
    std::uint64_t writtenOut = 0;    // of which the writer has finished
    std::uint64_t deliveredOut = 0;  // the highest delivered mark on disk
    bool running = false;
    bool ready = false;  // start has written the journal; the writer may go on
    bool stopping = false;
    std::thread::id writerId;
    std::thread writer;

    // Start's, then the writer's own.
    std::string path;
    platform::FileLock ownership;  // keeps a second agent away from the journal
    platform::DurableFile file;
    // Not used for the rest of the run: another agent has it, it cannot be
    // read or it grew past its limit. The queue lives in memory.
    bool off = false;
    // Its last write failed, so what is on disk lags behind: the next batch
    // after repairAt writes it whole instead of appending.
    bool broken = false;
    bool brokenLogged = false;
    unsigned repairDelayMs = kFirstRepairDelayMs;
    std::chrono::steady_clock::time_point repairAt;
    std::uint64_t deliveredSeen = 0;  // the highest delivered mark handed to the writer
    std::uint64_t fileSize = 0;
    std::uint64_t nextCompactionAt = kDefaultCompactionThreshold;
    unsigned compactionFailures = 0;
    std::deque<QueuedScan> live;  // the scans on file not yet delivered
    std::uint64_t liveBytes = 0;  // their records' size
    std::uint64_t compactionThreshold = kDefaultCompactionThreshold;
    std::size_t sizeLimit = kMaxJournalSize;  // for reading and writing
    unsigned writeDelayMs = 0;                // tests: a slow disk
    bool refuseWriterThread = false;          // tests: no thread can be created
};

// Never destroyed: a thread may end the process while the writer works.
Journal& journal() {
    static Journal* instance = new Journal;
    return *instance;
}

std::uint64_t recordSize(const std::string& text) {
    std::size_t kept = text.size() < kMaxScanText ? text.size() : kMaxScanText;
    return kHeaderSize + 1 + kSequenceSize + kept;
}

// The journal is not used for the rest of the run: said once, the queue
// lives in memory.
void turnOff(Journal& j, const std::string& why) {
    if (j.off) return;
    j.off = true;
    j.file.close();
    writeLog(kTag,
             formatText("Scan journal %s %s: scans are kept in memory only", j.path.c_str(),
                        why.c_str()),
             1);
}

// A write failed: what is on disk lags behind until the journal is written
// whole again. Said once until then.
void markBroken(Journal& j, const char* what, int error) {
    j.file.close();
    if (!j.broken) j.repairDelayMs = kFirstRepairDelayMs;
    j.broken = true;
    j.repairAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(j.repairDelayMs);
    j.repairDelayMs =
        j.repairDelayMs * 2 > kMaxRepairDelayMs ? kMaxRepairDelayMs : j.repairDelayMs * 2;
    if (j.brokenLogged) return;
    j.brokenLogged = true;
    writeLog(kTag,
             formatText("Scan journal %s cannot be %s (error %d): scans are kept in memory until "
                        "it is written again",
                        j.path.c_str(), what, error),
             1);
}

enum class Rewrite { done, oldKept, failed };

// Writes contents as the whole journal: a new file beside it, written and
// synced while the journal stays as it is, then put in its place, so a power
// cut leaves the old journal or the new one. oldKept: the new one could not be
// made or put in place, and the old journal is open for appending as before.
// failed: neither file can be appended to; the journal is marked broken.
Rewrite rewrite(Journal& j, const std::string& contents, int& error) {
    const std::string fresh = j.path + ".new";
    const bool wasOpen = j.file.isOpen();
    {
        platform::DurableFile out;
        if (!out.open(fresh, true, error) || !out.append(contents.data(), contents.size(), error) ||
            !out.sync(error)) {
            out.close();
            platform::deleteFile(fresh);
            return wasOpen ? Rewrite::oldKept : Rewrite::failed;
        }
    }
    // Windows replaces no file that is open without delete sharing, the
    // journal's own handle included: it is closed for the moment of the move.
    j.file.close();
    int moveError = 0;
    if (!platform::replaceFile(fresh, j.path, moveError)) {
        error = moveError;
        platform::deleteFile(fresh);
        int reopenError = 0;
        if (wasOpen && j.file.open(j.path, false, reopenError)) return Rewrite::oldKept;
        markBroken(j, "replaced", error);
        return Rewrite::failed;
    }
    if (!j.file.open(j.path, false, error)) {
        markBroken(j, "opened", error);
        return Rewrite::failed;
    }
    j.fileSize = contents.size();
    return Rewrite::done;
}

std::string liveRecords(const Journal& j) {
    std::string contents;
    for (const QueuedScan& scan : j.live) appendScanRecord(contents, scan.sequence, scan.text);
    return contents;
}

void compacted(Journal& j) {
    j.compactionFailures = 0;
    j.nextCompactionAt = j.compactionThreshold;
}

// Drops the delivered records once they make up most of the file. When that
// fails the journal goes on growing as it is, and the next try waits until
// it has grown by twice as much as before.
void compactIfDue(Journal& j) {
    if (j.fileSize < j.nextCompactionAt || j.fileSize < 2 * j.liveBytes) return;
    int error = 0;
    Rewrite result = rewrite(j, liveRecords(j), error);
    if (result == Rewrite::done) {
        compacted(j);
        return;
    }
    if (result == Rewrite::oldKept) {
        if (j.compactionFailures == 0) {
            writeLog(kTag,
                     formatText("Scan journal %s cannot be compacted (error %d): it goes on "
                                "growing until it can be",
                                j.path.c_str(), error),
                     1);
        }
        unsigned shift = j.compactionFailures < kMaxCompactionBackoffShift
                             ? j.compactionFailures + 1
                             : kMaxCompactionBackoffShift;
        ++j.compactionFailures;
        j.nextCompactionAt = j.fileSize + (j.compactionThreshold << shift);
    }
}

// Writes the journal whole from what the writer knows, after a failure.
void repair(Journal& j) {
    if (std::chrono::steady_clock::now() < j.repairAt) return;
    int error = 0;
    if (j.liveBytes > j.sizeLimit) {
        turnOff(j, "would grow past its limit");
        return;
    }
    if (rewrite(j, liveRecords(j), error) != Rewrite::done) {
        if (!j.off) markBroken(j, "written", error);
        return;
    }
    j.broken = false;
    j.brokenLogged = false;
    compacted(j);
    writeLog(kTag, formatText("Scan journal %s is written again", j.path.c_str()), 1);
}

void writeBatch(Journal& j, std::vector<Event>& batch) {
    std::string bytes;
    for (Event& event : batch) {
        if (event.kind == kScanRecord) {
            appendScanRecord(bytes, event.sequence, event.text);
            j.liveBytes += recordSize(event.text);
            j.live.push_back(QueuedScan{event.sequence, std::move(event.text)});
        } else {
            appendDeliveredRecord(bytes, event.sequence);
            while (!j.live.empty() && j.live.front().sequence <= event.sequence) {
                j.liveBytes -= recordSize(j.live.front().text);
                j.live.pop_front();
            }
        }
    }
    if (j.off) return;
    if (j.broken) {
        repair(j);
        return;
    }
    // The same limit as the reader's: a file past it would never be read
    // again. Compacted at once instead; the new file holds these events.
    if (j.fileSize + bytes.size() > j.sizeLimit) {
        if (j.liveBytes > j.sizeLimit) {
            turnOff(j, "would grow past its limit");
            return;
        }
        int error = 0;
        Rewrite result = rewrite(j, liveRecords(j), error);
        if (result == Rewrite::done) {
            compacted(j);
        } else if (result == Rewrite::oldKept) {
            markBroken(j, "compacted", error);
        }
        return;
    }
    int error = 0;
    if (!j.file.append(bytes.data(), bytes.size(), error) || !j.file.sync(error)) {
        markBroken(j, "written", error);
        return;
    }
    j.fileSize += bytes.size();
    compactIfDue(j);
}

// A broken journal is written whole again when its time comes, also when
// no scan or delivered mark arrives meanwhile.
void repairWhenDue(Journal& j) {
    repair(j);
    if (j.broken || j.off) return;
    std::lock_guard<std::mutex> hold(j.lock);
    if (j.deliveredSeen > j.deliveredOut) j.deliveredOut = j.deliveredSeen;
}

void writerMain() {
    Journal& j = journal();
    for (;;) {
        std::vector<Event> batch;
        std::uint64_t target = 0;
        {
            std::unique_lock<std::mutex> hold(j.lock);
            auto work = [&] { return (j.ready && !j.pending.empty()) || j.stopping; };
            if (j.ready && j.broken && !j.off) {
                if (!j.wake.wait_until(hold, j.repairAt, work)) {
                    hold.unlock();
                    repairWhenDue(j);
                    continue;
                }
            } else {
                j.wake.wait(hold, work);
            }
            if (j.pending.empty() || !j.ready) return;
            batch.swap(j.pending);
            target = j.handedOver;
        }
        if (j.writeDelayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(j.writeDelayMs));
        std::uint64_t delivered = 0;
        for (const Event& event : batch) {
            if (event.kind == kDeliveredRecord && event.sequence > delivered) {
                delivered = event.sequence;
            }
        }
        if (delivered > j.deliveredSeen) j.deliveredSeen = delivered;
        writeBatch(j, batch);
        {
            std::lock_guard<std::mutex> hold(j.lock);
            j.writtenOut = target;
            if (!j.off && !j.broken && j.deliveredSeen > j.deliveredOut) {
                j.deliveredOut = j.deliveredSeen;
            }
        }
        j.written.notify_all();
    }
}

void handOver(Event event) {
    Journal& j = journal();
    {
        std::lock_guard<std::mutex> hold(j.lock);
        j.pending.push_back(std::move(event));
        ++j.handedOver;
    }
    j.wake.notify_one();
}

// The commit sink of the scan buffer: runs on the committing thread, under
// the scan-buffer lock, and only hands the scan over.
void recordCommit(std::uint64_t sequence, const std::string& text) {
    handOver(Event{kScanRecord, sequence, text});
}

void flushBeforeExit() { flush(kExitFlushMs); }

}  // namespace

void start(const std::string& path, const std::string& earlier) {
    Journal& j = journal();
    if (j.running) return;
    j.path = path;
    j.off = j.broken = j.brokenLogged = false;
    j.compactionFailures = 0;
    j.nextCompactionAt = j.compactionThreshold;

    // One agent per journal: a second agent on the same folder (another
    // address or port) neither reads nor writes it.
    int error = 0;
    switch (j.ownership.take(path + ".lock", error)) {
        case platform::FileLock::Result::taken:
            break;
        case platform::FileLock::Result::held:
            turnOff(j, "is in use by another agent");
            return;
        case platform::FileLock::Result::failed:
            turnOff(j, formatText("cannot be written (error %d)", error));
            return;
    }
    if (!takeOverJournal(earlier, path, j.sizeLimit, error)) {
        turnOff(j, formatText("cannot be put in place of the one taken over (error %d)", error));
    }

    // The writer exists before any commit is handed to it; it waits until
    // the journal below is written.
    try {
        if (j.refuseWriterThread) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        j.writer = std::thread(writerMain);
    } catch (const std::exception&) {
        j.ownership.release();
        turnOff(j, "has no writer thread (the thread cannot be started)");
        return;
    }

    std::string contents;
    std::vector<std::string> recovered;
    if (readJournalFile(path, j.sizeLimit, contents, error)) {
        JournalReading reading =
            readJournal(reinterpret_cast<const unsigned char*>(contents.data()), contents.size());
        if (reading.damagedStretches > 0) {
            writeLog(
                kStartTag,
                formatText("Scan journal %s: %d damaged records skipped (%d bytes)", path.c_str(),
                           reading.damagedStretches, static_cast<int>(reading.damagedBytes)),
                1);
        }
        for (RecoveredScan& scan : reading.undelivered) recovered.push_back(std::move(scan.text));
    } else {
        // Rewriting it would lose what it holds: leave it for the operator.
        turnOff(j, formatText("cannot be read (error %d)", error));
    }
    contents.clear();

    std::vector<QueuedScan> queued =
        j.off ? std::vector<QueuedScan>() : restoreScans(recovered, recordCommit);
    if (!recovered.empty()) {
        writeLog(kStartTag,
                 formatText("%d undelivered scans from the scan journal queued first",
                            static_cast<int>(recovered.size())),
                 2);
    }
    j.live.assign(queued.begin(), queued.end());
    j.liveBytes = 0;
    for (const QueuedScan& scan : j.live) {
        appendScanRecord(contents, scan.sequence, scan.text);
        j.liveBytes += recordSize(scan.text);
    }
    if (!j.off && rewrite(j, contents, error) != Rewrite::done && !j.broken) {
        markBroken(j, "written", error);
    }

    {
        std::lock_guard<std::mutex> hold(j.lock);
        j.stopping = false;
        j.running = true;
        j.ready = true;
        j.writerId = j.writer.get_id();
    }
    j.wake.notify_one();
    platform::setBeforeExit(flushBeforeExit);
}

void recordDelivered(std::uint64_t sequence) {
    if (!journal().running) return;
    handOver(Event{kDeliveredRecord, sequence, std::string()});
}

bool flush(unsigned timeoutMs) {
    Journal& j = journal();
    std::unique_lock<std::mutex> hold(j.lock);
    if (!j.running) return true;
    // The writer itself may end the process (the log's loop guard): it
    // cannot wait for itself.
    if (std::this_thread::get_id() == j.writerId) return false;
    const std::uint64_t target = j.handedOver;
    return j.written.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                              [&] { return j.writtenOut >= target; });
}

std::uint64_t deliveredOnDisk() {
    Journal& j = journal();
    std::lock_guard<std::mutex> hold(j.lock);
    return j.deliveredOut;
}

}  // namespace scan_journal

namespace scan_journal_testing {

void stop() {
    using scan_journal::journal;
    auto& j = journal();
    platform::setBeforeExit(nullptr);
    {
        std::lock_guard<std::mutex> hold(j.lock);
        j.stopping = true;
    }
    j.wake.notify_all();
    if (j.writer.joinable()) j.writer.join();
    std::lock_guard<std::mutex> hold(j.lock);
    j.running = j.ready = j.stopping = false;
    j.pending.clear();
    j.handedOver = j.writtenOut = j.deliveredOut = j.deliveredSeen = 0;
    j.file.close();
    j.ownership.release();
    j.live.clear();
    j.liveBytes = 0;
    j.fileSize = 0;
    j.off = j.broken = j.brokenLogged = false;
    j.writerId = std::thread::id();
}

void setWriteDelay(unsigned milliseconds) { scan_journal::journal().writeDelayMs = milliseconds; }

void refuseWriterThread(bool refuse) { scan_journal::journal().refuseWriterThread = refuse; }

void setSizeLimit(std::size_t bytes) { scan_journal::journal().sizeLimit = bytes; }

void setCompactionThreshold(std::uint64_t bytes) {
    scan_journal::journal().compactionThreshold = bytes;
}

}  // namespace scan_journal_testing
