#include <errno.h>
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

// A refused connection reports Winsock's code on every platform: the
// network test tells "nothing listens" from "network down" by it.
TEST(SocketErrors, RefusedConnectionReportsWinsockCode) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);  // nothing listens on that port now

    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), 10061);
    closesocket(s);
}

#ifndef _WIN32
// The POSIX stand-in reports errno as the code Winsock would give; the codes
// are written as numbers, as Winsock documents them.
TEST(SocketErrors, ErrnoMapsToWinsockCode) {
    const struct {
        int error;
        int code;
    } pairs[] = {
        {EINTR, 10004},
        {EBADF, 10038},  // a closed handle: WSAENOTSOCK
        {EACCES, 10013},
        {EFAULT, 10014},
        {EINVAL, 10022},
        {EMFILE, 10024},
        {ENFILE, 10024},
        {EAGAIN, 10060},  // a blocking receive or send that timed out
        {EWOULDBLOCK, 10060},
        {EINPROGRESS, 10036},
        {EALREADY, 10037},
        {ENOTSOCK, 10038},
        {EDESTADDRREQ, 10039},
        {EMSGSIZE, 10040},
        {EPROTOTYPE, 10041},
        {ENOPROTOOPT, 10042},
        {EPROTONOSUPPORT, 10043},
        {EOPNOTSUPP, 10045},
        {EAFNOSUPPORT, 10047},
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {ENETDOWN, 10050},
        {ENETUNREACH, 10051},
        {ENETRESET, 10052},
        {ECONNABORTED, 10053},
        {ECONNRESET, 10054},
        {EPIPE, 10054},
        {ENOBUFS, 10055},
        {ENOMEM, 10055},
        {EISCONN, 10056},
        {ENOTCONN, 10057},
        {ESHUTDOWN, 10058},
        {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},
        {EHOSTDOWN, 10064},
        {EHOSTUNREACH, 10065},
        // No Winsock counterpart: the value passes through.
        {0, 0},
        {ENOENT, ENOENT},
        {EEXIST, EEXIST},
    };
    for (const auto& p : pairs) {
        EXPECT_EQ(platform::winsockErrorFromErrno(p.error), p.code) << "errno " << p.error;
        errno = p.error;
        EXPECT_EQ(WSAGetLastError(), p.code) << "errno " << p.error;
    }
}
#endif

}  // namespace
