// The session's message layer: plain sends and receives for the handshake,
// and encrypted frames with a one-byte acknowledgement for everything after.
#include <cstring>
#include <string>

#include "common/activity_log.h"
#include "common/text_format.h"
#include "session/dnc_session.h"
#include "transport/frame_limits.h"
#include "transport/secure_socket.h"
#include "transport/session_encryptor.h"

namespace {
const char kAckFailed[] = "Failed to Receive ACK From Vexmoor DNC";
}

int DncSession::sendMessage(const unsigned char* data, int length, bool encrypted) {
    if (!encrypted) {
        return ClientSocket->sendBytes(reinterpret_cast<const char*>(data), length);
    }
    const std::string tag = "tMDCSession::sendMessage";
    lastSendAcknowledged = false;

    // The message and its fill bytes must fit the staging buffer; a longer
    // one is refused whole rather than cut short.
    if (length < 0 || length > frame::kMaxMessageLength) {
        writeLog(
            tag,
            formatText("Message of %d Bytes not sent: an encrypted message holds 0 to %d Bytes",
                       length, frame::kMaxMessageLength),
            1);
        return -1;
    }
    unsigned char staging[frame::kStagingBufferSize];
    std::memset(staging, 0, sizeof staging);
    if (length > 0) {
        std::memcpy(staging, data, static_cast<size_t>(length));
    }
    int frameLength = SessionEncryptor->encodeFrame(staging, length);
    int sent = ClientSocket->sendBytes(reinterpret_cast<const char*>(SessionEncryptor->frameBuffer),
                                       frameLength);

    // The peer answers every frame with one byte; its value does not matter.
    char ack = 0;
    int acknowledged = ClientSocket->receiveBytes(&ack, 1);
    if (acknowledged == -1) {
        writeLog(tag, kAckFailed, 1);
    }
    lastSendAcknowledged = sent == frameLength && acknowledged == 1;
    writeLog(tag, formatText("Send %d Bytes", sent), 4);
    if (sent < 1) {
        writeLog(tag, "Failed Sending Secure data", 1);
        return sent;
    }
    return length;
}

int DncSession::sendMessage(std::string text, bool encrypted) {
    return sendMessage(reinterpret_cast<const unsigned char*>(text.data()),
                       static_cast<int>(text.size()), encrypted);
}

int DncSession::receiveMessage(unsigned char* buffer, int maxLength, bool encrypted) {
    if (!encrypted) {
        return ClientSocket->receiveBytes(reinterpret_cast<char*>(buffer), maxLength);
    }
    const std::string tag = "tMDCSession::receiveMessage";

    // The frame is read into the cipher object's frame buffer.
    if (maxLength < 1 || maxLength > frame::kFrameBufferSize) {
        writeLog(tag,
                 formatText("Receive limit %d refused: a frame holds 1 to %d Bytes", maxLength,
                            frame::kFrameBufferSize),
                 1);
        return -1;
    }
    // Whatever one read returns is the frame; it is acknowledged before it
    // is looked at, so the peer never waits on a frame the agent rejects.
    int received = ClientSocket->receiveBytes(
        reinterpret_cast<char*>(SessionEncryptor->frameBuffer), maxLength);
    writeLog(tag, "receiveBytes is complete, send the Ack", 4);
    const char ack = static_cast<char>(frame::kAckByte);
    if (ClientSocket->sendBytes(&ack, 1) == -1) {
        writeLog(tag, kAckFailed, 1);
    }
    if (received < 1) {
        writeLog(tag, formatText("Receive Bytes received less than 1 %d", received), 3);
        return received;
    }
    writeLog(tag, formatText("Ack was Sent, Return msgLen %d", received), 4);
    if (received % frame::kBlockSize != 0) {
        writeLog(tag, formatText(" Read Data Secure: Failed to Receive a Full Msg %d", received),
                 1);
        return -1;
    }
    int messageLength = SessionEncryptor->decodeFrame(buffer, received);
    if (messageLength < 0) {
        writeLog(tag, "Received corrupt data", 1);
        return -1;
    }
    return messageLength;
}
