#include "peer/frame_codec.h"

#include <cstring>

#include "common/text_format.h"
#include "transport/aes128.h"

namespace peer {

namespace {

constexpr int kBlock = frame::kBlockSize;
// Header bytes 3 to 15 are all '*'.
constexpr int kHeaderPatternStart = 3;

void encryptInto(const unsigned char* plain, const Key& key, std::string& out) {
    unsigned char block[kBlock];
    encryptBlock(plain, key.data(), block);
    out.append(reinterpret_cast<const char*>(block), kBlock);
}

void decryptFrom(const char* bytes, const Key& key, unsigned char* plain) {
    decryptBlock(reinterpret_cast<const unsigned char*>(bytes), key.data(), plain);
}

// Checks a decrypted header block against the frame length it must describe
// (0 when the length is not known yet) and gives the fill count and length.
bool checkHeader(const unsigned char* header, int expectedLength, int& fill, int& length,
                 std::string& error) {
    for (int i = kHeaderPatternStart; i < kBlock; ++i) {
        if (header[i] != frame::kFillByte) {
            error = "the header block does not decrypt under the session key";
            return false;
        }
    }
    fill = header[0];
    length = header[1] * 256 + header[2];
    if (length < kBlock || length > kMaxFrameLength || length % kBlock != 0) {
        error = formatText("the header announces a frame of %d bytes", length);
        return false;
    }
    if (expectedLength != 0 && length != expectedLength) {
        error =
            formatText("the header announces %d bytes, the frame has %d", length, expectedLength);
        return false;
    }
    if (fill > frame::kMaxFill || fill > length - kBlock) {
        error = formatText("fill count %d in a frame of %d bytes", fill, length);
        return false;
    }
    return true;
}

}  // namespace

bool encodeFrame(const Key& key, const std::string& message, std::string& frameBytes) {
    frameBytes.clear();
    if (message.size() > static_cast<size_t>(frame::kMaxMessageLength)) return false;
    int length = static_cast<int>(message.size());
    int fill = (kBlock - length % kBlock) % kBlock;
    int frameLength = kBlock + length + fill;

    unsigned char header[kBlock];
    std::memset(header, frame::kFillByte, sizeof header);
    header[0] = static_cast<unsigned char>(fill);
    header[1] = static_cast<unsigned char>(frameLength >> 8);
    header[2] = static_cast<unsigned char>(frameLength & 0xFF);
    frameBytes.reserve(static_cast<size_t>(frameLength));
    encryptInto(header, key, frameBytes);

    for (int offset = 0; offset < length; offset += kBlock) {
        unsigned char block[kBlock];
        std::memset(block, frame::kFillByte, sizeof block);
        int take = length - offset < kBlock ? length - offset : kBlock;
        std::memcpy(block, message.data() + offset, static_cast<size_t>(take));
        encryptInto(block, key, frameBytes);
    }
    return true;
}

bool decodeFrame(const Key& key, const char* frameBytes, std::size_t size, std::string& message,
                 std::string& error) {
    message.clear();
    if (size > static_cast<size_t>(kMaxFrameLength) || size < static_cast<size_t>(kBlock) ||
        size % kBlock != 0) {
        error = "the bytes are not one whole frame of 16 to 2064 bytes";
        return false;
    }
    unsigned char header[kBlock];
    decryptFrom(frameBytes, key, header);
    int fill = 0;
    int length = 0;
    if (!checkHeader(header, static_cast<int>(size), fill, length, error)) return false;

    std::string plain;
    plain.reserve(size - kBlock);
    for (size_t offset = kBlock; offset < size; offset += kBlock) {
        unsigned char block[kBlock];
        decryptFrom(frameBytes + offset, key, block);
        plain.append(reinterpret_cast<const char*>(block), kBlock);
    }
    size_t messageLength = plain.size() - static_cast<size_t>(fill);
    if (plain.find_first_not_of(static_cast<char>(frame::kFillByte), messageLength) !=
        std::string::npos) {
        error = "the fill bytes are not all '*'";
        return false;
    }
    message = plain.substr(0, messageLength);
    return true;
}

bool decodeFrame(const Key& key, const std::string& frameBytes, std::string& message,
                 std::string& error) {
    return decodeFrame(key, frameBytes.data(), frameBytes.size(), message, error);
}

bool readFrameHeader(const Key& key, const char* headerBytes, int& fill, int& length,
                     std::string& error) {
    unsigned char header[kBlock];
    decryptFrom(headerBytes, key, header);
    return checkHeader(header, 0, fill, length, error);
}

}  // namespace peer
