#pragma once
// The accept loop: one connection after another, each served by a session on
// a thread of its own. At most one session is kept; a new connection
// replaces the previous one.
#include <string>
#include <thread>

#include "host/refusal_log.h"

class DncSession;
class vSecureSocket;
struct tMDCProperty;

class AcceptLoop {
public:
    // clock (seconds since 1970, null for the system's) paces the refusal
    // lines of the allowed-peers list.
    AcceptLoop(tMDCProperty* properties, vSecureSocket* listener, std::string versionLine,
               long long (*clock)() = nullptr);
    // Discards the current session, as the next connection would.
    ~AcceptLoop();
    AcceptLoop(const AcceptLoop&) = delete;
    AcceptLoop& operator=(const AcceptLoop&) = delete;

    // One round: accept, replace the previous session, start the new one.
    void acceptOne();

    // Accepts that keep failing at once are this far apart at most.
    static constexpr unsigned kMaxAcceptBackOffMs = 1000;

    DncSession* currentSession() const { return current_; }

private:
    void discardCurrentSession();
    // Waits for the next connection in steps of a second. After each step
    // it writes the counts of lines only counted, once their second is over
    // (a session can go over its budget while the loop already waits), and
    // rotates a log that has grown (one long session can grow it).
    void waitForConnection();
    // Sleeps before the next accept when accepts keep failing.
    void backOffAfterFailedAccept(const vSecureSocket& client);

    tMDCProperty* properties_;
    vSecureSocket* listener_;
    std::string versionLine_;
    DncSession* current_ = nullptr;
    std::thread currentThread_;
    RefusalLog refusals_;
    // The previous round refused a peer without a line.
    bool quietRound_ = false;
    // Accepts that failed in a row, and the pause before the next one.
    unsigned failedAccepts_ = 0;
};
