#include "agent_context.h"

namespace vxgate {

void WaitQueue::wakeFirst() {
    std::function<void()> wake = std::move(waiting_.front());
    waiting_.pop_front();
    wake();
}

void QueuePlace::join(WaitQueue& queue, std::function<void()> wake) {
    if (queue_ != nullptr) return;
    // The wake clears the place first: the waiter is out of the queue by then.
    place_ = queue.join([this, wake = std::move(wake)] {
        queue_ = nullptr;
        wake();
    });
    queue_ = &queue;
}

void QueuePlace::leave() {
    if (queue_ == nullptr) return;
    queue_->leave(place_);
    queue_ = nullptr;
}

AgentContext::AgentContext(EventLoop& loop, MqttLink& link, Resolver& resolver, Jitter& jitter,
                           std::string topicPrefix, Millis interval)
    : loop(loop),
      link(link),
      resolver(resolver),
      jitter(jitter),
      topicPrefix(std::move(topicPrefix)),
      interval(interval),
      pump_(loop.timers(), [this] {
          wakeProbes();
          if (!probeQueue_.empty()) pump_.start(kProbePump);
      }) {}

bool AgentContext::takeDialSlot(QueuePlace& place, std::function<void()> wake) {
    if (dials_ < kMaxDialsAtOnce && dialQueue_.empty()) {
        ++dials_;
        return true;
    }
    place.join(dialQueue_, [this, wake = std::move(wake)] {
        ++dials_;
        wake();
    });
    return false;
}

void AgentContext::releaseDialSlot() {
    --dials_;
    // As for probes: a dial that fails at once releases again, inside.
    if (wakingDials_) return;
    wakingDials_ = true;
    while (dials_ < kMaxDialsAtOnce && !dialQueue_.empty()) dialQueue_.wakeFirst();
    wakingDials_ = false;
}

bool AgentContext::roomToProbe() {
    if (!link.connected() || probes_ >= kMaxProbesInFlight) return false;
    if (link.unconfirmed() >= kMaxUnconfirmedToProbe) return false;
    std::optional<Clock::time_point> oldest = link.oldestUnconfirmed();
    return !oldest || loop.timers().now() - *oldest < kStallAge;
}

bool AgentContext::takeProbeTurn(QueuePlace& place, std::function<void()> wake) {
    if (probeQueue_.empty() && roomToProbe()) {
        ++probes_;
        return true;
    }
    place.join(probeQueue_, [this, wake = std::move(wake)] {
        ++probes_;
        wake();
    });
    if (!pump_.running()) pump_.start(kProbePump);
    return false;
}

void AgentContext::probeEnded() {
    --probes_;
    wakeProbes();
}

void AgentContext::wakeProbes() {
    // A woken probe that fails at once ends, which wakes again: the outer
    // call goes on instead, so the stack stays flat.
    if (waking_) return;
    waking_ = true;
    while (!probeQueue_.empty() && roomToProbe()) probeQueue_.wakeFirst();
    waking_ = false;
}

}  // namespace vxgate
