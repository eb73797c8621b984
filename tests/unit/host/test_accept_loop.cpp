// The accept loop over real connections on 127.0.0.1: a new connection
// replaces the running session without waiting for its time-outs, in the
// order the log shows, and the old thread is gone before its objects are.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/activity_log.h"
#include "common/properties.h"
#include "common/text_format.h"
#include "host/accept_loop.h"
#include "peer/cnc_peer.h"
#include "platform/platform.h"
#include "scans/scan_buffer.h"
#include "test_support.h"
#include "transport/secure_socket.h"

namespace {

using testing_support::LogCapture;
using testing_support::ScopedSeams;

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

    // A peer that connects, from the given source address if any, and then
    // says nothing. Returns its own port.
    unsigned short connectSilentPeer(const char* source = nullptr) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        clients.push_back(s);
        if (source != nullptr) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = inet_addr(source);
            EXPECT_EQ(0, bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local));
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        address.sin_port = htons(port);
        EXPECT_EQ(0, connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address));
        sockaddr_in local{};
        socklen_t size = sizeof local;
        EXPECT_EQ(0, getsockname(s, reinterpret_cast<sockaddr*>(&local), &size));
        return ntohs(local.sin_port);
    }

    // A peer that connects and closes the connection at once, before the
    // agent has taken it.
    void connectAndClose() {
        connectSilentPeer();
        closesocket(clients.back());
        clients.pop_back();
    }

    // Bytes the peer receives before the agent closes its connection or
    // within the time; closed tells which.
    static std::string receiveAll(SOCKET s, int milliseconds, bool& closed) {
        std::string bytes;
        closed = false;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (std::chrono::steady_clock::now() < end) {
            if (platform::waitReadable(s, 50) != 1) continue;
            char buffer[256];
            int got = static_cast<int>(recv(s, buffer, sizeof buffer, 0));
            if (got <= 0) {
                closed = true;
                break;
            }
            bytes.append(buffer, static_cast<size_t>(got));
        }
        return bytes;
    }

    static size_t count(const std::string& text, const std::string& part) {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++n;
        }
        return n;
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

// A new connection replaces a session whose probe answer waits for the
// peer's acknowledgement: the answer's scans go back to the front of the
// queue, and the new session's probe carries them exactly once, in order,
// ahead of a scan committed meanwhile.
TEST_F(AcceptLoopTest, ReplacingASessionThatWaitsForTheAckKeepsItsScans) {
    using peer::Status;
    const int waitMs = 5000;
    initializeScanBufferLock();
    scan_buffer_testing::clearScanBuffer();
    appendScan("KEEP1");
    appendScan("KEEP2");
    {
        AcceptLoop loop(&log.properties(), &listener, "version line");
        peer::CncPeer first;
        ASSERT_TRUE(first.connect("127.0.0.1", port, waitMs));
        loop.acceptOne();
        ASSERT_TRUE(first.handshake({}, waitMs)) << first.lastError();
        ASSERT_EQ(Status::kOk, first.sendCommand("PRBE\r\n", waitMs));
        std::string answer;
        ASSERT_EQ(Status::kOk, first.readAnswer(answer, waitMs, false));  // not acknowledged
        EXPECT_EQ("KEEP1\nKEEP2\n", answer);
        appendScan("LATER");

        peer::CncPeer second;
        ASSERT_TRUE(second.connect("127.0.0.1", port, waitMs));
        loop.acceptOne();  // the first session still waits for its acknowledgement
        ASSERT_TRUE(second.handshake({}, waitMs)) << second.lastError();
        for (const char* expected : {"KEEP1\nKEEP2\nLATER\n", ""}) {
            ASSERT_EQ(Status::kOk, second.sendCommand("PRBE\r\n", waitMs));
            ASSERT_EQ(Status::kOk, second.readAnswer(answer, waitMs));
            EXPECT_EQ(expected, answer);
        }
        EXPECT_EQ(1u,
                  count(log.contents(), "Response not delivered: 2 scans kept for the next probe"))
            << log.contents();
    }
    EXPECT_FALSE(isScanAvailable());
    scan_buffer_testing::clearScanBuffer();
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

TEST_F(AcceptLoopTest, PeersOffTheListAreRefusedWithoutTouchingTheSession) {
    log.properties().allowedPeers.set("127.0.0.2");
    AcceptLoop loop(&log.properties(), &listener, "version line");
    unsigned short allowedPort = connectSilentPeer("127.0.0.2");
    loop.acceptOne();
    DncSession* session = loop.currentSession();
    ASSERT_NE(nullptr, session);
    EXPECT_TRUE(log.contains(
        formatText("TesselMDC::_tWinMain Connection from 127.0.0.2 port %u", allowedPort)));

    for (int i = 0; i < 3; ++i) {
        unsigned short refusedPort = connectSilentPeer("127.0.0.1");
        loop.acceptOne();
        EXPECT_EQ(session, loop.currentSession());
        EXPECT_TRUE(
            log.contains(formatText("TesselMDC::_tWinMain Refused a connection from "
                                    "127.0.0.1 port %u: not an allowed peer",
                                    refusedPort)));
        bool closed = false;
        EXPECT_EQ("", receiveAll(clients.back(), 5000, closed)) << "no announcement";
        EXPECT_TRUE(closed);
    }

    // The allowed peer's session goes on: it was sent its announcement and
    // is waiting for the session code.
    bool closed = false;
    EXPECT_EQ(83u, receiveAll(clients.front(), 500, closed).size());
    EXPECT_FALSE(closed);
    std::string text = log.contents();
    EXPECT_EQ(1u, count(text, "Begin new Session")) << text;
    EXPECT_EQ(0u, count(text, "Found Running Session")) << text;
    EXPECT_EQ(1u, count(text, "Connection from")) << text;

    // Another allowed connection replaces the session as always.
    connectSilentPeer("127.0.0.2");
    loop.acceptOne();
    text = log.contents();
    EXPECT_EQ(2u, count(text, "Begin new Session")) << text;
    EXPECT_EQ(1u, count(text, "Found Running Session")) << text;
}

// The log and the refusal lines read this clock, so that a burst of refusals
// falls into one second, the log guard's own, however long it takes.
// Atomic: session threads read it while a test moves it on.
std::atomic<long long> fakeNow{0};
long long fakeClock() { return fakeNow; }

struct FakeLogClock {
    FakeLogClock() { activity_log_testing::setClock(fakeClock); }
    ~FakeLogClock() { activity_log_testing::setClock(nullptr); }
};

// The accept loop's wait on its listener, scripted: each wait runs the next
// step and returns what it returns (0: a second passed with no connection);
// once the steps are done, the real wait. Waits on other sockets (the
// sessions') are real.
SOCKET scriptedListener = INVALID_SOCKET;
std::vector<std::function<int()>> waitSteps;
int scriptedWait(SOCKET s, unsigned milliseconds) {
    if (s != scriptedListener || waitSteps.empty()) {
        return platform::defaultSeams().waitReadable(s, milliseconds);
    }
    std::function<int()> step = waitSteps.front();
    waitSteps.erase(waitSteps.begin());
    return step();
}

struct ScriptedWaits {
    ScriptedWaits(SOCKET listener, std::vector<std::function<int()>> steps)
        : saved(platform::seams().waitReadable) {
        scriptedListener = listener;
        waitSteps = std::move(steps);
        platform::seams().waitReadable = scriptedWait;
    }
    ~ScriptedWaits() {
        platform::seams().waitReadable = saved;
        waitSteps.clear();
    }
    int (*saved)(SOCKET, unsigned);
};

// A host off the list that connects over and over gets at most ten lines a
// second; the other refusals leave no line (not even the loop's level-3
// line of the next round), so the log stays far below its loop guard. When
// refusals are logged again in a later second, one line first says how many
// were not.
TEST_F(AcceptLoopTest, RefusalLinesAreLimitedPerSecond) {
    testing_support::ScopedSeams seams(true);  // the loop guard's exit throws
    fakeNow = 1765350000;
    FakeLogClock logClock;
    log.properties().allowedPeers.set("127.0.0.2");
    const int kBurst = 300;
    std::string text;
    {
        AcceptLoop loop(&log.properties(), &listener, "version line", fakeClock);
        connectSilentPeer("127.0.0.2");
        loop.acceptOne();
        DncSession* session = loop.currentSession();
        ASSERT_NE(nullptr, session);

        for (int i = 0; i < kBurst; ++i) {
            connectSilentPeer("127.0.0.1");
            loop.acceptOne();
            closesocket(clients.back());
            clients.pop_back();
        }
        EXPECT_EQ(session, loop.currentSession());
        text = log.contents();
        EXPECT_EQ(static_cast<size_t>(RefusalLog::kLinesPerSecond),
                  count(text, "not an allowed peer"));
        EXPECT_EQ(0u, count(text, "not logged"));
        EXPECT_LT(count(text, "\r\n"), 40u) << text;

        fakeNow += 1;
        unsigned short lastPort = connectSilentPeer("127.0.0.1");
        loop.acceptOne();
        EXPECT_EQ(session, loop.currentSession());
        text = log.contents();
        std::string summary = formatText(
            "TesselMDC::_tWinMain %d more connections from peers off the allowed list were "
            "refused and not logged",
            kBurst - RefusalLog::kLinesPerSecond);
        std::string refusal = formatText(
            "TesselMDC::_tWinMain Refused a connection from 127.0.0.1 port %u: not an allowed peer",
            lastPort);
        size_t summaryAt = text.find(summary);
        ASSERT_NE(std::string::npos, summaryAt) << text;
        // The refusal's own line comes right after it.
        size_t next = text.find("\r\n", summaryAt) + 2;
        std::string nextLine = text.substr(next, text.find("\r\n", next) - next);
        EXPECT_NE(std::string::npos, nextLine.find(refusal)) << text;
    }
    EXPECT_FALSE(log.contains("seems to be in a loop")) << log.contents();
}

// The count of refusals that were not logged comes soon after the storm
// ends, while the loop waits for a connection, not only with the next
// refusal.
TEST_F(AcceptLoopTest, RefusalCountIsWrittenWhenTheStormEnds) {
    ScopedSeams seams(true);  // the loop guard's exit throws
    fakeNow = 1765350000;
    FakeLogClock logClock;
    log.properties().allowedPeers.set("127.0.0.2");
    AcceptLoop loop(&log.properties(), &listener, "version line", fakeClock);
    for (int i = 0; i < RefusalLog::kLinesPerSecond + 5; ++i) {
        connectSilentPeer("127.0.0.1");
        loop.acceptOne();
    }
    EXPECT_FALSE(log.contains("not logged"));

    // A second with no connection, then the next connection.
    const std::string count =
        "TesselMDC::_tWinMain 5 more connections from peers off the allowed list were refused "
        "and not logged";
    bool written = false;
    ScriptedWaits waits(listener.handle, {[] {
                                              fakeNow += 1;
                                              return 0;
                                          },
                                          [&] {
                                              written = log.contains(count);
                                              return 1;
                                          }});
    connectSilentPeer("127.0.0.2");
    loop.acceptOne();
    EXPECT_TRUE(written) << log.contents();
    EXPECT_NE(nullptr, loop.currentSession());
}

TEST_F(AcceptLoopTest, EveryPeerIsAllowedWithoutAList) {
    AcceptLoop loop(&log.properties(), &listener, "version line");
    unsigned short peerPort = connectSilentPeer("127.0.0.2");
    loop.acceptOne();
    EXPECT_NE(nullptr, loop.currentSession());
    EXPECT_TRUE(log.contains(formatText("Connection from 127.0.0.2 port %u", peerPort)));
    EXPECT_FALSE(log.contains("Refused"));
}

// Connections closed as fast as they come, all within the log guard's
// second, at level 3 (the end-to-end tests reset them as well): whatever lines they bring about,
// the guard never ends the agent, and at most 100 a second of the loop's and of the sessions' reach
// the log. The count of the others is written once their second is over, while the loop waits for
// the next connection.
TEST_F(AcceptLoopTest, ConnectionStormNeverReachesTheLoopGuard) {
    testing_support::ScopedSeams seams(true);  // the loop guard's exit throws
    fakeNow = 1765350000;
    FakeLogClock logClock;
    writeLog("TesselMDC::_tWinMain", "version line", 1);  // the guard's second
    const int kStorm = 200;
    {
        AcceptLoop loop(&log.properties(), &listener, "version line", fakeClock);
        for (int i = 0; i < kStorm; ++i) {
            connectAndClose();
            loop.acceptOne();
        }
        std::string text = log.contents();
        EXPECT_LE(count(text, "\r\n"), 1u + peer_lines::kSources * peer_lines::kPerSecond) << text;
        EXPECT_TRUE(peer_lines::countPending());

        // A second with no connection, then the next connection.
        bool written = false;
        ScriptedWaits waits(listener.handle, {[] {
                                                  fakeNow += 1;
                                                  return 0;
                                              },
                                              [&] {
                                                  written = log.contains(
                                                      "lines caused by peer connections were not "
                                                      "logged");
                                                  return 1;
                                              }});
        connectSilentPeer();
        loop.acceptOne();
        EXPECT_TRUE(written);
    }
    std::string text = log.contents();
    // One count for the accept loop's lines, one for the sessions'.
    EXPECT_EQ(static_cast<size_t>(peer_lines::kSources),
              count(text, "lines caused by peer connections were not logged"))
        << text;
    EXPECT_FALSE(log.contains("seems to be in a loop"));
    EXPECT_TRUE(ScopedSeams::exits().empty());
}

// While the loop waits for a connection, each second without one writes the
// count of lines a session went over its budget with, also when it did so
// after the wait began, and rotates a log that has grown.
TEST_F(AcceptLoopTest, EachSecondOfWaitingWritesCountsAndRotatesTheLog) {
    ScopedSeams seams;  // the loop guard's exit throws
    fakeNow = 1765350000;
    FakeLogClock logClock;
    AcceptLoop loop(&log.properties(), &listener, "version line", fakeClock);
    const std::string countLine =
        "TesselDNC::writeLog 50 lines caused by peer connections were not logged";
    bool countWritten = false;
    bool rotated = false;
    ScriptedWaits waits(
        listener.handle,
        {[] {
             std::thread session([] {
                 peer_lines::Scope lines(peer_lines::kSessions);
                 for (int i = 0; i < peer_lines::kPerSecond + 50; ++i) {
                     writeLog("S::s", "session line", 1);
                 }
             });
             session.join();
             return 0;
         },
         [] {
             fakeNow += 1;
             return 0;
         },
         [&] {
             countWritten = log.contains(countLine);
             testing_support::writeFile(log.properties().logFile, std::string(120001, 'x'));
             return 0;
         },
         [&] {
             std::string text = log.contents();
             rotated =
                 text.size() < 200 &&
                 text.find("  TesselDNC::doLogFileSize version line\r\n") != std::string::npos;
             return 1;
         }});
    connectSilentPeer();
    loop.acceptOne();
    EXPECT_TRUE(countWritten);
    EXPECT_TRUE(rotated) << log.contents();
}

// Connections that never become a session (here accepts failing at once, as
// a reset storm's do under Wine) have a budget of lines of their own: the
// running session's lines are still written in the same second.
TEST_F(AcceptLoopTest, FailedAcceptsLeaveTheSessionItsLines) {
    ScopedSeams seams;  // sleeps are only recorded
    fakeNow = 1765350000;
    FakeLogClock logClock;
    log.properties().allowedPeers.set("127.0.0.2");
    const int kStorm = 150;
    const std::function<int()> looksReady = [] { return 1; };
    // The session's own socket waits are real.
    ScriptedWaits waits(listener.handle, std::vector<std::function<int()>>(kStorm + 1, looksReady));
    {
        AcceptLoop loop(&log.properties(), &listener, "version line", fakeClock);
        connectSilentPeer("127.0.0.2");
        loop.acceptOne();
        ASSERT_NE(nullptr, loop.currentSession());
        unsigned long nonBlocking = 1;
        ioctlsocket(listener.handle, FIONBIO, &nonBlocking);
        for (int i = 0; i < kStorm; ++i) loop.acceptOne();
        EXPECT_TRUE(peer_lines::countPending());
        EXPECT_FALSE(log.contains("Did not receive Sessions Code"));
        closesocket(clients.front());  // the session's peer leaves
        clients.erase(clients.begin());
    }  // waits for the session to end
    EXPECT_TRUE(log.contains("Did not receive Sessions Code")) << log.contents();
}

// An accept that keeps failing at once (here a listener with nothing to
// accept that does not block) pauses longer and longer, up to a second; an
// accept that works ends the pauses.
TEST_F(AcceptLoopTest, AcceptThatKeepsFailingBacksOff) {
    ScopedSeams seams;                               // sleeps are only recorded
    log.properties().allowedPeers.set("127.0.0.2");  // a failed accept starts no session
    AcceptLoop loop(&log.properties(), &listener, "version line");
    unsigned long nonBlocking = 1;
    ioctlsocket(listener.handle, FIONBIO, &nonBlocking);
    const std::function<int()> looksReady = [] { return 1; };
    {
        ScriptedWaits waits(listener.handle, std::vector<std::function<int()>>(10, looksReady));
        for (int i = 0; i < 10; ++i) loop.acceptOne();
    }
    EXPECT_EQ((std::vector<unsigned>{10, 20, 40, 80, 160, 320, 640, 1000, 1000}),
              ScopedSeams::sleeps());
    EXPECT_EQ(10u, count(log.contents(), "Failed to accept a connection"));

    {
        ScriptedWaits realWait(listener.handle, {});  // until the connection is queued
        connectSilentPeer("127.0.0.2");
        loop.acceptOne();
    }
    ASSERT_NE(nullptr, loop.currentSession());
    ScopedSeams::sleeps().clear();
    ScriptedWaits waits(listener.handle, {looksReady});
    loop.acceptOne();
    EXPECT_TRUE(ScopedSeams::sleeps().empty());
}

// Refused connections write lines too: the log is rotated for them as for
// any other connection.
TEST_F(AcceptLoopTest, RefusedConnectionsRotateTheLog) {
    log.properties().allowedPeers.set("127.0.0.2");
    AcceptLoop loop(&log.properties(), &listener, "version line");
    testing_support::writeFile(log.properties().logFile, std::string(120001, 'x'));
    connectSilentPeer("127.0.0.1");
    loop.acceptOne();
    std::string saved = testing_support::readFile(log.dir().file("vxhidLog.sav"));
    EXPECT_GE(saved.size(), 120001u);
    EXPECT_NE(std::string::npos, saved.find("not an allowed peer"));
    std::string text = log.contents();
    EXPECT_NE(std::string::npos, text.find("  TesselDNC::doLogFileSize version line\r\n")) << text;
    EXPECT_LT(text.size(), 200u) << text;
}

}  // namespace
