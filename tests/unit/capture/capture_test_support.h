#pragma once
// A fake desktop for the scan-assembly tests: the foreground window's title is
// whatever the test says, and closing the scan dialog is only counted.
#include <string>

#include "capture/scan_assembly.h"
#include "scans/scan_buffer.h"

namespace capture_test {

class FakeDesktop {
public:
    FakeDesktop() {
        scan_assembly_testing::resetScanAssembly();
        scan_buffer_testing::clearScanBuffer();
        title() = kScanDialogTitle;
        closes() = 0;
        desktopSeam() = DesktopSeam{[] { return title(); }, [] { ++closes(); }};
    }
    ~FakeDesktop() {
        scan_assembly_testing::resetScanAssembly();
        scan_buffer_testing::clearScanBuffer();
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

}  // namespace capture_test
