// Outside Windows there is no desktop: no hook, hot key, tray icon or dialog.
// The scan buffer and the probe are the same code as on Windows; scans reach
// them only through tests.
#include "capture/scan_assembly.h"
#include "capture/ui_thread.h"

namespace {
std::string noForegroundWindow() { return std::string(); }
void noScanDialog() {}
}  // namespace

DesktopSeam defaultDesktopSeam() { return DesktopSeam{noForegroundWindow, noScanDialog}; }

unsigned uiThreadMain(void* instance) {
    (void)instance;
    return 0;
}
