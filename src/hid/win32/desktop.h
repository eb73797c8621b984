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
// which must keep retrieving messages. 0, or GetLastError's code.
int installKeyboardHook(HINSTANCE instance);
LRESULT CALLBACK keyboardHookProc(int code, WPARAM wParam, LPARAM lParam);

INT_PTR CALLBACK scanDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
