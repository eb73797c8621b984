#pragma once
// How long a peer waits before it connects again after a failed connection
// or a lost session: 250 ms after the first failure, twice as long after each
// further one, at most 5 s, and back to the start once a session opens. One
// per connection, so a dead agent never slows the others.

namespace peer {

constexpr int kFirstRetryPauseMs = 250;
constexpr int kMaxRetryPauseMs = 5000;

class RetryBackoff {
public:
    // The pause to wait now; the next one is twice as long.
    int next();
    // A session opened: the next failure waits the first pause again.
    void reset() { pauseMs_ = kFirstRetryPauseMs; }

private:
    int pauseMs_ = kFirstRetryPauseMs;
};

}  // namespace peer
