#pragma once
// The scans of a PRBE answer: each scan is followed by one line feed, an
// empty scan is a lone line feed, and an empty answer holds none.
#include <string>
#include <vector>

namespace peer {

// The scans of answer, oldest first. A last piece without its line feed
// (which the agent never sends) is a scan all the same, so nothing is lost.
std::vector<std::string> splitProbeAnswer(const std::string& answer);

}  // namespace peer
