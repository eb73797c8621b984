// The broker's host name is looked up on the loop: a name server that does
// not answer holds up no timer (no agent session) meanwhile.
#include "mqtt_link.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

using namespace vxgate;

TEST(MqttLinkTest, LooksUpTheBrokersNameWithoutBlockingTheLoop) {
    // A name server on this machine that takes every query and answers none.
    int server = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(server, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address));
    socklen_t size = sizeof address;
    ASSERT_EQ(0, getsockname(server, reinterpret_cast<sockaddr*>(&address), &size));

    EventLoop loop;
    Jitter jitter{3};
    Resolver resolver(loop);
    std::string error;
    ASSERT_TRUE(resolver.start(Resolver::Sources::filesAndDns, &error)) << error;
    ASSERT_TRUE(resolver.useServers("127.0.0.1:" + std::to_string(ntohs(address.sin_port)), &error))
        << error;
    MqttSettings settings;
    settings.broker = BrokerAddress{"broker.vxhid-test.invalid", 1883, false};
    settings.clientId = "mqtt-link-test";
    {
        MqttLink link(loop, jitter, settings, MqttLink::Listener{});
        link.useResolver(resolver);
        auto started = Clock::now();
        ASSERT_TRUE(link.start(&error)) << error;
        EXPECT_LT(Clock::now() - started, Millis(100));
        bool ticked = false;
        Timer tick(loop.timers(), [&] {
            ticked = true;
            loop.stop();
        });
        tick.start(Millis(300));
        ASSERT_TRUE(loop.run());
        EXPECT_TRUE(ticked);
        EXPECT_LT(Clock::now() - started, Millis(1000));
        EXPECT_FALSE(link.connected());
        // The question did reach the name server.
        char query[512];
        EXPECT_GT(recv(server, query, sizeof query, 0), 0);
    }
    close(server);
}

}  // namespace
