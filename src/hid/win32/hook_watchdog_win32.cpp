// The keyboard hook's watchdog on the desktop: raw keyboard input to the
// hidden window (RIDEV_INPUTSINK, so it arrives whichever window is in front)
// is the second view of every key event, and a timer of that window asks the
// portable watchdog whether the hook still answers. A lost hook is installed
// again and the key events it missed are replayed, so a scan typed meanwhile
// arrives whole.
#include <cstdlib>
#include <cstring>

#include "common/activity_log.h"
#include "common/text_format.h"
#include "hid/hook_watchdog.h"
#include "hid/win32/desktop.h"

HookWatchdog keyboardHookWatchdog;

namespace {

constexpr UINT kCheckIntervalMs = 250;
constexpr USHORT kGenericDesktopPage = 0x01;
constexpr USHORT kKeyboardUsage = 0x06;
// Enables the test-only hot key that drops the hook.
const char kHookDropVariable[] = "VXHID_TEST_HOOK_DROP";

HWND watchdogWindow = nullptr;
HINSTANCE hookInstance = nullptr;

constexpr USHORT kRightShiftScanCode = 0x36;
constexpr USHORT kNoVirtualKey = 0xFF;

std::uint64_t nowMs() { return GetTickCount64(); }

// Raw input names both Shift keys VK_SHIFT and tells them apart by the scan
// code; the hook, and so the translation, sees VK_LSHIFT and VK_RSHIFT.
unsigned hookVirtualKey(const RAWKEYBOARD& keyboard) {
    if (keyboard.VKey == VK_SHIFT) {
        return keyboard.MakeCode == kRightShiftScanCode ? VK_RSHIFT : VK_LSHIFT;
    }
    return keyboard.VKey;
}

// Takes the raw input still queued for this thread, so that a check sees
// every key event that has happened so far.
void readQueuedRawInput() {
    MSG message;
    while (PeekMessageA(&message, nullptr, WM_INPUT, WM_INPUT, PM_REMOVE)) {
        DispatchMessageA(&message);
    }
}

}  // namespace

bool startHookWatchdog(HWND window, HINSTANCE instance) {
    watchdogWindow = window;
    hookInstance = instance;
    RAWINPUTDEVICE device = {};
    device.usUsagePage = kGenericDesktopPage;
    device.usUsage = kKeyboardUsage;
    device.dwFlags = RIDEV_INPUTSINK;
    device.hwndTarget = window;
    if (!RegisterRawInputDevices(&device, 1, sizeof device)) {
        writeLog("KeyboardHook::startWatchdog",
                 formatText("Raw keyboard input not available, error %lu - the keyboard hook is "
                            "not watched",
                            GetLastError()),
                 1);
        return false;
    }
    keyboardHookWatchdog.restart();
    SetTimer(window, kHookWatchdogTimer, kCheckIntervalMs, nullptr);
    return true;
}

void hookWatchdogRawInput(HRAWINPUT input) {
    RAWINPUT raw;
    UINT size = sizeof raw;
    if (GetRawInputData(input, RID_INPUT, &raw, &size, sizeof(RAWINPUTHEADER)) == (UINT)-1) return;
    if (raw.header.dwType != RIM_TYPEKEYBOARD) return;
    // The keyboard's own filler events (a Shift with the E0 prefix around
    // the grey navigation keys, key code 0xFF) are no keys the operator
    // pressed; leaving them out keeps the two views alike.
    const RAWKEYBOARD& keyboard = raw.data.keyboard;
    if (keyboard.VKey == kNoVirtualKey) return;
    if (keyboard.VKey == VK_SHIFT && (keyboard.Flags & RI_KEY_E0) != 0) return;
    keyboardHookWatchdog.rawKeyEvent(RawKeyEvent{keyboard.Message, hookVirtualKey(keyboard)},
                                     nowMs());
}

void checkKeyboardHook(bool urgent) {
    if (watchdogWindow == nullptr) return;
    // Every key event raw input has reported by now counts: one left queued
    // would be neither replayed below nor seen by the new hook.
    readQueuedRawInput();
    HookWatchdog::Loss loss;
    if (!keyboardHookWatchdog.hookLost(nowMs(), urgent, loss)) return;
    const char tag[] = "KeyboardHook::watchdog";
    const int error = installKeyboardHook(hookInstance);
    // The keys typed meanwhile, in their order, as the hook would have had them.
    for (const RawKeyEvent& event : loss.missed) deliverKeyEvent(event.message, event.vkCode);
    if (error != 0) {
        writeLog(tag,
                 formatText("Keyboard hook no longer receives keys - installing it again failed, "
                            "error %d",
                            error),
                 1);
        return;
    }
    // A hook that stays silent after being installed again is told once at
    // level 1, then only in detail, so that it cannot fill the log.
    writeLog(tag,
             formatText("Keyboard hook no longer receives keys - installed again, %d missed key "
                        "events replayed, %d lost",
                        static_cast<int>(loss.missed.size()), static_cast<int>(loss.dropped)),
             loss.again ? 3 : 1);
}

bool hookDropForTestsEnabled() {
    static const bool enabled = [] {
        const char* value = std::getenv(kHookDropVariable);
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return enabled;
}
