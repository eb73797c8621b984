#include "transport/session_encryptor.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "transport/aes128.h"

namespace {

using Bytes = std::vector<unsigned char>;

const unsigned char kSessionKey[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe,
                                       0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

class FrameTest : public testing::Test {
protected:
    void SetUp() override {
        cipher = std::make_unique<SessionEncryptor>();
        std::memcpy(cipher->sessionKey, kSessionKey, 16);
    }

    // The plain content of block i of the frame in the frame buffer.
    Bytes plainBlock(int i) {
        unsigned char out[16];
        decryptBlock(cipher->frameBuffer + 16 * i, kSessionKey, out);
        return Bytes(out, out + 16);
    }

    // Puts a hand-made frame of the given plain blocks into the frame buffer.
    int loadFrame(const std::vector<Bytes>& blocks) {
        int offset = 0;
        for (const Bytes& block : blocks) {
            encryptBlock(block.data(), kSessionKey, cipher->frameBuffer + offset);
            offset += 16;
        }
        return offset;
    }

    static Bytes header(int fill, int frameLength) {
        Bytes block(16, '*');
        block[0] = static_cast<unsigned char>(fill);
        block[1] = static_cast<unsigned char>(frameLength >> 8);
        block[2] = static_cast<unsigned char>(frameLength & 0xFF);
        return block;
    }

    std::unique_ptr<SessionEncryptor> cipher;
};

TEST(SessionEncryptorKey, BuiltInKeyIsLarksInkWell) {
    EXPECT_EQ(0, std::memcmp(builtInKey, "Lark's ink-well!", 16));
}

struct EncodeCase {
    std::string name;
    Bytes message;
    unsigned char fill, lengthHigh, lengthLow;
    int frameLength;
};

TEST_F(FrameTest, EncodeBuildsHeaderBlocksAndFill) {
    const std::vector<EncodeCase> cases = {
        {"five bytes", bytesOf("200\r\n"), 0x0B, 0x00, 0x20, 32},
        {"thirteen bytes", bytesOf("100 Confirmed"), 0x03, 0x00, 0x20, 32},
        {"one whole block", bytesOf("0123456789abcdef"), 0x00, 0x00, 0x20, 32},
        {"empty", Bytes(), 0x00, 0x00, 0x10, 16},
        {"largest", Bytes(2048, 'x'), 0x00, 0x08, 0x10, 2064},
        {"one short of largest", Bytes(2047, 'y'), 0x01, 0x08, 0x10, 2064},
    };
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::memset(cipher->frameBuffer, 0xCC, sizeof cipher->frameBuffer);
        Bytes plaintext = c.message;
        plaintext.resize(2048, 0);
        ASSERT_EQ(cipher->encodeFrame(plaintext.data(), static_cast<int>(c.message.size())),
                  c.frameLength);

        Bytes expectedHeader(16, '*');
        expectedHeader[0] = c.fill;
        expectedHeader[1] = c.lengthHigh;
        expectedHeader[2] = c.lengthLow;
        EXPECT_EQ(plainBlock(0), expectedHeader);

        // The message blocks, the last one completed with '*'.
        Bytes expected = c.message;
        expected.resize(c.message.size() + c.fill, '*');
        Bytes body;
        for (int i = 1; i < c.frameLength / 16; ++i) {
            Bytes block = plainBlock(i);
            body.insert(body.end(), block.begin(), block.end());
        }
        EXPECT_EQ(body, expected);
        // The fill went into the caller's buffer, and nothing after it.
        EXPECT_EQ(Bytes(plaintext.begin(), plaintext.begin() + expected.size()), expected);
        if (expected.size() < plaintext.size()) {
            EXPECT_EQ(plaintext[expected.size()], 0);
        }
        // The rest of the frame buffer was cleared.
        for (int i = c.frameLength; i < frame::kFrameBufferSize; ++i) {
            ASSERT_EQ(cipher->frameBuffer[i], 0) << "at " << i;
        }
    }
}

TEST_F(FrameTest, EncodeRefusesLengthsOutsideTheStagingBuffer) {
    Bytes plaintext(4096, 'z');
    cipher->frameBuffer[0] = 0x55;
    EXPECT_EQ(cipher->encodeFrame(plaintext.data(), 2049), -1);
    EXPECT_EQ(cipher->encodeFrame(plaintext.data(), -1), -1);
    EXPECT_EQ(cipher->frameBuffer[0], 0x55);  // nothing built
    EXPECT_EQ(plaintext[2049], 'z');          // no fill written
}

struct DecodeCase {
    std::string name;
    std::vector<Bytes> blocks;  // plain blocks of the frame, header first
    int result;
    std::string message;  // expected text when result >= 0
};

TEST_F(FrameTest, DecodeTakesTheFillCountAndTheBytesRead) {
    const Bytes block200 = bytesOf("200\r\n***********");
    const Bytes block100 = bytesOf("100*************");
    const std::vector<DecodeCase> cases = {
        {"header only, F 0", {header(0, 16)}, 0, ""},
        {"header only, F 5: more fill than bytes", {header(5, 16)}, -1, ""},
        {"header only, F 200: taken as empty", {header(200, 16)}, 0, ""},
        {"one block, F 11", {header(11, 32), block200}, 5, "200\r\n"},
        {"length field says 64, 32 bytes read", {header(11, 64), block200}, 5, "200\r\n"},
        {"length field says 0",
         {header(0, 0), bytesOf("0123456789abcdef")},
         16,
         "0123456789abcdef"},
        {"two frames in one read: the first header governs",
         {header(11, 32), block200, header(13, 32), block100},
         37,
         "200\r\n***********" +
             std::string(reinterpret_cast<const char*>(header(13, 32).data()), 16) + "100**"},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        int frameLength = loadFrame(c.blocks);
        Bytes output(frameLength + 64, 0xCC);
        int result = cipher->decodeFrame(output.data(), frameLength);
        ASSERT_EQ(result, c.result);
        if (result < 0) continue;
        EXPECT_EQ(std::string(output.begin(), output.begin() + result), c.message);
        // Zeros from the end of the message to the end of the frame, never past it.
        for (int i = result; i < frameLength; ++i) ASSERT_EQ(output[i], 0) << "at " << i;
        for (size_t i = frameLength; i < output.size(); ++i) ASSERT_EQ(output[i], 0xCC);
    }
}

TEST_F(FrameTest, DecodeRefusesLengthsThatAreNotWholeBlocksInTheBuffer) {
    unsigned char output[64];
    loadFrame({header(0, 16)});
    for (int length : {0, -16, 8, 20, frame::kFrameBufferSize + 16}) {
        EXPECT_EQ(cipher->decodeFrame(output, length), -1) << length;
    }
}

// Every length from empty to the largest message survives a round trip,
// followed by at least 16 zero bytes, and the frame buffer is left clear.
TEST_F(FrameTest, RoundTripOfEveryLength) {
    std::mt19937 random(7);
    for (int length = 0; length <= frame::kMaxMessageLength; ++length) {
        Bytes message(length);
        for (auto& byte : message) byte = static_cast<unsigned char>(random());
        unsigned char staging[frame::kStagingBufferSize] = {};
        if (length > 0) std::memcpy(staging, message.data(), length);
        int frameLength = cipher->encodeFrame(staging, length);
        ASSERT_EQ(frameLength, 16 + (length + 15) / 16 * 16);

        Bytes output(frameLength, 0xCC);
        ASSERT_EQ(cipher->decodeFrame(output.data(), frameLength), length);
        ASSERT_EQ(Bytes(output.begin(), output.begin() + length), message) << length;
        ASSERT_GE(frameLength - length, 16);
        for (int i = length; i < frameLength; ++i) ASSERT_EQ(output[i], 0);
        ASSERT_EQ(cipher->frameBuffer[0], 0);
        ASSERT_EQ(cipher->frameBuffer[frameLength - 1], 0);
    }
}

// ---- Handshake codes ----------------------------------------------------------

class ResponseCodeTest : public testing::Test {
protected:
    void SetUp() override {
        cipher = std::make_unique<SessionEncryptor>();
        encryptBlock(kSessionKey, builtInKey, sessionCode);
        cipher->makeResponseCode(sessionCode);
    }

    // The confirmation a peer would send for the plain 16 bytes.
    static Bytes encrypted(const unsigned char* plain) {
        unsigned char out[16];
        encryptBlock(plain, builtInKey, out);
        return Bytes(out, out + 16);
    }

    unsigned char sessionCode[16];
    std::unique_ptr<SessionEncryptor> cipher;
};

TEST_F(ResponseCodeTest, ResponseCarriesTheSessionKeyUnderTheBuiltInKey) {
    EXPECT_EQ(0, std::memcmp(cipher->sessionKey, kSessionKey, 16));
    EXPECT_EQ(0, std::memcmp(cipher->responseCode, kSessionKey, 8));
    unsigned char decrypted[16];
    decryptBlock(cipher->encryptedResponse, builtInKey, decrypted);
    EXPECT_EQ(0, std::memcmp(decrypted, cipher->responseCode, 16));
}

// Every handshake seeds rand with the time in whole seconds and takes eight
// draws, low 8 bits each; this is the second handshake of the fixture, so a
// generator seeded only once fails. Retried when the second turns over.
TEST_F(ResponseCodeTest, RandomHalfIsEightDrawsSeededWithTheSecond) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::time_t before = std::time(nullptr);
        cipher->makeResponseCode(sessionCode);
        if (std::time(nullptr) != before) continue;
        std::srand(static_cast<unsigned>(before));
        for (int i = 8; i < 16; ++i) {
            EXPECT_EQ(cipher->responseCode[i], std::rand() & 0xFF) << "byte " << i;
        }
        return;
    }
    FAIL() << "the second turned over during every attempt";
}

TEST_F(ResponseCodeTest, EchoedResponseIsAcceptedWhateverItsFirstHalf) {
    EXPECT_TRUE(cipher->checkConfirmationCode(cipher->encryptedResponse));

    unsigned char plain[16];
    std::memcpy(plain, cipher->responseCode, 16);
    std::memset(plain, 0xA5, 8);
    EXPECT_TRUE(cipher->checkConfirmationCode(encrypted(plain).data()));
    EXPECT_EQ(0, std::memcmp(cipher->confirmationCode, plain, 16));
}

TEST_F(ResponseCodeTest, AnyChangeInTheSecondHalfIsRefused) {
    for (int i = 8; i < 16; ++i) {
        unsigned char plain[16];
        std::memcpy(plain, cipher->responseCode, 16);
        plain[i] ^= 0x01;
        EXPECT_FALSE(cipher->checkConfirmationCode(encrypted(plain).data())) << "byte " << i;
    }
}

}  // namespace
