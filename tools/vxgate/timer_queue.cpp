#include "timer_queue.h"

namespace vxgate {

Timer::Timer(TimerQueue& queue, std::function<void()> onExpiry)
    : queue_(queue), onExpiry_(std::move(onExpiry)) {}

Timer::~Timer() { stop(); }

void Timer::start(Millis delay) {
    stop();
    deadline_ = queue_.now() + delay;
    queue_.insert(*this);
}

void Timer::stop() {
    if (running()) queue_.remove(*this);
}

TimerQueue::TimerQueue(Now now) : now_(std::move(now)) {}

bool TimerQueue::earlier(size_t a, size_t b) const {
    const Timer* x = heap_[a];
    const Timer* y = heap_[b];
    if (x->deadline_ != y->deadline_) return x->deadline_ < y->deadline_;
    return x->order_ < y->order_;
}

void TimerQueue::place(size_t slot, Timer* timer) {
    heap_[slot] = timer;
    timer->slot_ = slot;
}

void TimerQueue::siftUp(size_t slot) {
    while (slot > 0) {
        size_t parent = (slot - 1) / 2;
        if (!earlier(slot, parent)) break;
        Timer* up = heap_[slot];
        place(slot, heap_[parent]);
        place(parent, up);
        slot = parent;
    }
}

void TimerQueue::siftDown(size_t slot) {
    for (;;) {
        size_t first = slot;
        size_t left = 2 * slot + 1;
        size_t right = left + 1;
        if (left < heap_.size() && earlier(left, first)) first = left;
        if (right < heap_.size() && earlier(right, first)) first = right;
        if (first == slot) return;
        Timer* down = heap_[slot];
        place(slot, heap_[first]);
        place(first, down);
        slot = first;
    }
}

void TimerQueue::insert(Timer& timer) {
    timer.order_ = nextOrder_++;
    heap_.push_back(nullptr);
    place(heap_.size() - 1, &timer);
    siftUp(timer.slot_);
}

void TimerQueue::remove(Timer& timer) {
    size_t slot = timer.slot_;
    timer.slot_ = Timer::kNotQueued;
    Timer* last = heap_.back();
    heap_.pop_back();
    if (slot == heap_.size()) return;  // it was the last one
    place(slot, last);
    siftDown(slot);
    siftUp(last->slot_);
}

void TimerQueue::runDue() {
    const Clock::time_point now = now_();
    const uint64_t startedBefore = nextOrder_;
    while (!heap_.empty()) {
        Timer* first = heap_.front();
        if (first->deadline_ > now || first->order_ >= startedBefore) return;
        remove(*first);
        // A copy, because the expiry may start, stop or destroy this timer
        // or any other.
        std::function<void()> expiry = first->onExpiry_;
        expiry();
    }
}

std::optional<Millis> TimerQueue::untilNext() const {
    if (heap_.empty()) return std::nullopt;
    Clock::duration left = heap_.front()->deadline_ - now_();
    if (left <= Clock::duration::zero()) return Millis(0);
    return std::chrono::ceil<Millis>(left);
}

}  // namespace vxgate
