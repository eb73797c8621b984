#include "fuzz_support.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>

#include "common/activity_log.h"
#include "transport/aes128.h"

namespace fuzz {

void fail(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

namespace {

std::string folder;

// One second per log line: no two lines share a second of the minute with the
// first one often enough to look like a loop.
long long steppingClock() {
    static std::atomic<long long> seconds{1700000000};
    return ++seconds;
}

}  // namespace

void initializeProcess() {
    WSADATA data;
    WSAStartup(0x0202, &data);

    std::string pattern = (std::filesystem::temp_directory_path() / "vxhid-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("vxhid fuzz: working folder");
        std::abort();
    }
    folder = pattern;

    activity_log_testing::reset();
    activity_log_testing::setClock(steppingClock);
    logLevel = 5;
}

const std::string& workFolder() { return folder; }

uint8_t InputReader::byte() { return position_ < size_ ? data_[position_++] : 0; }

uint16_t InputReader::u16() {
    uint16_t high = byte();
    return static_cast<uint16_t>(high << 8 | byte());
}

std::string InputReader::bytes(size_t count) {
    if (count > remaining()) count = remaining();
    std::string result(reinterpret_cast<const char*>(data_ + position_), count);
    position_ += count;
    return result;
}

std::string InputReader::rest() { return bytes(remaining()); }

SocketPair::SocketPair(int type) {
    int ends[2];
    if (socketpair(AF_UNIX, type, 0, ends) != 0) {
        std::perror("vxhid fuzz: socketpair");
        std::abort();
    }
    agent = ends[0];
    peer = ends[1];
}

SocketPair::~SocketPair() { closePeer(); }

void SocketPair::makeAgentNonBlocking() {
    unsigned long on = 1;
    FUZZ_CHECK(ioctlsocket(agent, FIONBIO, &on) == 0);
}

void SocketPair::peerWrite(const std::string& bytes) {
    size_t written = 0;
    do {
        ssize_t n = send(peer, bytes.data() + written, bytes.size() - written, 0);
        FUZZ_CHECK(n >= 0);
        written += static_cast<size_t>(n);
    } while (written < bytes.size());
}

void SocketPair::peerShutdownSend() { shutdown(peer, SHUT_WR); }

void SocketPair::closePeer() {
    if (peer != INVALID_SOCKET) close(peer);
    peer = INVALID_SOCKET;
}

std::vector<std::string> SocketPair::peerReadAll() {
    int type = 0;
    socklen_t length = sizeof type;
    FUZZ_CHECK(getsockopt(peer, SOL_SOCKET, SO_TYPE, &type, &length) == 0);
    std::vector<std::string> records;
    std::string stream;
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) {
            FUZZ_CHECK(errno == EAGAIN || errno == EWOULDBLOCK);
            break;
        }
        if (n == 0 && type == SOCK_STREAM) break;  // the agent's end is closed
        if (type == SOCK_SEQPACKET) {
            if (n == 0) break;
            records.emplace_back(buffer, static_cast<size_t>(n));
        } else {
            stream.append(buffer, static_cast<size_t>(n));
        }
    }
    if (type == SOCK_STREAM) records.push_back(stream);
    return records;
}

std::string encryptBlocks(const std::string& bytes, const unsigned char* key) {
    std::string result = bytes;
    for (size_t i = 0; i + 16 <= result.size(); i += 16) {
        unsigned char* block = reinterpret_cast<unsigned char*>(&result[i]);
        encryptBlock(block, key, block);
    }
    return result;
}

int expectedReceive(const std::string& bytes, const unsigned char* key, int limit, bool peerEnded,
                    std::string& message) {
    const int pending = static_cast<int>(bytes.size());
    // With nothing there the peer has either closed (0) or is silent (the
    // time-out, -1).
    const int read = pending > 0 ? (pending < limit ? pending : limit) : (peerEnded ? 0 : -1);
    if (read < 1) return read;
    if (read % 16 != 0) return -1;
    const unsigned char* frameBytes = reinterpret_cast<const unsigned char*>(bytes.data());
    unsigned char header[16];
    decryptBlock(frameBytes, key, header);
    const int fill = header[0];
    const int blockBytes = read - 16;
    if (fill > 15) return 0;
    if (fill > blockBytes) return -1;
    for (int offset = 0; offset < blockBytes; offset += 16) {
        unsigned char plain[16];
        decryptBlock(frameBytes + 16 + offset, key, plain);
        message.append(reinterpret_cast<const char*>(plain), 16);
    }
    message.resize(static_cast<size_t>(blockBytes - fill));
    return blockBytes - fill;
}

}  // namespace fuzz
