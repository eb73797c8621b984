#include "capture/scan_assembly.h"

#include <atomic>

#include "capture/key_translation.h"
#include "common/utf8.h"
#include "scans/scan_buffer.h"

const char kScanDialogTitle[] = "Vexmoor HID";

namespace {

constexpr unsigned char kCarriageReturn = 13;
constexpr unsigned char kTab = 9;
constexpr unsigned char kBackspace = 8;

// All of this is touched by the user-interface thread only.
KeyboardState keyboard;
KeyTranslator& translator() {
    static KeyTranslator* translator = new KeyTranslator(systemKeyboardLayouts(), keyboard);
    return *translator;
}
// Written once by the host's thread at start-up.
std::atomic<bool> usTranslation{false};
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

void commitPendingScan() {
    appendScan(pendingScan);
    pendingScan.clear();
    dialogClosedByCommit = true;
    desktopSeam().closeScanDialog();
}

// The pending scan is UTF-8: its last character may be several bytes.
void removeLastCharacter() { pendingScan.erase(lastCharacterStart(pendingScan)); }

void addScanKey(unsigned char c, bool dialogInFront) {
    if (!dialogInFront) return;
    if (c == kCarriageReturn || c == kTab) {
        commitPendingScan();
    } else if (c == kBackspace) {
        removeLastCharacter();
    } else if (isPrintable(c)) {
        pendingScan += static_cast<char>(c);
    }
}

// Called only for a key event typed while the dialog was in front.
void addOutcome(const KeyOutcome& outcome) {
    pendingScan += outcome.text;
    if (outcome.action == KeyOutcome::Action::commit) {
        commitPendingScan();
    } else if (outcome.action == KeyOutcome::Action::backspace) {
        removeLastCharacter();
    }
}

void translateAndAdd(const KeyEvent& event, bool (*dialogInFront)(), bool recordedInFront) {
    KeyTranslator& keys = translator();
    if (!keys.follow(event)) return;
    const bool inFront = dialogInFront != nullptr ? dialogInFront() : recordedInFront;
    const KeyOutcome outcome = keys.translate(event, inFront);
    if (inFront) addOutcome(outcome);
}

}  // namespace

void handleScanKey(unsigned char c) { addScanKey(c, isScanDialogInFront()); }

void handleKeyEvent(const KeyEvent& event) { translateAndAdd(event, isScanDialogInFront, false); }

void replayKeyEvent(const KeyEvent& event, bool dialogWasInFront) {
    translateAndAdd(event, nullptr, dialogWasInFront);
}

void setUsKeyTranslation(bool on) { usTranslation.store(on); }

bool usKeyTranslation() { return usTranslation.load(); }

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

bool controlOrAltHeld() { return keyboard.controlDown() || keyboard.altDown(); }

void forgetReleasedControlAndAlt(bool (*isDown)(unsigned vk)) {
    forgetReleasedControlAndAlt(keyboard, isDown);
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
    translator().forgetPending();
    translator().setLayouts(systemKeyboardLayouts());
    usTranslation.store(false);
    pendingScan.clear();
    dialogClosedByCommit = false;
    desktopSeam() = defaultDesktopSeam();
}

void useKeyboardLayouts(KeyboardLayouts& layouts) { translator().setLayouts(layouts); }
}  // namespace scan_assembly_testing
