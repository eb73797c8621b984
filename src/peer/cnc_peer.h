#pragma once
// The CNC Service's side of the agent's protocol over one TCP connection,
// with blocking calls: read the announcement, send a session code for a
// chosen or random session key, confirm the agent's response, then exchange
// encrypted frames, each answered by one raw acknowledgement byte. The
// cncpeer tool is built on it, and tests use it to drive an agent. Next to
// the well-behaved calls it has raw sends and receives, and with the frame
// codec a test can misbehave on purpose: split a frame over two writes, skip
// an acknowledgement, send bytes that are no frame at all.
//
// The exchange itself is PeerHandshake's and FrameReader's, which read no
// socket: this class only waits and moves bytes for them, as an event loop
// over many connections would.
//
// Every call reports failure by its result and leaves a one-line reason in
// lastError(); nothing throws.
#include <functional>
#include <string>

#include "peer/frame_codec.h"
#include "peer/frame_reader.h"
#include "peer/handshake.h"
#include "peer/session_key.h"
#include "platform/platform.h"

namespace peer {

constexpr int kDefaultPort = 8194;
constexpr int kDefaultTimeoutMs = 5000;

enum class Status {
    kOk,
    kTimedOut,  // nothing (or not enough) arrived in time
    kClosed,    // the agent closed or reset the connection
    kFailed,    // a socket error, a malformed frame or a wrong acknowledgement
};

class CncPeer {
public:
    CncPeer() = default;
    ~CncPeer();
    CncPeer(const CncPeer&) = delete;
    CncPeer& operator=(const CncPeer&) = delete;

    // Opens a TCP connection to host (a dotted IPv4 address or a name) and
    // port, giving up after timeoutMs. Closes any earlier connection first.
    bool connect(const std::string& host, int port, int timeoutMs = kDefaultTimeoutMs);
    void close();
    // The local IPv4 address the next connections are made from, as a peer
    // on another host would be seen (any 127.x.y.z works on loopback).
    // Empty: the system's choice.
    void setSourceAddress(const std::string& address) { source_ = address; }
    bool isConnected() const { return socket_ != INVALID_SOCKET; }
    SOCKET socketHandle() const { return socket_; }

    // The opening exchange: announcement, session code, response code,
    // confirmation code, then the verdict frame under the new session key.
    // True only when the verdict is "100 Confirmed"; every wait is limited to
    // timeoutMs. The session key is fixed once the session code is sent.
    bool handshake(const HandshakeOptions& options = {}, int timeoutMs = kDefaultTimeoutMs);
    const std::string& announcement() const { return announcement_; }
    const std::string& verdict() const { return verdict_; }  // empty when none came
    const Key& sessionKey() const { return key_; }

    // Sends message exactly as given (commandText() adds the line end) as one
    // frame in one write and waits for the agent's acknowledgement byte.
    Status sendCommand(const std::string& message, int timeoutMs = kDefaultTimeoutMs);

    // Reads one frame: the header block first, then the length it announces
    // (at most 2064 bytes in all), and opens it. Only a frame that is whole
    // and opens is acknowledged, and only when acknowledge is true; a caller
    // that must keep the message first reads with false and then calls
    // sendAck(). A corrupt frame is never acknowledged and gives no message.
    // A timeout before the first byte leaves the connection usable; a frame
    // cut short does not.
    Status readAnswer(std::string& message, int timeoutMs = kDefaultTimeoutMs,
                      bool acknowledge = true);
    // Sends the one-byte acknowledgement of the frame just read.
    Status sendAck();

    // kClosed when the agent closes the connection within timeoutMs,
    // kTimedOut when it stays open and silent, kFailed when bytes arrive.
    Status waitForClose(int timeoutMs);

    // Raw access. sendRaw writes all bytes in one send call where the system
    // takes them at once. receiveSome returns what one read delivers (at most
    // maxLength, capped at 2064 bytes); receiveExact collects exactly length
    // bytes and leaves what it got in bytes when it fails. receiveAck reads
    // one byte and fails unless it is the acknowledgement '*'.
    bool sendRaw(const std::string& bytes);
    Status receiveSome(std::string& bytes, int maxLength, int timeoutMs);
    Status receiveExact(std::string& bytes, int length, int timeoutMs);
    Status receiveAck(int timeoutMs);

    const std::string& lastError() const { return error_; }

private:
    Status fail(Status status, const std::string& reason);
    // Receives the bytes of one frame as reader asks for them and hands each
    // piece to feed, which passes it on to reader (or to what holds it),
    // until the frame is whole or refused.
    Status receiveFrame(const FrameReader& reader, int timeoutMs,
                        const std::function<FrameReader::Result(const std::string&)>& feed);
    // The failed read's status, or kFailed with a reason that says where
    // the frame stopped when part of it had come.
    Status frameCutShort(const FrameReader& reader, Status status);
    // 1 when the socket is readable (data or end of stream), 0 after
    // timeoutMs, -1 on an error.
    int waitReadable(int timeoutMs);
    // The announcement, whole or ended by a quiet pause; the session code is
    // then due in toSend.
    bool receiveAnnouncement(PeerHandshake& exchange, int timeoutMs, std::string& toSend);
    // In one write, or in two as the options ask.
    bool sendSessionCode(const std::string& code, const HandshakeOptions& options);

    SOCKET socket_ = INVALID_SOCKET;
    std::string source_;
    Key key_{};
    std::string announcement_;
    std::string verdict_;
    std::string error_;
};

}  // namespace peer
