#include "peer/probe_answer.h"

namespace peer {

std::vector<std::string> splitProbeAnswer(const std::string& answer) {
    std::vector<std::string> scans;
    std::size_t start = 0;
    while (start < answer.size()) {
        std::size_t end = answer.find('\n', start);
        if (end == std::string::npos) end = answer.size();
        scans.push_back(answer.substr(start, end - start));
        start = end + 1;
    }
    return scans;
}

}  // namespace peer
