#pragma once
// The agent's Win32 desktop side, all on the user-interface thread: the
// hidden window and its tray icon, the low-level keyboard hook and the scan
// dialog. The logic behind them is portable (scan_assembly.h); these are the
// adapters to the system.
#include <windows.h>

#include <shellapi.h>

// The hidden window's class.
extern const char kAgentWindowClass[];

// The tray icon record in its first, shortest form.
extern NOTIFYICONDATAA trayIconData;

// The scan dialog most recently opened; not cleared when it closes.
extern HWND scanDialogWindow;

void registerAgentWindowClass(HINSTANCE instance, const char* className);
LRESULT CALLBACK agentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void addTrayIcon(HWND window, HINSTANCE instance);
void removeTrayIcon(HWND window);

// Installs the system-wide low-level keyboard hook for the calling thread,
// which must keep retrieving messages. 0, or GetLastError's code. Called
// again, it installs a new hook and then removes the one before.
int installKeyboardHook(HINSTANCE instance);
LRESULT CALLBACK keyboardHookProc(int code, WPARAM wParam, LPARAM lParam);
// What the hook does with one key event.
void deliverKeyEvent(unsigned message, unsigned vkCode);
// Replays a key event a lost hook missed, counted for the scan exactly when
// the scan dialog was in front as it was typed.
void replayKeyEvent(unsigned message, unsigned vkCode, bool dialogWasInFront);
// Removes the hook as Windows does when it overran its time-out (tests only).
void dropKeyboardHook();

// The hook's watchdog (hook_watchdog_win32.cpp), on the user-interface
// thread: raw keyboard input to the hidden window, compared with the hook's
// calls by a timer of that window.
class HookWatchdog;
extern HookWatchdog keyboardHookWatchdog;
// Registers the raw input and starts the timer. False when raw input cannot
// be had; the hook then goes unwatched, which the timer tells the log once
// it is open. hookInstalled: the first install of the hook worked.
bool startHookWatchdog(HWND window, HINSTANCE instance, bool hookInstalled);
// The hidden window's WM_INPUT and watchdog timer.
void hookWatchdogRawInput(HRAWINPUT input);
constexpr UINT_PTR kHookWatchdogTimer = 1;
// Checks the hook; urgent before acting on what it collected (the scan
// dialog's OK button), after the raw input still queued has been read.
void checkKeyboardHook(bool urgent);
// True when the environment enables the test-only hot key that drops the hook.
bool hookDropForTestsEnabled();

INT_PTR CALLBACK scanDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
