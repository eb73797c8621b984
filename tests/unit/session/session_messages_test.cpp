// The session's message layer over a real TCP connection on 127.0.0.1: the
// agent's side is a DncSession with its socket wrapper, the other side a
// small scripted peer on a raw socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "common/text_format.h"
#include "platform/platform.h"
#include "session/dnc_session.h"
#include "test_support.h"
#include "transport/aes128.h"
#include "transport/secure_socket.h"
#include "transport/session_encryptor.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testing_support::LogCapture;

const unsigned char kSessionKey[16] = {'s', 'e', 's', 's', 'i', 'o', 'n', '-',
                                       'k', 'e', 'y', '-', '0', '1', '2', '3'};
const int kShutdownSend = 1;  // SD_SEND on Winsock, SHUT_WR on POSIX

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A frame as the CNC Service builds it, from its plain header and message.
Bytes peerFrame(int fill, int lengthField, const Bytes& message) {
    Bytes plain((16 + message.size() + 15) / 16 * 16, '*');
    plain[0] = static_cast<unsigned char>(fill);
    plain[1] = static_cast<unsigned char>(lengthField >> 8);
    plain[2] = static_cast<unsigned char>(lengthField & 0xFF);
    std::copy(message.begin(), message.end(), plain.begin() + 16);
    Bytes frame(plain.size());
    for (size_t i = 0; i < plain.size(); i += 16) {
        encryptBlock(plain.data() + i, kSessionKey, frame.data() + i);
    }
    return frame;
}

Bytes peerFrame(const std::string& text) {
    int fill = (16 - static_cast<int>(text.size()) % 16) % 16;
    return peerFrame(fill, static_cast<int>(text.size()) + fill + 16, bytesOf(text));
}

// The agent's session on one end of a loopback connection, the peer's raw
// socket on the other.
class MessageTest : public testing::Test {
protected:
    void SetUp() override {
        // Winsock counts its users: this reference keeps sockets usable even
        // when an earlier test has run the session's WSACleanup.
        WSADATA data;
        ASSERT_EQ(WSAStartup(0x0202, &data), 0);
        winsockStarted = true;
        SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_NE(listener, INVALID_SOCKET);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        address.sin_port = 0;
        socklen_t size = sizeof address;
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
        peer = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        SOCKET accepted = accept(listener, nullptr, nullptr);
        closesocket(listener);
        ASSERT_NE(accepted, INVALID_SOCKET);
        platform::setSocketTimeout(peer, SO_RCVTIMEO, 5000);

        session = std::make_unique<DncSession>();
        session->ClientSocket = new vSecureSocket;
        session->ClientSocket->handle = accepted;
        session->ClientSocket->connected = true;
        session->ClientSocket->setTimeout(5000, 5000);
        std::memcpy(session->SessionEncryptor->sessionKey, kSessionKey, 16);
    }

    void TearDown() override {
        if (session) {
            session->ClientSocket->closeSocket();
            delete session->ClientSocket;
            delete session->SessionEncryptor;
        }
        if (peer != INVALID_SOCKET) closesocket(peer);
        peer = INVALID_SOCKET;
        session.reset();
        if (winsockStarted) WSACleanup();
        winsockStarted = false;
    }

    void peerSend(const Bytes& bytes) {
        ASSERT_EQ(send(peer, reinterpret_cast<const char*>(bytes.data()),
                       static_cast<int>(bytes.size()), 0),
                  static_cast<int>(bytes.size()));
    }

    // Reads exactly count bytes from the peer's side (fewer on close or
    // time-out).
    Bytes peerReceive(size_t count) {
        Bytes bytes(count);
        size_t got = 0;
        while (got < count) {
            int n = recv(peer, reinterpret_cast<char*>(bytes.data() + got),
                         static_cast<int>(count - got), 0);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
        return bytes;
    }

    // Bytes waiting on the peer's side, after a moment for any in flight.
    unsigned long peerPending() {
        platform::sleepMs(100);
        unsigned long pending = 0;
        ioctlsocket(peer, FIONREAD, &pending);
        return pending;
    }

    bool winsockStarted = false;
    SOCKET peer = INVALID_SOCKET;
    std::unique_ptr<DncSession> session;
};

// The plain text of a frame the agent sent, header first.
Bytes openFrame(const Bytes& frame) {
    Bytes plain(frame.size());
    for (size_t i = 0; i + 16 <= frame.size(); i += 16) {
        decryptBlock(frame.data() + i, kSessionKey, plain.data() + i);
    }
    return plain;
}

// Each text appears, in this order.
void expectInOrder(const std::string& log, const std::vector<std::string>& texts) {
    size_t from = 0;
    for (const std::string& text : texts) {
        size_t at = log.find(text, from);
        EXPECT_NE(at, std::string::npos) << "missing or out of order: \"" << text << "\"\n" << log;
        if (at != std::string::npos) from = at + text.size();
    }
}

const std::string kSendTag = "tMDCSession::sendMessage ";
const std::string kReceiveTag = "tMDCSession::receiveMessage ";

// ---- Sending ----------------------------------------------------------------

// Any single byte acknowledges a frame, and the wait takes exactly that one
// byte off the connection.
TEST_F(MessageTest, SendFramesTheMessageAndTakesOneAckByteOfAnyValue) {
    struct Case {
        std::string message;
        unsigned char ack;
        size_t frameLength;
        unsigned char fill;
    };
    const std::vector<Case> cases = {
        {"200\r\n", 0x2A, 32, 11},
        {"", 0x00, 16, 0},
        {std::string(2048, 'S'), 0xFF, 2064, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message.size());
        LogCapture log(5);
        Bytes frame;
        std::thread script([&] {
            frame = peerReceive(c.frameLength);
            peerSend({c.ack, 'N', 'X'});
        });
        int result = session->sendMessage(c.message, true);
        script.join();

        EXPECT_EQ(result, static_cast<int>(c.message.size()));
        ASSERT_EQ(frame.size(), c.frameLength);
        Bytes plain = openFrame(frame);
        EXPECT_EQ(plain[0], c.fill);
        EXPECT_EQ(plain[1] * 256 + plain[2], static_cast<int>(c.frameLength));
        Bytes body(plain.begin() + 16, plain.end());
        Bytes expected = bytesOf(c.message);
        expected.resize(body.size(), '*');
        EXPECT_EQ(body, expected);

        // The two bytes after the acknowledgement are still there.
        unsigned char rest[8] = {};
        EXPECT_EQ(session->receiveMessage(rest, sizeof rest, false), 2);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(rest), 2), "NX");

        expectInOrder(log.contents(),
                      {kSendTag + formatText("Send %d Bytes", static_cast<int>(c.frameLength))});
        EXPECT_FALSE(log.contains("Failed"));
    }
}

TEST_F(MessageTest, SendWithoutAckWaitsForTheReceiveTimeoutAndStillSucceeds) {
    LogCapture log(5);
    session->ClientSocket->setTimeout(300, 5000);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(session->sendMessage("100", true), 3);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_EQ(peerReceive(32).size(), 32u);
    expectInOrder(log.contents(), {kSendTag + "Failed to Receive ACK From Vexmoor DNC",
                                   kSendTag + "Send 32 Bytes"});
    EXPECT_FALSE(log.contains("Failed Sending Secure data"));
}

// The acknowledgement is awaited even after a failed send, and the byte
// count (level 4) is logged ahead of the failure (level 1).
TEST_F(MessageTest, SendOnAFailedSocketReportsTheSocketResult) {
    session->ClientSocket->connected = false;
    for (int level : {1, 4}) {
        SCOPED_TRACE(testing::Message() << "log level " << level);
        LogCapture log(level);
        EXPECT_EQ(session->sendMessage("200\r\n", true), -1);
        if (level < 4) {
            expectInOrder(log.contents(),
                          {"Failed to Receive ACK From Vexmoor DNC", "Failed Sending Secure data"});
            EXPECT_FALSE(log.contains("Send -1 Bytes"));
        } else {
            expectInOrder(log.contents(),
                          {kSendTag + "Failed to Receive ACK From Vexmoor DNC",
                           kSendTag + "Send -1 Bytes", kSendTag + "Failed Sending Secure data"});
        }
    }
}

// A message that does not fit the staging buffer is refused whole: nothing
// goes out and no acknowledgement is awaited.
TEST_F(MessageTest, SendRefusesAnEncryptedMessageLongerThan2048Bytes) {
    LogCapture log(1);
    EXPECT_EQ(session->sendMessage(std::string(2049, 'L'), true), -1);
    EXPECT_EQ(peerPending(), 0u);
    EXPECT_TRUE(log.contains("Message of 2049 Bytes not sent"));
}

TEST_F(MessageTest, PlainModePassesBytesAndResultsThroughWithoutAckOrLog) {
    LogCapture log(5);
    EXPECT_EQ(session->sendMessage("hello", false), 5);
    EXPECT_EQ(peerReceive(5), bytesOf("hello"));

    peerSend(bytesOf("0123456789abcdefXYZ"));
    platform::sleepMs(100);
    unsigned char buffer[64] = {};
    EXPECT_EQ(session->receiveMessage(buffer, 64, false), 19);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "0123456789abcdefXYZ");
    EXPECT_EQ(peerPending(), 0u);  // no acknowledgement
    EXPECT_FALSE(log.contains("tMDCSession"));
}

// ---- Receiving ----------------------------------------------------------------

struct ReceiveCase {
    std::string name;
    Bytes sent;  // what the peer sends in one piece
    int maxLength;
    int result;
    std::string message;
    std::vector<std::pair<int, std::string>> lines;  // level, text, in order
};

void PrintTo(const ReceiveCase& c, std::ostream* out) { *out << c.name; }

class ReceiveTest : public MessageTest, public testing::WithParamInterface<ReceiveCase> {};

// Each case runs at every log level: a line shows exactly from its level up,
// and the peer always gets its acknowledgement before the frame is judged.
TEST_P(ReceiveTest, AcknowledgesThenJudgesTheRead) {
    const ReceiveCase& c = GetParam();
    for (int level = 1; level <= 4; ++level) {
        SCOPED_TRACE(testing::Message() << "log level " << level);
        if (level > 1) {
            TearDown();
            SetUp();
            if (HasFatalFailure()) return;
        }
        LogCapture log(level);
        peerSend(c.sent);
        platform::sleepMs(50);
        Bytes buffer(c.maxLength + 32, 0xCC);
        int result = session->receiveMessage(buffer.data(), c.maxLength, true);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(peerReceive(1), Bytes{'*'});
        if (result >= 0) {
            EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + result), c.message);
            for (int i = result; i < result + 16; ++i) ASSERT_EQ(buffer[i], 0) << i;
        }
        for (size_t i = c.maxLength; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xCC) << i;

        std::vector<std::string> shown;
        for (const auto& [lineLevel, text] : c.lines) {
            if (lineLevel <= level) {
                shown.push_back(level >= 3 ? kReceiveTag + text : text);
            } else {
                EXPECT_FALSE(log.contains(text)) << text;
            }
        }
        expectInOrder(log.contents(), shown);
    }
}

const char kComplete[] = "receiveBytes is complete, send the Ack";

INSTANTIATE_TEST_SUITE_P(
    Frames, ReceiveTest,
    testing::Values(ReceiveCase{"Command",
                                peerFrame("PRBE\r\n"),
                                2048,
                                6,
                                "PRBE\r\n",
                                {{4, kComplete}, {4, "Ack was Sent, Return msgLen 32"}}},
                    ReceiveCase{"NotWholeBlocks",
                                Bytes(20, 0x41),
                                2048,
                                -1,
                                "",
                                {{4, kComplete},
                                 {4, "Ack was Sent, Return msgLen 20"},
                                 {1, " Read Data Secure: Failed to Receive a Full Msg 20"}}},
                    ReceiveCase{"MoreFillThanMessage",
                                peerFrame(5, 16, {}),
                                2048,
                                -1,
                                "",
                                {{4, kComplete},
                                 {4, "Ack was Sent, Return msgLen 16"},
                                 {1, "Received corrupt data"}}},
                    ReceiveCase{"FillCountAbove15IsEmpty",
                                peerFrame(200, 16, {}),
                                2048,
                                0,
                                "",
                                {{4, kComplete}, {4, "Ack was Sent, Return msgLen 16"}}},
                    ReceiveCase{"LengthFieldIgnored",
                                peerFrame(8, 0x0400, bytesOf("DBUG 3\r\n")),
                                2048,
                                8,
                                "DBUG 3\r\n",
                                {{4, "Ack was Sent, Return msgLen 32"}}},
                    // The read is cut at the limit; the caller's buffer is not written past it.
                    ReceiveCase{"ReadStopsAtTheLimit",
                                peerFrame(std::string(40, 'C')),
                                48,
                                24,
                                std::string(24, 'C'),
                                {{4, "Ack was Sent, Return msgLen 48"}}}),
    [](const testing::TestParamInfo<ReceiveCase>& info) { return info.param.name; });

TEST_F(MessageTest, ReceiveOfAClosedConnectionStillAcknowledgesAndReturnsZero) {
    LogCapture log(3);
    shutdown(peer, kShutdownSend);  // the peer's side closes; it can still read
    unsigned char buffer[2048];
    EXPECT_EQ(session->receiveMessage(buffer, 2048, true), 0);
    EXPECT_EQ(peerReceive(1), Bytes{'*'});
    expectInOrder(log.contents(), {kReceiveTag + "Receive Bytes received less than 1 0"});
    EXPECT_FALSE(log.contains(kComplete));  // level 4
}

TEST_F(MessageTest, ReceiveOnAFailedSocketLogsTheFailedAck) {
    LogCapture log(3);
    session->ClientSocket->connected = false;
    unsigned char buffer[2048];
    EXPECT_EQ(session->receiveMessage(buffer, 2048, true), -1);
    expectInOrder(log.contents(), {kReceiveTag + "Failed to Receive ACK From Vexmoor DNC",
                                   kReceiveTag + "Receive Bytes received less than 1 -1"});
}

// The frame buffer holds 10240 bytes: a larger limit reads nothing and sends
// no acknowledgement; the frame stays for the next receive.
TEST_F(MessageTest, ReceiveRefusesALimitAboveTheFrameBuffer) {
    LogCapture log(1);
    peerSend(peerFrame("NOOP\r\n"));
    std::vector<unsigned char> buffer(20000);
    EXPECT_EQ(session->receiveMessage(buffer.data(), 10241, true), -1);
    EXPECT_TRUE(log.contains("Receive limit 10241 refused"));
    EXPECT_EQ(peerPending(), 0u);
    EXPECT_EQ(session->receiveMessage(buffer.data(), 10240, true), 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data())), "NOOP\r\n");
}

// Two frames that arrive in one read are taken as one: the first header
// governs and the second frame is read as text.
TEST_F(MessageTest, TwoFramesInOneReadAreOneMessage) {
    Bytes both = peerFrame("200\r\n");
    Bytes second = peerFrame("100");
    both.insert(both.end(), second.begin(), second.end());
    peerSend(both);
    platform::sleepMs(50);
    unsigned char buffer[4096];
    EXPECT_EQ(session->receiveMessage(buffer, 2048, true), 64 - 16 - 11);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "200\r\n");
    Bytes secondHeader = openFrame(Bytes(second.begin(), second.begin() + 16));
    EXPECT_EQ(Bytes(buffer + 16, buffer + 32), secondHeader);
}

}  // namespace
