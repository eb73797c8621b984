#pragma once
// Helpers shared by the fuzz targets: a check that aborts so libFuzzer keeps
// the input, a reader that takes the input apart, a quiet activity log, and a
// connected pair of local sockets of which the agent's code uses one end.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// Aborts with the condition's text when it does not hold.
#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : fuzz::fail(__FILE__, __LINE__, #condition))

namespace fuzz {

[[noreturn]] void fail(const char* file, int line, const char* condition);

// Once per process, from LLVMFuzzerInitialize: starts the socket layer
// (SIGPIPE ignored), makes a fresh working folder under the temporary folder,
// and readies the activity log: level 5, so every log line is formatted, but
// no file open, and a clock that moves one second per line, so the
// runaway-loop guard never ends the process.
void initializeProcess();

// The working folder made by initializeProcess: the targets' files go there.
const std::string& workFolder();

// Takes the fuzz input apart from the front; reads past the end give zeros
// or empty strings.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte();
    uint16_t u16();  // big-endian
    std::string bytes(size_t count);
    std::string rest();
    size_t remaining() const { return size_ - position_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

// A connected pair of local sockets (socketpair, AF_UNIX). agent goes to the
// code under test (which closes it); peer is the test's side.
class SocketPair {
public:
    explicit SocketPair(int type);  // SOCK_STREAM or SOCK_SEQPACKET
    ~SocketPair();
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    SOCKET agent = INVALID_SOCKET;
    SOCKET peer = INVALID_SOCKET;

    // A receive with nothing pending fails at once with the time-out code,
    // as a receive time-out would after its wait.
    void makeAgentNonBlocking();
    // Writes all bytes on the peer's side (one record on SOCK_SEQPACKET).
    void peerWrite(const std::string& bytes);
    void peerShutdownSend();
    void closePeer();
    // Everything the agent has sent and the peer has not read yet, one entry
    // per record (SOCK_SEQPACKET) or one entry in all (SOCK_STREAM, empty
    // when nothing is pending).
    std::vector<std::string> peerReadAll();
};

// AES-128 of every whole 16-byte block of bytes under key; a trailing partial
// block stays as it is.
std::string encryptBlocks(const std::string& bytes, const unsigned char* key);

// What one encrypted receive with this limit must return when the peer has
// written bytes and then stopped (peerEnded: closed its sending side, else
// silent): one read takes what is there up to the limit and is judged as a
// whole frame. A message, when there is one, goes to message.
int expectedReceive(const std::string& bytes, const unsigned char* key, int limit, bool peerEnded,
                    std::string& message);

}  // namespace fuzz
