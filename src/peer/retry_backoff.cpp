#include "peer/retry_backoff.h"

#include <algorithm>

namespace peer {

int RetryBackoff::next() {
    int pause = pauseMs_;
    pauseMs_ = std::min(pauseMs_ * 2, kMaxRetryPauseMs);
    return pause;
}

}  // namespace peer
