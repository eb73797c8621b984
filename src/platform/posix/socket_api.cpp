#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>

#include "platform/platform.h"

namespace {

struct ErrorPair {
    int errnoValue;
    int winsockCode;
};

// One table: errno as the matching Winsock code. A receive or send time-out
// on a blocking socket shows as EAGAIN, which Winsock reports as WSAETIMEDOUT.
const ErrorPair kErrorTable[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAETIMEDOUT},
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

}  // namespace

namespace platform {

int winsockErrorFromErrno(int error) {
    for (const ErrorPair& pair : kErrorTable) {
        if (pair.errnoValue == error) return pair.winsockCode;
    }
    return error;
}

}  // namespace platform

int WSAStartup(WORD version, WSADATA* data) {
    if (data != nullptr) {
        memset(data, 0, sizeof *data);
        data->wVersion = version;
        data->wHighVersion = 0x0202;
    }
    // A send to a peer that has gone must fail with an error, as on Windows,
    // not end the process with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

int WSACleanup() { return 0; }

int WSAGetLastError() { return platform::winsockErrorFromErrno(errno); }

int closesocket(SOCKET s) {
    // A zero linger time asks for an abortive close: Winsock then sends a
    // reset and no FIN, so only the receive side is shut down here (which
    // still wakes a blocked recv) and close sends the reset.
    linger lingerOption{};
    socklen_t length = sizeof lingerOption;
    bool abortive = getsockopt(s, SOL_SOCKET, SO_LINGER, &lingerOption, &length) == 0 &&
                    lingerOption.l_onoff != 0 && lingerOption.l_linger == 0;
    shutdown(s, abortive ? SHUT_RD : SHUT_RDWR);
    return close(s) == 0 ? 0 : SOCKET_ERROR;
}

int ioctlsocket(SOCKET s, long command, unsigned long* argument) {
    if (command == static_cast<long>(FIONREAD)) {
        int pending = 0;
        if (ioctl(s, FIONREAD, &pending) != 0) return SOCKET_ERROR;
        *argument = static_cast<unsigned long>(pending);
        return 0;
    }
    if (command == static_cast<long>(FIONBIO)) {
        int flags = fcntl(s, F_GETFL, 0);
        if (flags < 0) return SOCKET_ERROR;
        flags = *argument != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
        return fcntl(s, F_SETFL, flags) == 0 ? 0 : SOCKET_ERROR;
    }
    errno = EINVAL;
    return SOCKET_ERROR;
}
