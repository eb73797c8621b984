#pragma once
// One command and what the agent sends back for it, without a socket: the
// command's frame to write, then the agent's bytes as they come, in pieces of
// any size: its one-byte acknowledgement of the command frame, and, for a
// command that has one, the answer frame. The answer's own acknowledgement
// is the caller's to send, when it has kept what the answer carries, so an
// event loop and a blocking caller drive the exchange alike.
#include <cstddef>
#include <string>

#include "peer/commands.h"
#include "peer/frame_reader.h"
#include "peer/session_key.h"

namespace peer {

class CommandExchange {
public:
    enum class Result {
        needMore,   // the acknowledgement or the answer is not whole yet
        done,       // acknowledged, and the answer (if the command has one) whole
        malformed,  // a wrong acknowledgement byte or no answer frame; error() says why
    };

    explicit CommandExchange(const Key& key) : key_(key), answerFrame_(key) {}

    // Starts the exchange of word (and its argument): frameBytes gets the
    // command's frame, to be sent in one write. False when the command does
    // not fit one frame. UPDT counts as a command without an answer: the
    // agent answers it only when the update failed.
    bool begin(const std::string& word, const std::string& argument, std::string& frameBytes);

    // Takes the agent's bytes, never past the end of the exchange, and sets
    // consumed to their number: what follows is left to the caller.
    Result feed(const char* data, std::size_t size, std::size_t& consumed);

    // How many bytes the exchange still needs for its next step.
    std::size_t wanted() const;
    bool acknowledged() const { return acknowledged_; }
    // After done: the answer's message; empty for a command without one.
    const std::string& answer() const { return answer_; }
    // After malformed: why.
    const std::string& error() const { return error_; }

private:
    Key key_;
    bool expectsAnswer_ = false;
    bool acknowledged_ = false;
    bool finished_ = false;
    FrameReader answerFrame_;
    std::string answer_;
    std::string error_;
};

}  // namespace peer
