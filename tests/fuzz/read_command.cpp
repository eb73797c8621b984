// Reading one command as the session loop does: readSocket asks CanRead,
// which looks at the first header block to wait until the whole frame it
// announces has arrived, then receives, acknowledges and decrypts it, and
// keeps the text up to its first zero byte. The peer's frame may arrive in
// two pieces: the first is there at once, the second arrives while CanRead
// waits (at its first sleep, which the test seams record instead of waiting).
//
// Input: 16 bytes session key, 2 bytes split (where the second piece begins;
// 0 or past the end: one piece), 1 byte flags, then the peer's bytes.
//   flags: bit 0 encrypts every whole block of the peer's bytes under the
//          session key first, so the input can spell a plain header;
//          bit 1 the peer closes its sending side after its last piece,
//          else it stays silent. With nothing to send the peer closes (a
//          silent one would only make CanRead wait out its time).
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "platform/platform.h"
#include "session/dnc_session.h"
#include "test_support.h"
#include "transport/aes128.h"
#include "transport/frame_limits.h"
#include "transport/secure_socket.h"
#include "transport/session_encryptor.h"

namespace {

const int kCommandLimit = 2048;  // what readSocket asks receiveMessage for
const size_t kMaxPeerBytes = frame::kFrameBufferSize + 64;

// The second piece, written by the first sleep of CanRead.
struct LatePiece {
    fuzz::SocketPair* pair = nullptr;
    std::string bytes;
    bool closeAfter = false;
    bool delivered = false;
} late;

void sleepAndDeliver(unsigned milliseconds) {
    testing_support::ScopedSeams::sleeps().push_back(milliseconds);
    if (late.pair == nullptr || late.delivered) return;
    late.delivered = true;
    late.pair->peerWrite(late.bytes);
    if (late.closeAfter) late.pair->peerShutdownSend();
}

// CanRead's rule: the pending bytes are a whole frame when there are at least
// 16, at least as many as the header announces, and a whole number of blocks
// of 16.
bool wholeFrame(const std::string& pending, const unsigned char* key) {
    if (pending.size() < 16) return false;
    unsigned char header[16];
    decryptBlock(reinterpret_cast<const unsigned char*>(pending.data()), key, header);
    const size_t announced = header[1] * 256u + header[2];
    return pending.size() >= announced && pending.size() % 16 == 0;
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
    size_t split = input.u16();
    const uint8_t flags = input.byte();
    std::string peerBytes = input.bytes(kMaxPeerBytes);
    if ((flags & 1) != 0) peerBytes = fuzz::encryptBlocks(peerBytes, key);
    const bool peerCloses = (flags & 2) != 0 || peerBytes.empty();
    if (split == 0 || split > peerBytes.size()) split = peerBytes.size();
    const std::string first = peerBytes.substr(0, split);
    const bool twoPieces = split < peerBytes.size();

    testing_support::ScopedSeams seams;
    platform::seams().sleepMs = sleepAndDeliver;
    fuzz::SocketPair pair(SOCK_STREAM);
    pair.makeAgentNonBlocking();
    late = LatePiece{&pair, peerBytes.substr(split), peerCloses, false};
    if (!first.empty()) pair.peerWrite(first);
    if (late.bytes.empty()) {
        late.delivered = true;
        if (peerCloses) pair.peerShutdownSend();
    }

    DncSession session;
    session.ClientSocket = new vSecureSocket;
    session.ClientSocket->handle = pair.agent;
    session.ClientSocket->connected = true;
    std::memcpy(session.SessionEncryptor->sessionKey, key, sizeof key);

    const std::string stale = "stale";
    std::string command = stale;
    const int result = session.readSocket(command);
    const bool secondPieceRead = late.delivered && !late.bytes.empty();
    late = LatePiece{};

    if (peerBytes.empty()) {
        // Nothing ever waits, so nothing is read or acknowledged: the three
        // attempts of CanRead run out and the time-out ends the session.
        FUZZ_CHECK(result == -1 && session.done && command == stale);
        FUZZ_CHECK(pair.peerReadAll().front().empty());
        session.ShutdownThread();
        return 0;
    }
    // CanRead waits for the rest exactly when the first piece is not yet a
    // whole frame; the read then takes both pieces.
    if (twoPieces) FUZZ_CHECK(secondPieceRead == !wholeFrame(first, key));
    std::string message;
    const int expected = fuzz::expectedReceive(secondPieceRead ? peerBytes : first, key,
                                               kCommandLimit, peerCloses, message);
    FUZZ_CHECK(result == expected);
    FUZZ_CHECK(!session.done);
    FUZZ_CHECK(pair.peerReadAll().front() == "*");
    // The command is the message's text up to its first zero byte.
    FUZZ_CHECK(command == (result >= 1 ? message.substr(0, message.find('\0')) : stale));
    session.ShutdownThread();
    return 0;
}
