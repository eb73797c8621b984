#include "capture/scan_assembly.h"

#include "capture/key_translation.h"
#include "scans/scan_buffer.h"

const char kScanDialogTitle[] = "Vexmoor HID";

namespace {

constexpr unsigned char kCarriageReturn = 13;
constexpr unsigned char kTab = 9;
constexpr unsigned char kBackspace = 8;

// All of this is touched by the user-interface thread only.
KeyboardState keyboard;
// Never destroyed: another thread may end the process, exit handlers
// included, while the hook is adding a key here.
std::string& pendingScan = *new std::string;
// The dialog on screen has been told to close by a commit.
bool dialogClosedByCommit = false;

}  // namespace

DesktopSeam& desktopSeam() {
    static DesktopSeam seam = defaultDesktopSeam();
    return seam;
}

bool isScanDialogInFront() { return desktopSeam().foregroundWindowTitle() == kScanDialogTitle; }

namespace {

void addScanKey(unsigned char c, bool dialogInFront) {
    if (!dialogInFront) return;
    if (c == kCarriageReturn || c == kTab) {
        appendScan(pendingScan);
        pendingScan.clear();
        dialogClosedByCommit = true;
        desktopSeam().closeScanDialog();
    } else if (c == kBackspace) {
        if (!pendingScan.empty()) pendingScan.pop_back();
    } else if (isPrintable(c)) {
        pendingScan += static_cast<char>(c);
    }
}

}  // namespace

void handleScanKey(unsigned char c) { addScanKey(c, isScanDialogInFront()); }

void handleKeyboardEvent(unsigned message, unsigned vkCode, unsigned char mapped) {
    if (std::optional<unsigned char> c =
            translateKeyEvent(keyboard, keyEventKind(message), vkCode, mapped)) {
        handleScanKey(*c);
    }
}

void replayKeyboardEvent(unsigned message, unsigned vkCode, unsigned char mapped,
                         bool dialogWasInFront) {
    if (std::optional<unsigned char> c =
            translateKeyEvent(keyboard, keyEventKind(message), vkCode, mapped)) {
        addScanKey(*c, dialogWasInFront);
    }
}

bool needsInitialCapsLock() { return !keyboard.capsStateRead; }

void setInitialCapsLock(bool on) {
    keyboard.capsStateRead = true;
    keyboard.capsLockOn = on;
}

bool windowsKeyHeld() { return keyboard.leftWindowsDown || keyboard.rightWindowsDown; }

void forgetWindowsKeys() {
    keyboard.leftWindowsDown = false;
    keyboard.rightWindowsDown = false;
}

void scanDialogOpened() { dialogClosedByCommit = false; }

bool scanDialogClosedByCommit() { return dialogClosedByCommit; }

void scanDialogOk() {
    if (dialogClosedByCommit) return;
    handleScanKey(kCarriageReturn);
}

namespace scan_assembly_testing {
void resetScanAssembly() {
    keyboard = KeyboardState{};
    pendingScan.clear();
    dialogClosedByCommit = false;
    desktopSeam() = defaultDesktopSeam();
}
}  // namespace scan_assembly_testing
