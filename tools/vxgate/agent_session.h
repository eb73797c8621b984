#pragma once
// One agent's session, as the gateway holds it: the interface and the state
// table that agent_session.cpp implements over the peer library's sans-IO
// handshake and frame reader (not written yet: nothing includes this header).
//
// What the operator scanned must reach the broker at least once. The agent
// drops the scans of a PRBE answer only when it reads our acknowledgement
// byte for that answer, and it waits for that byte for its receive time-out
// (5 s by default); a byte that comes later is read as the first byte of the
// next frame. Hence the rules:
//
//  1. The acknowledgement of an answer with scans is written only once the
//     broker has confirmed every scan of it (PUBACK with a success code), and
//     never later than kPublishWait after the answer's last byte was read.
//     When the wait runs out, a scan is refused or the broker connection is
//     lost, the session is closed without the acknowledgement: the agent
//     keeps the scans and hands them over again, in order, in the next
//     session. (The scans the broker did confirm then come twice.)
//  2. No PRBE while the broker link is down or stalled (a message waits for
//     its PUBACK longer than kPublishWait) or full: a NOOP goes instead, so
//     the session stays open and the scans wait in the agent's journal.
//  3. A command at least every min(interval, kKeepAlive): the agent ends a
//     session that sends none for 3 x its send time-out (15 s by default,
//     3 s when that time-out is 1 s or less).
//  4. One command at a time, one answer at a time: the scans of an answer are
//     published in order on the one broker connection, so they arrive in
//     order; an answer that is handed over again is handed over whole.
//  5. Each agent backs off on its own (kFirstAgentRetry doubling to
//     kMaxAgentRetry, drawn from the upper half of the step), so a dead agent
//     slows no other; the first dials of a start are spread over
//     kStartSpread, and at most kMaxDialsAtOnce dials and handshakes run at
//     the same time, so 10,000 agents are never dialled at once.
//  6. The retained status changes when the session comes up or goes down,
//     and when the reason it is down changes; not on every failed retry.
//  7. A session that was up and that the agent closes counts as replaced by
//     another peer; kReplacedWarning of them within kReplacedWindow write a
//     warning that names the agent (two gateways, or a gateway and a
//     cncpeer, serve it), at most once per window.
//
// State table. [a timer started]; "fail": close the socket, status
// {"connected":false,...}, back off, go to waiting.
//
//   waiting      retry timer             -> connecting   connect [kAgentConnectTimeout]
//   connecting   connected               -> handshaking  [kHandshakeTimeout]
//   connecting   refused, error, timeout fail
//   handshaking  "100 Confirmed" acked   -> idle         status connected; a command now
//   handshaking  failed, closed, timeout fail
//   idle         command due, may probe  -> probing      PRBE [kAnswerTimeout]
//   idle         command due, else       -> noop         NOOP [kAnswerTimeout]
//   noop         acknowledgement         -> idle         [min(interval, kKeepAlive)]
//   probing      empty answer            -> idle         acknowledge [interval]
//   probing      answer with scans       -> publishing   publish each, QoS 1 [kPublishWait]
//   publishing   every scan confirmed    -> idle         acknowledge [interval; zero when the
//                                                        answer was nearly 2048 bytes]
//   publishing   refused, lost, timeout  fail            no acknowledgement; forget tickets
//   any open     closed by the agent     fail            a replacement, when it was idle
//   any open     read error, bad frame,  fail
//                timeout
//   idle, noop   stop                    -> quitting     QUIT [kQuitWait]
//   probing,     stop                    finish the step (publishing: until confirmed or
//   publishing                           kPublishWait), then as idle
//   quitting     "100" acknowledged,     -> closed       done
//                closed, timeout
//   waiting, connecting, handshaking: stop -> closed, done
//
// What the session needs from the peer library, all without blocking and
// without threads: a handshake machine fed with the agent's bytes that says
// which bytes to send (each code as one write of its own: the agent reads a
// code with one read), when it is done or failed and why, given a session
// key from our random source; a command frame encoder; an incremental reader
// fed with any chunks (the acknowledgement byte and a frame may arrive
// together or byte by byte) that reports "acknowledgement", "whole frame" or
// "malformed" and never holds more than one frame of 2064 bytes; which
// commands have an answer frame; and the split of a PRBE answer into scans.
#include <functional>
#include <string>

#include "agents_file.h"
#include "backoff.h"
#include "event_loop.h"
#include "messages.h"
#include "mqtt_link.h"

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
constexpr Millis kKeepAlive{5000};
constexpr Millis kQuitWait{2000};
constexpr Millis kStartSpread{5000};
constexpr int kMaxDialsAtOnce = 256;
constexpr int kReplacedWarning = 3;
constexpr Millis kReplacedWindow{60000};

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

// What every session shares: one per gateway.
struct AgentContext {
    EventLoop& loop;
    MqttLink& link;
    Jitter& jitter;
    std::string topicPrefix;
    Millis interval;
    // Rule 2: the link is connected, not stalled, and has room for the scans
    // of a full answer.
    std::function<bool()> mayProbe;
    // Rule 5: a dial may start now; released when its handshake ends.
    std::function<bool()> takeDialSlot;
    std::function<void()> releaseDialSlot;
};

class AgentSession {
public:
    AgentSession(AgentContext& context, const AgentEntry& entry);
    ~AgentSession();  // closes the socket without a word: call stop() first
    AgentSession(const AgentSession&) = delete;
    AgentSession& operator=(const AgentSession&) = delete;

    // Dials after a random pause within kStartSpread.
    void start();
    // SIGHUP moved the agent: the session ends as on stop(), then dials the
    // new address; the topics stay.
    void moveTo(const AgentEntry& entry);
    // SIGTERM, or SIGHUP removed the agent: ends as the table says; done runs
    // once the socket is closed.
    void stop(std::function<void()> done);
    // The broker is back: publish the current status again, retained.
    void brokerConnected();

    AgentState state() const;
    const SessionStatus& status() const;
};

}  // namespace vxgate
