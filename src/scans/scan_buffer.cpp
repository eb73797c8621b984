#include "scans/scan_buffer.h"

#include <deque>

#include "platform/critical_section.h"

namespace {

struct ScanQueue {
    std::deque<QueuedScan> scans;
    std::uint64_t nextSequence = 1;
    CommitSink sink = nullptr;
};

// Both live for the whole process and are never destroyed, so a session
// thread still probing while the process exits never meets a dead lock.
CriticalSection& scanBufferLock() {
    static CriticalSection* lock = new CriticalSection;
    return *lock;
}

ScanQueue& scanQueue() {
    static ScanQueue* queue = new ScanQueue;
    return *queue;
}

}  // namespace

void initializeScanBufferLock() {
    scanBufferLock();
    scanQueue();
}

void appendScan(const std::string& scan) {
    QueuedScan entry;
    entry.text = scan;  // copied before the lock is taken
    CriticalSectionGuard hold(scanBufferLock());
    ScanQueue& queue = scanQueue();
    entry.sequence = queue.nextSequence++;
    if (queue.sink != nullptr) queue.sink(entry.sequence, entry.text);
    queue.scans.push_back(std::move(entry));
}

bool isScanAvailable() {
    CriticalSectionGuard hold(scanBufferLock());
    return !scanQueue().scans.empty();
}

ScanTake takeScan(QueuedScan& scan, std::size_t room) {
    CriticalSectionGuard hold(scanBufferLock());
    std::deque<QueuedScan>& scans = scanQueue().scans;
    if (scans.empty()) return ScanTake::none;
    if (scans.front().text.size() > room) return ScanTake::tooLong;
    scan = std::move(scans.front());
    scans.pop_front();
    return ScanTake::taken;
}

void requeueScans(std::vector<QueuedScan>& scans) {
    {
        CriticalSectionGuard hold(scanBufferLock());
        std::deque<QueuedScan>& queue = scanQueue().scans;
        queue.insert(queue.begin(), std::make_move_iterator(scans.begin()),
                     std::make_move_iterator(scans.end()));
    }
    scans.clear();
}

std::vector<QueuedScan> restoreScans(const std::vector<std::string>& recovered, CommitSink sink) {
    std::deque<QueuedScan> restored;
    for (const std::string& text : recovered) restored.push_back(QueuedScan{0, text});

    CriticalSectionGuard hold(scanBufferLock());
    ScanQueue& queue = scanQueue();
    for (QueuedScan& scan : queue.scans) restored.push_back(std::move(scan));
    queue.scans.swap(restored);
    queue.nextSequence = 1;
    for (QueuedScan& scan : queue.scans) scan.sequence = queue.nextSequence++;
    queue.sink = sink;
    return std::vector<QueuedScan>(queue.scans.begin(), queue.scans.end());
}

namespace scan_buffer_testing {
void clearScanBuffer() {
    CriticalSectionGuard hold(scanBufferLock());
    scanQueue().scans.clear();
    scanQueue().sink = nullptr;
}
}  // namespace scan_buffer_testing
