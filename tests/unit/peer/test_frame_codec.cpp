// The frame codec, the command table, escaped text and keys, checked
// against the agent's own cipher object.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fake_agent.h"
#include "peer/commands.h"
#include "peer/escape_text.h"
#include "peer/frame_codec.h"
#include "peer/session_key.h"
#include "transport/aes128.h"
#include "transport/session_encryptor.h"

namespace {

using namespace peer_test;
using peer::Key;

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

}  // namespace
