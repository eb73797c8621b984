#pragma once
// The agent's TCP socket: the start-up network probe, the listening socket
// and one wrapper per accepted connection. Every operation reports its
// failure by its result and writes its own log line; IPv4 only.
#include <atomic>
#include <string>

#include "platform/platform.h"

class vSecureSocket {
public:
    // The socket, INVALID_SOCKET when there is none or after closeSocket.
    // Atomic because the host closes a session's socket while the session
    // thread may still be polling it.
    std::atomic<SOCKET> handle{INVALID_SOCKET};
    int receiveTimeout = 0;  // milliseconds, stored by setTimeout
    int sendTimeout = 0;     // milliseconds; also sets how long CanRead polls
    std::string address;     // dotted address the listener is bound to
    std::atomic<bool> connected{false};

    // The start-up network test; its lines go to logFile through
    // writeLogDirect. True means "do not start": no TCP/IP, the local host is
    // unknown, or something already answers on host:port.
    bool testTDncSocket(std::string host, std::string port, std::string logFile);

    // Creates the socket and binds it to host:port.
    bool initialize(std::string host, std::string port);
    bool doListen();
    // Blocks until a connection arrives and hands it to client.
    bool doAccept(vSecureSocket* client);
    bool setTimeout(int receiveMs, int sendMs);

    // Polls for pending input, 100 ms apart, for about sendTimeout ms (at
    // least about one second).
    bool CanRead();
    // Bytes received, 0 when the peer has closed, -1 on failure or time-out.
    int receiveBytes(char* buffer, int length);
    // Bytes sent (one send, no retry of a partial send), -1 on failure.
    int sendBytes(const char* data, int length);
    // Makes the thread that serves this connection leave it: a call it is
    // blocked in returns and every later operation fails at once. Where
    // that takes closing the socket it is closed here; elsewhere the handle
    // stays taken until closeSocket, so its number cannot pass to another
    // connection while that thread may still use it.
    void interrupt();
    // Closes the handle once; a second call leaves the handle value alone.
    // Always 0.
    int closeSocket();
};
