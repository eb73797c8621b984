#pragma once
// The agent's TCP socket: the start-up network probe, the listening socket
// and one wrapper per accepted connection. Every operation reports its
// failure by its result and writes its own log line; IPv4 only.
#include <atomic>
#include <mutex>
#include <string>

#include "platform/platform.h"

class SessionEncryptor;

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
    // Who connected, set by doAccept on the client wrapper: the peer's
    // dotted IPv4 address (empty when unknown) and its port.
    std::string peerAddress;
    unsigned peerPort = 0;
    // Set by a failed doAccept on the client wrapper: the accept's error.
    int acceptError = 0;

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

    // Waits for pending input in rounds of up to 100 ms, for about
    // sendTimeout ms (at least about one second); true as soon as input is
    // waiting. Given the session's cipher object, it waits within a round
    // until the whole frame that the first header announces has arrived, so
    // a frame sent in several pieces is read in one; when the round ends
    // first, what has arrived is reported as ready.
    bool CanRead(const SessionEncryptor* frameKey = nullptr);
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

private:
    // Held by closeSocket and interrupt, so that interrupt never shuts down a
    // handle value that closeSocket on another thread has just given back to
    // the system (and that may already name another connection).
    std::mutex closeLock_;
};
