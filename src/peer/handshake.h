#pragma once
// The CNC Service's side of the opening exchange as a state machine that
// touches no socket: fed the agent's bytes as they come, it says what to send
// back, so a blocking caller and an event loop share it.
//
// The agent announces itself in one line; the peer answers with a session
// code (its session key under the built-in key); the agent sends a response
// code (the key's first half and eight random bytes, under the built-in
// key); the peer confirms with that random half; the agent's verdict comes as
// a frame under the session key and is acknowledged.
#include <cstddef>
#include <string>

#include "peer/frame_reader.h"
#include "peer/session_key.h"

namespace peer {

// The agent's announcement: one line of this many bytes, no line end.
constexpr int kAnnouncementLength = 83;
// Longest announcement kept; a longer one is cut here.
constexpr int kMaxAnnouncementLength = 256;
// After a first part of an announcement, how long a caller waits for more
// of it before it takes what came as the whole (endAnnouncement).
constexpr int kAnnouncementQuietMs = 200;

extern const char kConfirmed[];  // "100 Confirmed": the verdict on a good handshake
extern const char kFailed[];     // "200 Failed": the verdict on a wrong confirmation

struct HandshakeOptions {
    bool useKey = false;  // false: a fresh random session key
    Key key{};
    // Confirms with one wrong byte among the random half of the response, so
    // the agent must answer "200 Failed".
    bool wrongConfirmation = false;
    // 1 to 15: the session code goes out in two writes, this many bytes
    // first and the rest splitPauseMs later. 0: one write. For the blocking
    // CncPeer only: how bytes are written is the caller's business.
    int splitSessionCode = 0;
    int splitPauseMs = 100;
    bool acknowledgeVerdict = true;
};

class PeerHandshake {
public:
    enum class Stage {
        announcement,  // waiting for the announcement
        response,      // the session code is due or out; waiting for the response code
        verdict,       // the confirmation is due or out; waiting for the verdict frame
        confirmed,     // the verdict is "100 Confirmed": the session is open
        refused,       // the verdict is anything else, such as "200 Failed"
        failed,        // the agent's bytes broke the exchange; error() says how
    };

    // The session key is chosen here: the options' key or a random one.
    explicit PeerHandshake(const HandshakeOptions& options = {});

    // Takes the agent's bytes, never past what the current stage needs, sets
    // consumed to their number and appends what is to be sent, in order, to
    // toSend: the session code once the announcement is whole, the
    // confirmation after the response code, the acknowledgement after the
    // verdict. Bytes after the verdict are left to the caller.
    Stage feed(const char* data, std::size_t size, std::size_t& consumed, std::string& toSend);
    // The announcement has no end mark: it is whole at kAnnouncementLength
    // bytes, or when the caller has seen a first part and then nothing for
    // kAnnouncementQuietMs. Does nothing in another stage or before a byte.
    Stage endAnnouncement(std::string& toSend);

    // How many bytes the current stage can take: room for the announcement,
    // the rest of the response code, the rest of the verdict frame's current
    // part. 0 once the exchange is over.
    std::size_t wanted() const;

    Stage stage() const { return stage_; }
    bool isOver() const { return stage_ > Stage::verdict; }
    const Key& sessionKey() const { return key_; }
    const std::string& announcement() const { return announcement_; }
    // The verdict's text once its frame came; empty before.
    const std::string& verdict() const { return verdict_; }
    // The verdict frame so far, for a caller that reports where it stopped.
    const FrameReader& verdictFrame() const { return verdictFrame_; }
    // Why the exchange failed or was refused.
    const std::string& error() const { return error_; }

private:
    void takeAnnouncement(std::string& toSend);
    void takeResponse(std::string& toSend);
    void takeVerdict(FrameReader::Result result, std::string& toSend);

    HandshakeOptions options_;
    Key key_;
    Stage stage_ = Stage::announcement;
    std::string announcement_;
    std::string response_;
    FrameReader verdictFrame_;
    std::string verdict_;
    std::string error_;
};

}  // namespace peer
