#pragma once
// The accept loop: one connection after another, each served by a session on
// a thread of its own. At most one session is kept; a new connection
// replaces the previous one.
#include <string>
#include <thread>

class DncSession;
class vSecureSocket;
struct tMDCProperty;

class AcceptLoop {
public:
    AcceptLoop(tMDCProperty* properties, vSecureSocket* listener, std::string versionLine);
    // Discards the current session, as the next connection would.
    ~AcceptLoop();
    AcceptLoop(const AcceptLoop&) = delete;
    AcceptLoop& operator=(const AcceptLoop&) = delete;

    // One round: accept, replace the previous session, start the new one.
    void acceptOne();

    DncSession* currentSession() const { return current_; }

private:
    void discardCurrentSession();

    tMDCProperty* properties_;
    vSecureSocket* listener_;
    std::string versionLine_;
    DncSession* current_ = nullptr;
    std::thread currentThread_;
};
