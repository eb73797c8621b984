#include <tchar.h>
#include <windows.h>

#include "host/service_host.h"

// The Windows program's entry: the instance goes to the user-interface
// thread, the command line to the properties loader.
int WINAPI _tWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow) {
    (void)hPrevInstance;
    (void)nCmdShow;
    return runServiceHost(hInstance, lpCmdLine != nullptr ? lpCmdLine : "");
}
