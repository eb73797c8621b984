#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "backoff.h"
#include "timer_queue.h"

namespace {

using vxgate::Backoff;
using vxgate::Clock;
using vxgate::Jitter;
using vxgate::Millis;
using vxgate::Timer;
using vxgate::TimerQueue;

// A clock that moves only when the test says so.
struct FakeClock {
    Clock::time_point now{};
    TimerQueue::Now reader() {
        return [this] { return now; };
    }
    void advance(int ms) { now += Millis(ms); }
};

TEST(TimerQueueTest, FiresDueTimersEarliestFirstAndEqualDeadlinesInStartOrder) {
    FakeClock clock;
    TimerQueue queue(clock.reader());
    std::string fired;
    Timer a(queue, [&] { fired += "a"; });
    Timer b(queue, [&] { fired += "b"; });
    Timer c(queue, [&] { fired += "c"; });
    Timer d(queue, [&] { fired += "d"; });
    c.start(Millis(30));
    a.start(Millis(10));
    d.start(Millis(10));
    b.start(Millis(50));
    EXPECT_EQ(Millis(10), queue.untilNext());

    clock.advance(9);
    queue.runDue();
    EXPECT_EQ("", fired);
    EXPECT_EQ(Millis(1), queue.untilNext());
    clock.advance(21);
    queue.runDue();
    EXPECT_EQ("adc", fired);
    EXPECT_FALSE(a.running());
    EXPECT_TRUE(b.running());
    EXPECT_EQ(Millis(20), queue.untilNext());
    clock.advance(100);
    queue.runDue();
    EXPECT_EQ("adcb", fired);
    EXPECT_EQ(std::nullopt, queue.untilNext());
}

TEST(TimerQueueTest, RestartMovesTheDeadlineAndStopOrDestructionCancels) {
    FakeClock clock;
    TimerQueue queue(clock.reader());
    int fired = 0;
    Timer moved(queue, [&] { ++fired; });
    Timer stopped(queue, [&] { fired += 100; });
    moved.start(Millis(10));
    moved.start(Millis(40));  // restarted: the first deadline no longer counts
    stopped.start(Millis(5));
    stopped.stop();
    {
        Timer destroyed(queue, [&] { fired += 1000; });
        destroyed.start(Millis(5));
    }
    EXPECT_EQ(1u, queue.size());
    clock.advance(39);
    queue.runDue();
    EXPECT_EQ(0, fired);
    clock.advance(1);
    queue.runDue();
    EXPECT_EQ(1, fired);
}

TEST(TimerQueueTest, AnExpiryMayRestartStopOrDestroyTimersButNotRunItselfAgainInTheSameRound) {
    FakeClock clock;
    TimerQueue queue(clock.reader());
    int ticks = 0;
    std::unique_ptr<Timer> victim;
    bool victimFired = false;
    Timer ticker(queue, [&] {
        ++ticks;
        ticker.start(Millis(0));  // at once again: waits for the next round
        victim.reset();           // destroys a timer that is due as well
    });
    victim = std::make_unique<Timer>(queue, [&] { victimFired = true; });
    ticker.start(Millis(10));
    victim->start(Millis(10));
    clock.advance(10);
    queue.runDue();
    EXPECT_EQ(1, ticks);
    EXPECT_FALSE(victimFired);
    EXPECT_EQ(Millis(0), queue.untilNext());
    queue.runDue();
    EXPECT_EQ(2, ticks);

    // A timer may destroy itself from its own expiry.
    std::unique_ptr<Timer> self;
    bool selfRan = false;
    self = std::make_unique<Timer>(queue, [&] {
        selfRan = true;
        self.reset();
    });
    self->start(Millis(1));
    ticker.stop();
    clock.advance(1);
    queue.runDue();
    EXPECT_TRUE(selfRan);
    EXPECT_EQ(0u, queue.size());
}

// Thousands of timers started, restarted and stopped at random fire exactly
// once each, in deadline order: the heap keeps its order through removals
// from the middle.
TEST(TimerQueueTest, ManyTimersStartedAndStoppedAtRandomFireInDeadlineOrder) {
    FakeClock clock;
    TimerQueue queue(clock.reader());
    constexpr int kCount = 10000;
    std::vector<std::unique_ptr<Timer>> timers;
    std::vector<int> deadline(kCount, -1);
    std::vector<int> firedOrder;
    for (int i = 0; i < kCount; ++i) {
        timers.push_back(std::make_unique<Timer>(queue, [&, i] { firedOrder.push_back(i); }));
    }
    std::mt19937 random(7);
    for (int round = 0; round < 3 * kCount; ++round) {
        int i = static_cast<int>(random() % kCount);
        if (random() % 4 == 0) {
            timers[i]->stop();
            deadline[i] = -1;
        } else {
            deadline[i] = static_cast<int>(random() % 5000);
            timers[i]->start(Millis(deadline[i]));
        }
    }
    size_t running = static_cast<size_t>(
        std::count_if(deadline.begin(), deadline.end(), [](int d) { return d >= 0; }));
    EXPECT_EQ(running, queue.size());
    clock.advance(5000);
    queue.runDue();
    ASSERT_EQ(running, firedOrder.size());
    for (size_t k = 1; k < firedOrder.size(); ++k) {
        EXPECT_LE(deadline[firedOrder[k - 1]], deadline[firedOrder[k]]);
    }
    EXPECT_EQ(0u, queue.size());
}

TEST(BackoffTest, PausesDoubleUpToTheCeilingEachDrawnFromItsUpperHalf) {
    Jitter jitter(42);
    Backoff backoff(Millis(250), Millis(5000));
    const long long steps[] = {250, 500, 1000, 2000, 4000, 5000, 5000, 5000};
    for (long long step : steps) {
        EXPECT_EQ(step, backoff.step().count());
        Millis pause = backoff.next(jitter);
        EXPECT_GE(pause.count(), step / 2);
        EXPECT_LE(pause.count(), step);
    }
    backoff.reset();
    EXPECT_EQ(250, backoff.step().count());
}

TEST(BackoffTest, ManyConnectionsFailingTogetherComeBackSpreadOut) {
    // 10,000 agents lost at the same moment: their first tries spread over
    // the whole half of the step rather than landing on one millisecond.
    Jitter jitter(1);
    std::vector<int> perMillisecond(5001, 0);
    for (int agent = 0; agent < 10000; ++agent) {
        Backoff backoff(Millis(5000), Millis(5000));
        ++perMillisecond[static_cast<size_t>(backoff.next(jitter).count())];
    }
    EXPECT_EQ(0, *std::max_element(perMillisecond.begin(), perMillisecond.begin() + 2500));
    EXPECT_LE(*std::max_element(perMillisecond.begin(), perMillisecond.end()), 20);
}

}  // namespace
