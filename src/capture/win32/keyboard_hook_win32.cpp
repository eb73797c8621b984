// The low-level keyboard hook: a thin adapter that reads the event, asks the
// system for the key's character and the Caps Lock state, and leaves the rest
// to the portable scan assembly. It must return quickly: Windows silently
// removes a low-level hook that overruns its time-out.
#include <string>

#include "capture/hook_watchdog.h"
#include "capture/key_translation.h"
#include "capture/resource_ids.h"
#include "capture/scan_assembly.h"
#include "capture/win32/desktop.h"

namespace {

// The hook installed last; the watchdog replaces it when it is lost.
HHOOK keyboardHook = nullptr;

bool isKeyDown(int vk) { return (GetAsyncKeyState(vk) & 0x8000) != 0; }

std::string foregroundWindowTitle() {
    HWND foreground = GetForegroundWindow();
    if (foreground == nullptr) return std::string();
    char title[80] = {};
    int length = GetWindowTextA(foreground, title, sizeof title);
    if (length <= 0) return std::string();
    if (length > static_cast<int>(sizeof title) - 1) length = sizeof title - 1;
    return std::string(title, static_cast<std::size_t>(length));
}

// The dialog belongs to this thread, so the message is a direct call of its
// procedure. A handle that no longer names a window of this thread (the
// dialog closed, the value reused by another program) gets nothing: the hook
// must never wait on another process.
void closeScanDialog() {
    if (scanDialogWindow == nullptr) return;
    if (GetWindowThreadProcessId(scanDialogWindow, nullptr) != GetCurrentThreadId()) return;
    SendMessageA(scanDialogWindow, WM_COMMAND, IDC_CLOSE_AFTER_SCAN, 0);
}

}  // namespace

DesktopSeam defaultDesktopSeam() { return DesktopSeam{foregroundWindowTitle, closeScanDialog}; }

int installKeyboardHook(HINSTANCE instance) {
    HHOOK hook = SetWindowsHookExA(WH_KEYBOARD_LL, keyboardHookProc, instance, 0);
    if (hook == nullptr) return static_cast<int>(GetLastError());
    // A hook that the system removed fails to unhook; that is all right.
    if (keyboardHook != nullptr) UnhookWindowsHookEx(keyboardHook);
    keyboardHook = hook;
    return 0;
}

void dropKeyboardHook() {
    if (keyboardHook != nullptr) UnhookWindowsHookEx(keyboardHook);
    keyboardHook = nullptr;
}

namespace {

unsigned char mappedCharacter(unsigned message, unsigned vkCode) {
    if (needsInitialCapsLock()) setInitialCapsLock((GetKeyState(VK_CAPITAL) & 1) != 0);
    if (keyEventKind(message) != KeyEventKind::press) return 0;
    // The low byte only: the dead-key flag in the high bits goes.
    return static_cast<unsigned char>(MapVirtualKeyA(vkCode, MAPVK_VK_TO_CHAR));
}

}  // namespace

void deliverKeyEvent(unsigned message, unsigned vkCode) {
    handleKeyboardEvent(message, vkCode, mappedCharacter(message, vkCode));
}

void replayKeyEvent(unsigned message, unsigned vkCode, bool dialogWasInFront) {
    replayKeyboardEvent(message, vkCode, mappedCharacter(message, vkCode), dialogWasInFront);
}

LRESULT CALLBACK keyboardHookProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && lParam != 0) {
        const KBDLLHOOKSTRUCT* event = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam);
        keyboardHookWatchdog.hookCalled(static_cast<unsigned>(wParam), event->vkCode);
        // A Windows key's release can pass unseen (Win+L locks the desktop
        // and the key goes up on another one): while it looks held, a key
        // press asks the system, which is only this rare case's cost.
        if (windowsKeyHeld() &&
            keyEventKind(static_cast<unsigned>(wParam)) == KeyEventKind::press &&
            !isKeyDown(VK_LWIN) && !isKeyDown(VK_RWIN)) {
            forgetWindowsKeys();
        }
        deliverKeyEvent(static_cast<unsigned>(wParam), event->vkCode);
    }
    // Every key is passed on, so it also reaches the window in front.
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
