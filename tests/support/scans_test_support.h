#pragma once
// Helpers for the tests that look at the scan queue (their programs link
// vx_scans).
#include <string>
#include <vector>

#include "scans/scan_buffer.h"

namespace scans_test {

// Every queued scan, oldest first; the scan buffer is empty afterwards.
inline std::vector<std::string> takeAllScans() {
    std::vector<std::string> scans;
    std::string scan;
    while (takeScan(scan, std::string::npos) == ScanTake::taken) scans.push_back(scan);
    return scans;
}

}  // namespace scans_test
