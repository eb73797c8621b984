// The opening handshake, doAuthentication, against a peer whose answers come
// from the input. The agent reads three times: the session code (16 bytes at
// most), the confirmation code (16) and the acknowledgement of its verdict
// (1). The peer answers each of the agent's messages with one piece of the
// input; a read takes what is pending up to its limit and leaves the rest for
// the next read, as on a TCP stream whose peer is quick. What each read gets
// is worked out here and travels as one record of a local SOCK_SEQPACKET
// pair, so the agent's socket code runs unchanged and the outcome never
// depends on thread timing.
//
// Input: 1 byte flags, then three pieces, each a length byte and that many
// bytes: piece 1 answers the announcement, piece 2 the response code, piece 3
// the verdict.
//   flags bits 0-1: once its pieces are read the peer stays silent (0: the
//                   next read finds nothing, as after a time-out), closes its
//                   sending side (1 or 3: the next read gives 0), or is gone
//                   before the handshake starts (2: the announcement fails);
//   flags bit 2:    piece 2 is preceded by the response code the agent is
//                   about to send, XORed with the piece's first 16 bytes, so
//                   the right confirmation (the echo) and its near misses are
//                   within reach.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "session/dnc_session.h"
#include "test_support.h"
#include "transport/aes128.h"
#include "transport/secure_socket.h"
#include "transport/session_encryptor.h"

namespace {

enum PeerEnd { kSilent, kCloses, kGone };
const int kRunning = 3;
const int kEnded = 5;
const int kAnnouncementLength = 83;

const unsigned char* bytesOf(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// The response code the agent builds from this session code, provided the
// clock does not reach the next second before it does.
std::string expectedResponse(const std::string& sessionCode) {
    unsigned char key[16];
    decryptBlock(bytesOf(sessionCode), builtInKey, key);
    unsigned char response[16];
    std::memcpy(response, key, 8);
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    for (int i = 8; i < 16; ++i) response[i] = static_cast<unsigned char>(std::rand() & 0xFF);
    unsigned char encrypted[16];
    encryptBlock(response, builtInKey, encrypted);
    return std::string(reinterpret_cast<const char*>(encrypted), 16);
}

std::string decrypt(const std::string& block, const unsigned char* key) {
    unsigned char plain[16];
    decryptBlock(bytesOf(block), key, plain);
    return std::string(reinterpret_cast<const char*>(plain), 16);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initializeProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    const uint8_t flags = input.byte();
    const int endBits = flags & 3;
    const PeerEnd peerEnd = endBits == 0 ? kSilent : endBits == 2 ? kGone : kCloses;
    const bool echo = (flags & 4) != 0;
    std::string pieces[3];
    for (std::string& piece : pieces) piece = input.bytes(input.byte());

    // What each of the agent's reads gets: its bytes, or 0 or -1 when nothing
    // is pending. No read is answered after one that found nothing.
    const int limits[3] = {16, 16, 1};
    std::vector<std::string> records;
    int results[3] = {-1, -1, -1};
    std::string pending;
    for (int k = 0; k < 3; ++k) {
        std::string piece = pieces[k];
        if (k == 1 && echo && records.size() == 1 && records[0].size() == 16) {
            std::string echoed = expectedResponse(records[0]);
            for (size_t i = 0; i < 16 && i < piece.size(); ++i) echoed[i] ^= piece[i];
            piece = echoed + (piece.size() > 16 ? piece.substr(16) : std::string());
        }
        pending += piece;
        const size_t n =
            pending.size() < static_cast<size_t>(limits[k]) ? pending.size() : limits[k];
        if (n == 0) {
            results[k] = peerEnd == kSilent ? -1 : 0;
            break;
        }
        records.push_back(pending.substr(0, n));
        pending.erase(0, n);
        results[k] = static_cast<int>(n);
    }

    testing_support::ScopedSeams seams;
    fuzz::SocketPair pair(SOCK_SEQPACKET);
    pair.makeAgentNonBlocking();
    for (const std::string& record : records) pair.peerWrite(record);
    if (peerEnd == kCloses) pair.peerShutdownSend();
    if (peerEnd == kGone) pair.closePeer();

    DncSession session;
    session.ClientSocket = new vSecureSocket;
    session.ClientSocket->handle = pair.agent;
    session.ClientSocket->connected = true;
    session.sessionState = kRunning;

    const bool authenticated = session.doAuthentication();

    FUZZ_CHECK(session.sessionState == (authenticated ? kRunning : kEnded));
    if (peerEnd == kGone) {
        // The failed announcement leaves the connection marked broken, and
        // nothing the agent sends could arrive anyway.
        FUZZ_CHECK(!authenticated);
        session.ShutdownThread();
        return 0;
    }
    unsigned char sessionKey[16] = {};
    if (results[0] == 16) {
        decryptBlock(bytesOf(records[0]), builtInKey, sessionKey);
        FUZZ_CHECK(std::memcmp(session.SessionEncryptor->sessionKey, sessionKey, 16) == 0);
        FUZZ_CHECK(std::memcmp(session.sessionCode, records[0].data(), 16) == 0);
    }

    // The agent's side: the announcement, then the response code once a
    // whole session code came, then the verdict once a whole confirmation came.
    std::vector<std::string> sent = pair.peerReadAll();
    FUZZ_CHECK(!sent.empty() && sent[0].size() == kAnnouncementLength);
    for (char c : sent[0]) FUZZ_CHECK(c >= 32 && c <= 126);
    if (results[0] != 16) {
        FUZZ_CHECK(!authenticated && sent.size() == 1);
        session.ShutdownThread();
        return 0;
    }
    FUZZ_CHECK(sent.size() >= 2 && sent[1].size() == 16);
    const std::string response = decrypt(sent[1], builtInKey);
    FUZZ_CHECK(std::memcmp(response.data(), sessionKey, 8) == 0);
    if (results[1] != 16) {
        FUZZ_CHECK(!authenticated && sent.size() == 2);
        session.ShutdownThread();
        return 0;
    }

    // Bytes 8 to 15 of the decrypted confirmation must repeat the response's.
    const std::string confirmation = decrypt(records[1], builtInKey);
    const bool confirmed = confirmation.compare(8, 8, response, 8, 8) == 0;
    FUZZ_CHECK(authenticated == confirmed);
    FUZZ_CHECK(sent.size() == 3 && sent[2].size() == 32);
    const std::string header = decrypt(sent[2].substr(0, 16), sessionKey);
    const std::string text = decrypt(sent[2].substr(16), sessionKey);
    const std::string verdict = confirmed ? "100 Confirmed" : "200 Failed";
    const size_t fill = 16 - verdict.size();
    FUZZ_CHECK(header == std::string(1, static_cast<char>(fill)) + std::string("\x00\x20", 2) +
                             std::string(13, '*'));
    FUZZ_CHECK(text == verdict + std::string(fill, '*'));
    session.ShutdownThread();
    return 0;
}
