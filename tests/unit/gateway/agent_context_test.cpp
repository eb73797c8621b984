// The limits the agent sessions share: dials and probes wait their turn in
// the order they asked, and a turn that frees up goes to the first waiter.
#include "agent_context.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace vxgate;

struct Context {
    EventLoop loop;
    Jitter jitter{7};
    // Never started: the link stays unconnected, so no probe has room.
    MqttLink link{loop, jitter, MqttSettings{}, MqttLink::Listener{}};
    Resolver resolver{loop};
    AgentContext context{loop, link, resolver, jitter, "vxhid", Millis(1000)};
};

TEST(AgentContextTest, DialsBeyondTheLimitWaitInOrderForASlot) {
    Context c;
    std::vector<std::unique_ptr<QueuePlace>> places;
    for (int i = 0; i < kMaxDialsAtOnce; ++i) {
        places.push_back(std::make_unique<QueuePlace>());
        ASSERT_TRUE(c.context.takeDialSlot(*places.back(), [] { FAIL() << "had a slot"; }));
    }
    std::vector<int> woken;
    QueuePlace first, second, gone;
    EXPECT_FALSE(c.context.takeDialSlot(first, [&] { woken.push_back(1); }));
    EXPECT_FALSE(c.context.takeDialSlot(gone, [&] { woken.push_back(99); }));
    EXPECT_FALSE(c.context.takeDialSlot(second, [&] { woken.push_back(2); }));
    gone.leave();  // a waiter that gave up is never woken
    c.context.releaseDialSlot();
    EXPECT_EQ(std::vector<int>{1}, woken);
    EXPECT_FALSE(first.waiting());
    EXPECT_TRUE(second.waiting());
    c.context.releaseDialSlot();
    EXPECT_EQ((std::vector<int>{1, 2}), woken);
    EXPECT_EQ(kMaxDialsAtOnce, c.context.dialsRunning());
}

TEST(AgentContextTest, NoProbeWhileTheBrokerIsAwayAndTheWaitersKeepTheirOrder) {
    Context c;
    std::vector<int> woken;
    QueuePlace a, b;
    EXPECT_FALSE(c.context.takeProbeTurn(a, [&] { woken.push_back(1); }));
    EXPECT_FALSE(c.context.takeProbeTurn(b, [&] { woken.push_back(2); }));
    c.context.wakeProbes();
    EXPECT_TRUE(woken.empty());
    EXPECT_EQ(2u, c.context.probesWaiting());
    EXPECT_EQ(0, c.context.probesInFlight());
    {
        QueuePlace leaves;  // destroyed: out of the queue
        EXPECT_FALSE(c.context.takeProbeTurn(leaves, [&] { woken.push_back(3); }));
        EXPECT_EQ(3u, c.context.probesWaiting());
    }
    EXPECT_EQ(2u, c.context.probesWaiting());
}

}  // namespace
