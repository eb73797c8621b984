// One encrypted receive: receiveMessage reads whatever a single socket read
// returns, acknowledges it and opens it as a frame. The peer's bytes come
// from the input and reach the session through a real local socket.
//
// Input: 16 bytes session key, 2 bytes receive limit, 1 byte flags, then the
// bytes the peer has written when the session reads.
//   limit: top bit clear gives 1 to 10240; set gives a limit the session
//          must refuse (0 or below, or above 10240).
//   flags: bit 0 encrypts every whole block of the peer's bytes under the
//          session key first, so the input can spell a plain header;
//          bit 1 the peer then closes its sending side (a later read gives
//          0), else it stays silent (a read finds nothing: the time-out);
//          bit 2 the peer is gone altogether: the read still gets what
//          was written (or 0), and the acknowledgement fails.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "session/dnc_session.h"
#include "test_support.h"
#include "transport/aes128.h"
#include "transport/frame_limits.h"
#include "transport/secure_socket.h"
#include "transport/session_encryptor.h"

namespace {

const unsigned char kUntouched = 0xA5;
// More than any accepted limit, so a read can also be cut by the limit.
const size_t kMaxPeerBytes = frame::kFrameBufferSize + 64;

int receiveLimit(uint16_t raw) {
    if ((raw & 0x8000) == 0) return 1 + raw % frame::kFrameBufferSize;
    int amount = raw & 0x3FFF;
    return (raw & 0x4000) != 0 ? -amount : frame::kFrameBufferSize + 1 + amount;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initializeProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    unsigned char key[16] = {};
    std::string keyBytes = input.bytes(16);
    std::memcpy(key, keyBytes.data(), keyBytes.size());
    const int limit = receiveLimit(input.u16());
    const uint8_t flags = input.byte();
    std::string peerBytes = input.bytes(kMaxPeerBytes);
    if ((flags & 1) != 0) peerBytes = fuzz::encryptBlocks(peerBytes, key);
    const bool peerCloses = (flags & 2) != 0;
    const bool peerGone = (flags & 4) != 0;
    const bool limitAccepted = limit >= 1 && limit <= frame::kFrameBufferSize;

    testing_support::ScopedSeams seams;
    fuzz::SocketPair pair(SOCK_STREAM);
    pair.makeAgentNonBlocking();
    if (!peerBytes.empty()) pair.peerWrite(peerBytes);
    if (peerCloses) pair.peerShutdownSend();
    if (peerGone) pair.closePeer();

    DncSession session;
    session.ClientSocket = new vSecureSocket;
    session.ClientSocket->handle = pair.agent;
    session.ClientSocket->connected = true;
    std::memcpy(session.SessionEncryptor->sessionKey, key, sizeof key);

    std::string message;
    const int expected =
        fuzz::expectedReceive(peerBytes, key, limit, peerCloses || peerGone, message);

    // Exactly as large as the caller promises, so a write past it is caught.
    const size_t capacity = limitAccepted ? static_cast<size_t>(limit) : 16;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[capacity]);
    std::memset(buffer.get(), kUntouched, capacity);

    const int result = session.receiveMessage(buffer.get(), limit, true);

    if (!limitAccepted) {
        FUZZ_CHECK(result == -1);
        for (size_t i = 0; i < capacity; ++i) FUZZ_CHECK(buffer[i] == kUntouched);
        if (!peerGone) FUZZ_CHECK(pair.peerReadAll().front().empty());
        session.ShutdownThread();
        return 0;
    }
    FUZZ_CHECK(result == expected);
    // Every read is acknowledged with one byte, whatever it brought.
    if (!peerGone) FUZZ_CHECK(pair.peerReadAll().front() == "*");

    const int pending = static_cast<int>(peerBytes.size());
    const int read = pending < limit ? pending : limit;
    if (result >= 0 && read >= 16 && read % 16 == 0) {
        FUZZ_CHECK(std::memcmp(buffer.get(), message.data(), message.size()) == 0);
        // The message is followed by zeros up to the frame's length, so it
        // reads as a string; nothing after the frame is touched.
        for (int i = result; i < read; ++i) FUZZ_CHECK(buffer[i] == 0);
        for (size_t i = static_cast<size_t>(read); i < capacity; ++i) {
            FUZZ_CHECK(buffer[i] == kUntouched);
        }
    }
    session.ShutdownThread();
    return 0;
}
