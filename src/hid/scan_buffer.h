#pragma once
// The scan buffer: completed scans, oldest first, shared between the
// user-interface thread that commits them and the session thread whose probe
// takes them. Every append, count and take holds the scan-buffer lock for that
// one step only.
#include <cstddef>
#include <string>

// Readies the scan-buffer lock. The host calls it first thing at start-up,
// before any other thread runs.
void initializeScanBufferLock();

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
ScanTake takeScan(std::string& scan, std::size_t room);

namespace hid_testing {
// Empties the scan buffer.
void clearScanBuffer();
}  // namespace hid_testing
