#pragma once
// Reads the agent's frames out of a byte stream that arrives in pieces of any
// size. Fed whatever came, it takes the bytes of one frame (the header block,
// then the rest of the length the header announces, at most 2064 bytes in
// all) and says when the frame is whole. It never touches a socket, so a
// blocking caller and an event loop read frames with the same code.
#include <array>
#include <cstddef>
#include <string>

#include "peer/frame_codec.h"
#include "peer/session_key.h"

namespace peer {

class FrameReader {
public:
    enum class Result {
        needMore,   // the frame is not whole yet
        frame,      // a whole frame that opened: message() holds its text
        malformed,  // no frame under the key (error() says why); the stream is out of step
    };

    explicit FrameReader(const Key& key) : key_(key) {}

    // Takes bytes from data, never past the end of the current frame, and
    // sets consumed to their number: what follows the frame is left to the
    // caller. A header block that cannot begin a frame is malformed at once,
    // before the bytes it announces. After frame or malformed the next call
    // begins a new frame.
    Result feed(const char* data, std::size_t size, std::size_t& consumed);

    // How many bytes the frame needs before the next step: the rest of the
    // header block, then the rest of the frame. A blocking caller reads this
    // many, so it never takes a byte of what follows.
    std::size_t wanted() const;
    // Bytes of the unfinished frame taken so far; 0 between frames.
    std::size_t received() const { return received_; }
    // The unfinished frame's length, as its header announced; 0 until the
    // header block is whole.
    int frameLength() const { return frameLength_; }

    // After Result::frame: the frame's message.
    const std::string& message() const { return message_; }
    // After Result::malformed: why the bytes are no frame.
    const std::string& error() const { return error_; }

private:
    Result finish(Result result);

    Key key_;
    std::array<char, kMaxFrameLength> bytes_{};
    std::size_t received_ = 0;
    int frameLength_ = 0;
    std::string message_;
    std::string error_;
};

}  // namespace peer
