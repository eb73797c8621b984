#pragma once
// The agent's texts printed on one line.
#include <string>

namespace peer {

// The text with C-style escapes: \r \n \t \\ \" and \xHH (always two
// digits) for every other byte outside printable ASCII.
std::string escapeText(const std::string& text);

}  // namespace peer
