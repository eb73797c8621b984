#pragma once
// The gateway process: the agents file, the broker link and the signals,
// tied together in one event loop.
//
// - At start: a malformed agents file ends the start (exit status 2); then a
//   session with each agent (AgentSession), the first dials spread out.
// - On every connection to the broker: the gateway's own retained status
//   ("connected": true), its last will saying it went away, and the clearing
//   of statuses of agents removed while the broker was away.
// - SIGHUP: reads the agents file again; agents added, removed or moved are
//   logged, their sessions started or ended (with QUIT), the others left
//   alone; a removed agent's retained status is cleared; a malformed file
//   keeps the old list and logs why.
// - SIGTERM, SIGINT: QUIT to every agent (a session that publishes an
//   answer finishes it first), each agent's status and the gateway's own say
//   the gateway stopped, the broker connection ends with a DISCONNECT (so no
//   will), exit status 0.
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "agent_context.h"
#include "agent_session.h"
#include "agents_file.h"
#include "backoff.h"
#include "event_loop.h"
#include "messages.h"
#include "mqtt_link.h"
#include "options.h"

namespace vxgate {

// How long a stop waits for the broker to confirm the gateway's last
// status, and then for the goodbye.
constexpr Millis kStopStatusWait{2000};
constexpr Millis kStopDisconnectWait{1000};
// The most a stop waits for the agents' sessions: an answer being published
// and the QUIT after it.
constexpr Millis kStopAgentsWait = kPublishWait + kQuitWait + Millis(1000);

class Gateway {
public:
    explicit Gateway(const Options& options);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Runs until SIGTERM or SIGINT; returns the exit status.
    int run();

private:
    bool startUp(int* exitStatus);
    void onSignal(int number);
    void reload();
    void onBrokerConnected();
    void publishGatewayStatus();
    void clearStatus(const std::string& agent);
    void startSession(const AgentEntry& entry, Millis spread);
    void endSession(std::unique_ptr<AgentSession> session, std::function<void()> then);
    void beginStop();
    void agentsStopped();
    void disconnect();

    Options options_;
    EventLoop loop_;
    Jitter jitter_;
    std::unique_ptr<MqttLink> link_;
    Resolver resolver_{loop_};
    std::unique_ptr<AgentContext> context_;
    std::vector<AgentEntry> agents_;
    std::map<std::string, std::unique_ptr<AgentSession>> sessions_;
    // Sessions that end (QUIT) and are destroyed once closed, from the loop.
    std::list<std::unique_ptr<AgentSession>> ending_;
    Timer reaper_;
    int agentsToStop_ = 0;
    Timer agentsWait_;
    // Agents removed whose retained status is not yet cleared on the broker.
    std::set<std::string> statusToClear_;
    SystemTime connectedSince_;
    Timer stopWait_;
    bool stopping_ = false;
    bool disconnecting_ = false;
    bool stopStatusSent_ = false;
};

}  // namespace vxgate
