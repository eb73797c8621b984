#pragma once
// The agent's frames as the peer builds and opens them: a header block
// {fill count, length high byte, length low byte, thirteen '*'}, then the
// message in 16-byte blocks, the last one filled up with '*', each block
// encrypted on its own under the session key.
#include <cstddef>
#include <string>

#include "peer/session_key.h"
#include "transport/frame_limits.h"

namespace peer {

// Largest frame: a 2048-byte message and the header block.
constexpr int kMaxFrameLength = frame::kMaxMessageLength + frame::kBlockSize;

// Builds the frame of message under key. False when the message is longer
// than 2048 bytes.
bool encodeFrame(const Key& key, const std::string& message, std::string& frameBytes);

// Opens one whole frame. False, with the reason in error, when the bytes are
// not exactly one well-formed frame under key: a header that does not
// decrypt to the '*' pattern, a length that disagrees with the bytes given,
// a fill count out of range or fill bytes other than '*'.
bool decodeFrame(const Key& key, const char* frameBytes, std::size_t size, std::string& message,
                 std::string& error);
bool decodeFrame(const Key& key, const std::string& frameBytes, std::string& message,
                 std::string& error);

// Checks a frame's header block, still encrypted, before the rest arrives:
// the '*' pattern, a length of 16 to 2064 bytes in whole blocks and a fill
// count that fits it. Gives the fill count and the frame's length; false
// with the reason in error.
bool readFrameHeader(const Key& key, const char* headerBytes, int& fill, int& length,
                     std::string& error);

}  // namespace peer
