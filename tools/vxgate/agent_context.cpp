#include "agent_context.h"

#include "common/text_format.h"
#include "log.h"

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
      pump_(loop.timers(),
            [this] {
                wakeProbes();
                if (!probeQueue_.empty()) pump_.start(kProbePump);
            }),
      dropTimer_(loop.timers(), [this] {
          this->link.drop(formatText("no confirmation for %lld ms or more",
                                     static_cast<long long>(kStallDrop.count())));
      }) {}

bool AgentContext::takeDialSlot(QueuePlace& place, std::function<void()> wake, bool favoured) {
    if (dials_ < kMaxDialsAtOnce && favouredDials_.empty() && (favoured || dialQueue_.empty())) {
        ++dials_;
        return true;
    }
    place.join(favoured ? favouredDials_ : dialQueue_, [this, wake = std::move(wake)] {
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
    while (dials_ < kMaxDialsAtOnce && !(favouredDials_.empty() && dialQueue_.empty())) {
        (favouredDials_.empty() ? dialQueue_ : favouredDials_).wakeFirst();
    }
    wakingDials_ = false;
}

void AgentContext::scanRefused(const std::string& reason) {
    Clock::time_point now = loop.timers().now();
    // The probes in flight when the first refusal came are no new evidence.
    if (now < refusedUntil_) return;
    Millis hold = refusalBackoff_.next(jitter);
    refusedUntil_ = now + hold;
    bool warn = lastRefusalWarning_ == Clock::time_point{} ||
                now - lastRefusalWarning_ >= kRefusalWarningEvery;
    if (warn) lastRefusalWarning_ = now;
    logLine(warn ? LogLevel::warning : LogLevel::debug,
            "the broker refused a scan (%s): no agent is probed for %lld ms, with longer "
            "pauses while it goes on; the agents keep their scans",
            reason.c_str(), static_cast<long long>(hold.count()));
    refusing_ = true;
}

void AgentContext::scanTaken() {
    refusing_ = false;
    refusalBackoff_.reset();
}

bool AgentContext::roomToProbe() {
    if (!link.connected() || probes_ >= kMaxProbesInFlight || refusalHold()) return false;
    if (refusing_ && probes_ > 0) return false;
    if (link.unconfirmed() >= kMaxUnconfirmedToProbe) return false;
    return !stalled();
}

// The broker's oldest unconfirmed message is older than kStallAge: logged
// when it starts and ends; past kStallDrop the connection is given up.
bool AgentContext::stalled() {
    std::optional<Clock::time_point> oldest = link.oldestUnconfirmed();
    Millis age =
        oldest ? std::chrono::duration_cast<Millis>(loop.timers().now() - *oldest) : Millis(0);
    if (age < kStallAge) {
        if (stalled_) logLine(LogLevel::info, "the broker confirms again: probes resume");
        stalled_ = false;
        return false;
    }
    if (!stalled_) {
        logLine(LogLevel::warning,
                "the broker has not confirmed a message for %lld ms: no agent is probed until it "
                "does",
                static_cast<long long>(age.count()));
        stalled_ = true;
    }
    // From the loop, not inside a caller that is taking a turn.
    if (age >= kStallDrop && !dropTimer_.running()) dropTimer_.start(Millis(0));
    return true;
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
