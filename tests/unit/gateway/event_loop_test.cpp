#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "event_loop.h"

namespace {

using vxgate::EventLoop;
using vxgate::Millis;

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(0, pipe(fds)); }
    ~Pipe() { closeBoth(); }
    void closeBoth() {
        for (int& fd : fds) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
    int reader() const { return fds[0]; }
    int writer() const { return fds[1]; }
    void put(const char* text) const { ASSERT_GT(write(fds[1], text, 1), 0); }
};

TEST(EventLoopTest, HandlersSeeTheEventsTheyAskFor) {
    EventLoop loop;
    ASSERT_EQ("", loop.error());
    Pipe pipe;
    std::vector<uint32_t> seen;
    std::string error;
    EventLoop::WatchId reader = loop.watch(
        pipe.reader(), vxgate::kReadable, [&](uint32_t events) { seen.push_back(events); }, &error);
    ASSERT_NE(0u, reader) << error;
    EventLoop::WatchId writer = loop.watch(
        pipe.writer(), 0, [&](uint32_t events) { seen.push_back(events << 16); }, &error);
    ASSERT_NE(0u, writer) << error;

    ASSERT_TRUE(loop.runOnce(Millis(0)));
    EXPECT_TRUE(seen.empty());
    pipe.put("x");
    ASSERT_TRUE(loop.runOnce(Millis(1000)));
    EXPECT_EQ((std::vector<uint32_t>{EPOLLIN}), seen);

    seen.clear();
    loop.unwatch(reader);
    EXPECT_TRUE(loop.setInterest(writer, vxgate::kWritable));
    ASSERT_TRUE(loop.runOnce(Millis(1000)));
    EXPECT_EQ((std::vector<uint32_t>{static_cast<uint32_t>(EPOLLOUT) << 16}), seen);
    EXPECT_FALSE(loop.setInterest(reader, vxgate::kReadable));  // gone
    loop.unwatch(writer);
}

// Two sockets ready in the same round; the first handler drops the other and
// watches a new descriptor, which may get the same number and the same slot.
// The other's event of this round is stale and must reach nobody.
TEST(EventLoopTest, AnEventOfAWatchReleasedInTheSameRoundIsDropped) {
    EventLoop loop;
    auto first = std::make_unique<Pipe>();
    auto second = std::make_unique<Pipe>();
    std::unique_ptr<Pipe> replacement;
    EventLoop::WatchId ids[2] = {0, 0};
    std::vector<std::string> calls;
    std::unique_ptr<Pipe>* pipes[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        int other = 1 - i;
        ids[i] = loop.watch((*pipes[i])->reader(), vxgate::kReadable,
                            [&, i, other](uint32_t) {
                                calls.push_back("pipe " + std::to_string(i));
                                loop.unwatch(ids[other]);
                                pipes[other]->reset();
                                replacement = std::make_unique<Pipe>();
                                replacement->put("y");
                                loop.watch(
                                    replacement->reader(), vxgate::kReadable,
                                    [&](uint32_t) { calls.push_back("replacement"); }, nullptr);
                                loop.unwatch(ids[i]);
                            },
                            nullptr);
        ASSERT_NE(0u, ids[i]);
    }
    first->put("a");
    second->put("b");
    ASSERT_TRUE(loop.runOnce(Millis(1000)));
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(0u, calls[0].find("pipe "));
    ASSERT_TRUE(loop.runOnce(Millis(1000)));
    EXPECT_EQ((std::vector<std::string>{calls[0], "replacement"}), calls);
}

TEST(EventLoopTest, TimersEndTheWaitAndRunInTheLoop) {
    EventLoop loop;
    int fired = 0;
    vxgate::Timer timer(loop.timers(), [&] { ++fired; });
    timer.start(Millis(20));
    auto start = std::chrono::steady_clock::now();
    while (fired == 0) ASSERT_TRUE(loop.runOnce(Millis(5000)));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, Millis(20));
    EXPECT_LT(waited, Millis(2000));
}

TEST(EventLoopTest, SignalsArriveAsEventsOfTheLoop) {
    EventLoop loop;
    std::vector<int> received;
    std::string error;
    ASSERT_TRUE(loop.handleSignals(
        {SIGUSR1, SIGUSR2}, [&](int number) { received.push_back(number); }, &error))
        << error;
    raise(SIGUSR2);
    raise(SIGUSR1);
    for (int round = 0; round < 10 && received.size() < 2; ++round) loop.runOnce(Millis(1000));
    std::sort(received.begin(), received.end());
    EXPECT_EQ((std::vector<int>{SIGUSR1, SIGUSR2}), received);
    // The signals stay blocked for the rest of this test program, which
    // sends them to nobody else.
}

TEST(EventLoopTest, StopEndsRunFromAHandler) {
    EventLoop loop;
    vxgate::Timer timer(loop.timers(), [&] { loop.stop(); });
    timer.start(Millis(1));
    EXPECT_TRUE(loop.run());
}

}  // namespace
