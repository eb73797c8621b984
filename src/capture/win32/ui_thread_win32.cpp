// The user-interface thread: a hidden window with the tray icon, the hot key
// Win+H that opens the scan dialog, and the keyboard hook, all served by this
// thread's message loop.
#include "capture/keyboard_layout.h"
#include "capture/resource_ids.h"
#include "capture/scan_assembly.h"
#include "capture/ui_thread.h"
#include "capture/win32/desktop.h"
#include "common/activity_log.h"
#include "platform/platform.h"

const char kAgentWindowClass[] = "TesselHID";
NOTIFYICONDATAA trayIconData;

namespace {

constexpr UINT kTrayIconId = 100;
constexpr UINT kTrayCallbackMessage = WM_USER + 1;
constexpr int kScanHotKey = 1;  // Win+H
constexpr int kStopHotKey = 2;  // posted from outside to end the agent
// Posted by the end-to-end tests to drop the keyboard hook as Windows does;
// acted on only when the environment enables it (hookDropForTestsEnabled).
// Kept because Windows removes a hook that overran its time-out without a
// word while Wine never does: only this shows, under Wine, that the watchdog
// puts the hook back without losing keys.
constexpr WPARAM kDropHookForTestsHotKey = 0x7E57;

// Sent to every top-level window when the task bar is created again
// (Explorer restarted): the tray icons it showed are gone.
UINT taskbarCreatedMessage = 0;

// The icon record's first form (88 bytes in a 32-bit build): no tip, no
// balloon, understood by every shell.
constexpr DWORD kTrayIconDataSize = NOTIFYICONDATAA_V1_SIZE;

}  // namespace

void registerAgentWindowClass(HINSTANCE instance, const char* className) {
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof(WNDCLASSEXA);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = agentWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_AGENT));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = className;
    windowClass.hIconSm = windowClass.hIcon;
    RegisterClassExA(&windowClass);  // a failure shows as CreateWindowExA's
}

LRESULT CALLBACK agentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return 0;
        case WM_DESTROY:
            Shell_NotifyIconA(NIM_DELETE, &trayIconData);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            BeginPaint(window, &paint);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_COMMAND:            // the accelerator's command 103 included
        case kTrayCallbackMessage:  // clicks and moves over the tray icon
            return 0;
        case WM_INPUT:
            hookWatchdogRawInput(reinterpret_cast<HRAWINPUT>(lParam));
            return DefWindowProcA(window, message, wParam, lParam);
        case WM_TIMER:
            if (wParam == kHookWatchdogTimer) checkKeyboardHook(false);
            return 0;
        case WM_HOTKEY:
            if (wParam == kDropHookForTestsHotKey && hookDropForTestsEnabled()) dropKeyboardHook();
            // The message loop ends the agent on a stop; one that gets here
            // came through the scan dialog's loop and is ignored, so that a
            // scan being typed is not cut off. Said, so a scripted stop that
            // did nothing can be explained.
            if (wParam == kStopHotKey) {
                writeLog("UIThread::hotKey", "Stop message ignored while the scan dialog is open",
                         1);
            }
            return DefWindowProcA(window, message, wParam, lParam);
        default:
            if (message == taskbarCreatedMessage && taskbarCreatedMessage != 0) {
                Shell_NotifyIconA(NIM_ADD, &trayIconData);
                writeLog("TrayIcon::taskbarCreated", "Task bar created - tray icon added again", 3);
                return 0;
            }
            // A hot-key message dispatched here (by the scan dialog's loop,
            // or after the message loop looked at it) does nothing.
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

void addTrayIcon(HWND window, HINSTANCE instance) {
    trayIconData.cbSize = kTrayIconDataSize;
    trayIconData.hWnd = window;
    trayIconData.uID = kTrayIconId;
    trayIconData.uCallbackMessage = kTrayCallbackMessage;
    trayIconData.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_AGENT));
    trayIconData.uFlags = NIF_MESSAGE | NIF_ICON;
    Shell_NotifyIconA(NIM_ADD, &trayIconData);
}

void removeTrayIcon(HWND window) {
    trayIconData.cbSize = kTrayIconDataSize;
    trayIconData.hWnd = window;
    trayIconData.uID = kTrayIconId;
    Shell_NotifyIconA(NIM_DELETE, &trayIconData);
}

unsigned uiThreadMain(void* instanceHandle) {
    HINSTANCE instance = static_cast<HINSTANCE>(instanceHandle);
    registerAgentWindowClass(instance, kAgentWindowClass);
    HWND window = CreateWindowExA(0, kAgentWindowClass, nullptr, WS_DISABLED, CW_USEDEFAULT, 0,
                                  CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 0;
    EnableWindow(window, TRUE);
    UpdateWindow(window);
    taskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
    // Explorer runs with lower rights than an agent started as administrator;
    // its message must still get through.
    if (taskbarCreatedMessage != 0) {
        ChangeWindowMessageFilterEx(window, taskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
    }
    addTrayIcon(window, instance);
    // The layouts' tables are read from here on, on a thread of their own,
    // so that the hook finds them read; -L US needs none.
    if (!usKeyTranslation()) systemKeyboardLayouts();
    // Without the hook no scans, the rest still works.
    const bool hookInstalled = installKeyboardHook(instance) == 0;
    startHookWatchdog(window, instance, hookInstalled);
    HACCEL accelerators = LoadAcceleratorsA(instance, AGENT_ACCELERATORS);
    RegisterHotKey(window, kScanHotKey, MOD_WIN, 'H');

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_HOTKEY) {
            if (message.wParam == kScanHotKey) {
                // Waits until the dialog ends; its own loop serves the thread
                // meanwhile, keyboard hook included. A Unicode dialog, so that
                // its edit box shows every character the layout types.
                DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_SCAN_DIALOG), nullptr, scanDialogProc,
                                0);
            } else if (message.wParam == kStopHotKey) {
                removeTrayIcon(window);
                platform::exitProcess(0);
            }
        }
        if (!TranslateAcceleratorA(window, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return 0;
}
