#include "transport/session_encryptor.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "transport/aes128.h"

const unsigned char builtInKey[frame::kBlockSize] = {'L', 'a', 'r', 'k', '\'', 's', ' ', 'i',
                                                     'n', 'k', '-', 'w', 'e',  'l', 'l', '!'};

namespace {
constexpr int kKeyHalf = 8;  // response bytes 0 to 7 come from the key, 8 to 15 are random
}

void SessionEncryptor::makeResponseCode(const unsigned char* sessionCode) {
    decryptBlock(sessionCode, builtInKey, sessionKey);
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    std::memcpy(responseCode, sessionKey, kKeyHalf);
    for (int i = kKeyHalf; i < frame::kBlockSize; ++i) {
        responseCode[i] = static_cast<unsigned char>(std::rand() & 0xFF);
    }
    encryptBlock(responseCode, builtInKey, encryptedResponse);
}

bool SessionEncryptor::checkConfirmationCode(const unsigned char* code) {
    decryptBlock(code, builtInKey, confirmationCode);
    for (int i = kKeyHalf; i < frame::kBlockSize; ++i) {
        if (confirmationCode[i] != responseCode[i]) {
            return false;
        }
    }
    return true;
}

int SessionEncryptor::encodeFrame(unsigned char* plaintext, int length) {
    if (length < 0 || length > frame::kMaxMessageLength) {
        return -1;
    }
    std::memset(frameBuffer, 0, sizeof frameBuffer);

    int remainder = length % frame::kBlockSize;
    int fill = remainder != 0 ? frame::kBlockSize - remainder : 0;
    std::memset(plaintext + length, frame::kFillByte, static_cast<size_t>(fill));
    int blocks = (length + fill) / frame::kBlockSize;
    for (int i = 0; i < blocks; ++i) {
        encryptBlock(plaintext + frame::kBlockSize * i, sessionKey,
                     frameBuffer + frame::kBlockSize * (i + 1));
    }

    // Header: fill count, frame length big-endian, then thirteen '*'.
    int frameLength = length + fill + frame::kBlockSize;
    unsigned char header[frame::kBlockSize];
    std::memset(header, frame::kFillByte, sizeof header);
    header[0] = static_cast<unsigned char>(fill);
    header[1] = static_cast<unsigned char>(frameLength / 256);
    header[2] = static_cast<unsigned char>(frameLength % 256);
    encryptBlock(header, sessionKey, frameBuffer);
    return frameLength;
}

int SessionEncryptor::decodeFrame(unsigned char* output, int frameLength) {
    if (frameLength < frame::kBlockSize || frameLength > frame::kFrameBufferSize ||
        frameLength % frame::kBlockSize != 0) {
        return -1;
    }
    // Only the fill count is read from the header: the frame's length is what
    // the socket delivered, whatever the header says.
    unsigned char header[frame::kBlockSize];
    decryptBlock(frameBuffer, sessionKey, header);
    int fill = header[0];
    int blockBytes = frameLength - frame::kBlockSize;
    if (fill > frame::kMaxFill) {
        // Not a fill count at all: an empty message, and no stale text is left
        // behind for a caller that reads the output as a string.
        std::memset(output, 0, static_cast<size_t>(frameLength));
        return 0;
    }
    if (fill > blockBytes) {
        return -1;
    }
    for (int offset = 0; offset < blockBytes; offset += frame::kBlockSize) {
        decryptBlock(frameBuffer + frame::kBlockSize + offset, sessionKey, output + offset);
    }
    // Zero the fill bytes and the 16 bytes after the last block, so the
    // message can be read as a zero-terminated string.
    int messageLength = blockBytes - fill;
    std::memset(output + messageLength, 0, static_cast<size_t>(frameLength - messageLength));
    std::memset(frameBuffer, 0, sizeof frameBuffer);
    return messageLength;
}

int SessionEncryptor::announcedLength(const unsigned char* header) const {
    unsigned char plain[frame::kBlockSize];
    decryptBlock(header, sessionKey, plain);
    return plain[1] * 256 + plain[2];
}
