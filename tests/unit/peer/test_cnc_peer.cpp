// The CNC peer against a scripted stand-in for the agent on 127.0.0.1. The
// stand-in does the agent's side with the agent's own cipher object and reads
// each frame with one socket read, as the agent does, so a peer that split
// its frames or got a code wrong fails here.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peer/cnc_peer.h"
#include "peer/commands.h"
#include "peer/escape_text.h"
#include "peer_cli.h"
#include "platform/platform.h"
#include "transport/aes128.h"
#include "transport/session_encryptor.h"
#include "watch.h"

#if __has_include(<sys/select.h>)
#include <sys/select.h>
#endif
#if __has_include(<sys/resource.h>)
#include <sys/resource.h>
#endif

namespace {

using peer::CncPeer;
using peer::Key;
using peer::Status;

constexpr int kWaitMs = 3000;
const Key kKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                  0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const char kKeyHex[] = "00112233445566778899AABBCCDDEEFF";

std::string announcementText() {
    std::string text = "Stand-in agent for the CNC peer tests, waiting for a session code";
    text.resize(peer::kAnnouncementLength, '.');
    return text;
}

// The frame the agent's cipher object builds for message (at most 2048 bytes).
std::string agentFrame(SessionEncryptor& cipher, const std::string& message) {
    unsigned char staging[2048 + 16] = {};
    std::memcpy(staging, message.data(), message.size());
    int length = cipher.encodeFrame(staging, static_cast<int>(message.size()));
    return std::string(reinterpret_cast<char*>(cipher.frameBuffer), static_cast<size_t>(length));
}

// The agent's side of one connection, run by a test's script on a thread of
// its own. What it sees is recorded and read by the test after join().
class FakeAgent {
public:
    FakeAgent() : cipher(std::make_unique<SessionEncryptor>()) {
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = 0;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 1);
        socklen_t size = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }

    ~FakeAgent() {
        join();
        if (connection_ != INVALID_SOCKET) closesocket(connection_);
        closesocket(listener_);
    }

    int port() const { return port_; }

    void start(std::function<void(FakeAgent&)> script) {
        thread_ = std::thread([this, script] {
            if (acceptConnection()) script(*this);
        });
    }

    void join() {
        if (thread_.joinable()) thread_.join();
    }

    // ---- the agent's side, called by the script ----

    std::string receiveOnce(int limit) {
        std::vector<char> buffer(static_cast<size_t>(limit));
        int count = static_cast<int>(recv(connection_, buffer.data(), limit, 0));
        return count > 0 ? std::string(buffer.data(), static_cast<size_t>(count)) : std::string();
    }

    void sendBytes(const std::string& bytes) {
        send(connection_, bytes.data(), static_cast<int>(bytes.size()), 0);
    }

    // Announcement, session code, response, confirmation and verdict, as the
    // agent does them; forceFailed answers "200 Failed" whatever comes back.
    bool handshake(bool forceFailed = false) {
        sendBytes(announcementText());
        std::string code = receiveOnce(16);
        sessionCodeBytes = static_cast<int>(code.size());
        if (code.size() != 16) return false;
        cipher->makeResponseCode(reinterpret_cast<const unsigned char*>(code.data()));
        sendBytes(std::string(reinterpret_cast<const char*>(cipher->encryptedResponse), 16));
        std::string confirmation = receiveOnce(16);
        if (confirmation.size() != 16) return false;
        confirmed = cipher->checkConfirmationCode(
                        reinterpret_cast<const unsigned char*>(confirmation.data())) &&
                    !forceFailed;
        sendFrame(confirmed ? "100 Confirmed" : "200 Failed");
        return confirmed;
    }

    // One read of at most 2048 bytes is one frame; acknowledged, then opened.
    std::string readFrame() {
        int count = static_cast<int>(
            recv(connection_, reinterpret_cast<char*>(cipher->frameBuffer), 2048, 0));
        sendBytes("*");
        frameSizes.push_back(count);
        unsigned char output[2048 + 32] = {};
        int length = count > 0 ? cipher->decodeFrame(output, count) : -1;
        std::string message =
            length >= 0 ? std::string(reinterpret_cast<char*>(output), static_cast<size_t>(length))
                        : std::string("<bad frame>");
        commands.push_back(message);
        return message;
    }

    // The agent's frame of message in one write, then the wait for the ack.
    void sendFrame(const std::string& message, int splitAt = 0) {
        sendBytes(frameOf(message).substr(0, splitAt > 0 ? splitAt : std::string::npos));
        if (splitAt > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            sendBytes(frameOf(message).substr(static_cast<size_t>(splitAt)));
        }
        acks += receiveOnce(1);
    }

    std::string frameOf(const std::string& message) { return agentFrame(*cipher, message); }

    // Waits until the peer hangs up (or the receive time-out passes).
    void waitForPeerToClose() { receiveOnce(1); }

    void closeConnection() {
        closesocket(connection_);
        connection_ = INVALID_SOCKET;
    }

    std::unique_ptr<SessionEncryptor> cipher;
    int sessionCodeBytes = -1;
    bool confirmed = false;
    std::vector<std::string> commands;
    std::vector<int> frameSizes;
    std::string acks;

private:
    bool acceptConnection() {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval wait{kWaitMs / 1000, 0};
        if (select(static_cast<int>(listener_) + 1, &readable, nullptr, nullptr, &wait) != 1) {
            return false;
        }
        connection_ = accept(listener_, nullptr, nullptr);
        platform::setSocketTimeout(connection_, SO_RCVTIMEO, kWaitMs);
        return connection_ != INVALID_SOCKET;
    }

    SOCKET listener_ = INVALID_SOCKET;
    SOCKET connection_ = INVALID_SOCKET;
    int port_ = 0;
    std::thread thread_;
};

peer::HandshakeOptions withKey() {
    peer::HandshakeOptions options;
    options.useKey = true;
    options.key = kKey;
    return options;
}

// ---- Frames -----------------------------------------------------------------

TEST(CncPeerFrame, EqualsTheAgentsFrameByteForByteAndOpensAgain) {
    struct Case {
        std::string message;
        int frameLength;
    };
    const Case cases[] = {
        {"", 16},
        {"200\r\n", 32},
        {"0123456789abcdef", 32},
        {"100 Confirmed", 32},
        {std::string(17, 'x'), 48},
        {std::string(2048, 'z'), 2064},
    };
    auto cipher = std::make_unique<SessionEncryptor>();
    std::memcpy(cipher->sessionKey, kKey.data(), 16);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message.size());
        std::string frame;
        ASSERT_TRUE(peer::encodeFrame(kKey, c.message, frame));
        EXPECT_EQ(c.frameLength, static_cast<int>(frame.size()));
        EXPECT_EQ(agentFrame(*cipher, c.message), frame);
        std::string message;
        std::string error;
        ASSERT_TRUE(peer::decodeFrame(kKey, frame, message, error)) << error;
        EXPECT_EQ(c.message, message);
    }
    std::string frame;
    EXPECT_FALSE(peer::encodeFrame(kKey, std::string(2049, 'z'), frame));
}

TEST(CncPeerFrame, RefusesWhatIsNotOneWellFormedFrame) {
    // Hand-made frames from plain blocks: header {fill, length, '*'...}.
    auto block = [](int fill, int length) {
        std::string plain(16, '*');
        plain[0] = static_cast<char>(fill);
        plain[1] = static_cast<char>(length >> 8);
        plain[2] = static_cast<char>(length & 0xFF);
        return plain;
    };
    auto encrypt = [](const std::vector<std::string>& plainBlocks, const Key& key) {
        std::string frame;
        for (const std::string& plain : plainBlocks) {
            unsigned char out[16];
            encryptBlock(reinterpret_cast<const unsigned char*>(plain.data()), key.data(), out);
            frame.append(reinterpret_cast<char*>(out), 16);
        }
        return frame;
    };
    Key otherKey = kKey;
    otherKey[0] ^= 1;
    std::string good;
    peer::encodeFrame(kKey, "200\r\n", good);

    struct Case {
        const char* what;
        std::string frame;
        const char* reason;
    };
    const Case cases[] = {
        {"empty", "", "whole frame"},
        {"20 bytes", good + "1234", "whole frame"},
        {"other key", encrypt({block(11, 32), "200\r\n***********"}, otherKey), "session key"},
        {"length says 48", encrypt({block(11, 48), "200\r\n***********"}, kKey), "announces 48"},
        {"two frames", good + good, "announces 32"},
        {"fill 5, no block", encrypt({block(5, 16)}, kKey), "fill count 5"},
        {"fill 200", encrypt({block(200, 32), std::string(16, '*')}, kKey), "fill count 200"},
        {"fill not *", encrypt({block(11, 32), "200\r\n*********x*"}, kKey), "fill bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string message = "stale";
        std::string error;
        EXPECT_FALSE(peer::decodeFrame(kKey, c.frame, message, error));
        EXPECT_NE(std::string::npos, error.find(c.reason)) << error;
        EXPECT_EQ("", message);
    }
}

TEST(CncPeerText, CommandTableEscapesAndKeys) {
    EXPECT_EQ("DBUG 3\r\n", peer::commandText("DBUG", "3"));
    EXPECT_EQ("PRBE\r\n", peer::commandText("PRBE"));
    EXPECT_EQ(peer::Answer::kDone, peer::answerFor("DBUG"));
    EXPECT_EQ(peer::Answer::kProbe, peer::answerFor("PRBE"));
    EXPECT_EQ(peer::Answer::kUpdate, peer::answerFor("UPDT"));
    EXPECT_EQ(peer::Answer::kNone, peer::answerFor("CWD"));
    EXPECT_EQ(peer::Answer::kNone, peer::answerFor("CNFG"));
    EXPECT_EQ(peer::Answer::kQuit, peer::answerFor("QUIT"));
    EXPECT_EQ(peer::Answer::kQuit, peer::answerFor("noop"));  // case counts
    EXPECT_EQ(peer::Answer::kQuit, peer::answerFor("NOOPX"));

    EXPECT_EQ("A\\r\\n\\t\\\\\\\"\\x00\\x7F\\xFFz",
              peer::escapeText(std::string("A\r\n\t\\\"\0\x7f\xff", 9) + "z"));

    Key key{};
    EXPECT_TRUE(peer::parseKey("00112233445566778899aabbccddeeff", key));
    EXPECT_EQ(kKey, key);
    EXPECT_EQ(kKeyHex, peer::keyToHex(key));
    for (const char* bad :
         {"", "0011", "00112233445566778899AABBCCDDEEFG", "00112233445566778899AABBCCDDEEFF00"}) {
        EXPECT_FALSE(peer::parseKey(bad, key)) << bad;
    }
    EXPECT_EQ(kKey, key);  // untouched by a refused text
}

// ---- The peer over 127.0.0.1 ------------------------------------------------

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

// ---- The command line -------------------------------------------------------

struct CliRun {
    int code;
    std::string out;
    std::string err;
};

CliRun runCli(std::vector<std::string> args) {
    std::ostringstream out;
    std::ostringstream err;
    int code = cncpeer::runCli(args, out, err);
    return {code, out.str(), err.str()};
}

TEST(CncPeerCli, SendsTheCommandsAndPrintsEachAnswer) {
    FakeAgent agent;
    agent.start([](FakeAgent& a) {
        if (!a.handshake()) return;
        a.readFrame();
        a.sendFrame("200\r\n");
        a.readFrame();
        a.sendFrame("ABC123\n");
        a.readFrame();
        a.readFrame();
        a.readFrame();
        a.sendFrame("100");
        a.closeConnection();
    });
    const std::string payload = "ProtocolElement{<Name:Rate><Value:9 600>}";
    CliRun run =
        runCli({"--host", "127.0.0.1", "--port", std::to_string(agent.port()), "--key", kKeyHex,
                "--timeout", "3000", "DBUG", "3", "PRBE", "CNFG", payload, "CWD", "QUIT"});
    agent.join();
    EXPECT_EQ(cncpeer::kExitOk, run.code) << run.err;
    EXPECT_EQ("announcement: \"" + announcementText() +
                  "\"\n"
                  "session key: 00112233445566778899AABBCCDDEEFF\n"
                  "verdict: \"100 Confirmed\"\n"
                  "DBUG 3 -> \"200\\r\\n\"\n"
                  "PRBE -> \"ABC123\\n\"\n"
                  "CNFG " +
                  payload +
                  " -> acknowledged\n"
                  "CWD -> acknowledged\n"
                  "QUIT -> \"100\"\n"
                  "connection closed\n",
              run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ((std::vector<std::string>{"DBUG 3\r\n", "PRBE\r\n", "CNFG " + payload + "\r\n",
                                        "CWD\r\n", "QUIT\r\n"}),
              agent.commands);
}

TEST(CncPeerCli, ExitCodeSaysWhatWentWrong) {
    using Script = std::function<void(FakeAgent&)>;
    struct Case {
        const char* what;
        std::vector<std::string> commands;
        Script script;
        int code;
        const char* out;  // expected in the report
        const char* err;  // expected among the problems
    };
    const Case cases[] = {
        {"handshake answered 200 Failed",
         {"NOOP"},
         [](FakeAgent& a) {
             a.handshake(true);
             a.waitForPeerToClose();
         },
         cncpeer::kExitHandshake,
         "verdict: \"200 Failed\"\n",
         "handshake failed"},
        {"no announcement",
         {"NOOP"},
         [](FakeAgent& a) { a.waitForPeerToClose(); },
         cncpeer::kExitHandshake,
         "",
         "no announcement"},
        {"DBUG answered wrongly",
         {"DBUG", "3", "NOOP"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.sendFrame("100");
             a.waitForPeerToClose();
         },
         cncpeer::kExitCommand,
         "DBUG 3 -> \"100\"\n",
         "expected \"200\\r\\n\""},
        {"PRBE not answered",
         {"PRBE"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.waitForPeerToClose();
         },
         cncpeer::kExitCommand,
         "verdict",
         "PRBE: no answer"},
        {"QUIT leaves the connection open",
         {"QUIT"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.sendFrame("100");
             a.waitForPeerToClose();
         },
         cncpeer::kExitCommand,
         "QUIT -> \"100\"\n",
         "kept the connection open"},
        {"UPDT restarts the agent",
         {"UPDT"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.closeConnection();
         },
         cncpeer::kExitOk,
         "UPDT -> connection closed (the agent restarts)\n",
         ""},
        {"UPDT restart with commands left",
         {"UPDT", "PRBE", "QUIT"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.closeConnection();
         },
         cncpeer::kExitCommand,
         "UPDT -> connection closed",
         "2 command(s) not sent"},
        {"UPDT failed, the session goes on",
         {"UPDT", "NOOP"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.sendFrame("200\r\n");
             a.readFrame();
             a.waitForPeerToClose();
         },
         cncpeer::kExitOk,
         "UPDT -> \"200\\r\\n\"\nNOOP -> acknowledged\n",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeAgent agent;
        agent.start(c.script);
        std::vector<std::string> args = {"--port", std::to_string(agent.port()), "--timeout",
                                         "500"};
        args.insert(args.end(), c.commands.begin(), c.commands.end());
        CliRun run = runCli(args);
        agent.join();
        EXPECT_EQ(c.code, run.code);
        EXPECT_NE(std::string::npos, run.out.find(c.out)) << run.out;
        EXPECT_NE(std::string::npos, run.err.find(c.err)) << run.err;
        if (c.code == cncpeer::kExitOk) {
            EXPECT_EQ("", run.err);
        }
    }
}

TEST(CncPeerCli, RefusesBadArgumentsBeforeConnecting) {
    int freePort = 0;
    {
        FakeAgent gone;
        freePort = gone.port();
    }
    CliRun refused = runCli({"--port", std::to_string(freePort), "NOOP"});
    EXPECT_EQ(cncpeer::kExitConnect, refused.code);
    EXPECT_NE(std::string::npos, refused.err.find("cannot connect")) << refused.err;

    // Usage problems are found before any connection is tried: the port
    // given is the free one, so an attempt would show as exit code 2.
    const std::string port = std::to_string(freePort);
    const std::vector<std::vector<std::string>> bad = {
        {"--port", port},
        {"--port", port, "noop"},
        {"--port", port, "QUIT", "NOOP"},
        {"--port", port, "XYZ", "PRBE"},
        {"--port", port, "DBUG", "3", "4"},
        {"--port", port, "CNFG", std::string(2040, 'p')},
        // "CNFG " and CR LF leave 2025 bytes of a 2032-byte command text.
        {"--port", port, "CNFG", std::string(2026, 'p')},
        {"--port", "0", "NOOP"},
        {"--port", "80x", "NOOP"},
        {"--port", port, "--key", "0011", "NOOP"},
        {"--port", port, "--timeout", "0", "NOOP"},
        {"--port", port, "--bogus", "NOOP"},
        {"--port", port, "--host"},
        {"--port", port, "--interval", "100", "PRBE"},
        {"watch", "--port", port, "PRBE"},
        {"watch", "--port", port, "--interval", "0"},
        {"watch", "--port", port, "--interval"},
    };
    for (const std::vector<std::string>& args : bad) {
        CliRun run = runCli(args);
        EXPECT_EQ(cncpeer::kExitUsage, run.code) << args.back();
        EXPECT_EQ("", run.out) << args.back();
        EXPECT_NE(std::string::npos, run.err.find("--help")) << run.err;
    }
    // The longest payload that fits passes the checks and goes on to connect.
    CliRun longest = runCli({"--port", port, "CNFG", std::string(2025, 'p')});
    EXPECT_EQ(cncpeer::kExitConnect, longest.code) << longest.err;

    CliRun help = runCli({"--help"});
    EXPECT_EQ(cncpeer::kExitOk, help.code);
    EXPECT_EQ(cncpeer::kUsage, help.out);
}

// The time field changes from run to run; the rest must be exact.
std::string withoutTimes(const std::string& lines) {
    static const std::regex time(
        "\\{\"time\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\",");
    return std::regex_replace(lines, time, "{");
}

TEST(CncPeerCli, JsonGivesOneObjectPerCommandAndNothingElse) {
    FakeAgent agent;
    agent.start([](FakeAgent& a) {
        if (!a.handshake()) return;
        a.readFrame();
        a.sendFrame("200\r\n");
        a.readFrame();
        a.sendFrame("A\"b\\\xE9\n\n");
        a.readFrame();
        a.readFrame();
        a.sendFrame("100");
        a.closeConnection();
    });
    CliRun run = runCli({"--port", std::to_string(agent.port()), "--timeout", "3000", "--json",
                         "DBUG", "3", "PRBE", "NOOP", "QUIT"});
    agent.join();
    EXPECT_EQ(cncpeer::kExitOk, run.code) << run.err;
    const std::string where = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(agent.port());
    EXPECT_EQ(
        where +
            ",\"command\":\"DBUG\",\"argument\":\"3\",\"answer\":\"200\\r\\n\",\"closed\":false}"
            "\n" +
            where +
            ",\"command\":\"PRBE\",\"argument\":null,\"answer\":\"A\\\"b\\\\\\u00e9\\n\\n\","
            "\"closed\":false}\n" +
            where + ",\"command\":\"NOOP\",\"argument\":null,\"answer\":null,\"closed\":false}\n" +
            where + ",\"command\":\"QUIT\",\"argument\":null,\"answer\":\"100\",\"closed\":true}\n",
        withoutTimes(run.out));
    EXPECT_EQ("", run.err);
}

// With --json every failure still gives an object, with the problem in
// "error", and the exit code is the one the text form gives.
TEST(CncPeerCli, JsonWritesAnObjectForTheFailure) {
    using Script = std::function<void(FakeAgent&)>;
    struct Case {
        const char* what;
        std::vector<std::string> commands;
        Script script;
        int code;
        const char* out;  // the objects, without their time, host and port
    };
    const Case cases[] = {
        {"NOOP not acknowledged",
         {"NOOP"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.receiveOnce(2048);
             a.closeConnection();
         },
         cncpeer::kExitCommand,
         ",\"command\":\"NOOP\",\"argument\":null,\"answer\":null,\"closed\":false,\"error\":"},
        {"DBUG answered wrongly",
         {"DBUG", "3"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.sendFrame("100");
             a.waitForPeerToClose();
         },
         cncpeer::kExitCommand,
         ",\"command\":\"DBUG\",\"argument\":\"3\",\"answer\":\"100\",\"closed\":false,"
         "\"error\":\"expected \\\"200\\\\r\\\\n\\\"\"}\n"},
        {"UPDT restart with commands left",
         {"UPDT", "PRBE"},
         [](FakeAgent& a) {
             if (!a.handshake()) return;
             a.readFrame();
             a.closeConnection();
         },
         cncpeer::kExitCommand,
         ",\"command\":\"UPDT\",\"argument\":null,\"answer\":null,\"closed\":true}\n"
         "{,\"command\":\"PRBE\",\"argument\":null,\"answer\":null,\"closed\":false,"
         "\"error\":\"the connection has ended; 1 command(s) not sent\"}\n"},
        {"handshake answered 200 Failed",
         {"NOOP"},
         [](FakeAgent& a) {
             a.handshake(true);
             a.waitForPeerToClose();
         },
         cncpeer::kExitHandshake,
         ",\"error\":\"handshake failed: the agent answered \\\"200 Failed\\\"\"}\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeAgent agent;
        agent.start(c.script);
        std::vector<std::string> args = {"--port", std::to_string(agent.port()), "--timeout", "500",
                                         "--json"};
        args.insert(args.end(), c.commands.begin(), c.commands.end());
        CliRun run = runCli(args);
        agent.join();
        EXPECT_EQ(c.code, run.code) << run.err;
        const std::string where =
            "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(agent.port());
        // Host and port stand in every object; the case gives the rest.
        std::string out = withoutTimes(run.out);
        for (size_t at = out.find(where); at != std::string::npos; at = out.find(where, at)) {
            out.replace(at, where.size(), "{");
        }
        EXPECT_EQ(0u, out.rfind(std::string("{") + c.out, 0)) << out;
        EXPECT_EQ(std::string::npos, run.err.find("{")) << run.err;
    }

    // No connection: one object with the problem.
    int freePort = 0;
    {
        FakeAgent gone;
        freePort = gone.port();
    }
    CliRun refused = runCli({"--port", std::to_string(freePort), "--json", "NOOP"});
    EXPECT_EQ(cncpeer::kExitConnect, refused.code);
    EXPECT_NE(std::string::npos,
              withoutTimes(refused.out)
                  .find("{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(freePort) +
                        ",\"error\":\"cannot connect"))
        << refused.out;
}

// Watch prints every scan of every answer once, in order, an empty scan as
// an empty line, and ends with QUIT once a stop is requested.
TEST(CncPeerWatch, PrintsEachScanOnceAndQuitsOnStop) {
    for (bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "text");
        cncpeer::clearStopRequest();
        FakeAgent agent;
        agent.start([](FakeAgent& a) {
            if (!a.handshake()) return;
            a.readFrame();
            a.sendFrame("s1\n\ns2\n");
            a.readFrame();
            a.sendFrame("");
            a.readFrame();
            a.sendFrame("s3\n");
            cncpeer::requestStop();
            a.readFrame();
            a.sendFrame("100");
            a.closeConnection();
        });
        cncpeer::WatchSettings settings;
        settings.host = "127.0.0.1";
        settings.port = agent.port();
        settings.timeoutMs = 3000;
        settings.intervalMs = 200;
        settings.json = json;
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(0, cncpeer::runWatch(settings, out, err));
        agent.join();
        EXPECT_EQ((std::vector<std::string>{"PRBE\r\n", "PRBE\r\n", "PRBE\r\n", "QUIT\r\n"}),
                  agent.commands);
        // The verdict, the three answers and the QUIT answer, each acknowledged.
        EXPECT_EQ("*****", agent.acks);
        if (json) {
            const std::string where =
                "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(agent.port()) + ",\"scan\":";
            EXPECT_EQ(
                where + "\"s1\"}\n" + where + "\"\"}\n" + where + "\"s2\"}\n" + where + "\"s3\"}\n",
                withoutTimes(out.str()));
        } else {
            EXPECT_EQ("s1\n\ns2\ns3\n", out.str());
        }
        EXPECT_NE(std::string::npos, err.str().find("cncpeer: watching 127.0.0.1:")) << err.str();
        EXPECT_NE(std::string::npos, err.str().find("cncpeer: stopped")) << err.str();
    }
    cncpeer::clearStopRequest();
}

// What a stream had written out at its last flush, readable from another
// thread: what a reader of standard output could have seen by then.
class FlushRecorder : public std::stringbuf {
public:
    std::string flushed() {
        std::lock_guard<std::mutex> hold(lock_);
        return flushed_;
    }

protected:
    int sync() override {
        std::lock_guard<std::mutex> hold(lock_);
        flushed_ = str();
        return 0;
    }

private:
    std::mutex lock_;
    std::string flushed_;
};

// The agent takes the acknowledgement as delivery, so by the time it arrives
// the scans must be written out and flushed.
TEST(CncPeerWatch, ScansAreWrittenOutBeforeTheAnswerIsAcknowledged) {
    cncpeer::clearStopRequest();
    FlushRecorder sink;
    std::ostream out(&sink);
    std::string atAck = "<no acknowledgement>";
    FakeAgent agent;
    agent.start([&](FakeAgent& a) {
        if (!a.handshake()) return;
        a.readFrame();
        a.sendBytes(a.frameOf("s1\ns2\n"));
        std::string ack = a.receiveOnce(1);
        if (ack == "*") atAck = sink.flushed();
        cncpeer::requestStop();
        a.readFrame();
        a.sendFrame("100");
        a.closeConnection();
    });
    cncpeer::WatchSettings settings;
    settings.host = "127.0.0.1";
    settings.port = agent.port();
    settings.timeoutMs = 3000;
    settings.intervalMs = 50;
    std::ostringstream err;
    EXPECT_EQ(0, cncpeer::runWatch(settings, out, err));
    agent.join();
    EXPECT_EQ("s1\ns2\n", atAck);
    EXPECT_EQ((std::vector<std::string>{"PRBE\r\n", "QUIT\r\n"}), agent.commands);
    cncpeer::clearStopRequest();
}

// With nothing to connect to, the pause before each try doubles from 250 ms
// and stays at 5 s; the pauses are recorded, not slept.
TEST(CncPeerWatch, RetryPausesDoubleUpToFiveSeconds) {
    cncpeer::clearStopRequest();
    int freePort = 0;
    {
        FakeAgent gone;
        freePort = gone.port();
    }
    std::vector<int> pauses;
    cncpeer::WatchSettings settings;
    settings.host = "127.0.0.1";
    settings.port = freePort;
    settings.timeoutMs = 500;
    settings.pause = [&pauses](int ms) {
        pauses.push_back(ms);
        if (pauses.size() == 9) cncpeer::requestStop();
    };
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(0, cncpeer::runWatch(settings, out, err));
    EXPECT_EQ((std::vector<int>{250, 500, 1000, 2000, 4000, 5000, 5000, 5000, 5000}), pauses);
    EXPECT_EQ("", out.str());
    EXPECT_NE(std::string::npos, err.str().find("next try in 5000 ms")) << err.str();
    cncpeer::clearStopRequest();
}

}  // namespace
