#pragma once
// A scripted stand-in for the agent on 127.0.0.1, for the peer tests. It does
// the agent's side with the agent's own cipher object and reads each frame
// with one socket read, as the agent does, so a peer that split its frames
// or got a code wrong fails against it.
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "peer/cnc_peer.h"
#include "platform/platform.h"
#include "transport/session_encryptor.h"

#if __has_include(<sys/select.h>)
#include <sys/select.h>
#endif

namespace peer_test {

constexpr int kWaitMs = 3000;
inline const peer::Key kKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                               0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
inline const char kKeyHex[] = "00112233445566778899AABBCCDDEEFF";

inline std::string announcementText() {
    std::string text = "Stand-in agent for the CNC peer tests, waiting for a session code";
    text.resize(peer::kAnnouncementLength, '.');
    return text;
}

// The frame the agent's cipher object builds for message (at most 2048 bytes).
inline std::string agentFrame(SessionEncryptor& cipher, const std::string& message) {
    unsigned char staging[2048 + 16] = {};
    std::memcpy(staging, message.data(), message.size());
    int length = cipher.encodeFrame(staging, static_cast<int>(message.size()));
    return std::string(reinterpret_cast<char*>(cipher.frameBuffer), static_cast<size_t>(length));
}

// The agent's side of one connection, run by a test's script on a thread of
// its own. What it sees is recorded and read by the test after join().
class FakeAgent {
public:
    FakeAgent() : cipher(std::make_unique<SessionEncryptor>()) {
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = 0;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 1);
        socklen_t size = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }

    ~FakeAgent() {
        join();
        if (connection_ != INVALID_SOCKET) closesocket(connection_);
        closesocket(listener_);
    }

    int port() const { return port_; }

    void start(std::function<void(FakeAgent&)> script) {
        thread_ = std::thread([this, script] {
            if (acceptConnection()) script(*this);
        });
    }

    void join() {
        if (thread_.joinable()) thread_.join();
    }

    // ---- the agent's side, called by the script ----

    std::string receiveOnce(int limit) {
        std::vector<char> buffer(static_cast<size_t>(limit));
        int count = static_cast<int>(recv(connection_, buffer.data(), limit, 0));
        return count > 0 ? std::string(buffer.data(), static_cast<size_t>(count)) : std::string();
    }

    void sendBytes(const std::string& bytes) {
        send(connection_, bytes.data(), static_cast<int>(bytes.size()), 0);
    }

    // Announcement, session code, response, confirmation and verdict, as the
    // agent does them; forceFailed answers "200 Failed" whatever comes back.
    bool handshake(bool forceFailed = false) {
        sendBytes(announcementText());
        std::string code = receiveOnce(16);
        sessionCodeBytes = static_cast<int>(code.size());
        if (code.size() != 16) return false;
        cipher->makeResponseCode(reinterpret_cast<const unsigned char*>(code.data()));
        sendBytes(std::string(reinterpret_cast<const char*>(cipher->encryptedResponse), 16));
        std::string confirmation = receiveOnce(16);
        if (confirmation.size() != 16) return false;
        confirmed = cipher->checkConfirmationCode(
                        reinterpret_cast<const unsigned char*>(confirmation.data())) &&
                    !forceFailed;
        sendFrame(confirmed ? "100 Confirmed" : "200 Failed");
        return confirmed;
    }

    // One read of at most 2048 bytes is one frame; acknowledged, then opened.
    std::string readFrame() {
        int count = static_cast<int>(
            recv(connection_, reinterpret_cast<char*>(cipher->frameBuffer), 2048, 0));
        sendBytes("*");
        frameSizes.push_back(count);
        unsigned char output[2048 + 32] = {};
        int length = count > 0 ? cipher->decodeFrame(output, count) : -1;
        std::string message =
            length >= 0 ? std::string(reinterpret_cast<char*>(output), static_cast<size_t>(length))
                        : std::string("<bad frame>");
        commands.push_back(message);
        return message;
    }

    // The agent's frame of message in one write, then the wait for the ack.
    void sendFrame(const std::string& message, int splitAt = 0) {
        sendBytes(frameOf(message).substr(0, splitAt > 0 ? splitAt : std::string::npos));
        if (splitAt > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            sendBytes(frameOf(message).substr(static_cast<size_t>(splitAt)));
        }
        acks += receiveOnce(1);
    }

    std::string frameOf(const std::string& message) { return agentFrame(*cipher, message); }

    // Waits until the peer hangs up (or the receive time-out passes).
    void waitForPeerToClose() { receiveOnce(1); }

    void closeConnection() {
        closesocket(connection_);
        connection_ = INVALID_SOCKET;
    }

    std::unique_ptr<SessionEncryptor> cipher;
    int sessionCodeBytes = -1;
    bool confirmed = false;
    std::vector<std::string> commands;
    std::vector<int> frameSizes;
    std::string acks;

private:
    bool acceptConnection() {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval wait{kWaitMs / 1000, 0};
        if (select(static_cast<int>(listener_) + 1, &readable, nullptr, nullptr, &wait) != 1) {
            return false;
        }
        connection_ = accept(listener_, nullptr, nullptr);
        platform::setSocketTimeout(connection_, SO_RCVTIMEO, kWaitMs);
        return connection_ != INVALID_SOCKET;
    }

    SOCKET listener_ = INVALID_SOCKET;
    SOCKET connection_ = INVALID_SOCKET;
    int port_ = 0;
    std::thread thread_;
};

inline peer::HandshakeOptions withKey() {
    peer::HandshakeOptions options;
    options.useKey = true;
    options.key = kKey;
    return options;
}

}  // namespace peer_test
