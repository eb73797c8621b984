#pragma once
// Timers for many connections: an indexed binary heap of deadlines, so that
// starting, restarting and stopping a timer each cost O(log n) and 10,000
// agents can each keep a back-off, an interval and a time-out timer of their
// own. The clock is a parameter, so tests drive time by hand.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace vxgate {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

class TimerQueue;

// One timer of an owner (an agent session, the broker link). It is not
// copied or moved: the queue holds its address while it runs. Destroying it
// stops it.
class Timer {
public:
    Timer(TimerQueue& queue, std::function<void()> onExpiry);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Starts the timer, or moves its deadline when it runs already.
    void start(Millis delay);
    void stop();
    bool running() const { return slot_ != kNotQueued; }
    Clock::time_point deadline() const { return deadline_; }

private:
    friend class TimerQueue;
    static constexpr size_t kNotQueued = static_cast<size_t>(-1);

    TimerQueue& queue_;
    std::function<void()> onExpiry_;
    Clock::time_point deadline_{};
    uint64_t order_ = 0;  // start order: timers with equal deadlines fire in it
    size_t slot_ = kNotQueued;
};

class TimerQueue {
public:
    using Now = std::function<Clock::time_point()>;
    explicit TimerQueue(Now now = [] { return Clock::now(); });
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;

    Clock::time_point now() const { return now_(); }

    // Fires, earliest first, every timer that is due now and was started
    // before this call. A timer that its own or another expiry starts again
    // waits for the next call, so a timer restarted at zero delay cannot
    // keep the caller from its sockets.
    void runDue();

    // How long until the next deadline, rounded up to whole milliseconds
    // (zero when one is due); nullopt when no timer runs.
    std::optional<Millis> untilNext() const;

    size_t size() const { return heap_.size(); }

private:
    friend class Timer;
    void insert(Timer& timer);
    void remove(Timer& timer);
    bool earlier(size_t a, size_t b) const;
    void place(size_t slot, Timer* timer);
    void siftUp(size_t slot);
    void siftDown(size_t slot);

    Now now_;
    std::vector<Timer*> heap_;
    uint64_t nextOrder_ = 0;
};

}  // namespace vxgate
