#pragma once
// What every agent session of a gateway shares: the loop, the broker link,
// the name look-up, the random source of the pauses, the topics, and the two limits that keep
// many sessions from acting all at once:
//
// - Dials: at most kMaxDialsAtOnce connections and handshakes run at the
//   same time; the others wait their turn in order.
// - Probes: a PRBE goes out only while the broker link is connected, is not
//   stalled (its oldest unconfirmed message is younger than kStallAge) and
//   has room (fewer than kMaxUnconfirmedToProbe messages unconfirmed and
//   fewer than kMaxProbesInFlight probes between their PRBE and their
//   acknowledgement). A session whose probe is due waits its turn in order;
//   while it waits it keeps its session open with NOOP.
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
constexpr int kMaxProbesInFlight = 256;
constexpr size_t kMaxUnconfirmedToProbe = 5000;
constexpr Millis kStallAge{1000};
// Waiting probes are looked at again at least this often, for the case
// where room came back without an event of a session (a stall that ended).
constexpr Millis kProbePump{100};

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
    // once a slot is taken for the caller.
    bool takeDialSlot(QueuePlace& place, std::function<void()> wake);
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

    // Wakes waiting probes while there is room: after a confirmation, a
    // probe's end, the broker's return.
    void wakeProbes();

private:
    bool roomToProbe();

    WaitQueue dialQueue_;
    WaitQueue probeQueue_;
    int dials_ = 0;
    int probes_ = 0;
    bool waking_ = false;
    bool wakingDials_ = false;
    Timer pump_;
};

}  // namespace vxgate
