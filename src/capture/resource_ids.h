#pragma once
// Identifiers of the program's resources (resources/vxhid.rc) and of the
// commands the desktop code reacts to. Plain macros: the resource compiler
// reads this file too.

#define IDI_AGENT 101           // tray and window icon
#define IDD_SCAN_DIALOG 102     // the scan dialog
#define IDM_ACCEL_COMMAND 103   // Ctrl+Alt+P, received and ignored
#define IDC_SCAN_EDIT 1000      // the scan dialog's edit box
#define IDC_CLOSE_AFTER_SCAN 3  // sent to the scan dialog after a commit
#define AGENT_ACCELERATORS "VEXMOORACCEL"
