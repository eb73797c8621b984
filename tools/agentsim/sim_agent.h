#pragma once
// One simulated agent: a listener on 127.0.0.1, a queue of scans committed
// at a set rate, and at most one session, served as the agent serves it:
//
// - a new connection replaces the session (the old one is closed);
// - the 83-byte announcement, then one read of at most 16 bytes for each of
//   the session code and the confirmation code, the response code and the
//   verdict frame from the agent's own cipher object (SessionEncryptor);
// - each command frame, once the length its header announces is there, in
//   one read of at most 2048 bytes, acknowledged at once, opened by the
//   cipher object; the word looked up in the agent's command table;
// - PRBE: the queued scans, oldest first, each followed by a line feed,
//   whole scans while they fit 2048 bytes; they leave the queue only when the
//   acknowledgement byte of the answer arrives within the receive time-out
//   (5 s), else they go back to the front;
// - QUIT (and any unknown word): "100", its acknowledgement, then closed;
// - no command for 15 s: the session ends and the connection stays open,
//   unread, until the next one replaces it.
//
// Unlike the agent it keeps no journal and writes no log: it is a load, and
// its process is not killed in the benchmark.
#include <deque>
#include <memory>
#include <string>

#include "event_loop.h"
#include "timer_queue.h"
#include "transport/session_encryptor.h"

namespace agentsim {

using vxgate::EventLoop;
using vxgate::Millis;
using vxgate::Timer;

constexpr Millis kReceiveTimeout{5000};
constexpr Millis kCommandTimeout{15000};

struct SimCounters {
    long long sessions = 0;
    long long committed = 0;
    long long delivered = 0;
    long long requeued = 0;
};

class SimAgent {
public:
    SimAgent(EventLoop& loop, SimCounters& counters, std::string name, Millis commitEvery);
    ~SimAgent();
    SimAgent(const SimAgent&) = delete;
    SimAgent& operator=(const SimAgent&) = delete;

    // Listens on 127.0.0.1 and a port the system picks; false with the
    // reason in *error.
    bool listen(std::string* error);
    int port() const { return port_; }
    // The first commit after firstCommit, then one every commitEvery.
    void startCommitting(Millis firstCommit);
    const std::string& name() const { return name_; }

private:
    enum class Stage { sessionCode, confirmation, verdictAck, command, answerAck, quitAck, dead };

    void commit();
    void onAccept();
    void onSession(uint32_t events);
    void closeSession();
    void endSession();  // stops reading; the connection stays until replaced
    void sendFrame(const std::string& message, Stage next);
    void onCommand(const std::string& text);
    void answered(bool acknowledged);
    bool sendAll(const char* data, size_t size);

    EventLoop& loop_;
    SimCounters& counters_;
    std::string name_;
    Millis commitEvery_;
    long long nextNumber_ = 1;
    std::deque<std::string> queue_;
    size_t inFlight_ = 0;  // scans at the front of the queue in the last answer
    int listener_ = -1;
    int port_ = 0;
    EventLoop::WatchId listenWatch_ = 0;
    int session_ = -1;
    EventLoop::WatchId sessionWatch_ = 0;
    Stage stage_ = Stage::dead;
    std::string pending_;  // command bytes not yet a whole frame
    std::unique_ptr<SessionEncryptor> cipher_;
    Timer commitTimer_;
    Timer waitTimer_;  // the receive or command time-out of the current stage
};

}  // namespace agentsim
