#pragma once
// On Windows the agent's socket code calls Winsock itself. winsock2.h must
// come before windows.h.
#include <winsock2.h>

#include <ws2tcpip.h>

#include <windows.h>
