#pragma once
// The user-interface thread: hidden window, tray icon, hot key, keyboard hook
// and scan dialog. The host starts it once, right after
// initializeScanBufferLock, and never waits for it. Outside Windows there is
// no desktop and the thread returns at once.

// instance: the program's module instance handle (HINSTANCE on Windows).
// Returns 0, in practice only when the hidden window cannot be created.
unsigned uiThreadMain(void* instance);
