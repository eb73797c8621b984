#include "hid/scan_journal.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "common/activity_log.h"
#include "common/text_format.h"
#include "hid/scan_buffer.h"
#include "hid/scan_journal_format.h"
#include "platform/platform.h"

namespace scan_journal {

const char kFileName[] = "vxhid.scans";

namespace {

const char kTag[] = "ScanJournal::write";
// A journal larger than this is not read: 256 MiB holds millions of scans,
// far beyond any queue a shop floor builds up.
constexpr std::size_t kMaxJournalSize = 256u << 20;
constexpr std::uint64_t kDefaultCompactionThreshold = 64u << 10;

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
    bool stopping = false;
    std::thread::id writerId;
    std::thread writer;

    // The writer's own, set before it starts.
    std::string path;
    platform::DurableFile file;
    bool failed = false;
    std::uint64_t fileSize = 0;
    std::deque<QueuedScan> live;  // the scans on file not yet delivered
    std::uint64_t liveBytes = 0;  // their records' size
    std::uint64_t compactionThreshold = kDefaultCompactionThreshold;
    unsigned writeDelayMs = 0;  // tests: a slow disk
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

// The journal cannot be written: said once, then the queue lives in memory.
void fail(Journal& j, const char* what, int error) {
    if (j.failed) return;
    j.failed = true;
    j.file.close();
    writeLog(kTag,
             formatText("Scan journal %s cannot be %s (error %d): scans are kept in memory only",
                        j.path.c_str(), what, error),
             1);
}

// Writes contents as the whole journal: a new file beside it, synced, then
// put in its place, so a power cut leaves the old journal or the new one.
bool rewrite(Journal& j, const std::string& contents) {
    const std::string fresh = j.path + ".new";
    int error = 0;
    j.file.close();
    platform::DurableFile out;
    if (!out.open(fresh, true, error) || !out.append(contents.data(), contents.size(), error) ||
        !out.sync(error)) {
        fail(j, "written", error);
        return false;
    }
    out.close();
    if (!platform::replaceFile(fresh, j.path, error)) {
        fail(j, "replaced", error);
        return false;
    }
    if (!j.file.open(j.path, false, error)) {
        fail(j, "opened", error);
        return false;
    }
    j.fileSize = contents.size();
    return true;
}

// Drops the delivered records once they make up most of the file.
void compactIfDue(Journal& j) {
    if (j.failed || j.fileSize < j.compactionThreshold || j.fileSize < 2 * j.liveBytes) return;
    std::string contents;
    for (const QueuedScan& scan : j.live) appendScanRecord(contents, scan.sequence, scan.text);
    rewrite(j, contents);
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
    if (j.failed) return;
    int error = 0;
    if (!j.file.append(bytes.data(), bytes.size(), error) || !j.file.sync(error)) {
        fail(j, "written", error);
        return;
    }
    j.fileSize += bytes.size();
    compactIfDue(j);
}

void writerMain() {
    Journal& j = journal();
    for (;;) {
        std::vector<Event> batch;
        std::uint64_t target = 0;
        {
            std::unique_lock<std::mutex> hold(j.lock);
            j.wake.wait(hold, [&] { return !j.pending.empty() || j.stopping; });
            if (j.pending.empty()) return;
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
        writeBatch(j, batch);
        {
            std::lock_guard<std::mutex> hold(j.lock);
            j.writtenOut = target;
            if (!j.failed && delivered > j.deliveredOut) j.deliveredOut = delivered;
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

void start(const std::string& path) {
    const std::string tag = "ScanJournal::start";
    Journal& j = journal();
    if (j.running) return;
    j.path = path;
    j.failed = false;

    std::string contents;
    int error = 0;
    std::vector<std::string> recovered;
    if (platform::readWholeFile(path, kMaxJournalSize, contents, error)) {
        JournalReading reading =
            readJournal(reinterpret_cast<const unsigned char*>(contents.data()), contents.size());
        if (reading.damagedStretches > 0) {
            writeLog(
                tag,
                formatText("Scan journal %s: %d damaged records skipped (%d bytes)", path.c_str(),
                           reading.damagedStretches, static_cast<int>(reading.damagedBytes)),
                1);
        }
        for (RecoveredScan& scan : reading.undelivered) recovered.push_back(std::move(scan.text));
    } else if (platform::fileExists(path)) {
        // Rewriting it would lose what it holds: leave it for the operator.
        writeLog(tag,
                 formatText("Scan journal %s cannot be read (error %d): scans are kept in "
                            "memory only",
                            path.c_str(), error),
                 1);
        j.failed = true;
    }
    contents.clear();

    std::vector<QueuedScan> queued = restoreScans(recovered, recordCommit);
    if (!recovered.empty()) {
        writeLog(tag,
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
    if (!j.failed) rewrite(j, contents);

    std::lock_guard<std::mutex> hold(j.lock);
    j.stopping = false;
    j.running = true;
    j.writer = std::thread(writerMain);
    j.writerId = j.writer.get_id();
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
        if (!j.running) return;
        j.stopping = true;
    }
    j.wake.notify_all();
    if (j.writer.joinable()) j.writer.join();
    std::lock_guard<std::mutex> hold(j.lock);
    j.running = false;
    j.stopping = false;
    j.pending.clear();
    j.handedOver = j.writtenOut = j.deliveredOut = 0;
    j.file.close();
    j.live.clear();
    j.liveBytes = 0;
    j.fileSize = 0;
    j.failed = false;
    j.writerId = std::thread::id();
}

void setWriteDelay(unsigned milliseconds) { scan_journal::journal().writeDelayMs = milliseconds; }

void setCompactionThreshold(std::uint64_t bytes) {
    scan_journal::journal().compactionThreshold = bytes;
}

}  // namespace scan_journal_testing
