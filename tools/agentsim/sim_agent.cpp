#include "sim_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "common/text_format.h"
#include "session/command_table.h"
#include "transport/frame_limits.h"

namespace agentsim {

namespace {

// The agent's announcement, 83 bytes, no line end.
const char kAnnouncement[] =
    "Vexmoor Tessel HID (vxhid.exe) 11.1.0.8 CNC session service - awaiting session code";
static_assert(sizeof kAnnouncement - 1 == 83, "the announcement is 83 bytes long");
constexpr int kCodeSize = 16;
constexpr size_t kMaxAnswer = frame::kMaxMessageLength;

long long epochMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The agent's rule: the word runs to the first blank; without one, the text
// is taken to end in CR LF, which is not part of it.
int commandCode(const std::string& text) {
    size_t blank = text.find(' ');
    long long end = blank != std::string::npos ? static_cast<long long>(blank)
                                               : static_cast<long long>(text.size()) - 2;
    if (end < 0) end = 0;
    return command::codeOfWord(text.data(), static_cast<unsigned>(end));
}

}  // namespace

SimAgent::SimAgent(EventLoop& loop, SimCounters& counters, std::string name, Millis commitEvery)
    : loop_(loop),
      counters_(counters),
      name_(std::move(name)),
      commitEvery_(commitEvery),
      commitTimer_(loop.timers(), [this] { commit(); }),
      waitTimer_(loop.timers(), [this] {
          switch (stage_) {
              case Stage::verdictAck:
                  stage_ = Stage::command;
                  waitTimer_.start(kCommandTimeout);
                  return;
              case Stage::answerAck:
                  // The agent logs the missing acknowledgement and reads on.
                  answered(false);
                  stage_ = Stage::command;
                  waitTimer_.start(kCommandTimeout);
                  return;
              case Stage::quitAck:
                  closeSession();
                  return;
              default:
                  endSession();
                  return;
          }
      }) {}

void SimAgent::startCommitting(Millis firstCommit) {
    if (commitEvery_.count() > 0 && !commitTimer_.running()) commitTimer_.start(firstCommit);
}

SimAgent::~SimAgent() {
    closeSession();
    if (listenWatch_ != 0) loop_.unwatch(listenWatch_);
    if (listener_ >= 0) close(listener_);
}

bool SimAgent::listen(std::string* error) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (listener_ < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        *error = std::string("listen: ") + std::strerror(errno);
        return false;
    }
    port_ = ntohs(address.sin_port);
    listenWatch_ = loop_.watch(
        listener_, vxgate::kReadable, [this](uint32_t) { onAccept(); }, error);
    return listenWatch_ != 0;
}

void SimAgent::commit() {
    queue_.push_back(formatText("%s %06lld %lld", name_.c_str(), nextNumber_++, epochMillis()));
    ++counters_.committed;
    commitTimer_.start(commitEvery_);
}

void SimAgent::onAccept() {
    int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    closeSession();  // a new connection replaces the session
    session_ = fd;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::string error;
    sessionWatch_ = loop_.watch(
        fd, vxgate::kReadable, [this](uint32_t events) { onSession(events); }, &error);
    cipher_ = std::make_unique<SessionEncryptor>();
    ++counters_.sessions;
    if (!sendAll(kAnnouncement, sizeof kAnnouncement - 1)) return;
    stage_ = Stage::sessionCode;
    waitTimer_.start(kReceiveTimeout);
}

void SimAgent::onSession(uint32_t) {
    char buffer[frame::kMaxMessageLength];
    switch (stage_) {
        case Stage::sessionCode:
        case Stage::confirmation: {
            // One read of at most 16 bytes, as the agent takes each code.
            ssize_t got = recv(session_, buffer, kCodeSize, 0);
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                closeSession();
                return;
            }
            if (got < 0) return;
            if (got != kCodeSize) {
                endSession();
                return;
            }
            const unsigned char* code = reinterpret_cast<unsigned char*>(buffer);
            if (stage_ == Stage::sessionCode) {
                cipher_->makeResponseCode(code);
                if (!sendAll(reinterpret_cast<char*>(cipher_->encryptedResponse), kCodeSize)) {
                    return;
                }
                stage_ = Stage::confirmation;
                waitTimer_.start(kReceiveTimeout);
                return;
            }
            if (!cipher_->checkConfirmationCode(code)) {
                endSession();
                return;
            }
            sendFrame("100 Confirmed", Stage::verdictAck);
            return;
        }
        case Stage::verdictAck:
        case Stage::answerAck:
        case Stage::quitAck: {
            ssize_t got = recv(session_, buffer, 1, 0);
            if (got < 0 && errno == EAGAIN) return;
            if (got != 1) {
                closeSession();
                return;
            }
            if (stage_ == Stage::quitAck) {
                closeSession();
                return;
            }
            if (stage_ == Stage::answerAck) answered(true);
            stage_ = Stage::command;
            waitTimer_.start(kCommandTimeout);
            return;
        }
        case Stage::command: {
            size_t room = frame::kMaxMessageLength - pending_.size();
            ssize_t got = recv(session_, buffer, room, 0);
            if (got < 0 && errno == EAGAIN) return;
            if (got <= 0) {
                closeSession();
                return;
            }
            pending_.append(buffer, static_cast<size_t>(got));
            // The agent waits for the length the header announces, then
            // takes what is there (at most 2048 bytes) as the frame.
            if (pending_.size() < static_cast<size_t>(frame::kBlockSize)) return;
            int announced =
                cipher_->announcedLength(reinterpret_cast<const unsigned char*>(pending_.data()));
            if (pending_.size() < static_cast<size_t>(announced) &&
                pending_.size() < static_cast<size_t>(frame::kMaxMessageLength)) {
                return;
            }
            std::string frameBytes;
            frameBytes.swap(pending_);
            if (!sendAll("*", 1)) return;
            int length = static_cast<int>(frameBytes.size());
            if (length % frame::kBlockSize != 0) {
                endSession();
                return;
            }
            std::memcpy(cipher_->frameBuffer, frameBytes.data(), frameBytes.size());
            unsigned char text[frame::kMaxMessageLength + frame::kBlockSize] = {};
            int messageLength = cipher_->decodeFrame(text, length);
            if (messageLength < 1) {
                endSession();
                return;
            }
            onCommand(std::string(
                reinterpret_cast<char*>(text),
                strnlen(reinterpret_cast<char*>(text), static_cast<size_t>(messageLength))));
            return;
        }
        case Stage::dead:
            return;
    }
}

void SimAgent::onCommand(const std::string& text) {
    switch (text.empty() ? command::kNoop : commandCode(text)) {
        case command::kPrbe: {
            std::string answer;
            inFlight_ = 0;
            for (const std::string& scan : queue_) {
                if (answer.size() + scan.size() + 1 > kMaxAnswer) break;
                answer += scan;
                answer += '\n';
                ++inFlight_;
            }
            sendFrame(answer, Stage::answerAck);
            return;
        }
        case command::kQuit:
            sendFrame("100", Stage::quitAck);
            return;
        case command::kDbug:
        case command::kUpdt:
            sendFrame("200\r\n", Stage::answerAck);
            return;
        default:
            waitTimer_.start(kCommandTimeout);
            return;
    }
}

void SimAgent::sendFrame(const std::string& message, Stage next) {
    unsigned char staging[frame::kStagingBufferSize + frame::kBlockSize] = {};
    std::memcpy(staging, message.data(), message.size());
    int length = cipher_->encodeFrame(staging, static_cast<int>(message.size()));
    if (!sendAll(reinterpret_cast<char*>(cipher_->frameBuffer), static_cast<size_t>(length))) {
        return;
    }
    stage_ = next;
    waitTimer_.start(kReceiveTimeout);
}

void SimAgent::answered(bool acknowledged) {
    if (acknowledged) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<long>(inFlight_));
        counters_.delivered += static_cast<long long>(inFlight_);
    } else {
        counters_.requeued += static_cast<long long>(inFlight_);
    }
    inFlight_ = 0;
}

bool SimAgent::sendAll(const char* data, size_t size) {
    if (send(session_, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size)) return true;
    closeSession();
    return false;
}

void SimAgent::endSession() {
    if (stage_ == Stage::answerAck) answered(false);
    stage_ = Stage::dead;
    waitTimer_.stop();
    pending_.clear();
    if (sessionWatch_ != 0) {
        loop_.unwatch(sessionWatch_);
        sessionWatch_ = 0;
    }
}

void SimAgent::closeSession() {
    endSession();
    if (session_ >= 0) {
        close(session_);
        session_ = -1;
    }
    cipher_.reset();
}

}  // namespace agentsim
