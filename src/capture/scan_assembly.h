#pragma once
// Scan assembly: the characters typed while the scan dialog is in front are
// collected into the pending scan; Enter or Tab commits it to the scan buffer
// and closes the dialog. Runs on the user-interface thread only (the keyboard
// hook and the dialog both live there), so the pending scan needs no lock.
#include <string>

// The scan dialog's caption; a keystroke counts only while the foreground
// window carries exactly this title.
extern const char kScanDialogTitle[];

// What scan assembly needs from the desktop. The Win32 side reads the real
// foreground window and closes the real dialog; the POSIX side is a stand-in
// with no dialog; tests install their own.
struct DesktopSeam {
    // Title of the foreground window (at most 79 characters), empty when none.
    std::string (*foregroundWindowTitle)();
    // Tells the scan dialog to close after a commit (command 3).
    void (*closeScanDialog)();
};

DesktopSeam& desktopSeam();
DesktopSeam defaultDesktopSeam();  // from the platform's folder

// One translated character c: ignored unless the scan dialog is in front;
// 13 and 9 commit (an empty pending scan too), 8 removes the last character,
// printable characters are added, anything else is ignored.
void handleScanKey(unsigned char c);

// The scan dialog is the window in front: the foreground window's title is
// exactly kScanDialogTitle. A key counts for the scan only then.
bool isScanDialogInFront();

// One low-level keyboard event, as the hook receives it: follows Shift and
// Caps Lock and hands the character of a key press to handleScanKey.
// mapped is the low byte of MapVirtualKeyA(vkCode, MAPVK_VK_TO_CHAR).
void handleKeyboardEvent(unsigned message, unsigned vkCode, unsigned char mapped);

// A key event the hook missed, replayed later: like handleKeyboardEvent, but
// its character counts exactly when the scan dialog was in front as the key
// was typed (dialogWasInFront), whichever window is in front now.
void replayKeyboardEvent(unsigned message, unsigned vkCode, unsigned char mapped,
                         bool dialogWasInFront);

// True until the Caps Lock state has been taken from the system; the hook
// then reports it once through setInitialCapsLock.
bool needsInitialCapsLock();
void setInitialCapsLock(bool on);

// A Windows key is held as far as the events have told; forgetWindowsKeys
// is for a release that passed unseen (the system says neither is down).
bool windowsKeyHeld();
void forgetWindowsKeys();

// The scan dialog has opened.
void scanDialogOpened();

// The dialog's OK button. Commits like Enter, except when this dialog has
// already been closed by a commit: the Enter press that committed reaches the
// closing dialog afterwards and works its default button, which must not
// commit a second, empty scan.
void scanDialogOk();
// The dialog on screen has been told to close by a commit.
bool scanDialogClosedByCommit();

namespace scan_assembly_testing {
// Forgets the pending scan, Shift, Caps Lock and the dialog state, and
// restores the platform's desktop seam.
void resetScanAssembly();
}  // namespace scan_assembly_testing
