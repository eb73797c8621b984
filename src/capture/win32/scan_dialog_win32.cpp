// The scan dialog: a small modal dialog that only has to be in front while
// the reader types. Its edit box shows the keystrokes; the scan itself is what
// the keyboard hook collected.
#include "capture/dialog_position.h"
#include "capture/resource_ids.h"
#include "capture/scan_assembly.h"
#include "capture/win32/desktop.h"

HWND scanDialogWindow = nullptr;

namespace {

void centreInWorkArea(HWND dialog) {
    RECT workArea = {};
    RECT window = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    GetWindowRect(dialog, &window);
    DialogPosition position = centredDialogPosition(workArea.right, workArea.bottom, window.left,
                                                    window.top, window.right, window.bottom);
    SetWindowPos(dialog, nullptr, position.x, position.y, 186, 90, SWP_NOSIZE | SWP_NOOWNERZORDER);
}

}  // namespace

INT_PTR CALLBACK scanDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    switch (message) {
        case WM_INITDIALOG:
            scanDialogWindow = dialog;
            scanDialogOpened();
            centreInWorkArea(dialog);
            return TRUE;  // the focus goes to the edit box
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDOK:
                    // A lost hook may not have had the last keys (Enter
                    // among them, which works this button): the watchdog
                    // replays them first.
                    if (!scanDialogClosedByCommit()) checkKeyboardHook(true);
                    // Commits when the dialog is in front; the commit closes
                    // it through IDC_CLOSE_AFTER_SCAN.
                    scanDialogOk();
                    return TRUE;
                case IDCANCEL:
                case IDC_CLOSE_AFTER_SCAN:
                    EndDialog(dialog, static_cast<INT_PTR>(wParam));
                    return TRUE;
                default:
                    return FALSE;
            }
        case WM_CLOSE:
            EndDialog(dialog, 0);
            return FALSE;
        case WM_DESTROY:
            EndDialog(dialog, 0);
            return TRUE;
        default:
            return FALSE;
    }
}
