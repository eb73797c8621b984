#include <tchar.h>
#include <windows.h>

#include "host/service_host.h"
#include "platform/platform.h"

// The Windows program's entry: the instance goes to the user-interface
// thread, the command line to the properties loader.
int WINAPI _tWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow) {
    (void)hPrevInstance;
    (void)nCmdShow;
    int code = runServiceHost(hInstance, lpCmdLine != nullptr ? lpCmdLine : "");
    // The properties could not be loaded. The desktop thread may still be
    // setting up: end the way every other exit does, not through the
    // runtime's exit, which could wait for that thread.
    platform::exitProcess(code);
    return code;
}
