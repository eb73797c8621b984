#include "peer/cnc_peer.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "common/text_format.h"

namespace peer {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBlock = frame::kBlockSize;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

Clock::time_point deadlineAfter(int timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
}

bool isConnectionGone(int error) {
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN;
}

}  // namespace

// ---- CncPeer ----------------------------------------------------------------

CncPeer::~CncPeer() { close(); }

Status CncPeer::fail(Status status, const std::string& reason) {
    error_ = reason;
    return status;
}

void CncPeer::close() {
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
}

bool CncPeer::connect(const std::string& host, int port, int timeoutMs) {
    close();
    if (port < 1 || port > 65535) {
        fail(Status::kFailed, formatText("port %d is out of range", port));
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    std::string service = formatText("%d", port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
        fail(Status::kFailed, "cannot resolve host " + host);
        return false;
    }
    sockaddr_in address{};
    bool usable = found->ai_addr != nullptr && found->ai_addrlen >= sizeof address;
    if (usable) std::memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);
    if (!usable) {
        fail(Status::kFailed, "no IPv4 address for host " + host);
        return false;
    }

    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        fail(Status::kFailed, formatText("cannot create a socket (error %d)", WSAGetLastError()));
        return false;
    }
    if (!source_.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = inet_addr(source_.c_str());
        if (local.sin_addr.s_addr == INADDR_NONE ||
            bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
            int error = WSAGetLastError();
            closesocket(s);
            fail(Status::kFailed,
                 formatText("cannot bind to source address %s (error %d)", source_.c_str(), error));
            return false;
        }
    }
    std::string where = formatText("%s:%d", host.c_str(), port);

    // Connect without blocking so the wait can be limited, then go back to
    // blocking mode for the exchange.
    unsigned long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) {
            closesocket(s);
            fail(Status::kFailed,
                 formatText("cannot connect to %s (error %d)", where.c_str(), error));
            return false;
        }
        int ready = platform::waitForSocket(s, platform::SocketWait::writable, timeoutMs);
        int socketError = 0;
        socklen_t size = sizeof socketError;
        if (ready > 0 && getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socketError),
                                    &size) != 0) {
            socketError = WSAGetLastError();
        }
        if (ready <= 0 || socketError != 0) {
            closesocket(s);
            if (ready == 0) {
                fail(Status::kTimedOut, formatText("cannot connect to %s: no answer in %d ms",
                                                   where.c_str(), timeoutMs));
            } else {
                fail(Status::kFailed, formatText("cannot connect to %s (error %d)", where.c_str(),
                                                 ready < 0 ? WSAGetLastError() : socketError));
            }
            return false;
        }
    }
    nonBlocking = 0;
    ioctlsocket(s, FIONBIO, &nonBlocking);

    // Every write goes out at once, so a test that splits a frame over two
    // writes really sends two segments.
    int noDelay = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    // A send never blocks for ever on an agent that stopped reading.
    platform::setSocketTimeout(s, SO_SNDTIMEO, timeoutMs > 0 ? timeoutMs : kDefaultTimeoutMs);
    socket_ = s;
    announcement_.clear();
    verdict_.clear();
    return true;
}

int CncPeer::waitReadable(int timeoutMs) {
    Clock::time_point deadline = deadlineAfter(timeoutMs);
    for (;;) {
        int ready =
            platform::waitForSocket(socket_, platform::SocketWait::readable, remainingMs(deadline));
        if (ready >= 0) return ready > 0 ? 1 : 0;
        if (WSAGetLastError() != WSAEINTR) return -1;
    }
}

Status CncPeer::receiveSome(std::string& bytes, int maxLength, int timeoutMs) {
    bytes.clear();
    if (socket_ == INVALID_SOCKET) return fail(Status::kFailed, "not connected");
    if (maxLength < 1) return fail(Status::kFailed, "nothing to read into");
    int ready = waitReadable(timeoutMs);
    if (ready < 0) {
        return fail(Status::kFailed,
                    formatText("waiting to read failed (error %d)", WSAGetLastError()));
    }
    if (ready == 0) return fail(Status::kTimedOut, formatText("nothing came in %d ms", timeoutMs));

    char buffer[kMaxFrameLength];
    int limit = maxLength < kMaxFrameLength ? maxLength : kMaxFrameLength;
    int received = static_cast<int>(recv(socket_, buffer, limit, 0));
    if (received == 0) return fail(Status::kClosed, "the agent closed the connection");
    if (received < 0) {
        int error = WSAGetLastError();
        if (isConnectionGone(error)) {
            return fail(Status::kClosed,
                        formatText("the agent reset the connection (error %d)", error));
        }
        return fail(Status::kFailed, formatText("receive failed (error %d)", error));
    }
    bytes.assign(buffer, static_cast<size_t>(received));
    return Status::kOk;
}

Status CncPeer::receiveExact(std::string& bytes, int length, int timeoutMs) {
    bytes.clear();
    if (length < 0) return fail(Status::kFailed, "negative length");
    Clock::time_point deadline = deadlineAfter(timeoutMs);
    std::string chunk;
    while (bytes.size() < static_cast<size_t>(length)) {
        int wanted = length - static_cast<int>(bytes.size());
        Status status = receiveSome(chunk, wanted, remainingMs(deadline));
        if (status != Status::kOk) {
            if (!bytes.empty()) {
                error_ = formatText("%s after %d of %d bytes", error_.c_str(),
                                    static_cast<int>(bytes.size()), length);
            }
            return status;
        }
        bytes += chunk;
    }
    return Status::kOk;
}

Status CncPeer::receiveAck(int timeoutMs) {
    std::string ack;
    Status status = receiveSome(ack, 1, timeoutMs);
    if (status != Status::kOk) {
        error_ = "no acknowledgement: " + error_;
        return status;
    }
    if (static_cast<unsigned char>(ack[0]) != frame::kAckByte) {
        return fail(Status::kFailed, formatText("acknowledgement byte 0x%02X is not '*'",
                                                static_cast<unsigned char>(ack[0])));
    }
    return Status::kOk;
}

bool CncPeer::sendRaw(const std::string& bytes) {
    if (socket_ == INVALID_SOCKET) {
        fail(Status::kFailed, "not connected");
        return false;
    }
    size_t sent = 0;
    while (sent < bytes.size()) {
        size_t left = bytes.size() - sent;
        int chunk =
            left > static_cast<size_t>(kMaxFrameLength) ? kMaxFrameLength : static_cast<int>(left);
        int count = static_cast<int>(send(socket_, bytes.data() + sent, chunk, 0));
        if (count <= 0) {
            fail(Status::kFailed, formatText("send failed (error %d)", WSAGetLastError()));
            return false;
        }
        sent += static_cast<size_t>(count);
    }
    return true;
}

Status CncPeer::sendCommand(const std::string& message, int timeoutMs) {
    std::string frameBytes;
    if (!encodeFrame(key_, message, frameBytes)) {
        return fail(Status::kFailed, "a message longer than 2048 bytes does not fit a frame");
    }
    if (!sendRaw(frameBytes)) return Status::kFailed;
    return receiveAck(timeoutMs);
}

Status CncPeer::readAnswer(std::string& message, int timeoutMs, bool acknowledge) {
    message.clear();
    FrameReader reader(key_);
    Status status = receiveFrame(reader, timeoutMs, [&reader](const std::string& bytes) {
        size_t consumed = 0;
        return reader.feed(bytes.data(), bytes.size(), consumed);
    });
    if (status != Status::kOk) return status;
    // Only a frame that arrived whole and opens is acknowledged: the agent
    // takes the acknowledgement as the sign that its answer was received.
    message = reader.message();
    if (acknowledge) return sendAck();
    return Status::kOk;
}

Status CncPeer::receiveFrame(const FrameReader& reader, int timeoutMs,
                             const std::function<FrameReader::Result(const std::string&)>& feed) {
    Clock::time_point deadline = deadlineAfter(timeoutMs);
    std::string bytes;
    for (;;) {
        // Exactly what the frame still needs, so no byte of what follows is taken.
        int wanted = static_cast<int>(reader.wanted());
        Status status = receiveSome(bytes, wanted, remainingMs(deadline));
        if (status != Status::kOk) return frameCutShort(reader, status);
        FrameReader::Result result = feed(bytes);
        if (result == FrameReader::Result::frame) return Status::kOk;
        if (result == FrameReader::Result::malformed) return fail(Status::kFailed, reader.error());
    }
}

Status CncPeer::frameCutShort(const FrameReader& reader, Status status) {
    // Nothing read: the connection is still in step and the caller may go on.
    int received = static_cast<int>(reader.received());
    if (received == 0) return status;
    int length = reader.frameLength();
    if (length == 0) {
        return fail(Status::kFailed, formatText("frame cut short: %s after %d of %d bytes",
                                                error_.c_str(), received, kBlock));
    }
    std::string reason = error_;
    if (received > kBlock) {
        reason = formatText("%s after %d of %d bytes", error_.c_str(), received - kBlock,
                            length - kBlock);
    }
    return fail(Status::kFailed,
                formatText("frame of %d bytes cut short: %s", length, reason.c_str()));
}

Status CncPeer::sendAck() {
    std::string ack(1, static_cast<char>(frame::kAckByte));
    if (!sendRaw(ack)) return Status::kFailed;
    return Status::kOk;
}

Status CncPeer::waitForClose(int timeoutMs) {
    std::string bytes;
    Status status = receiveSome(bytes, kMaxFrameLength, timeoutMs);
    if (status == Status::kOk) {
        return fail(Status::kFailed,
                    formatText("%d more bytes came instead of the end of the connection",
                               static_cast<int>(bytes.size())));
    }
    if (status == Status::kTimedOut) error_ = "the agent kept the connection open";
    return status;
}

bool CncPeer::receiveAnnouncement(PeerHandshake& exchange, int timeoutMs, std::string& toSend) {
    std::string bytes;
    size_t consumed = 0;
    Status status = receiveSome(bytes, static_cast<int>(exchange.wanted()), timeoutMs);
    if (status != Status::kOk) {
        error_ = "no announcement: " + error_;
        // An agent with an allowed-peers list closes a connection from any
        // other address before it announces itself.
        if (status == Status::kClosed) {
            error_ += " (this address may be off the agent's allowed-peers list)";
        }
        return false;
    }
    exchange.feed(bytes.data(), bytes.size(), consumed, toSend);
    announcement_ = exchange.announcement();
    // The announcement is one write of a fixed length; should it arrive in
    // pieces, the rest follows at once, and the agent then waits for us.
    while (exchange.stage() == PeerHandshake::Stage::announcement) {
        status = receiveSome(bytes, static_cast<int>(exchange.wanted()), kAnnouncementQuietMs);
        if (status == Status::kTimedOut) {
            exchange.endAnnouncement(toSend);
            break;
        }
        if (status != Status::kOk) {
            error_ = "announcement cut short: " + error_;
            return false;
        }
        exchange.feed(bytes.data(), bytes.size(), consumed, toSend);
        announcement_ = exchange.announcement();
    }
    return true;
}

bool CncPeer::sendSessionCode(const std::string& code, const HandshakeOptions& options) {
    if (options.splitSessionCode == 0) return sendRaw(code);
    size_t first = static_cast<size_t>(options.splitSessionCode);
    if (!sendRaw(code.substr(0, first))) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(options.splitPauseMs));
    return sendRaw(code.substr(first));
}

bool CncPeer::handshake(const HandshakeOptions& options, int timeoutMs) {
    announcement_.clear();
    verdict_.clear();
    if (socket_ == INVALID_SOCKET) {
        fail(Status::kFailed, "not connected");
        return false;
    }
    if (options.splitSessionCode < 0 || options.splitSessionCode >= kBlock) {
        fail(Status::kFailed, "the session code splits at 1 to 15 bytes, or not at all");
        return false;
    }
    PeerHandshake exchange(options);
    std::string toSend;
    if (!receiveAnnouncement(exchange, timeoutMs, toSend)) return false;
    key_ = exchange.sessionKey();
    if (!sendSessionCode(toSend, options)) return false;

    // The response code, whole, then the confirmation.
    Clock::time_point deadline = deadlineAfter(timeoutMs);
    std::string bytes;
    size_t consumed = 0;
    int received = 0;
    toSend.clear();
    while (exchange.stage() == PeerHandshake::Stage::response) {
        Status status =
            receiveSome(bytes, static_cast<int>(exchange.wanted()), remainingMs(deadline));
        if (status != Status::kOk) {
            if (received > 0) {
                error_ = formatText("%s after %d of %d bytes", error_.c_str(), received, kBlock);
            }
            error_ = "no response code: " + error_;
            return false;
        }
        received += static_cast<int>(bytes.size());
        exchange.feed(bytes.data(), bytes.size(), consumed, toSend);
    }
    if (exchange.stage() == PeerHandshake::Stage::failed) {
        fail(Status::kFailed, exchange.error());
        return false;
    }
    if (!sendRaw(toSend)) return false;

    // The verdict frame, acknowledged as the options say.
    toSend.clear();
    Status status =
        receiveFrame(exchange.verdictFrame(), timeoutMs, [&](const std::string& frameBytes) {
            exchange.feed(frameBytes.data(), frameBytes.size(), consumed, toSend);
            if (exchange.stage() == PeerHandshake::Stage::verdict) {
                return FrameReader::Result::needMore;
            }
            return exchange.stage() == PeerHandshake::Stage::failed ? FrameReader::Result::malformed
                                                                    : FrameReader::Result::frame;
        });
    if (status == Status::kOk && !toSend.empty() && !sendRaw(toSend)) status = Status::kFailed;
    if (status != Status::kOk) {
        error_ = "no verdict: " + error_;
        return false;
    }
    verdict_ = exchange.verdict();
    if (exchange.stage() != PeerHandshake::Stage::confirmed) {
        fail(Status::kFailed, exchange.error());
        return false;
    }
    return true;
}

}  // namespace peer
