// Host names looked up on the loop, from /etc/hosts only (no query leaves
// the machine): a name it holds, one it does not, a cancelled request.
#include "resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using namespace vxgate;

struct Answer {
    bool done = false;
    bool ok = false;
    std::string address;
    std::string error;
};

Resolver::Done record(Answer& answer) {
    return [&answer](bool ok, in_addr address, const std::string& error) {
        answer.done = true;
        answer.ok = ok;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &address, text, sizeof text);
        answer.address = text;
        answer.error = error;
    };
}

TEST(ResolverTest, LooksUpNamesOnTheLoopAndForgetsCancelledOnes) {
    EventLoop loop;
    Resolver resolver(loop);
    std::string error;
    ASSERT_TRUE(resolver.start(Resolver::Sources::filesOnly, &error)) << error;

    Answer local, unknown, cancelled;
    resolver.lookUp("localhost", record(local));
    resolver.lookUp("no-such-agent.invalid", record(unknown));
    Resolver::Request request = resolver.lookUp("localhost", record(cancelled));
    resolver.cancel(request);
    for (int round = 0; round < 20 && !(local.done && unknown.done); ++round) {
        ASSERT_TRUE(loop.runOnce(Millis(50)));
    }
    ASSERT_TRUE(local.done);
    EXPECT_TRUE(local.ok) << local.error;
    EXPECT_EQ("127.0.0.1", local.address);
    ASSERT_TRUE(unknown.done);
    EXPECT_FALSE(unknown.ok);
    EXPECT_NE("", unknown.error);
    EXPECT_FALSE(cancelled.done);
}

}  // namespace
