#include "transport/secure_socket.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "common/activity_log.h"
#include "common/text_format.h"
#include "transport/frame_limits.h"
#include "transport/session_encryptor.h"

namespace {

const unsigned kPollIntervalMs = 100;
const unsigned kNetworkRetryMs = 60000;
// While part of a frame is pending, how long to wait before looking again.
const unsigned kPartOfFrameWaitMs = 1;
const char kCanReadTag[] = "vSecureSocket::CanRead";

// The socket address for host:port. A host text of 7 characters or more
// ("1.2.3.4" is the shortest dotted address) is taken as the address itself;
// a shorter one means the first IPv4 address of the local host. False when
// the local host cannot be resolved.
bool chooseAddress(const std::string& host, const std::string& port, std::string& chosen,
                   bool& explicitAddress, sockaddr_in& socketAddress) {
    explicitAddress = host.size() >= 7;
    if (explicitAddress) {
        chosen = host;
    } else if (!platform::firstLocalIPv4(chosen)) {
        return false;
    }
    memset(&socketAddress, 0, sizeof socketAddress);
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr.s_addr = inet_addr(chosen.c_str());
    // atoi's value for every port text, without atoi's undefined overflow.
    socketAddress.sin_port =
        htons(static_cast<unsigned short>(std::strtol(port.c_str(), nullptr, 10)));
    return true;
}

const sockaddr* asSockaddr(const sockaddr_in& socketAddress) {
    return reinterpret_cast<const sockaddr*>(&socketAddress);
}

// Closes the handle unless it is already closed, so that a handle value the
// system has since given to another connection is never touched.
void closeHandle(std::atomic<SOCKET>& handle) {
    SOCKET s = handle.exchange(INVALID_SOCKET);
    if (s != INVALID_SOCKET) closesocket(s);
}

using Clock = std::chrono::steady_clock;

// A failed test for input ends the connection, unless another thread has
// interrupted it: that failure is expected and not logged.
void reportFailedTest(vSecureSocket& socket, int error) {
    if (!socket.connected) return;
    writeLog(kCanReadTag, formatText("Unable to test for pending read:Socket Error %d\n", error),
             1);
    socket.connected = false;
}

bool pendingBytes(vSecureSocket& socket, unsigned long& pending) {
    pending = 0;
    if (ioctlsocket(socket.handle, FIONREAD, &pending) != SOCKET_ERROR) return true;
    reportFailedTest(socket, WSAGetLastError());
    return false;
}

// Whether the pending bytes are worth reading now. Without a key any byte
// is. With one, the first header block announces the frame's length, and
// the frame is whole once at least that many bytes, a whole number of
// blocks, are pending. The length is only a hint of when to read: a frame
// whose length field disagrees with what arrives is read once a whole
// number of blocks at least as long as the field is pending, or when the
// round ends. announced: -1 until the header has been looked at.
bool wholeFrame(SOCKET s, unsigned long pending, const SessionEncryptor* key, int& announced) {
    if (pending == 0) return false;
    if (key == nullptr) return true;
    if (pending < static_cast<unsigned long>(frame::kBlockSize)) return false;
    if (announced < 0) {
        unsigned char header[frame::kBlockSize];
        int peeked =
            static_cast<int>(recv(s, reinterpret_cast<char*>(header), frame::kBlockSize, MSG_PEEK));
        // A failed look leaves the read to report what is wrong.
        if (peeked != frame::kBlockSize) return true;
        announced = key->announcedLength(header);
    }
    return pending >= static_cast<unsigned long>(announced) && pending % frame::kBlockSize == 0;
}

enum class Round { ready, empty, failed };

// One round of CanRead: up to kPollIntervalMs for a whole frame. The round
// ends at its time by the clock, or once the sleeps it asked for add up to
// that time (a test's seams record sleeps without waiting). A socket that
// turns readable with nothing pending has been closed by the peer: the
// round then sleeps out its time, as an empty round always did.
Round pollRound(vSecureSocket& socket, const SessionEncryptor* key) {
    Clock::time_point end;
    unsigned slept = 0;
    int announced = -1;
    bool woken = false;
    for (bool first = true;; first = false) {
        unsigned long pending = 0;
        if (!pendingBytes(socket, pending)) return Round::failed;
        if (wholeFrame(socket.handle, pending, key, announced)) return Round::ready;
        const Clock::time_point now = Clock::now();
        if (first) end = now + std::chrono::milliseconds(kPollIntervalMs);
        unsigned left = 0;
        if (now < end && slept < kPollIntervalMs) {
            auto byClock = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
            left = std::min(static_cast<unsigned>(byClock), kPollIntervalMs - slept);
        }
        if (left == 0) return pending != 0 ? Round::ready : Round::empty;

        if (pending == 0 && woken) {
            platform::sleepMs(left);
            return socket.connected ? Round::empty : Round::failed;
        }
        if (pending == 0) {
            int result = platform::waitReadable(socket.handle, left);
            if (!socket.connected) return Round::failed;  // interrupted
            if (result == SOCKET_ERROR) {
                reportFailedTest(socket, WSAGetLastError());
                return Round::failed;
            }
            if (result == 0) return Round::empty;
            woken = true;
            continue;
        }
        // Part of a frame is here; the rest usually follows within a moment.
        unsigned step = std::min(kPartOfFrameWaitMs, left);
        platform::sleepMs(step);
        slept += step;
        if (!socket.connected) return Round::failed;
    }
}

}  // namespace

bool vSecureSocket::testTDncSocket(std::string host, std::string port, std::string logFile) {
    if (platform::countTcpProtocols() == 0) {
        writeLogDirect(logFile, "TCP/IP is not active on this machine");
        return true;
    }
    handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) return false;

    // The probe socket is closed on every way out, not only after a
    // successful connect.
    bool firstRound = true;
    for (;;) {
        std::string chosen;
        bool explicitAddress = false;
        sockaddr_in socketAddress;
        if (!chooseAddress(host, port, chosen, explicitAddress, socketAddress)) {
            writeLogDirect(logFile, formatText("Unable to get host information %s", host.c_str()));
            closeHandle(handle);
            return true;
        }
        if (connect(handle, asSockaddr(socketAddress), sizeof socketAddress) == 0) {
            // Something already answers on this address and port.
            closeHandle(handle);
            return true;
        }
        // An unreachable host, or a local host that resolves only to the
        // loopback address, means the network is not up yet: wait for it.
        bool networkDown =
            WSAGetLastError() == WSAEHOSTUNREACH || (!explicitAddress && chosen == "127.0.0.1");
        if (!networkDown) {
            closeHandle(handle);
            return false;
        }
        if (firstRound) {
            writeLogDirect(logFile, "The Network was not availble, retry every 60 Seconds");
            firstRound = false;
        }
        platform::sleepMs(kNetworkRetryMs);
    }
}

bool vSecureSocket::initialize(std::string host, std::string port) {
    const std::string tag = "vSecureSocket::initialize";
    connected = false;
    handle = INVALID_SOCKET;

    handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) {
        writeLog(
            tag,
            formatText("Failed to initialize Port %s. Unable to create the Socket Socket Error %d",
                       port.c_str(), WSAGetLastError()),
            1);
        return false;
    }
    std::string chosen;
    bool explicitAddress = false;
    sockaddr_in socketAddress;
    if (!chooseAddress(host, port, chosen, explicitAddress, socketAddress)) {
        writeLog(tag, formatText("Unable to get host information %s", host.c_str()), 1);
        closeHandle(handle);
        return false;
    }
    address = chosen;
    // A restart can then listen at once, also natively after a busy run. A
    // failure shows, if at all, as the bind's own.
    platform::allowQuickRebind(handle);
    if (bind(handle, asSockaddr(socketAddress), sizeof socketAddress) == SOCKET_ERROR) {
        writeLog(
            tag,
            formatText("Failed to initialize Port %s. Unable to Bind the Socket, Socket Error %d",
                       port.c_str(), WSAGetLastError()),
            1);
        closeHandle(handle);
        connected = false;
        return false;
    }
    connected = true;
    return true;
}

bool vSecureSocket::doListen() {
    const std::string tag = "vSecureSocket::doListen";
    if (!connected) return false;
    if (listen(handle, SOMAXCONN) == SOCKET_ERROR) {
        writeLog(tag,
                 formatText("Failed to set the Port to listen mode: Socket Error %ld",
                            static_cast<long>(WSAGetLastError())),
                 1);
        closeHandle(handle);
        connected = false;
        return false;
    }
    return true;
}

bool vSecureSocket::doAccept(vSecureSocket* client) {
    const std::string tag = "vSecureSocket::doAccept";
    if (client == nullptr) return false;
    client->handle = platform::acceptPeer(handle, client->peerAddress, client->peerPort);
    // The accept's own error, before the option call below can replace it.
    int acceptError = WSAGetLastError();
    client->acceptError = client->handle == INVALID_SOCKET ? acceptError : 0;

    if (platform::setSocketIntOption(handle, SO_KEEPALIVE, 1) == SOCKET_ERROR) {
        writeLog(tag,
                 formatText("Unable Set Keep Alive: Socket Error %ld\n",
                            static_cast<long>(WSAGetLastError())),
                 1);
        connected = false;
        return false;
    }
    if (client->handle == INVALID_SOCKET) {
        writeLog(tag, formatText("Failed to accept a connection:Socket Error %d\n", acceptError),
                 1);
        closeHandle(client->handle);
        return false;
    }
    // The agent sends an acknowledgement byte and then its answer as two small
    // sends; without this the answer would wait for the peer's delayed ACK.
    if (platform::setTcpIntOption(client->handle, TCP_NODELAY, 1) == SOCKET_ERROR) {
        writeLog(tag, formatText("Unable to set TCP_NODELAY: Socket Error %d", WSAGetLastError()),
                 3);
    }
    client->connected = true;
    connected = true;
    return true;
}

bool vSecureSocket::setTimeout(int receiveMs, int sendMs) {
    const std::string tag = "vSecureSocket::setTimeout";
    receiveTimeout = receiveMs;
    sendTimeout = sendMs;
    if (!connected) return false;
    if (receiveMs != 0 &&
        platform::setSocketTimeout(handle, SO_RCVTIMEO, receiveMs) == SOCKET_ERROR) {
        writeLog(tag,
                 formatText("Failed Trying to set Port receive timeout: Socket Error %ld\n",
                            static_cast<long>(WSAGetLastError())),
                 1);
        return false;
    }
    if (sendMs != 0 && platform::setSocketTimeout(handle, SO_SNDTIMEO, sendMs) == SOCKET_ERROR) {
        writeLog(tag,
                 formatText("Unable to set send timeout: Socket Error %ld\n",
                            static_cast<long>(WSAGetLastError())),
                 1);
        return false;
    }
    return true;
}

bool vSecureSocket::CanRead(const SessionEncryptor* frameKey) {
    if (!connected) return false;
    const int rounds = sendTimeout < 1000 ? 10 : sendTimeout / 100;
    for (int round = 0; round < rounds; ++round) {
        if (!connected) return false;  // interrupted from another thread
        switch (pollRound(*this, frameKey)) {
            case Round::ready:
                writeLog(kCanReadTag, "The Socket has Data to read", 3);
                return true;
            case Round::failed:
                return false;
            case Round::empty:
                break;
        }
        writeLog(
            kCanReadTag,
            formatText("The Socket has no data to read - Try again, reTryStrikeout = %d", rounds),
            4);
    }
    writeLog(kCanReadTag, "Timed out waiting for a read", 4);
    return false;
}

int vSecureSocket::receiveBytes(char* buffer, int length) {
    const std::string tag = "vSecureSocket::receiveBytes";
    if (!connected) return -1;
    int result = SOCKET_ERROR;
    int error = WSAEFAULT;  // what Winsock reports for a buffer it cannot use
    if (buffer != nullptr && length >= 0) {
        result = static_cast<int>(recv(handle, buffer, length, 0));
        if (result == SOCKET_ERROR) error = WSAGetLastError();
    }
    if (result == SOCKET_ERROR) {
        // A time-out leaves the connection usable; the caller may try again.
        if (error != WSAETIMEDOUT) {
            writeLog(tag, formatText("Failed to receive bytes:Socket Error %d", error), 1);
            connected = false;
        }
        return -1;
    }
    return result;
}

int vSecureSocket::sendBytes(const char* data, int length) {
    const std::string tag = "vSecureSocket::sendBytes";
    if (!connected) return -1;
    int result = SOCKET_ERROR;
    int error = WSAEFAULT;
    if (data != nullptr && length >= 0) {
        result = static_cast<int>(send(handle, data, length, 0));
        if (result == SOCKET_ERROR) error = WSAGetLastError();
    }
    if (result == SOCKET_ERROR) {
        if (error != WSAETIMEDOUT) {
            writeLog(tag, formatText("Unable to Send on the Port:Socket Error %d", error), 1);
            connected = false;
        }
        return -1;
    }
    return result;
}

void vSecureSocket::interrupt() {
    connected = false;
    if (platform::closeWakesBlockedCalls) {
        closeSocket();
        return;
    }
    // The session thread may be closing this socket itself (QUIT) at this
    // moment; the lock keeps the shutdown to a handle that is still ours.
    std::lock_guard<std::mutex> hold(closeLock_);
    SOCKET s = handle;
    if (s != INVALID_SOCKET) shutdown(s, SD_BOTH);
}

int vSecureSocket::closeSocket() {
    std::lock_guard<std::mutex> hold(closeLock_);
    closeHandle(handle);
    connected = false;
    return 0;
}
