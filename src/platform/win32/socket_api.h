#pragma once
// On Windows the agent's socket code calls Winsock itself.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
