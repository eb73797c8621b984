#include "hid/hook_watchdog.h"

#include <algorithm>

void HookWatchdog::rawKeyEvent(RawKeyEvent event, std::uint64_t nowMs) {
    kept_[rawEvents_ % kKeptEvents] = Kept{event, nowMs, hookCalls_};
    ++rawEvents_;
}

std::uint64_t HookWatchdog::lag() const {
    const std::uint64_t answered = hookCalls_ + offset_;
    return rawEvents_ > answered ? rawEvents_ - answered : 0;
}

std::uint64_t HookWatchdog::eventsSinceLastHookCall() const {
    std::uint64_t count = 0;
    const std::uint64_t keptCount = std::min<std::uint64_t>(rawEvents_, kKeptEvents);
    while (count < keptCount &&
           kept_[(rawEvents_ - 1 - count) % kKeptEvents].hookCallsAtArrival == hookCalls_) {
        ++count;
    }
    // Events that have scrolled out of the ring are older still.
    if (count == keptCount) count = rawEvents_;
    return count;
}

bool HookWatchdog::hookLost(std::uint64_t nowMs, bool urgent, Loss& loss) {
    loss = Loss{};
    // The hook has answered more than raw input reported (events raw input
    // does not see): it is ahead, so the two agree from here on.
    if (hookCalls_ + offset_ > rawEvents_) restart();
    const std::uint64_t waiting = lag();
    if (waiting == 0) return false;
    // Only events that arrived after the hook's latest call can be the ones
    // it missed; the others were answered, or seen by raw input alone. When
    // the hook was called first, the newest of them is its latest answer.
    const std::uint64_t missed = std::min(waiting, eventsSinceLastHookCall());
    if (missed < 2 && !urgent) {
        // Nothing says the hook is gone: events that have waited long were
        // seen by raw input alone, and the two agree from here on.
        const std::uint64_t oldest = rawEvents_ - waiting;
        if (waiting > kKeptEvents || nowMs - kept_[oldest % kKeptEvents].arrivedMs >= kAnswerMs) {
            restart();
        }
        return false;
    }
    if (missed == 0) return false;
    const std::uint64_t first = rawEvents_ - missed;
    const bool ringHoldsFirst = missed <= kKeptEvents;
    if (!urgent && ringHoldsFirst && nowMs - kept_[first % kKeptEvents].arrivedMs < kAnswerMs) {
        return false;
    }
    const std::uint64_t keptFirst = ringHoldsFirst ? first : rawEvents_ - kKeptEvents;
    loss.dropped = static_cast<std::size_t>(keptFirst - first);
    for (std::uint64_t i = keptFirst; i < rawEvents_; ++i) {
        loss.missed.push_back(kept_[i % kKeptEvents].event);
    }
    loss.again = lostBefore_ && hookCalls_ == hookCallsAtLastLoss_;
    lostBefore_ = true;
    hookCallsAtLastLoss_ = hookCalls_;
    restart();
    return true;
}

void HookWatchdog::restart() { offset_ = rawEvents_ - hookCalls_; }
