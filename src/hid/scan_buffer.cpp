#include "hid/scan_buffer.h"

#include <deque>

#include "platform/critical_section.h"

namespace {

// Both live for the whole process and are never destroyed, so a session
// thread still probing while the process exits never meets a dead lock.
CriticalSection& scanBufferLock() {
    static CriticalSection* lock = new CriticalSection;
    return *lock;
}

std::deque<std::string>& scanBuffer() {
    static std::deque<std::string>* scans = new std::deque<std::string>;
    return *scans;
}

}  // namespace

void initializeScanBufferLock() {
    scanBufferLock();
    scanBuffer();
}

void appendScan(const std::string& scan) {
    std::string copy = scan;  // copied before the lock is taken
    CriticalSectionGuard hold(scanBufferLock());
    scanBuffer().push_back(std::move(copy));
}

bool isScanAvailable() {
    CriticalSectionGuard hold(scanBufferLock());
    return !scanBuffer().empty();
}

ScanTake takeScan(std::string& scan, std::size_t room) {
    CriticalSectionGuard hold(scanBufferLock());
    std::deque<std::string>& scans = scanBuffer();
    if (scans.empty()) return ScanTake::none;
    if (scans.front().size() > room) return ScanTake::tooLong;
    scan = std::move(scans.front());
    scans.pop_front();
    return ScanTake::taken;
}

namespace hid_testing {
void clearScanBuffer() {
    CriticalSectionGuard hold(scanBufferLock());
    scanBuffer().clear();
}
}  // namespace hid_testing
