#include "host/accept_loop.h"

#include <algorithm>
#include <exception>
#include <new>

#include "common/activity_log.h"
#include "common/properties.h"
#include "common/text_format.h"
#include "platform/platform.h"
#include "scans/tessel_hid.h"
#include "transport/secure_socket.h"

namespace {

const char kTag[] = "TesselMDC::_tWinMain";
const unsigned kWaitStepMs = 1000;
const unsigned kFirstAcceptBackOffMs = 10;
const unsigned kFailuresCounted = 64;  // enough to reach the longest pause

unsigned sessionThreadProc(DncSession* session) {
    // Whatever the session writes, its peer brought about.
    peer_lines::Scope peerLines(peer_lines::kSessions);
    // The session's own handler covers its command loop only; an exception
    // from the handshake (out of memory) ends this session, not the process.
    try {
        session->doSession();
    } catch (const std::exception& error) {
        writeLog(kTag, formatText("Session ended by an unexpected exception: %s", error.what()), 1);
    }
    return 0;
}

}  // namespace

AcceptLoop::AcceptLoop(tMDCProperty* properties, vSecureSocket* listener, std::string versionLine,
                       long long (*clock)())
    : properties_(properties),
      listener_(listener),
      versionLine_(std::move(versionLine)),
      refusals_(clock) {}

AcceptLoop::~AcceptLoop() { discardCurrentSession(); }

void AcceptLoop::acceptOne() {
    // Every line of a round is about a peer's connection: the round before
    // it came about through the previous one.
    peer_lines::Scope peerLines(peer_lines::kAcceptLoop);
    // After a refusal that was only counted, this round writes no line either,
    // so that a storm of refused peers cannot fill the log with this line at
    // the verbose levels.
    if (!quietRound_) writeLog(kTag, "Create a new Socket and accept a connection request", 3);
    quietRound_ = false;
    vSecureSocket* client = new (std::nothrow) vSecureSocket();
    if (client == nullptr) {
        writeLog(kTag, formatText("Failed to Create a Socket to accept%d", WSAGetLastError()), 1);
        WSACleanup();
        platform::exitProcess(0);
        return;
    }

    waitForConnection();
    // A failed accept leaves the client not connected; the session started
    // for it fails at its first socket operation.
    listener_->doAccept(client);
    backOffAfterFailedAccept(*client);

    // With an allowed-peers list only those peers reach the session lines
    // below. Any other connection is closed before the announcement and
    // leaves the current session alone; so is a failed accept, whose peer
    // is unknown. Refusal lines are limited per second (RefusalLog).
    const AllowedPeers& allowed = properties_->allowedPeers;
    if (allowed.given() && !(client->connected && allowed.allows(client->peerAddress))) {
        if (client->connected) {
            quietRound_ = !refusals_.refused(client->peerAddress, client->peerPort);
        }
        client->closeSocket();
        delete client;
        // Refusals write lines too: the log is rotated as for any other
        // connection.
        doLogFileSize(properties_, versionLine_);
        return;
    }
    if (client->connected) {
        writeLog(
            kTag,
            formatText("Connection from %s port %u", client->peerAddress.c_str(), client->peerPort),
            3);
    }

    if (current_ != nullptr) {
        discardCurrentSession();
        writeLog(kTag, "Found Running Session - delete and continue", 2);
    }

    doLogFileSize(properties_, versionLine_);
    writeLog(kTag, "Begin new Session", 2);

    // A session that cannot be made (out of memory) drops this connection;
    // accepting goes on.
    DncSession* session = nullptr;
    try {
        session = new TesselHID();
    } catch (const std::bad_alloc& error) {
        writeLog(kTag, formatText("Unable to create the session: %s", error.what()), 1);
        client->closeSocket();
        delete client;
        return;
    }
    session->properties = properties_;
    session->ClientSocket = client;
    current_ = session;

    if (!client->setTimeout(properties_->receiveTimeout, properties_->sendTimeout)) {
        writeLog(kTag, "Unable to set Socket Timeouts", 1);
    }

    // The session's fields are all set before its thread starts.
    try {
        currentThread_ = std::thread(sessionThreadProc, session);
    } catch (const std::exception& error) {  // std::system_error, std::bad_alloc
        writeLog(kTag, formatText("Unable to start the session thread: %s", error.what()), 1);
        discardCurrentSession();
    }
}

void AcceptLoop::waitForConnection() {
    // A connection waiting (or a failed wait) goes to the accept as always.
    while (platform::waitReadable(listener_->handle, kWaitStepMs) == 0) {
        refusals_.flushCount();
        peer_lines::flushCount();
        doLogFileSize(properties_, versionLine_);
    }
}

// An accept that fails at once again and again without taking a connection
// (a broken listener, no descriptors left) would otherwise spin: the pause
// doubles from the second such failure in a row on, up to
// kMaxAcceptBackOffMs, and the first accept that works ends it. A failure
// that took a connection its peer had already reset or abandoned (under
// Wine every reset connection fails its accept) pauses nothing, so a storm
// of those never holds up the connections behind it.
void AcceptLoop::backOffAfterFailedAccept(const vSecureSocket& client) {
    const int error = client.acceptError;
    if (client.connected || error == WSAECONNRESET || error == WSAECONNABORTED ||
        error == WSAENOTCONN) {
        failedAccepts_ = 0;
        return;
    }
    if (failedAccepts_ < kFailuresCounted) ++failedAccepts_;
    if (failedAccepts_ < 2) return;
    unsigned pause = kFirstAcceptBackOffMs;
    for (unsigned i = 2; i < failedAccepts_ && pause < kMaxAcceptBackOffMs; ++i) pause *= 2;
    platform::sleepMs(std::min(pause, kMaxAcceptBackOffMs));
}

// The previous session's thread may still be inside its loop. Interrupting
// its connection makes the thread's current or next socket operation fail;
// only once the thread has ended are its socket wrapper, cipher object and
// session freed.
void AcceptLoop::discardCurrentSession() {
    if (current_ == nullptr) return;
    if (current_->ClientSocket != nullptr) current_->ClientSocket->interrupt();
    if (currentThread_.joinable()) currentThread_.join();
    current_->ShutdownThread();
    delete current_;
    current_ = nullptr;
}
