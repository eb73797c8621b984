// The CNC peer against the scripted stand-in for the agent on 127.0.0.1.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_agent.h"
#include "peer/cnc_peer.h"
#include "platform/platform.h"
#include "transport/aes128.h"
#include "transport/session_encryptor.h"

#if __has_include(<sys/select.h>)
#include <sys/select.h>
#endif
#if __has_include(<sys/resource.h>)
#include <sys/resource.h>
#endif

namespace {

using namespace peer_test;
using peer::CncPeer;
using peer::Key;
using peer::Status;

TEST(CncPeerSession, HandshakeThenFramesBothWays) {
    FakeAgent agent;
    const std::string longAnswer(2048, 'L');
    agent.start([&](FakeAgent& a) {
        if (!a.handshake()) return;
        a.readFrame();  // PRBE
        a.sendFrame("ABC123\nXYZ\n");
        a.sendFrame("");
        a.readFrame();  // NOOP without a line end
        a.sendFrame(longAnswer);
        a.readFrame();  // QUIT
        a.sendFrame("100");
        a.closeConnection();
    });

    CncPeer peer;
    ASSERT_TRUE(peer.connect("127.0.0.1", agent.port(), kWaitMs)) << peer.lastError();
    ASSERT_TRUE(peer.handshake(withKey(), kWaitMs)) << peer.lastError();
    EXPECT_EQ(announcementText(), peer.announcement());
    EXPECT_EQ("100 Confirmed", peer.verdict());

    std::string answer;
    EXPECT_EQ(Status::kOk, peer.sendCommand("PRBE\r\n", kWaitMs)) << peer.lastError();
    EXPECT_EQ(Status::kOk, peer.readAnswer(answer, kWaitMs)) << peer.lastError();
    EXPECT_EQ("ABC123\nXYZ\n", answer);
    EXPECT_EQ(Status::kOk, peer.readAnswer(answer, kWaitMs)) << peer.lastError();
    EXPECT_EQ("", answer);
    EXPECT_EQ(Status::kOk, peer.sendCommand("NOOP", kWaitMs)) << peer.lastError();
    EXPECT_EQ(Status::kOk, peer.readAnswer(answer, kWaitMs)) << peer.lastError();
    EXPECT_EQ(longAnswer, answer);
    EXPECT_EQ(Status::kOk, peer.sendCommand("QUIT\r\n", kWaitMs)) << peer.lastError();
    EXPECT_EQ(Status::kOk, peer.readAnswer(answer, kWaitMs)) << peer.lastError();
    EXPECT_EQ("100", answer);
    EXPECT_EQ(Status::kClosed, peer.waitForClose(kWaitMs)) << peer.lastError();
    agent.join();

    // The agent learnt the peer's key, and every frame came in one read.
    EXPECT_EQ(0, std::memcmp(agent.cipher->sessionKey, kKey.data(), 16));
    EXPECT_EQ(16, agent.sessionCodeBytes);
    EXPECT_TRUE(agent.confirmed);
    EXPECT_EQ((std::vector<std::string>{"PRBE\r\n", "NOOP", "QUIT\r\n"}), agent.commands);
    EXPECT_EQ((std::vector<int>{32, 32, 32}), agent.frameSizes);
    EXPECT_EQ("*****", agent.acks);  // verdict and four answers
}

TEST(CncPeerSession, WrongConfirmationIsAnsweredFailed) {
    FakeAgent agent;
    agent.start([](FakeAgent& a) {
        a.handshake();
        a.waitForPeerToClose();
    });
    CncPeer peer;
    ASSERT_TRUE(peer.connect("127.0.0.1", agent.port(), kWaitMs)) << peer.lastError();
    peer::HandshakeOptions options;  // a random key this time
    options.wrongConfirmation = true;
    EXPECT_FALSE(peer.handshake(options, kWaitMs));
    EXPECT_EQ("200 Failed", peer.verdict());
    EXPECT_NE(std::string::npos, peer.lastError().find("200 Failed")) << peer.lastError();
    peer.close();
    agent.join();
    EXPECT_FALSE(agent.confirmed);
    EXPECT_EQ(0, std::memcmp(agent.cipher->sessionKey, peer.sessionKey().data(), 16));
    EXPECT_EQ("*", agent.acks);  // the failed verdict is acknowledged too
}

TEST(CncPeerSession, SplitSessionCodeGoesOutInTwoWrites) {
    FakeAgent agent;
    std::string rest;
    agent.start([&](FakeAgent& a) {
        a.handshake();  // its one read takes only the first part and gives up
        rest = a.receiveOnce(16);
        a.closeConnection();
    });
    CncPeer peer;
    ASSERT_TRUE(peer.connect("127.0.0.1", agent.port(), kWaitMs)) << peer.lastError();
    peer::HandshakeOptions options = withKey();
    options.splitSessionCode = 10;
    options.splitPauseMs = 300;
    EXPECT_FALSE(peer.handshake(options, kWaitMs));
    EXPECT_NE(std::string::npos, peer.lastError().find("no response code")) << peer.lastError();
    EXPECT_EQ("", peer.verdict());
    agent.join();
    EXPECT_EQ(10, agent.sessionCodeBytes);
    EXPECT_EQ(6u, rest.size());
}

TEST(CncPeerSession, ReadsLateAndSplitFramesAndRejectsBadOnes) {
    FakeAgent agent;
    agent.start([](FakeAgent& a) {
        if (!a.handshake()) return;
        a.receiveOnce(2048);  // the NOOP frame, acknowledged with a wrong byte
        a.sendBytes("X");
        a.sendFrame("late answer", 16);  // header first, the block 150 ms later
        // A header block that announces a frame longer than any allowed.
        std::string header(16, '*');
        header[0] = 0;
        header[1] = 0x10;  // 4096
        header[2] = 0x00;
        unsigned char block[16];
        encryptBlock(reinterpret_cast<const unsigned char*>(header.data()), a.cipher->sessionKey,
                     block);
        a.sendBytes(std::string(reinterpret_cast<char*>(block), 16));
        a.waitForPeerToClose();
    });
    CncPeer peer;
    ASSERT_TRUE(peer.connect("127.0.0.1", agent.port(), kWaitMs)) << peer.lastError();
    ASSERT_TRUE(peer.handshake(withKey(), kWaitMs)) << peer.lastError();

    std::string answer;
    EXPECT_EQ(Status::kTimedOut, peer.readAnswer(answer, 200));
    EXPECT_EQ(Status::kFailed, peer.sendCommand("NOOP\r\n", kWaitMs));
    EXPECT_NE(std::string::npos, peer.lastError().find("0x58")) << peer.lastError();
    EXPECT_EQ(Status::kOk, peer.readAnswer(answer, kWaitMs)) << peer.lastError();
    EXPECT_EQ("late answer", answer);
    EXPECT_EQ(Status::kFailed, peer.readAnswer(answer, kWaitMs));
    EXPECT_NE(std::string::npos, peer.lastError().find("4096")) << peer.lastError();
    peer.close();
    agent.join();
    EXPECT_EQ("**", agent.acks);  // the verdict and the late answer
}

// A frame that stops part way leaves the connection out of step; the reason
// says where it stopped, and cncpeer prints it.
TEST(CncPeerSession, FrameCutShortSaysWhereItStopped) {
    struct Case {
        size_t sent;         // bytes of the 48-byte answer frame before the agent closes
        const char* reason;  // the whole error
    };
    const Case cases[] = {
        {5, "frame cut short: the agent closed the connection after 5 of 16 bytes"},
        {16, "frame of 48 bytes cut short: the agent closed the connection"},
        {26, "frame of 48 bytes cut short: the agent closed the connection after 10 of 32 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        FakeAgent agent;
        agent.start([&c](FakeAgent& a) {
            if (!a.handshake()) return;
            a.readFrame();
            a.sendBytes(a.frameOf(std::string(20, 'x')).substr(0, c.sent));
            a.closeConnection();
        });
        CncPeer peer;
        ASSERT_TRUE(peer.connect("127.0.0.1", agent.port(), kWaitMs)) << peer.lastError();
        ASSERT_TRUE(peer.handshake(withKey(), kWaitMs)) << peer.lastError();
        EXPECT_EQ(Status::kOk, peer.sendCommand("PRBE\r\n", kWaitMs)) << peer.lastError();
        std::string answer = "<none>";
        EXPECT_EQ(Status::kFailed, peer.readAnswer(answer, kWaitMs));
        EXPECT_EQ(c.reason, peer.lastError());
        EXPECT_EQ("", answer);
        agent.join();
    }
}

// The agent takes the acknowledgement as the sign that its answer arrived,
// so an answer that arrives whole but does not open is not acknowledged.
TEST(CncPeerSession, CorruptAnswerIsNotAcknowledged) {
    struct Case {
        const char* what;
        int fill;              // header byte 0
        unsigned char filler;  // what stands in the fill bytes
    };
    const Case cases[] = {
        {"a fill byte other than '*'", 13, 'X'},
        {"a fill count above 15", 16, '*'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeAgent agent;
        agent.start([&c](FakeAgent& a) {
            if (!a.handshake()) return;
            a.readFrame();
            // "abc" in one block: header and block built by hand.
            unsigned char header[16];
            std::memset(header, '*', sizeof header);
            header[0] = static_cast<unsigned char>(c.fill);
            header[1] = 0;
            header[2] = 32;
            unsigned char block[16];
            std::memset(block, c.filler, sizeof block);
            std::memcpy(block, "abc", 3);
            std::string frameBytes;
            for (const unsigned char* plain : {header, block}) {
                unsigned char encrypted[16];
                encryptBlock(plain, a.cipher->sessionKey, encrypted);
                frameBytes.append(reinterpret_cast<char*>(encrypted), 16);
            }
            a.sendBytes(frameBytes);
            a.acks += a.receiveOnce(1);  // nothing: the peer gives up and closes
        });
        CncPeer peer;
        ASSERT_TRUE(peer.connect("127.0.0.1", agent.port(), kWaitMs)) << peer.lastError();
        ASSERT_TRUE(peer.handshake(withKey(), kWaitMs)) << peer.lastError();
        EXPECT_EQ(Status::kOk, peer.sendCommand("PRBE\r\n", kWaitMs)) << peer.lastError();
        std::string answer = "<none>";
        EXPECT_EQ(Status::kFailed, peer.readAnswer(answer, kWaitMs));
        EXPECT_EQ("", answer);
        peer.close();
        agent.join();
        EXPECT_EQ("*", agent.acks);  // the verdict's only
    }
}

TEST(CncPeerSession, ConnectionRefusedAndClosedAreReported) {
    // A port that was just free: nothing listens there.
    int freePort = 0;
    {
        FakeAgent gone;
        freePort = gone.port();
    }
    CncPeer peer;
    EXPECT_FALSE(peer.connect("127.0.0.1", freePort, kWaitMs));
    EXPECT_NE(std::string::npos, peer.lastError().find("cannot connect")) << peer.lastError();
    EXPECT_FALSE(peer.isConnected());

    FakeAgent agent;
    agent.start([](FakeAgent& a) {
        if (!a.handshake()) return;
        a.readFrame();
        a.closeConnection();  // no answer: the connection just ends
    });
    ASSERT_TRUE(peer.connect("127.0.0.1", agent.port(), kWaitMs)) << peer.lastError();
    ASSERT_TRUE(peer.handshake(withKey(), kWaitMs)) << peer.lastError();
    EXPECT_EQ(Status::kOk, peer.sendCommand("UPDT\r\n", kWaitMs)) << peer.lastError();
    std::string answer;
    EXPECT_EQ(Status::kClosed, peer.readAnswer(answer, kWaitMs)) << peer.lastError();
    agent.join();
}

#if __has_include(<sys/resource.h>)
// Takes the lowest free descriptor numbers up to FD_SETSIZE, under an open-file
// limit raised for the test, so that the next socket is numbered past it.
class LowDescriptorsTaken {
public:
    LowDescriptorsTaken() {
        getrlimit(RLIMIT_NOFILE, &saved_);
        const rlim_t wanted = FD_SETSIZE + 64;
        if (saved_.rlim_cur < wanted) {
            if (saved_.rlim_max != RLIM_INFINITY && saved_.rlim_max < wanted) return;
            rlimit raised = saved_;
            raised.rlim_cur = wanted;
            if (setrlimit(RLIMIT_NOFILE, &raised) != 0) return;
        }
        while (taken_.empty() || taken_.back() < FD_SETSIZE) {
            int fd = dup(STDERR_FILENO);
            if (fd < 0) return;
            taken_.push_back(fd);
        }
    }
    ~LowDescriptorsTaken() {
        for (int fd : taken_) close(fd);
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    LowDescriptorsTaken(const LowDescriptorsTaken&) = delete;
    LowDescriptorsTaken& operator=(const LowDescriptorsTaken&) = delete;

    bool done() const { return !taken_.empty() && taken_.back() >= FD_SETSIZE; }

private:
    rlimit saved_{};
    std::vector<int> taken_;
};

// select() cannot wait on a descriptor numbered FD_SETSIZE or above, and a
// peer in a process with many connections gets such numbers.
TEST(CncPeerSession, WorksOnSocketNumbersPastTheSelectLimit) {
    FakeAgent agent;  // its listener stays below the limit: it waits with select()
    LowDescriptorsTaken low;
    if (!low.done()) GTEST_SKIP() << "the open-file limit leaves no room past FD_SETSIZE";
    agent.start([](FakeAgent& a) {
        if (!a.handshake()) return;
        a.readFrame();
        a.sendFrame("s1\n");
        a.waitForPeerToClose();
    });
    CncPeer peer;
    ASSERT_TRUE(peer.connect("127.0.0.1", agent.port(), kWaitMs)) << peer.lastError();
    EXPECT_GE(peer.socketHandle(), FD_SETSIZE);
    ASSERT_TRUE(peer.handshake(withKey(), kWaitMs)) << peer.lastError();
    std::string answer;
    EXPECT_EQ(Status::kOk, peer.sendCommand("PRBE\r\n", kWaitMs)) << peer.lastError();
    EXPECT_EQ(Status::kOk, peer.readAnswer(answer, kWaitMs)) << peer.lastError();
    EXPECT_EQ("s1\n", answer);
    EXPECT_EQ(Status::kTimedOut, peer.readAnswer(answer, 50));
    peer.close();
    agent.join();
}
#endif

}  // namespace
