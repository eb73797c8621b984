// The peer's handshake state machine against the agent's own cipher object,
// fed the agent's bytes one at a time, in odd pieces and whole.
#include "peer/handshake.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "fake_agent.h"
#include "peer/frame_codec.h"
#include "transport/session_encryptor.h"

namespace {

using namespace peer_test;
using peer::HandshakeOptions;
using peer::PeerHandshake;
using Stage = PeerHandshake::Stage;

const size_t kPieces[] = {1, 3, 16, 4096};

// Feeds bytes in pieces of piece bytes. Nothing may be due before the last
// byte: each stage answers only once its part is whole. Returns what the last
// piece made due.
std::string feedInPieces(PeerHandshake& exchange, const std::string& bytes, size_t piece) {
    const Stage before = exchange.stage();
    std::string toSend;
    for (size_t at = 0; at < bytes.size();) {
        size_t size = std::min(piece, bytes.size() - at);
        size_t consumed = 0;
        exchange.feed(bytes.data() + at, size, consumed, toSend);
        EXPECT_EQ(size, consumed);
        at += consumed;
        if (at < bytes.size()) {
            EXPECT_EQ("", toSend) << "due after " << at << " of " << bytes.size() << " bytes";
            EXPECT_EQ(before, exchange.stage());
        }
    }
    return toSend;
}

TEST(PeerHandshake, OpensASessionWithTheAgentInPiecesOfAnySize) {
    struct Case {
        const char* what;
        bool wrongConfirmation;
        bool acknowledgeVerdict;
        Stage outcome;
        const char* ack;
    };
    const Case cases[] = {
        {"confirmed", false, true, Stage::confirmed, "*"},
        {"wrong confirmation", true, true, Stage::refused, "*"},
        {"verdict not acknowledged", false, false, Stage::confirmed, ""},
    };
    for (const Case& c : cases) {
        for (size_t piece : kPieces) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
            HandshakeOptions options;  // a random key
            options.wrongConfirmation = c.wrongConfirmation;
            options.acknowledgeVerdict = c.acknowledgeVerdict;
            PeerHandshake exchange(options);
            auto agent = std::make_unique<SessionEncryptor>();

            std::string code = feedInPieces(exchange, announcementText(), piece);
            ASSERT_EQ(16u, code.size());
            ASSERT_EQ(Stage::response, exchange.stage());
            EXPECT_EQ(announcementText(), exchange.announcement());
            agent->makeResponseCode(reinterpret_cast<const unsigned char*>(code.data()));
            EXPECT_EQ(0, std::memcmp(agent->sessionKey, exchange.sessionKey().data(), 16));

            std::string confirmation = feedInPieces(
                exchange, std::string(reinterpret_cast<char*>(agent->encryptedResponse), 16),
                piece);
            ASSERT_EQ(16u, confirmation.size());
            ASSERT_EQ(Stage::verdict, exchange.stage());
            bool confirmed = agent->checkConfirmationCode(
                reinterpret_cast<const unsigned char*>(confirmation.data()));
            EXPECT_EQ(!c.wrongConfirmation, confirmed);

            std::string verdict = confirmed ? peer::kConfirmed : peer::kFailed;
            EXPECT_EQ(c.ack, feedInPieces(exchange, agentFrame(*agent, verdict), piece));
            EXPECT_EQ(c.outcome, exchange.stage());
            EXPECT_TRUE(exchange.isOver());
            EXPECT_EQ(verdict, exchange.verdict());
            EXPECT_EQ(0u, exchange.wanted());
            if (c.outcome == Stage::refused) {
                EXPECT_EQ("the agent answered \"200 Failed\"", exchange.error());
            }
        }
    }
}

TEST(PeerHandshake, FailsWhenTheAgentsBytesBreakTheExchange) {
    struct Case {
        const char* what;
        bool badResponse;        // the response code repeats another key
        std::string badVerdict;  // else: this stands for the verdict frame
        const char* error;
    };
    peer::Key otherKey = kKey;
    otherKey[0] ^= 1;
    std::string otherKeyVerdict;
    peer::encodeFrame(otherKey, peer::kConfirmed, otherKeyVerdict);
    const Case cases[] = {
        {"response for another key", true, "", "does not repeat the session key"},
        {"verdict under another key", false, otherKeyVerdict,
         "no verdict: the header block does not decrypt under the session key"},
    };
    for (const Case& c : cases) {
        for (size_t piece : kPieces) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
            HandshakeOptions options;
            options.useKey = true;
            options.key = kKey;
            PeerHandshake exchange(options);
            auto agent = std::make_unique<SessionEncryptor>();
            std::string code = feedInPieces(exchange, announcementText(), piece);
            if (c.badResponse) code[0] ^= 1;
            agent->makeResponseCode(reinterpret_cast<const unsigned char*>(code.data()));
            std::string response(reinterpret_cast<char*>(agent->encryptedResponse), 16);
            std::string confirmation = feedInPieces(exchange, response, piece);
            if (c.badResponse) {
                EXPECT_EQ("", confirmation);
            } else {
                // Refused on its header block, without waiting for the rest.
                EXPECT_EQ("", feedInPieces(exchange, c.badVerdict.substr(0, 16), piece));
            }
            EXPECT_EQ(Stage::failed, exchange.stage());
            EXPECT_NE(std::string::npos, exchange.error().find(c.error)) << exchange.error();
            EXPECT_EQ("", exchange.verdict());
        }
    }
}

TEST(PeerHandshake, TakesAShortAnnouncementAfterAPauseAndNoByteAfterTheVerdict) {
    PeerHandshake exchange;
    std::string toSend;
    EXPECT_EQ(Stage::announcement, exchange.endAnnouncement(toSend));  // nothing came yet
    size_t consumed = 0;
    EXPECT_EQ(Stage::announcement, exchange.feed("Short agent", 11, consumed, toSend));
    EXPECT_EQ("", toSend);
    EXPECT_EQ(Stage::response, exchange.endAnnouncement(toSend));
    EXPECT_EQ("Short agent", exchange.announcement());
    ASSERT_EQ(16u, toSend.size());

    auto agent = std::make_unique<SessionEncryptor>();
    agent->makeResponseCode(reinterpret_cast<const unsigned char*>(toSend.data()));
    toSend.clear();
    exchange.feed(reinterpret_cast<char*>(agent->encryptedResponse), 16, consumed, toSend);
    const std::string verdict = agentFrame(*agent, peer::kConfirmed);
    const std::string stream = verdict + "next";
    toSend.clear();
    EXPECT_EQ(Stage::confirmed, exchange.feed(stream.data(), stream.size(), consumed, toSend));
    EXPECT_EQ(verdict.size(), consumed);
    EXPECT_EQ("*", toSend);
}

}  // namespace
