// The keyboard hook's watchdog on the desktop: raw keyboard input to the
// hidden window (RIDEV_INPUTSINK, so it arrives whichever window is in front)
// is the second view of every key event, and a timer of that window asks the
// portable watchdog whether the hook still answers. A lost hook is installed
// again and the key events it missed are replayed, so a scan typed meanwhile
// arrives whole.
#include <cstdlib>

#include "capture/hook_watchdog.h"
#include "capture/scan_assembly.h"
#include "capture/win32/desktop.h"
#include "common/activity_log.h"
#include "common/text_format.h"

HookWatchdog keyboardHookWatchdog;

namespace {

constexpr UINT kCheckIntervalMs = 250;
// The longest the OK button waits for the hook to answer the keys raw input
// reported; the watchdog decides well within it.
constexpr std::uint64_t kUrgentWaitLimitMs = 2 * HookWatchdog::kUrgentAnswerMs;
constexpr DWORD kUrgentPollMs = 10;
constexpr USHORT kGenericDesktopPage = 0x01;
constexpr USHORT kKeyboardUsage = 0x06;
// Enables the test-only hot key that drops the hook.
const char kHookDropVariable[] = "VXHID_TEST_HOOK_DROP";
const char kTag[] = "KeyboardHook::watchdog";

// The hidden window, once raw input to it is registered.
HWND watchdogWindow = nullptr;
// The hidden window, which carries the watchdog's timer either way.
HWND timerWindow = nullptr;
HINSTANCE hookInstance = nullptr;
// Raw input could not be registered at start-up (its error), not yet told:
// the log opens only after the user-interface thread has started.
DWORD untoldStartError = 0;

std::uint64_t nowMs() { return GetTickCount64(); }

// Takes the raw input still queued for this thread, so that a check sees
// every key event that has happened so far. Retrieving messages also lets
// the system call the hook for the keys it holds for it.
void readQueuedRawInput() {
    MSG message;
    while (PeekMessageA(&message, nullptr, WM_INPUT, WM_INPUT, PM_REMOVE)) {
        DispatchMessageA(&message);
    }
}

// Asks the watchdog; an urgent check whose events are still young lets the
// thread serve the hook and raw input a moment and asks again.
HookWatchdog::Verdict checkWhenDecided(bool urgent, HookWatchdog::Loss& loss) {
    readQueuedRawInput();
    const std::uint64_t start = nowMs();
    for (;;) {
        const HookWatchdog::Verdict verdict = keyboardHookWatchdog.check(nowMs(), urgent, loss);
        if (verdict != HookWatchdog::Verdict::waiting) return verdict;
        if (nowMs() - start > kUrgentWaitLimitMs) return HookWatchdog::Verdict::working;
        Sleep(kUrgentPollMs);
        readQueuedRawInput();
    }
}

void tellStartErrorOnceTheLogIsOpen() {
    if (untoldStartError == 0 || !logFileOpen()) return;
    writeLog(kTag,
             formatText("Raw keyboard input not available, error %lu - the keyboard hook is "
                        "not watched",
                        untoldStartError),
             1);
    untoldStartError = 0;
    KillTimer(timerWindow, kHookWatchdogTimer);
}

}  // namespace

bool startHookWatchdog(HWND window, HINSTANCE instance, bool hookInstalled) {
    hookInstance = instance;
    timerWindow = window;
    if (!hookInstalled) keyboardHookWatchdog.firstInstallFailed();
    RAWINPUTDEVICE device = {};
    device.usUsagePage = kGenericDesktopPage;
    device.usUsage = kKeyboardUsage;
    device.dwFlags = RIDEV_INPUTSINK;
    device.hwndTarget = window;
    const bool watched = RegisterRawInputDevices(&device, 1, sizeof device) != FALSE;
    if (watched) {
        keyboardHookWatchdog.restart();
        watchdogWindow = window;
    } else {
        // The timer then only waits for the log to tell this.
        untoldStartError = GetLastError();
        if (untoldStartError == 0) untoldStartError = ERROR_GEN_FAILURE;
    }
    SetTimer(window, kHookWatchdogTimer, kCheckIntervalMs, nullptr);
    return watched;
}

void hookWatchdogRawInput(HRAWINPUT input) {
    RAWINPUT raw;
    UINT size = sizeof raw;
    if (GetRawInputData(input, RID_INPUT, &raw, &size, sizeof(RAWINPUTHEADER)) == (UINT)-1) return;
    if (raw.header.dwType != RIM_TYPEKEYBOARD) return;
    const RAWKEYBOARD& keyboard = raw.data.keyboard;
    std::optional<unsigned> vkCode =
        hookKeyOfRawInput(RawKeyboardFields{keyboard.VKey, keyboard.MakeCode, keyboard.Flags});
    if (!vkCode) return;
    // The window the key went to is the one in front now, as it arrives; a
    // replay counts the key for that window, not for the one in front then.
    keyboardHookWatchdog.rawKeyEvent(RawKeyEvent{keyboard.Message, *vkCode, isScanDialogInFront()},
                                     nowMs());
}

void checkKeyboardHook(bool urgent) {
    if (watchdogWindow == nullptr) {
        if (!urgent) tellStartErrorOnceTheLogIsOpen();
        return;
    }
    // Every key event raw input has reported by now counts: one left queued
    // would be neither replayed below nor seen by the new hook.
    HookWatchdog::Loss loss;
    if (checkWhenDecided(urgent, loss) != HookWatchdog::Verdict::lost) return;
    const int error = installKeyboardHook(hookInstance);
    // The keys typed meanwhile, in their order, as the hook would have had
    // them, each counted for the window it was typed into.
    for (const RawKeyEvent& event : loss.missed) {
        replayKeyEvent(event.message, event.vkCode, event.dialogInFront);
    }
    const HookWatchdog::Report report = keyboardHookWatchdog.report(loss, error, nowMs());
    if (report.level != 0) writeLog(kTag, report.text, report.level);
}

bool hookDropForTestsEnabled() {
    static const bool enabled = hookDropForTestsAllowed(std::getenv(kHookDropVariable));
    return enabled;
}
