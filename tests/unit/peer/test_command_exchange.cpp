// A command's exchange fed the agent's bytes in pieces of every size, and the
// split of a probe answer into scans.
#include "peer/command_exchange.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fake_agent.h"
#include "peer/frame_codec.h"
#include "peer/probe_answer.h"
#include "transport/session_encryptor.h"

namespace {

using namespace peer_test;
using peer::CommandExchange;
using Result = CommandExchange::Result;

std::string agentAnswer(const std::string& message) {
    auto cipher = std::make_unique<SessionEncryptor>();
    std::memcpy(cipher->sessionKey, kKey.data(), 16);
    return agentFrame(*cipher, message);
}

// Feeds stream in pieces of piece bytes; the result of the last feed, the
// bytes taken in all.
struct Outcome {
    Result result = Result::needMore;
    size_t taken = 0;
};

Outcome feedAll(CommandExchange& exchange, const std::string& stream, size_t piece) {
    Outcome outcome;
    while (outcome.taken < stream.size() && outcome.result == Result::needMore) {
        size_t size = std::min(piece, stream.size() - outcome.taken);
        size_t consumed = 0;
        outcome.result = exchange.feed(stream.data() + outcome.taken, size, consumed);
        outcome.taken += consumed;
        if (outcome.result == Result::needMore) {
            EXPECT_EQ(size, consumed);
        }
    }
    return outcome;
}

TEST(CommandExchangeTest, TheCommandFrameIsTheCommandTextUnderTheKey) {
    CommandExchange exchange(kKey);
    std::string frameBytes;
    ASSERT_TRUE(exchange.begin("PRBE", "", frameBytes));
    std::string message, error;
    ASSERT_TRUE(peer::decodeFrame(kKey, frameBytes, message, error)) << error;
    EXPECT_EQ("PRBE\r\n", message);
    ASSERT_TRUE(exchange.begin("DBUG", "3", frameBytes));
    ASSERT_TRUE(peer::decodeFrame(kKey, frameBytes, message, error)) << error;
    EXPECT_EQ("DBUG 3\r\n", message);
    // A command text fills at most 2032 bytes of the agent's 2048-byte read.
    EXPECT_TRUE(exchange.begin("CNFG", std::string(2025, 'x'), frameBytes));
    EXPECT_FALSE(exchange.begin("CNFG", std::string(2026, 'x'), frameBytes));
}

// Each command with what the agent sends for it, fed whole, byte by byte and
// in odd pieces; what comes after the exchange is left unread.
TEST(CommandExchangeTest, EndsAfterTheAcknowledgementOrTheAnswerInPiecesOfAnySize) {
    const std::string next = "NEXT";
    struct Case {
        const char* word;
        std::string agentSends;
        std::string answer;
    };
    const std::vector<Case> cases = {
        {"NOOP", "*", ""},
        {"UPDT", "*", ""},
        {"PRBE", "*" + agentAnswer(""), ""},
        {"PRBE", "*" + agentAnswer("4006381333931\n\nRFID-00A7\n"), "4006381333931\n\nRFID-00A7\n"},
        {"PRBE", "*" + agentAnswer(std::string(2047, 'z') + "\n"), std::string(2047, 'z') + "\n"},
        {"QUIT", "*" + agentAnswer("100"), "100"},
        {"DBUG", "*" + agentAnswer("200\r\n"), "200\r\n"},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t(1), size_t(7), size_t(16), size_t(4096)}) {
            SCOPED_TRACE(std::string(c.word) + " in pieces of " + std::to_string(piece));
            CommandExchange exchange(kKey);
            std::string frameBytes;
            ASSERT_TRUE(exchange.begin(c.word, "", frameBytes));
            Outcome outcome = feedAll(exchange, c.agentSends + next, piece);
            EXPECT_EQ(Result::done, outcome.result);
            EXPECT_EQ(c.agentSends.size(), outcome.taken);
            EXPECT_TRUE(exchange.acknowledged());
            EXPECT_EQ(c.answer, exchange.answer());
            EXPECT_EQ(0u, exchange.wanted());
        }
    }
}

TEST(CommandExchangeTest, AWrongAcknowledgementOrABadAnswerIsMalformed) {
    CommandExchange exchange(kKey);
    std::string frameBytes;
    ASSERT_TRUE(exchange.begin("NOOP", "", frameBytes));
    EXPECT_EQ(Result::malformed, feedAll(exchange, "x", 1).result);
    EXPECT_EQ("acknowledgement byte 0x78 is not '*'", exchange.error());
    EXPECT_FALSE(exchange.acknowledged());

    // The answer under another key: its header does not open.
    ASSERT_TRUE(exchange.begin("PRBE", "", frameBytes));
    peer::Key other = kKey;
    other[0] ^= 1;
    std::string wrong;
    ASSERT_TRUE(peer::encodeFrame(other, "A\n", wrong));
    Outcome outcome = feedAll(exchange, "*" + wrong, 5);
    EXPECT_EQ(Result::malformed, outcome.result);
    EXPECT_TRUE(exchange.acknowledged());
    EXPECT_EQ(17u, outcome.taken) << "judged by its header block";
    EXPECT_NE(std::string::npos, exchange.error().find("no answer frame")) << exchange.error();
    EXPECT_EQ("", exchange.answer());
}

TEST(ProbeAnswerTest, SplitsAtEachLineFeed) {
    using List = std::vector<std::string>;
    EXPECT_EQ(List{}, peer::splitProbeAnswer(""));
    EXPECT_EQ(List{"A"}, peer::splitProbeAnswer("A\n"));
    EXPECT_EQ(List{""}, peer::splitProbeAnswer("\n"));
    EXPECT_EQ((List{"4006381333931", "", "R\xe9"}),
              peer::splitProbeAnswer("4006381333931\n\nR\xe9\n"));
    EXPECT_EQ((List{"A", "tail"}), peer::splitProbeAnswer("A\ntail"));
}

}  // namespace
