#pragma once
// The agent's texts printed on one line.
#include <string>

namespace peer {

// The text with C-style escapes: \r \n \t \\ \" and \xHH (always two
// digits) for every other byte outside printable ASCII.
std::string escapeText(const std::string& text);

// The same, but a printable character above ASCII that is valid UTF-8 is
// kept as it is, for output read as UTF-8; every other byte is escaped as
// above.
std::string escapeUtf8Text(const std::string& text);

}  // namespace peer
