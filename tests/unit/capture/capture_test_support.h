#pragma once
// A fake desktop for the scan-assembly tests: the foreground window's title is
// whatever the test says, and closing the scan dialog is only counted.
#include <string>
#include <vector>

#include "hid/scan_assembly.h"
#include "hid/scan_buffer.h"

namespace hid_test {

class FakeDesktop {
public:
    FakeDesktop() {
        hid_testing::resetScanAssembly();
        hid_testing::clearScanBuffer();
        title() = kScanDialogTitle;
        closes() = 0;
        desktopSeam() = DesktopSeam{[] { return title(); }, [] { ++closes(); }};
    }
    ~FakeDesktop() {
        hid_testing::resetScanAssembly();
        hid_testing::clearScanBuffer();
    }
    FakeDesktop(const FakeDesktop&) = delete;
    FakeDesktop& operator=(const FakeDesktop&) = delete;

    static std::string& title() {
        static std::string value;
        return value;
    }
    static int& closes() {
        static int value = 0;
        return value;
    }
};

// Every queued scan, oldest first; the scan buffer is empty afterwards.
inline std::vector<std::string> takeAllScans() {
    std::vector<std::string> scans;
    std::string scan;
    while (takeScan(scan, std::string::npos) == ScanTake::taken) scans.push_back(scan);
    return scans;
}

}  // namespace hid_test
