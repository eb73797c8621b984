#pragma once
// The agent's command words as the peer sends them, and what each is
// answered with.
#include <string>

#include "transport/frame_limits.h"

namespace peer {

// The agent reads a command frame of at most 2048 bytes, header included.
constexpr int kMaxCommandLength = frame::kStagingBufferSize - frame::kBlockSize;

extern const char kDoneAnswer[];  // "200\r\n": the answer to DBUG and to a failed UPDT
extern const char kQuitAnswer[];  // "100": the answer to QUIT and to any unknown word

// What the agent sends for a command beyond the acknowledgement of its frame.
enum class Answer {
    kNone,    // nothing
    kDone,    // "200\r\n" (DBUG)
    kProbe,   // the probe answer, any text, also empty (PRBE)
    kQuit,    // "100", then the agent closes (QUIT and every unknown word)
    kUpdate,  // "200\r\n" when the update failed; the connection ends when it restarts (UPDT)
};
// The answer to a command word, compared byte for byte ("noop" is unknown).
Answer answerFor(const std::string& word);

// The command text as it goes on the wire: "WORD\r\n" or "WORD argument\r\n".
std::string commandText(const std::string& word, const std::string& argument = "");

}  // namespace peer
