#pragma once
// The cipher object of one session: the session key agreed in the handshake,
// the handshake's response and confirmation codes, and the buffer in which
// frames are built and opened.
#include "transport/frame_limits.h"

// The 16 ASCII bytes of the built-in key that protects the handshake.
extern const unsigned char builtInKey[frame::kBlockSize];

class SessionEncryptor {
public:
    // Outgoing frame built by encodeFrame, or the incoming frame as read.
    unsigned char frameBuffer[frame::kFrameBufferSize] = {};
    unsigned char sessionKey[frame::kBlockSize] = {};
    // Bytes 0 to 7 repeat the session key, bytes 8 to 15 are random.
    unsigned char responseCode[frame::kBlockSize] = {};
    unsigned char confirmationCode[frame::kBlockSize] = {};
    // responseCode under the built-in key: what the peer receives.
    unsigned char encryptedResponse[frame::kBlockSize] = {};

    SessionEncryptor() = default;
    SessionEncryptor(const SessionEncryptor&) = delete;
    SessionEncryptor& operator=(const SessionEncryptor&) = delete;

    // Takes the session key from the peer's 16-byte session code and builds a
    // fresh response code and its encrypted form.
    void makeResponseCode(const unsigned char* sessionCode);

    // True when the peer's 16-byte confirmation code, decrypted, repeats bytes
    // 8 to 15 of the response code.
    bool checkConfirmationCode(const unsigned char* code);

    // Builds the frame of a message of length bytes (0 to kMaxMessageLength) in
    // frameBuffer and returns its length. The fill bytes are written into
    // plaintext after the message, so it must have room up to the next
    // multiple of 16. Returns -1 for a length out of range.
    int encodeFrame(unsigned char* plaintext, int length);

    // Opens the frame of frameLength bytes held in frameBuffer into output,
    // which must hold frameLength bytes. Returns the message length, followed
    // in output by at least 16 zero bytes; 0 for a header whose fill count is
    // above 15 (output then holds zeros); -1 for a corrupt frame or a length
    // that is not a whole number of blocks within the frame buffer.
    int decodeFrame(unsigned char* output, int frameLength);

    // The frame length that a 16-byte header block, as it arrives, announces
    // under the session key (bytes 1 and 2, big-endian). Only a hint of how
    // much to wait for: a frame is judged by what is read, never by this.
    int announcedLength(const unsigned char* header) const;
};
