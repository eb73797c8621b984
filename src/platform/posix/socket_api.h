#pragma once
// Winsock's names on POSIX sockets. The agent's socket code is written once
// against Winsock; here those names map onto the BSD calls, and
// WSAGetLastError reports errno as the Winsock code a Windows build would show.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

typedef int SOCKET;
typedef unsigned short WORD;

constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr int SD_BOTH = SHUT_RDWR;

// The Winsock error codes the agent's log lines show.
enum : int {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAEOPNOTSUPP = 10045,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
};

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
};

int WSAStartup(WORD version, WSADATA* data);
int WSACleanup();
int WSAGetLastError();

// Closes the socket. A plain close does not wake a thread blocked in recv on
// Linux, so the connection is shut down first, as closesocket does on Windows;
// with a zero linger time the peer gets a reset and no FIN, as from Winsock.
int closesocket(SOCKET s);

// FIONREAD (bytes pending) and FIONBIO (non-blocking mode).
int ioctlsocket(SOCKET s, long command, unsigned long* argument);

namespace platform {
// The Winsock code for an errno value; unknown values pass through unchanged.
int winsockErrorFromErrno(int error);
}  // namespace platform
