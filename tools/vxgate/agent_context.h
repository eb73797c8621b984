#pragma once
// What every agent session of a gateway shares: the loop, the broker link,
// the name look-up, the random source of the pauses, the topics, and the two limits that keep
// many sessions from acting all at once:
//
// - Dials: at most kMaxDialsAtOnce dials hold a slot at the same time; the
//   others wait their turn in order, those of agents whose last dial
//   succeeded before the others. A live agent announces itself at once, so
//   a dial holds its slot only until the agent's first byte or kDialSlotHold,
//   whichever comes first: hosts that are away or accept and stay silent
//   keep no live agent waiting for their time-outs.
// - Probes: a PRBE goes out only while the broker link is connected, is not
//   stalled (its oldest unconfirmed message is younger than kStallAge) and
//   has room (fewer than kMaxUnconfirmedToProbe messages unconfirmed and
//   fewer than kMaxProbesInFlight probes between their PRBE and their
//   acknowledgement). A stall is logged when it starts and ends; one that
//   lasts kStallDrop costs the broker connection, which is made again. A session whose probe is due
//   waits its turn in order; while it waits it keeps its session open with NOOP.
// - Refusals: a scan the broker refuses (an ACL, a quota) would be refused
//   for every agent alike, and each refusal costs the agent its session.
//   So a refusal holds every probe for a pause that starts at
//   kFirstRefusalHold and doubles up to kMaxRefusalHold while the probes
//   after it are refused too. Until a scan is taken again, one probe at a
//   time tries the broker, so that a refusal costs one session, not one per
//   probe in flight. One warning says so (at most one in
//   kRefusalWarningEvery).
//
// The limits are sized so that the scans of every probe in flight can be
// confirmed well within a session's publish wait: 256 answers of about 130
// scans of 15 characters (a full answer) are some 35,000 messages, on top of
// the 5,000 that may wait already, within the link's 50,000.
#include <functional>
#include <list>
#include <string>

#include "backoff.h"
#include "event_loop.h"
#include "mqtt_link.h"
#include "resolver.h"

namespace vxgate {

constexpr int kMaxDialsAtOnce = 256;
constexpr Millis kDialSlotHold{1000};
constexpr int kMaxProbesInFlight = 256;
constexpr size_t kMaxUnconfirmedToProbe = 5000;
constexpr Millis kStallAge{1000};
// A broker that confirms nothing for this long (a message it never
// answers, a broker hung with its connection up) is connected to again.
constexpr Millis kStallDrop{10000};
// Waiting probes are looked at again at least this often, for the case
// where room came back without an event of a session (a stall that ended).
constexpr Millis kProbePump{100};
constexpr Millis kFirstRefusalHold{1000};
constexpr Millis kMaxRefusalHold{60000};
constexpr Millis kRefusalWarningEvery{600000};

// Callers waiting their turn, first come first served. A place in the queue
// is kept by its owner, who leaves it when it no longer waits.
class WaitQueue {
public:
    using Place = std::list<std::function<void()>>::iterator;

    Place join(std::function<void()> wake) {
        return waiting_.insert(waiting_.end(), std::move(wake));
    }
    void leave(Place place) { waiting_.erase(place); }
    bool empty() const { return waiting_.empty(); }
    size_t size() const { return waiting_.size(); }
    // Takes the first waiter out and wakes it.
    void wakeFirst();

private:
    std::list<std::function<void()>> waiting_;
};

// A place in a WaitQueue that leaves it when it is destroyed or left.
class QueuePlace {
public:
    QueuePlace() = default;
    ~QueuePlace() { leave(); }
    QueuePlace(const QueuePlace&) = delete;
    QueuePlace& operator=(const QueuePlace&) = delete;

    bool waiting() const { return queue_ != nullptr; }
    // Joins queue unless already in one; wake runs (once) when its turn comes.
    void join(WaitQueue& queue, std::function<void()> wake);
    void leave();

private:
    WaitQueue* queue_ = nullptr;
    WaitQueue::Place place_;
};

class AgentContext {
public:
    AgentContext(EventLoop& loop, MqttLink& link, Resolver& resolver, Jitter& jitter,
                 std::string topicPrefix, Millis interval);
    AgentContext(const AgentContext&) = delete;
    AgentContext& operator=(const AgentContext&) = delete;

    EventLoop& loop;
    MqttLink& link;
    Resolver& resolver;
    Jitter& jitter;
    const std::string topicPrefix;
    const Millis interval;

    // Dials: a slot now (true), or a place in the queue whose wake runs
    // once a slot is taken for the caller; favoured callers (their last
    // dial succeeded) go before the others.
    bool takeDialSlot(QueuePlace& place, std::function<void()> wake, bool favoured = false);
    void releaseDialSlot();
    int dialsRunning() const { return dials_; }

    // Probes: true when a PRBE may go out now, nobody waits before the
    // caller and the link has room; the caller then counts as probing until
    // probeEnded(). Otherwise the caller waits in the queue, and wake runs
    // (after the count was taken for it) when its turn comes.
    bool takeProbeTurn(QueuePlace& place, std::function<void()> wake);
    void probeEnded();
    int probesInFlight() const { return probes_; }
    size_t probesWaiting() const { return probeQueue_.size(); }

    // The broker refused a scan (reason says why) / took one.
    void scanRefused(const std::string& reason);
    void scanTaken();
    bool refusalHold() const { return refusedUntil_ > loop.timers().now(); }

    // Wakes waiting probes while there is room: after a confirmation, a
    // probe's end, the broker's return.
    void wakeProbes();

private:
    bool roomToProbe();
    bool stalled();

    WaitQueue favouredDials_;
    WaitQueue dialQueue_;
    WaitQueue probeQueue_;
    int dials_ = 0;
    int probes_ = 0;
    bool waking_ = false;
    bool wakingDials_ = false;
    Timer pump_;
    Backoff refusalBackoff_{kFirstRefusalHold, kMaxRefusalHold};
    Clock::time_point refusedUntil_{};
    Clock::time_point lastRefusalWarning_{};
    bool refusing_ = false;  // refused, and no scan taken since
    bool stalled_ = false;   // logged as stalled
    Timer dropTimer_;
};

}  // namespace vxgate
