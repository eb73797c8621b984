#pragma once
// One agent's session, as the gateway holds it: a small state machine on the
// gateway's loop over the peer library's socket-free handshake and command
// exchange, with a non-blocking socket of its own.
//
// What the operator scanned must reach the broker at least once. The agent
// drops the scans of a PRBE answer only when it reads our acknowledgement
// byte for that answer, and it waits for that byte for its receive time-out
// (5 s by default); a byte that comes later is read as the first byte of the
// next frame. Hence the rules:
//
//  1. The acknowledgement of an answer with scans is written only once the
//     broker has confirmed every scan of it (PUBACK with a success code), and
//     never later than kPublishWait after the answer was read. When the wait
//     runs out, a scan is refused or the broker connection is lost, the
//     session is closed without the acknowledgement: the agent keeps the
//     scans and hands them over again, in order, in the next session. (The
//     scans the broker did confirm then come twice.)
//  2. No PRBE while the broker link is down, stalled or full (AgentContext):
//     the session waits its turn and sends NOOP to stay open, so the scans
//     wait in the agent's journal.
//  3. A command at least every kKeepAlive: the agent ends a session that
//     sends none for 3 x its send time-out (15 s by default, 3 s at least).
//  4. One command at a time, one answer at a time: the scans of an answer are
//     published in order on the one broker connection and the next PRBE goes
//     out only after the answer's acknowledgement, so an agent's scans
//     arrive in order; an answer handed over again is handed over whole.
//  5. Each agent backs off on its own (kFirstAgentRetry doubling to
//     kMaxAgentRetry, drawn from the upper half of the step), so a dead agent
//     slows no other; the first dials of a start are spread over up to
//     kStartSpread, and at most kMaxDialsAtOnce dials and handshakes run at
//     the same time.
//  6. The retained status changes when the session comes up or goes down,
//     and when the reason it is down changes; not on every failed retry.
//  7. A session that was open and that the agent closes counts as replaced
//     by another peer; kReplacedWarning of them within kReplacedWindow write
//     a warning that names the agent (two gateways, or a gateway and a
//     cncpeer, serve it), at most once per window.
//
// States ("fail": close the socket, status {"connected":false,...}, back
// off, go to waiting):
//
//   waiting      retry timer, dial slot  -> connecting   look-up of a host name (c-ares),
//                                                        connect [kAgentConnectTimeout]
//   connecting   connected               -> handshaking  [kHandshakeTimeout]
//   handshaking  "100 Confirmed"         -> idle         status connected; probe at once
//   idle         probe due, its turn     -> probing      PRBE [kAnswerTimeout]
//   idle         keep-alive due          -> noop         NOOP [kAnswerTimeout]
//   noop         acknowledged            -> idle
//   probing      empty answer            -> idle         acknowledge; next probe in interval
//   probing      answer with scans       -> publishing   each scan QoS 1 [kPublishWait]
//   publishing   every scan confirmed    -> idle         acknowledge; next probe in interval
//                                                        (at once after a well-filled answer)
//   publishing   refused, lost, time-out fail            no acknowledgement
//   any open     closed by the agent, read error, bad bytes, time-out: fail
//   stop: waiting, connecting, handshaking -> closed at once; idle -> quitting (QUIT
//   [kQuitWait]); noop, probing, publishing finish their step first.
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent_context.h"
#include "agents_file.h"
#include "backoff.h"
#include "messages.h"
#include "peer/command_exchange.h"
#include "peer/handshake.h"

namespace vxgate {

constexpr Millis kFirstAgentRetry{250};
constexpr Millis kMaxAgentRetry{5000};
constexpr Millis kAgentConnectTimeout{5000};
// The agent waits its receive time-out for each of the two codes.
constexpr Millis kHandshakeTimeout{10000};
// The acknowledgement byte and, for PRBE and QUIT, the answer frame.
constexpr Millis kAnswerTimeout{5000};
// Well inside the agent's 5 s receive time-out, leaving room for the
// network and for this loop's own delays.
constexpr Millis kPublishWait{3000};
constexpr Millis kKeepAlive{2000};
constexpr Millis kQuitWait{2000};
constexpr Millis kStartSpread{5000};
// The start's dials are spread over this much per agent, up to kStartSpread.
constexpr std::chrono::microseconds kStartSpreadPerAgent{500};
constexpr int kReplacedWarning = 3;
constexpr Millis kReplacedWindow{60000};
// An answer at least this long may have left scans behind in the agent
// (they did not fit): the next probe goes at once.
constexpr size_t kWellFilledAnswer = 1024;

enum class AgentState {
    waiting,
    connecting,
    handshaking,
    idle,
    noop,
    probing,
    publishing,
    quitting,
    closed
};
const char* stateName(AgentState state);

class AgentSession {
public:
    AgentSession(AgentContext& context, const AgentEntry& entry);
    ~AgentSession();  // closes the socket without a word: stop() first
    AgentSession(const AgentSession&) = delete;
    AgentSession& operator=(const AgentSession&) = delete;

    // Dials after a random pause of up to spread.
    void start(Millis spread);
    // SIGTERM, or SIGHUP removed the agent: ends as the table says; done runs
    // once the socket is closed (perhaps before stop() returns). The session
    // publishes no status of its own after this.
    void stop(std::function<void()> done);
    // The broker is back: publish the current status again, retained.
    void brokerConnected();

    const AgentEntry& entry() const { return entry_; }
    AgentState state() const { return state_; }
    const SessionStatus& status() const { return status_; }
    bool hasStatus() const { return hasStatus_; }

private:
    void dial();
    void connectNow();
    void connectTo(in_addr address);
    void onSocket(uint32_t events);
    void onConnected();
    void onBytes(const char* data, size_t size);
    void feedHandshake(const char* data, size_t size);
    void feedExchange(const char* data, size_t size);
    void sessionUp();
    void onActTimer();
    void onDeadline();
    void wantProbe();
    void sendProbe();
    void sendCommand(const char* word, AgentState next);
    void commandDone();
    void answerRead(const std::string& answer);
    void scanConfirmed(uint64_t answer, bool confirmed, const std::string& error);
    void answerDelivered();
    void backToIdle(Millis nextProbe);
    void scheduleNext();
    void quit();
    bool send(const std::string& bytes);
    void flush();
    void fail(const std::string& reason, bool closedByAgent = false);
    void closeSocket();
    void finishStop();
    void noteReplaced();
    void setStatus(bool connected, const std::string& error);
    void publishStatus();

    AgentContext& context_;
    AgentEntry entry_;
    AgentEndpoint endpoint_;
    std::string scanTopic_;
    AgentState state_ = AgentState::waiting;
    int socket_ = -1;
    EventLoop::WatchId watch_ = 0;
    std::string out_;  // bytes a full socket did not take yet
    bool holdsDialSlot_ = false;
    Resolver::Request lookUp_ = 0;  // a host name being looked up
    bool probing_ = false;          // counts in the context's probes in flight
    QueuePlace dialPlace_;
    QueuePlace probePlace_;
    Backoff backoff_{kFirstAgentRetry, kMaxAgentRetry};
    Timer actTimer_;  // the next dial, command or end of an announcement
    Timer deadline_;  // the time-out of the current step
    std::unique_ptr<peer::PeerHandshake> handshake_;
    std::unique_ptr<peer::CommandExchange> exchange_;
    peer::Key key_{};
    const char* command_ = "";
    bool probeWanted_ = false;
    Clock::time_point lastCommand_;
    Clock::time_point nextProbe_;
    // The answer being published: its number, scans not yet confirmed,
    // their tickets, and whether it was well filled.
    uint64_t answerNumber_ = 0;
    size_t unconfirmed_ = 0;
    std::vector<MqttLink::Ticket> tickets_;
    bool answerWellFilled_ = false;
    SessionStatus status_;
    bool hasStatus_ = false;
    std::string lastDialFailure_;
    std::deque<Clock::time_point> replaced_;
    Clock::time_point lastReplacedWarning_{};
    bool stopping_ = false;
    std::function<void()> stopDone_;
};

}  // namespace vxgate
