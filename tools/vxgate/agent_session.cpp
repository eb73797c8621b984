#include "agent_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/text_format.h"
#include "log.h"
#include "peer/probe_answer.h"

namespace vxgate {

namespace {

constexpr size_t kReadChunk = 4096;
const char kAck = static_cast<char>(frame::kAckByte);

std::string systemError(int error) { return std::strerror(error); }

long long millisOf(Millis length) { return static_cast<long long>(length.count()); }

}  // namespace

const char* stateName(AgentState state) {
    switch (state) {
        case AgentState::waiting:
            return "waiting";
        case AgentState::connecting:
            return "connecting";
        case AgentState::handshaking:
            return "handshaking";
        case AgentState::idle:
            return "idle";
        case AgentState::noop:
            return "noop";
        case AgentState::probing:
            return "probing";
        case AgentState::publishing:
            return "publishing";
        case AgentState::quitting:
            return "quitting";
        case AgentState::closed:
            return "closed";
    }
    return "?";
}

AgentSession::AgentSession(AgentContext& context, const AgentEntry& entry)
    : context_(context),
      entry_(entry),
      endpoint_{entry.name, entry.host, entry.port},
      scanTopic_(scanTopic(context.topicPrefix, entry.name)),
      actTimer_(context.loop.timers(), [this] { onActTimer(); }),
      deadline_(context.loop.timers(), [this] { onDeadline(); }) {}

AgentSession::~AgentSession() {
    if (lookUp_ != 0) context_.resolver.cancel(lookUp_);
    for (MqttLink::Ticket ticket : tickets_) context_.link.forget(ticket);
    closeSocket();
    if (holdsDialSlot_) context_.releaseDialSlot();
    if (probing_) context_.probeEnded();
}

void AgentSession::start(Millis spread) {
    state_ = AgentState::waiting;
    actTimer_.start(context_.jitter.between(Millis(0), spread));
}

// ---- dialling -------------------------------------------------------------

void AgentSession::dial() {
    if (stopping_) return;
    if (context_.takeDialSlot(dialPlace_, [this] {
            holdsDialSlot_ = true;
            connectNow();
        })) {
        holdsDialSlot_ = true;
        connectNow();
    }
}

void AgentSession::connectNow() {
    state_ = AgentState::connecting;
    deadline_.start(kAgentConnectTimeout);
    in_addr address{};
    if (inet_pton(AF_INET, entry_.host.c_str(), &address) == 1) {
        connectTo(address);
        return;
    }
    lookUp_ = context_.resolver.lookUp(entry_.host,
                                       [this](bool ok, in_addr found, const std::string& error) {
                                           lookUp_ = 0;
                                           if (!ok) {
                                               fail("cannot look up " + entry_.host + ": " + error);
                                               return;
                                           }
                                           connectTo(found);
                                       });
}

void AgentSession::connectTo(in_addr host) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(entry_.port));
    address.sin_addr = host;
    socket_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (socket_ < 0) {
        fail("cannot make a socket: " + systemError(errno));
        return;
    }
    // Each code and frame goes out at once, as the agent reads it: one write.
    int on = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        fail("cannot connect: " + systemError(errno));
        return;
    }
    std::string error;
    watch_ = context_.loop.watch(
        socket_, kWritable, [this](uint32_t events) { onSocket(events); }, &error);
    if (watch_ == 0) fail(error);
}

void AgentSession::onSocket(uint32_t events) {
    if (state_ == AgentState::connecting) {
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        if (error != 0) {
            fail("cannot connect: " + systemError(error));
            return;
        }
        onConnected();
        return;
    }
    if ((events & kWritable) != 0) {
        flush();
        if (socket_ < 0) return;
    }
    if ((events & (kReadable | EPOLLERR | EPOLLHUP)) == 0) return;
    char buffer[kReadChunk];
    // Level-triggered: one read a round; what is left wakes the next round.
    ssize_t got = recv(socket_, buffer, sizeof buffer, 0);
    if (got > 0) {
        onBytes(buffer, static_cast<size_t>(got));
    } else if (got == 0) {
        fail("the agent closed the connection", true);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        fail("the connection failed: " + systemError(errno), errno == ECONNRESET);
    }
}

void AgentSession::onConnected() {
    state_ = AgentState::handshaking;
    context_.loop.setInterest(watch_, kReadable);
    handshake_ = std::make_unique<peer::PeerHandshake>();
    deadline_.start(kHandshakeTimeout);
}

// ---- the agent's bytes ------------------------------------------------------

void AgentSession::onBytes(const char* data, size_t size) {
    switch (state_) {
        case AgentState::handshaking:
            feedHandshake(data, size);
            return;
        case AgentState::noop:
        case AgentState::probing:
        case AgentState::quitting:
            feedExchange(data, size);
            return;
        default:
            fail(formatText("the agent sent %zu bytes unasked", size));
            return;
    }
}

void AgentSession::feedHandshake(const char* data, size_t size) {
    std::string toSend;
    size_t consumed = 0;
    peer::PeerHandshake::Stage stage = handshake_->feed(data, size, consumed, toSend);
    if (!toSend.empty() && !send(toSend)) return;
    switch (stage) {
        case peer::PeerHandshake::Stage::announcement:
            // Not the 83 bytes yet: the rest comes at once, or the agent's
            // announcement is a shorter one and it waits for us.
            actTimer_.start(Millis(peer::kAnnouncementQuietMs));
            return;
        case peer::PeerHandshake::Stage::response:
        case peer::PeerHandshake::Stage::verdict:
            actTimer_.stop();
            return;
        case peer::PeerHandshake::Stage::confirmed:
            if (consumed < size) {
                fail(formatText("the agent sent %zu bytes after its verdict", size - consumed));
                return;
            }
            sessionUp();
            return;
        case peer::PeerHandshake::Stage::refused:
        case peer::PeerHandshake::Stage::failed:
            fail("handshake failed: " + handshake_->error());
            return;
    }
}

void AgentSession::feedExchange(const char* data, size_t size) {
    size_t consumed = 0;
    peer::CommandExchange::Result result = exchange_->feed(data, size, consumed);
    if (result == peer::CommandExchange::Result::malformed) {
        fail(std::string(command_) + ": " + exchange_->error());
        return;
    }
    if (result == peer::CommandExchange::Result::needMore) return;
    if (consumed < size) {
        fail(formatText("the agent sent %zu bytes more than its answer to %s", size - consumed,
                        command_));
        return;
    }
    commandDone();
}

void AgentSession::sessionUp() {
    key_ = handshake_->sessionKey();
    handshake_.reset();
    deadline_.stop();
    actTimer_.stop();
    if (holdsDialSlot_) {
        holdsDialSlot_ = false;
        context_.releaseDialSlot();
    }
    backoff_.reset();
    lastDialFailure_.clear();
    logLine(LogLevel::info, "agent %s: session open at %s", entry_.name.c_str(),
            entry_.address().c_str());
    setStatus(true, "");
    state_ = AgentState::idle;
    lastCommand_ = context_.loop.timers().now();
    if (stopping_) {
        quit();
        return;
    }
    // Scans queued while no session was open go out now.
    wantProbe();
}

// ---- commands -----------------------------------------------------------------

// In idle: the next probe or keep-alive, whichever comes first.
void AgentSession::scheduleNext() {
    Clock::time_point now = context_.loop.timers().now();
    Clock::time_point due = lastCommand_ + kKeepAlive;
    if (!probeWanted_ && nextProbe_ < due) due = nextProbe_;
    actTimer_.start(due > now ? std::chrono::ceil<Millis>(due - now) : Millis(0));
}

void AgentSession::onActTimer() {
    switch (state_) {
        case AgentState::waiting:
            dial();
            return;
        case AgentState::handshaking: {
            // A short announcement, whole after a quiet pause.
            std::string toSend;
            handshake_->endAnnouncement(toSend);
            if (!toSend.empty()) send(toSend);
            return;
        }
        case AgentState::idle: {
            Clock::time_point now = context_.loop.timers().now();
            if (!probeWanted_ && now >= nextProbe_) {
                wantProbe();
                if (state_ != AgentState::idle) return;
            }
            if (now >= lastCommand_ + kKeepAlive) {
                sendCommand("NOOP", AgentState::noop);
            } else {
                scheduleNext();
            }
            return;
        }
        default:
            return;
    }
}

// A probe is due: now if it is our turn and the broker has room, else when
// the context wakes us; NOOPs keep the session open meanwhile.
void AgentSession::wantProbe() {
    probeWanted_ = true;
    if (state_ != AgentState::idle) return;
    if (context_.takeProbeTurn(probePlace_, [this] {
            probing_ = true;
            if (state_ == AgentState::idle && probeWanted_ && !stopping_) {
                sendProbe();
            } else {
                // Busy with a NOOP, or stopping: the turn goes back.
                probing_ = false;
                context_.probeEnded();
            }
        })) {
        probing_ = true;
        sendProbe();
        return;
    }
    scheduleNext();
}

void AgentSession::sendProbe() {
    probeWanted_ = false;
    sendCommand("PRBE", AgentState::probing);
}

void AgentSession::sendCommand(const char* word, AgentState next) {
    if (!exchange_) exchange_ = std::make_unique<peer::CommandExchange>(key_);
    std::string frameBytes;
    exchange_->begin(word, "", frameBytes);
    command_ = word;
    state_ = next;
    actTimer_.stop();
    lastCommand_ = context_.loop.timers().now();
    deadline_.start(next == AgentState::quitting ? kQuitWait : kAnswerTimeout);
    send(frameBytes);
}

void AgentSession::commandDone() {
    deadline_.stop();
    switch (state_) {
        case AgentState::noop:
            state_ = AgentState::idle;
            if (stopping_) {
                quit();
            } else if (probeWanted_) {
                wantProbe();
            } else {
                scheduleNext();
            }
            return;
        case AgentState::probing:
            answerRead(exchange_->answer());
            return;
        case AgentState::quitting:
            // The "100" is acknowledged; the agent closes its end.
            send(std::string(1, kAck));
            closeSocket();
            finishStop();
            return;
        default:
            return;
    }
}

void AgentSession::answerRead(const std::string& answer) {
    std::vector<std::string> scans = peer::splitProbeAnswer(answer);
    answerWellFilled_ = answer.size() >= kWellFilledAnswer;
    if (scans.empty()) {
        answerDelivered();
        return;
    }
    state_ = AgentState::publishing;
    ++answerNumber_;
    unconfirmed_ = scans.size();
    tickets_.clear();
    deadline_.start(kPublishWait);
    SystemTime received = std::chrono::system_clock::now();
    const uint64_t number = answerNumber_;
    for (const std::string& scan : scans) {
        std::string error;
        MqttLink::Ticket ticket = context_.link.publish(
            scanTopic_, scanPayload(endpoint_, received, scan), false,
            [this, number](bool confirmed, const std::string& why) {
                scanConfirmed(number, confirmed, why);
            },
            &error);
        // The link may have failed this answer inside publish already.
        if (state_ != AgentState::publishing || answerNumber_ != number) return;
        if (ticket == 0) {
            fail("a scan could not be published: " + error);
            return;
        }
        tickets_.push_back(ticket);
    }
}

void AgentSession::scanConfirmed(uint64_t answer, bool confirmed, const std::string& error) {
    if (state_ != AgentState::publishing || answer != answerNumber_) return;
    if (!confirmed) {
        fail("the broker did not take a scan: " + error);
        return;
    }
    if (--unconfirmed_ == 0) {
        tickets_.clear();
        answerDelivered();
    }
}

// Every scan of the answer is on the broker (or there were none): the agent
// may drop them now.
void AgentSession::answerDelivered() {
    deadline_.stop();
    if (!send(std::string(1, kAck))) return;
    probing_ = false;
    context_.probeEnded();
    backToIdle(answerWellFilled_ ? Millis(0) : context_.interval);
}

void AgentSession::backToIdle(Millis nextProbe) {
    state_ = AgentState::idle;
    if (stopping_) {
        quit();
        return;
    }
    nextProbe_ = context_.loop.timers().now() + nextProbe;
    scheduleNext();
}

// ---- the socket -------------------------------------------------------------

bool AgentSession::send(const std::string& bytes) {
    if (socket_ < 0) return false;
    if (!out_.empty()) {
        out_ += bytes;
        return true;
    }
    ssize_t sent = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            fail("cannot send: " + systemError(errno), errno == EPIPE || errno == ECONNRESET);
            return false;
        }
        sent = 0;
    }
    if (static_cast<size_t>(sent) < bytes.size()) {
        out_.assign(bytes, static_cast<size_t>(sent), std::string::npos);
        context_.loop.setInterest(watch_, kReadable | kWritable);
    }
    return true;
}

void AgentSession::flush() {
    if (out_.empty()) return;
    ssize_t sent = ::send(socket_, out_.data(), out_.size(), MSG_NOSIGNAL);
    if (sent < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        fail("cannot send: " + systemError(errno), errno == EPIPE || errno == ECONNRESET);
        return;
    }
    out_.erase(0, static_cast<size_t>(sent));
    if (out_.empty()) context_.loop.setInterest(watch_, kReadable);
}

void AgentSession::closeSocket() {
    if (watch_ != 0) {
        context_.loop.unwatch(watch_);
        watch_ = 0;
    }
    if (socket_ >= 0) {
        close(socket_);
        socket_ = -1;
    }
    out_.clear();
}

// ---- failures, time-outs and the end ------------------------------------------

void AgentSession::onDeadline() {
    switch (state_) {
        case AgentState::connecting:
            fail(formatText(lookUp_ != 0 ? "no address for the host name in %lld ms"
                                         : "no answer to the connection in %lld ms",
                            millisOf(kAgentConnectTimeout)));
            return;
        case AgentState::handshaking:
            fail(
                formatText("the handshake did not finish in %lld ms", millisOf(kHandshakeTimeout)));
            return;
        case AgentState::publishing:
            logLine(LogLevel::warning,
                    "agent %s: the broker did not confirm %zu scans in %lld ms: the session is "
                    "closed without acknowledging them, and the agent keeps them",
                    entry_.name.c_str(), unconfirmed_, millisOf(kPublishWait));
            fail(formatText("the broker did not confirm the scans in %lld ms",
                            millisOf(kPublishWait)));
            return;
        case AgentState::noop:
        case AgentState::probing:
        case AgentState::quitting:
            fail(formatText("no answer to %s in %lld ms", command_,
                            millisOf(state_ == AgentState::quitting ? kQuitWait : kAnswerTimeout)));
            return;
        default:
            return;
    }
}

void AgentSession::fail(const std::string& reason, bool closedByAgent) {
    AgentState was = state_;
    bool wasOpen = was == AgentState::idle || was == AgentState::noop ||
                   was == AgentState::probing || was == AgentState::publishing;
    closeSocket();
    if (lookUp_ != 0) {
        context_.resolver.cancel(lookUp_);
        lookUp_ = 0;
    }
    for (MqttLink::Ticket ticket : tickets_) context_.link.forget(ticket);
    tickets_.clear();
    ++answerNumber_;  // confirmations still on their way find no answer
    unconfirmed_ = 0;
    handshake_.reset();
    exchange_.reset();
    deadline_.stop();
    actTimer_.stop();
    probePlace_.leave();
    dialPlace_.leave();
    probeWanted_ = false;
    if (holdsDialSlot_) {
        holdsDialSlot_ = false;
        context_.releaseDialSlot();
    }
    if (probing_) {
        probing_ = false;
        context_.probeEnded();
    }
    if (stopping_) {
        logLine(LogLevel::debug, "agent %s: %s while stopping", entry_.name.c_str(),
                reason.c_str());
        finishStop();
        return;
    }
    state_ = AgentState::waiting;
    Millis pause = backoff_.next(context_.jitter);
    if (wasOpen) {
        logLine(LogLevel::info, "agent %s: session ended: %s; dialling again in %lld ms",
                entry_.name.c_str(), reason.c_str(), millisOf(pause));
        if (closedByAgent) noteReplaced();
    } else {
        // An agent that stays away writes one line, not one per try.
        LogLevel level = reason == lastDialFailure_ ? LogLevel::debug : LogLevel::warning;
        logLine(level, "agent %s at %s: %s; trying again in %lld ms", entry_.name.c_str(),
                entry_.address().c_str(), reason.c_str(), millisOf(pause));
    }
    lastDialFailure_ = reason;
    setStatus(false, reason);
    actTimer_.start(pause);
}

// The agent closes a session only when a new connection replaces it (or
// when it ends): many of them mean another peer polls this agent.
void AgentSession::noteReplaced() {
    Clock::time_point now = context_.loop.timers().now();
    replaced_.push_back(now);
    while (!replaced_.empty() && now - replaced_.front() > kReplacedWindow) replaced_.pop_front();
    if (static_cast<int>(replaced_.size()) < kReplacedWarning) return;
    if (lastReplacedWarning_ != Clock::time_point{} &&
        now - lastReplacedWarning_ < kReplacedWindow) {
        return;
    }
    lastReplacedWarning_ = now;
    logLine(LogLevel::warning,
            "agent %s at %s closed our session %zu times within %lld s: another peer (a second "
            "gateway, a cncpeer) seems to connect to it and replace us; list each agent in one "
            "gateway only",
            entry_.name.c_str(), entry_.address().c_str(), replaced_.size(),
            millisOf(kReplacedWindow) / 1000);
}

void AgentSession::stop(std::function<void()> done) {
    if (stopping_) return;
    stopping_ = true;
    stopDone_ = std::move(done);
    switch (state_) {
        case AgentState::idle:
            quit();
            return;
        case AgentState::noop:
        case AgentState::probing:
        case AgentState::publishing:
        case AgentState::quitting:
            return;  // the step ends, then QUIT
        case AgentState::closed:
            finishStop();
            return;
        default:
            closeSocket();
            fail("stopped");
            return;
    }
}

void AgentSession::quit() {
    actTimer_.stop();
    probePlace_.leave();
    sendCommand("QUIT", AgentState::quitting);
}

void AgentSession::finishStop() {
    state_ = AgentState::closed;
    actTimer_.stop();
    deadline_.stop();
    if (stopDone_) {
        std::function<void()> done = std::move(stopDone_);
        stopDone_ = nullptr;
        done();
    }
}

// ---- status -----------------------------------------------------------------

void AgentSession::setStatus(bool connected, const std::string& error) {
    if (hasStatus_ && status_.connected == connected && (connected || status_.error == error)) {
        return;
    }
    hasStatus_ = true;
    status_.connected = connected;
    status_.error = connected ? "" : error;
    status_.since = std::chrono::system_clock::now();
    publishStatus();
}

void AgentSession::brokerConnected() {
    if (hasStatus_ && !stopping_) publishStatus();
}

void AgentSession::publishStatus() {
    if (stopping_ || !context_.link.connected()) return;  // again when the broker is back
    std::string error;
    // Not waited for: a later status replaces it, and the next connection
    // publishes the current one again.
    if (context_.link.publish(
            agentStatusTopic(context_.topicPrefix, entry_.name), agentStatusPayload(status_), true,
            [](bool, const std::string&) {}, &error) == 0) {
        logLine(LogLevel::debug, "agent %s: status not published: %s", entry_.name.c_str(),
                error.c_str());
    }
}

}  // namespace vxgate
