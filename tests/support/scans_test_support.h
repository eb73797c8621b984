#pragma once
// Helpers for the tests that look at the scan queue (their programs link
// vx_scans).
#include <string>
#include <vector>

#include "scans/probe.h"
#include "scans/scan_buffer.h"

// The text of the oldest scan alone, for tests that do not look at its
// sequence number.
inline ScanTake takeScan(std::string& scan, std::size_t room) {
    QueuedScan taken;
    ScanTake result = takeScan(taken, room);
    if (result == ScanTake::taken) scan = std::move(taken.text);
    return result;
}

// A probe whose taken scans the test does not need.
inline bool probeScans(std::string& answer) {
    std::vector<QueuedScan> taken;
    return probeScans(answer, taken);
}

namespace scans_test {

// Every queued scan, oldest first; the scan buffer is empty afterwards.
inline std::vector<std::string> takeAllScans() {
    std::vector<std::string> scans;
    std::string scan;
    while (takeScan(scan, std::string::npos) == ScanTake::taken) scans.push_back(scan);
    return scans;
}

}  // namespace scans_test
