// A whole session over 127.0.0.1: the agent's DncSession on one end, the CNC
// peer on the other. Covers the handshake's outcomes, the command table and
// the read time-out, as the peer and the activity log see them.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/activity_log.h"
#include "common/properties.h"
#include "peer/cnc_peer.h"
#include "platform/platform.h"
#include "session/dnc_session.h"
#include "test_support.h"
#include "transport/secure_socket.h"

namespace {

using peer::CncPeer;
using peer::encodeFrame;
using peer::HandshakeOptions;
using peer::Status;
using testing_support::LogCapture;
using testing_support::ProcessExit;
using testing_support::ScopedSeams;

constexpr int kWaitMs = 5000;
const char kQuit[] = "QUIT\r\n";

// One connection: the peer connects, the agent's session runs doSession on
// a thread of its own with the given socket time-outs.
class SessionHarness {
public:
    SessionHarness(tMDCProperty& properties, int receiveTimeout = 5000, int sendTimeout = 5000) {
        SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        socklen_t size = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        connected = peer.connect("127.0.0.1", ntohs(address.sin_port), kWaitMs);
        SOCKET accepted = accept(listener, nullptr, nullptr);
        closesocket(listener);

        session = std::make_unique<DncSession>();
        session->properties = &properties;
        session->ClientSocket = new vSecureSocket;
        session->ClientSocket->handle = accepted;
        session->ClientSocket->connected = accepted != INVALID_SOCKET;
        session->ClientSocket->setTimeout(receiveTimeout, sendTimeout);
        thread = std::thread([this] {
            try {
                session->doSession();
            } catch (const ProcessExit&) {
                exited = true;
            }
        });
    }

    ~SessionHarness() { finish(); }

    // Waits for the session to end and releases its connection.
    void finish() {
        peer.close();
        if (thread.joinable()) thread.join();
        if (session) session->ShutdownThread();
    }

    std::string answer() {
        std::string message = "<none>";
        EXPECT_EQ(Status::kOk, peer.readAnswer(message, kWaitMs)) << peer.lastError();
        return message;
    }

    // QUIT is answered by "100" and the connection closes: the last frame
    // of every session that ends by the peer's word.
    void quit() {
        ASSERT_EQ(Status::kOk, peer.sendCommand(kQuit, kWaitMs)) << peer.lastError();
        EXPECT_EQ("100", answer());
        EXPECT_EQ(Status::kClosed, peer.waitForClose(kWaitMs));
    }

    CncPeer peer;
    bool connected = false;
    std::unique_ptr<DncSession> session;
    std::thread thread;
    bool exited = false;
};

TEST(SessionProtocol, CommandTable) {
    struct Case {
        std::string message;
        const char* answer;  // null: no answer beyond the acknowledgement
        bool ends;           // answered "100" and the connection closed
        const char* logged;
    };
    const Case cases[] = {
        {"NOOP\r\n", nullptr, false, "Received from CNC Service the command: NOOP\r\n"},
        {"STAT\r\n", nullptr, false, "the command: STAT"},
        {"PROT\r\n", nullptr, false, "the command: PROT"},
        {std::string(1, '\0') + "junk", nullptr, false, "the command: \r\n"},
        {"CNFG ProtocolElement{<Name:A><Value:1>}\r\n", nullptr, false,
         "Configuration is complete"},
        {"DBUG 3\r\n", "200\r\n", false, "the command: DBUG 3"},
        {"PRBE\r\n", "", false, "the command: PRBE"},
        {"NOOP", "100", true, "Received QUIT, Cleanup and exit Session"},
        {"noop\r\n", "100", true, "Received QUIT, Cleanup and exit Session"},
        {"HELO there\r\n", "100", true, "Quit is complete"},
        {kQuit, "100", true, "Quit is complete"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        LogCapture log{3};
        {
            SessionHarness harness(log.properties());
            ASSERT_TRUE(harness.peer.handshake({}, kWaitMs)) << harness.peer.lastError();
            ASSERT_EQ(Status::kOk, harness.peer.sendCommand(c.message, kWaitMs));
            if (c.answer != nullptr) {
                EXPECT_EQ(c.answer, harness.answer());
            }
            if (c.ends) {
                EXPECT_EQ(Status::kClosed, harness.peer.waitForClose(kWaitMs));
            } else {
                harness.quit();  // proves nothing else was sent before
            }
        }
        std::string text = log.contents();
        EXPECT_NE(std::string::npos, text.find(c.logged)) << text;
        EXPECT_EQ(std::string::npos, text.find("Response:")) << text;
        EXPECT_NE(std::string::npos,
                  text.find("The Session has completed. Waiting for another connection request"));
    }
    logLevel = 1;
}

TEST(SessionProtocol, ConfigurationAccumulatesOverTheSession) {
    LogCapture log{2};
    SessionHarness harness(log.properties());
    ASSERT_TRUE(harness.peer.handshake({}, kWaitMs));
    for (const char* payload : {"CNFG ProtocolElement{<Name:A><Value:1>}\r\n",
                                "CNFG DataElement{<Name:X><Source:S><Type:T>}\r\n", "CNFG\r\n"}) {
        ASSERT_EQ(Status::kOk, harness.peer.sendCommand(payload, kWaitMs));
    }
    harness.quit();
    harness.finish();
    const ConfigurationElements& configuration = harness.session->configuration;
    // The third CNFG has no argument and parses the previous one again.
    EXPECT_EQ(1u, configuration.protocolElements.size());
    EXPECT_EQ(2u, configuration.dataElements.size());
    EXPECT_EQ("DataElement{<Name:X><Source:S><Type:T>}", configuration.lastPayload);
}

TEST(SessionProtocol, DebugLevelFromTheArgumentOrThePreviousOne) {
    struct Step {
        const char* message;
        int level;
    };
    for (bool fixed : {false, true}) {
        LogCapture log{1};
        if (fixed) log.properties().init("-D 2", true);
        int start = logLevel;
        const Step steps[] = {
            {"DBUG\r\n", 0}, {"DBUG 4\r\n", 4}, {"DBUG\r\n", 4}, {"DBUG 1x\r\n", 1}};
        SessionHarness harness(log.properties());
        ASSERT_TRUE(harness.peer.handshake({}, kWaitMs));
        for (const Step& step : steps) {
            ASSERT_EQ(Status::kOk, harness.peer.sendCommand(step.message, kWaitMs));
            EXPECT_EQ("200\r\n", harness.answer());
            EXPECT_EQ(fixed ? start : step.level, logLevel) << step.message;
        }
        harness.quit();
    }
    logLevel = 1;
}

TEST(SessionProtocol, ProbeAnswerIsLoggedOnlyWhenNotEmpty) {
    LogCapture log{1};
    SessionHarness harness(log.properties());
    ASSERT_TRUE(harness.peer.handshake({}, kWaitMs));
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(Status::kOk, harness.peer.sendCommand("PRBE\r\n", kWaitMs));
        EXPECT_EQ("", harness.answer());
    }
    harness.quit();
    harness.finish();
    EXPECT_EQ(std::string::npos, log.contents().find("Response:"));
}

// A 2048-byte command frame, the largest the agent reads, sent in two writes
// a few milliseconds apart (the first not a whole number of blocks): the
// agent waits for the whole frame and takes it as one command.
TEST(SessionProtocol, CommandFrameInTwoWritesIsOneCommand) {
    LogCapture log{2};
    SessionHarness harness(log.properties());
    ASSERT_TRUE(harness.peer.handshake({}, kWaitMs));
    std::string command = "DBUG 2" + std::string(2024, ' ') + "\r\n";
    std::string frameBytes;
    ASSERT_TRUE(encodeFrame(harness.peer.sessionKey(), command, frameBytes));
    ASSERT_EQ(2048u, frameBytes.size());

    ASSERT_TRUE(harness.peer.sendRaw(frameBytes.substr(0, 1000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(harness.peer.sendRaw(frameBytes.substr(1000)));

    ASSERT_EQ(Status::kOk, harness.peer.receiveAck(kWaitMs)) << harness.peer.lastError();
    EXPECT_EQ("200\r\n", harness.answer());
    harness.quit();
    harness.finish();
    std::string text = log.contents();
    EXPECT_NE(std::string::npos, text.find("Received from CNC Service the command: DBUG 2 "));
    EXPECT_EQ(std::string::npos, text.find("Failed to Receive a Full Msg")) << text;
    logLevel = 1;
}

TEST(SessionProtocol, SilentPeerTimesOutAfterThreePolls) {
    ScopedSeams seams;  // polls record their sleeps instead of waiting
    LogCapture log{1};
    SessionHarness harness(log.properties(), 5000, 999);
    ASSERT_TRUE(harness.peer.handshake({}, kWaitMs));
    // The connection stays open: only the host's next accept closes it.
    EXPECT_EQ(Status::kTimedOut, harness.peer.waitForClose(500));
    harness.finish();
    std::string text = log.contents();
    size_t timedOut = text.find("Timed out while waiting to read a command from DNC");
    size_t length = text.find("Received an unexpected Message of Length -1");
    ASSERT_NE(std::string::npos, timedOut) << text;
    EXPECT_LT(timedOut, length);
    EXPECT_EQ(30u, ScopedSeams::sleeps().size());
    EXPECT_EQ(5, harness.session->sessionState);
}

TEST(SessionProtocol, HandshakeFailures) {
    struct Case {
        const char* name;
        std::function<void(CncPeer&)> peerSide;
        const char* logged;
        bool commandAfter = true;  // then send a command that must go unread
    };
    const Case cases[] = {
        {"session code split 10 + 6",
         [](CncPeer& peer) {
             HandshakeOptions options;
             options.splitSessionCode = 10;
             EXPECT_FALSE(peer.handshake(options, kWaitMs));
         },
         "Did not receive Sessions Code"},
        {"one wrong confirmation byte",
         [](CncPeer& peer) {
             HandshakeOptions options;
             options.wrongConfirmation = true;
             EXPECT_FALSE(peer.handshake(options, kWaitMs));
             EXPECT_EQ("200 Failed", peer.verdict());
         },
         "Failed ConfirmationCode Test"},
        {"32 bytes at once: the rest is read as the confirmation",
         [](CncPeer& peer) {
             std::string bytes;
             ASSERT_EQ(Status::kOk, peer.receiveExact(bytes, 83, kWaitMs));
             ASSERT_TRUE(peer.sendRaw(std::string(32, 'c')));
             ASSERT_EQ(Status::kOk, peer.receiveExact(bytes, 16, kWaitMs));
             ASSERT_EQ(Status::kOk, peer.receiveExact(bytes, 32, kWaitMs));
             ASSERT_TRUE(peer.sendRaw("*"));
         },
         "Failed ConfirmationCode Test"},
        {"silent peer",
         [](CncPeer& peer) {
             std::string bytes;
             ASSERT_EQ(Status::kOk, peer.receiveExact(bytes, 83, kWaitMs));
         },
         "Did not receive Sessions Code", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log{1};
        {
            SessionHarness harness(log.properties(), 300, 5000);
            c.peerSide(harness.peer);
            // A failed handshake reads no command.
            if (c.commandAfter) harness.peer.sendCommand("NOOP\r\n", 500);
            harness.thread.join();
            EXPECT_EQ(5, harness.session->sessionState);
        }
        std::string text = log.contents();
        EXPECT_NE(std::string::npos, text.find(c.logged)) << text;
        EXPECT_NE(std::string::npos, text.find("Authentication with Vexmoor CNC Service Failed"));
        EXPECT_EQ(std::string::npos, text.find("Received from CNC Service")) << text;
    }
}

TEST(SessionProtocol, QuitAfterAFailedUpdateStartsTheUpdater) {
    ScopedSeams seams(true);
    LogCapture log{1};
    WSADATA data;
    WSAStartup(0x0202, &data);  // the quit ends one Winsock reference
    SessionHarness harness(log.properties());
    ASSERT_TRUE(harness.peer.handshake({}, kWaitMs));
    ASSERT_EQ(Status::kOk, harness.peer.sendCommand("UPDT\r\n", kWaitMs));
    EXPECT_EQ("200\r\n", harness.answer());
    harness.quit();
    harness.finish();
    EXPECT_TRUE(harness.exited);
    ASSERT_EQ(1u, ScopedSeams::started().size());
    EXPECT_NE(std::string::npos, ScopedSeams::started()[0].file.find("tesselDncUpdater.exe"));
    EXPECT_TRUE(log.contains("doUpdate caught an exception while trying to do an update"));
}

}  // namespace
