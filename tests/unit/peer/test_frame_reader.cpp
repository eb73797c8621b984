// The incremental frame reader, fed a stream of the agent's frames in pieces
// of every size: one byte at a time, as many as it asks for, odd sizes that
// cut headers and blocks, and the whole stream at once.
#include "peer/frame_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fake_agent.h"
#include "transport/aes128.h"
#include "transport/session_encryptor.h"

namespace {

using namespace peer_test;
using peer::FrameReader;
using peer::Key;
using Result = FrameReader::Result;

// What a run of the reader over a stream gave: the messages of the whole
// frames, the stream offsets where each ended, and the first refusal.
struct Reading {
    std::vector<std::string> messages;
    std::vector<size_t> ends;
    std::string error;
    size_t errorAt = 0;
};

// Feeds stream in pieces of piece bytes (0: exactly what the reader wants),
// each piece until the reader has taken all of it.
Reading readStream(const std::string& stream, size_t piece) {
    FrameReader reader(kKey);
    Reading reading;
    size_t at = 0;
    while (at < stream.size()) {
        size_t size = piece == 0 ? reader.wanted() : piece;
        size = std::min(size, stream.size() - at);
        size_t end = at + size;
        while (at < end) {
            size_t consumed = 0;
            Result result = reader.feed(stream.data() + at, end - at, consumed);
            at += consumed;
            if (result == Result::frame) {
                reading.messages.push_back(reader.message());
                reading.ends.push_back(at);
            } else if (result == Result::malformed) {
                reading.error = reader.error();
                reading.errorAt = at;
                return reading;
            } else {
                EXPECT_EQ(end, at) << "a reader that wants more takes all it is given";
            }
        }
    }
    EXPECT_EQ(0u, reader.received()) << "the stream ends inside a frame";
    return reading;
}

// A frame built by hand: the header block {fill, length, '*'...}, then the
// plain blocks given, each encrypted under kKey.
std::string handMadeFrame(int fill, int length, const std::vector<std::string>& body = {}) {
    std::string header(16, '*');
    header[0] = static_cast<char>(fill);
    header[1] = static_cast<char>(length >> 8);
    header[2] = static_cast<char>(length & 0xFF);
    std::vector<std::string> blocks = {header};
    blocks.insert(blocks.end(), body.begin(), body.end());
    std::string frame;
    for (const std::string& plain : blocks) {
        unsigned char out[16];
        encryptBlock(reinterpret_cast<const unsigned char*>(plain.data()), kKey.data(), out);
        frame.append(reinterpret_cast<char*>(out), 16);
    }
    return frame;
}

TEST(FrameReader, TakesEachFrameWholeInPiecesOfAnySizeAndNoByteMore) {
    const std::vector<std::string> messages = {
        "", "200\r\n", std::string(16, 'a'), std::string(17, 'b'), std::string(2048, 'z'), "100",
    };
    auto cipher = std::make_unique<SessionEncryptor>();
    std::memcpy(cipher->sessionKey, kKey.data(), 16);
    std::string stream;
    std::vector<size_t> ends;
    for (const std::string& message : messages) {
        stream += agentFrame(*cipher, message);
        ends.push_back(stream.size());
    }
    for (size_t piece : {size_t{1}, size_t{0}, size_t{7}, size_t{16}, size_t{100}, stream.size()}) {
        SCOPED_TRACE(piece);
        Reading reading = readStream(stream, piece);
        EXPECT_EQ("", reading.error);
        EXPECT_EQ(messages, reading.messages);
        EXPECT_EQ(ends, reading.ends);
    }
}

TEST(FrameReader, RefusesABadFrameAsSoonAsItShowsAndStartsAfresh) {
    std::string good;
    peer::encodeFrame(kKey, "200\r\n", good);
    Key otherKey = kKey;
    otherKey[0] ^= 1;
    std::string otherKeyFrame;
    peer::encodeFrame(otherKey, "200\r\n", otherKeyFrame);

    struct Case {
        const char* what;
        std::string frame;
        size_t refusedAt;    // bytes taken when the reader refuses
        const char* reason;  // in the reader's error
    };
    const Case cases[] = {
        {"other key", otherKeyFrame, 16, "session key"},
        {"announces 4096 bytes", handMadeFrame(0, 4096), 16, "4096"},
        {"announces 20 bytes", handMadeFrame(0, 20), 16, "20 bytes"},
        {"fill 200", handMadeFrame(200, 32), 16, "fill count 200"},
        {"fill not *", handMadeFrame(11, 32, {"200\r\n*********x*"}), 32, "fill bytes"},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t{1}, size_t{0}, size_t{64}}) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
            // The bad frame stands first; behind it a good one, never reached.
            Reading reading = readStream(c.frame + good, piece);
            EXPECT_TRUE(reading.messages.empty());
            EXPECT_EQ(c.refusedAt, reading.errorAt);
            EXPECT_NE(std::string::npos, reading.error.find(c.reason)) << reading.error;
        }
        // After a refusal the reader begins a new frame with the next byte.
        FrameReader reader(kKey);
        size_t consumed = 0;
        ASSERT_EQ(Result::malformed, reader.feed(c.frame.data(), c.refusedAt, consumed));
        EXPECT_EQ(16u, reader.wanted());
        EXPECT_EQ(Result::frame, reader.feed(good.data(), good.size(), consumed));
        EXPECT_EQ("200\r\n", reader.message());
    }
}

}  // namespace
