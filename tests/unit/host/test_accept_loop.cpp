// The accept loop over real connections on 127.0.0.1: a new connection
// replaces the running session without waiting for its time-outs, in the
// order the log shows, and the old thread is gone before its objects are.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/activity_log.h"
#include "common/properties.h"
#include "host/accept_loop.h"
#include "platform/platform.h"
#include "test_support.h"
#include "transport/secure_socket.h"

namespace {

using testing_support::LogCapture;

class AcceptLoopTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(listener.initialize("127.0.0.1", "0"));
        ASSERT_TRUE(listener.doListen());
        sockaddr_in address{};
        socklen_t size = sizeof address;
        ASSERT_EQ(0, getsockname(listener.handle, reinterpret_cast<sockaddr*>(&address), &size));
        port = ntohs(address.sin_port);
        log.properties().receiveTimeout = 5000;
        log.properties().sendTimeout = 5000;
    }
    void TearDown() override {
        for (SOCKET s : clients) closesocket(s);
        listener.closeSocket();
    }

    // A peer that connects and then says nothing.
    void connectSilentPeer() {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        address.sin_port = htons(port);
        ASSERT_EQ(0, connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address));
        clients.push_back(s);
    }

    LogCapture log{3};
    vSecureSocket listener;
    unsigned short port = 0;
    std::vector<SOCKET> clients;
};

TEST_F(AcceptLoopTest, NewConnectionReplacesTheWaitingSession) {
    auto started = std::chrono::steady_clock::now();
    {
        AcceptLoop loop(&log.properties(), &listener, "version line");
        connectSilentPeer();
        loop.acceptOne();
        ASSERT_NE(nullptr, loop.currentSession());
        connectSilentPeer();
        loop.acceptOne();
    }
    // The first session was waiting for its session code (5 s); replacing it
    // did not wait for that.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));

    std::string text = log.contents();
    size_t first = text.find("Begin new Session");
    size_t failed = text.find("Authentication with Vexmoor CNC Service Failed");
    size_t deleted = text.find("tMDCSession::ShutdownThread Delete ClientSocket");
    size_t cipher = text.find("tMDCSession::ShutdownThread Delete SessionEncryptor");
    size_t found = text.find("TesselMDC::_tWinMain Found Running Session - delete and continue");
    size_t second = text.find("Begin new Session", first + 1);
    ASSERT_NE(std::string::npos, first);
    ASSERT_NE(std::string::npos, found) << text;
    EXPECT_EQ(std::string::npos, text.rfind("Found Running Session", first)) << text;
    EXPECT_LT(first, failed);
    EXPECT_LT(failed, deleted);
    EXPECT_LT(deleted, cipher);
    EXPECT_LT(cipher, found);
    EXPECT_LT(found, second);
}

TEST_F(AcceptLoopTest, FailingTimeoutsDoNotStopTheSession) {
    log.properties().receiveTimeout = -1;  // refused by the system
    AcceptLoop loop(&log.properties(), &listener, "version line");
    connectSilentPeer();
    loop.acceptOne();
    EXPECT_NE(nullptr, loop.currentSession());
    // Linux refuses a negative time-out; Windows takes it as a very long one.
    if (log.contains("Failed Trying to set Port receive timeout")) {
        std::string text = log.contents();
        EXPECT_LT(text.find("Failed Trying to set Port receive timeout"),
                  text.find("Unable to set Socket Timeouts"));
        EXPECT_NE(std::string::npos, text.find("Unable to set Socket Timeouts"));
    }
    EXPECT_TRUE(log.contains("Begin new Session"));
}

}  // namespace
