#pragma once
// One session per accepted connection from the CNC Service: the handshake,
// the command loop and the encrypted messages that carry them.
#include <string>

#include "session/configuration_elements.h"

class vSecureSocket;
class SessionEncryptor;
struct tMDCProperty;

class DncSession {
public:
    // The accepted connection; set by the host. Owned: closed by doQuit or
    // ShutdownThread, deleted only by ShutdownThread.
    vSecureSocket* ClientSocket = nullptr;
    // The process-wide configuration record; set by the host, not owned.
    tMDCProperty* properties = nullptr;
    // Created by the constructor. Owned: only ShutdownThread deletes it.
    class SessionEncryptor* SessionEncryptor = nullptr;
    ConfigurationElements configuration;
    bool done = false;
    unsigned char sessionCode[16] = {};
    int commandCode = 0;
    int sessionState = 0;
    // Set by every encrypted sendMessage: true only when the whole frame
    // went out and the peer's acknowledgement byte was read. Only then has
    // the peer certainly received the message.
    bool lastSendAcknowledged = false;

    DncSession();
    DncSession(const DncSession&) = delete;
    DncSession& operator=(const DncSession&) = delete;

    // Declared in virtual-table order: doProt, doProbe, then the destructor.
    virtual bool doProt();
    // The base session has no scans to offer: the answer stays as it is.
    virtual bool doProbe(std::string& answer);
    // Releases configuration only; ClientSocket and SessionEncryptor stay
    // until ShutdownThread.
    virtual ~DncSession();
    // Told after each probe answer whether it reached the peer
    // (lastSendAcknowledged). A session that keeps scans gives the answer's
    // scans back for the next probe when it did not; returns how many it
    // kept. The base session has none.
    virtual int probeAnswered(bool delivered);

    int doSession();
    int readSocket(std::string& command);
    int getCommandCode(std::string command);
    bool getCommandArgument(std::string command, std::string word, std::string& argument);
    bool doAuthentication();
    bool doQuit();
    void ShutdownThread();
    void doUpdate();

    // Plain (encrypted false): one send of the bytes, result passed through.
    // Encrypted: one frame, then a wait for the peer's one-byte
    // acknowledgement; returns length when the frame went out, else the
    // socket's result (0 or -1), and -1 for a message longer than 2048 bytes.
    int sendMessage(const unsigned char* data, int length, bool encrypted);
    int sendMessage(std::string text, bool encrypted);

    // Plain: one receive of at most maxLength bytes, result passed through.
    // Encrypted: one read of at most maxLength bytes (10240 at most) taken as
    // a whole frame, acknowledged with one byte, then decoded into buffer,
    // which must hold maxLength bytes. Returns the message length, the read's
    // result when it yielded no byte, or -1 for a rejected frame.
    int receiveMessage(unsigned char* buffer, int maxLength, bool encrypted);
};
