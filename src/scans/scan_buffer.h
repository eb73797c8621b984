#pragma once
// The scan buffer: completed scans, oldest first, shared between the
// user-interface thread that commits them and the session thread whose probe
// takes them. Every append, count and take holds the scan-buffer lock for that
// one step only.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Readies the scan-buffer lock. The host calls it first thing at start-up,
// before any other thread runs.
void initializeScanBufferLock();

// A queued scan and its place in commit order: every commit gets the next
// number, so the queue is always in ascending order of numbers.
struct QueuedScan {
    std::uint64_t sequence = 0;
    std::string text;
};

// Queues a copy of scan at the back.
void appendScan(const std::string& scan);

// True when at least one scan is queued.
bool isScanAvailable();

enum class ScanTake {
    none,     // nothing queued
    taken,    // the oldest scan was moved into the destination and dequeued
    tooLong,  // the oldest scan is longer than the room given; it stays queued
};

// Takes the oldest scan whole into scan, provided it has at most room
// characters. Checking and taking happen under one hold of the lock, so a
// scan is never cut or lost here.
ScanTake takeScan(QueuedScan& scan, std::size_t room);

// Puts scans taken earlier back at the front of the queue, in their order,
// ahead of every scan committed since: an answer that did not reach the peer
// gives its scans back for the next probe. scans is emptied.
void requeueScans(std::vector<QueuedScan>& scans);

// Where every commit goes besides the queue (the scan journal). Called under
// the scan-buffer lock, in commit order, on the committing thread: it must
// only hand the scan over, never wait.
using CommitSink = void (*)(std::uint64_t sequence, const std::string& text);

// Puts the recovered scans at the front of the queue, ahead of any scan
// committed before, numbers every queued scan afresh from 1 in queue order,
// and from then on hands every commit to sink. Returns the queue as numbered.
std::vector<QueuedScan> restoreScans(const std::vector<std::string>& recovered, CommitSink sink);

namespace scan_buffer_testing {
// Empties the scan buffer and forgets the commit sink.
void clearScanBuffer();
}  // namespace scan_buffer_testing
