#pragma once
// The session key the peer chooses for each session, and its text form.
#include <array>
#include <string>

#include "transport/frame_limits.h"

namespace peer {

using Key = std::array<unsigned char, frame::kBlockSize>;

Key randomKey();
// 32 hexadecimal digits, either case. False for anything else, and key is
// left as it was.
bool parseKey(const std::string& hex, Key& key);
std::string keyToHex(const Key& key);

}  // namespace peer
