#include "gateway.h"

#include <signal.h>

#include "log.h"

namespace vxgate {

namespace {

// The first dials of many agents are spread out; a few start at once.
Millis startSpread(size_t agents) {
    auto spread = std::chrono::duration_cast<Millis>(kStartSpreadPerAgent * agents);
    return std::min(spread, kStartSpread);
}

}  // namespace

Gateway::Gateway(const Options& options)
    : options_(options),
      reaper_(loop_.timers(),
              [this] {
                  ending_.remove_if([](const std::unique_ptr<AgentSession>& session) {
                      return session->state() == AgentState::closed;
                  });
              }),
      agentsWait_(loop_.timers(),
                  [this] {
                      logLine(LogLevel::warning, "%d agent sessions did not end in time",
                              agentsToStop_);
                      agentsStopped();
                  }),
      stopWait_(loop_.timers(), [this] { disconnect(); }) {}

// Sessions go before the context and the link they use.
Gateway::~Gateway() {
    sessions_.clear();
    ending_.clear();
    context_.reset();
}

bool Gateway::startUp(int* exitStatus) {
    *exitStatus = kExitUsage;
    if (!loop_.error().empty()) {
        logLine(LogLevel::error, "%s", loop_.error().c_str());
        *exitStatus = kExitFailure;
        return false;
    }

    MqttSettings settings;
    settings.broker = options_.broker;
    settings.clientId = options_.clientId;
    settings.username = options_.username;
    if (!options_.passwordFile.empty()) {
        std::string password;
        std::string error;
        if (!readPasswordFile(options_.passwordFile, &password, &error)) {
            logLine(LogLevel::error, "%s", error.c_str());
            return false;
        }
        settings.password = password;
    }
    settings.caFile = options_.caFile;
    settings.certFile = options_.certFile;
    settings.keyFile = options_.keyFile;
    settings.willTopic = gatewayStatusTopic(options_.topicPrefix, options_.clientId);
    settings.willPayload = gatewayWillPayload();

    AgentsList list = readAgentsFile(options_.agentsFile);
    if (!list.error.empty()) {
        logLine(LogLevel::error, "%s", list.error.c_str());
        return false;
    }
    agents_ = std::move(list.agents);
    if (agents_.empty()) {
        logLine(LogLevel::warning, "the agents file %s lists no agent",
                options_.agentsFile.c_str());
    }
    logLine(LogLevel::info, "%zu agent%s from %s", agents_.size(), agents_.size() == 1 ? "" : "s",
            options_.agentsFile.c_str());

    std::string error;
    if (!loop_.handleSignals(
            {SIGHUP, SIGTERM, SIGINT}, [this](int number) { onSignal(number); }, &error)) {
        logLine(LogLevel::error, "%s", error.c_str());
        *exitStatus = kExitFailure;
        return false;
    }

    MqttLink::Listener listener;
    listener.connected = [this] { onBrokerConnected(); };
    link_ = std::make_unique<MqttLink>(loop_, jitter_, settings, listener);
    if (!resolver_.start(Resolver::Sources::filesAndDns, &error)) {
        logLine(LogLevel::error, "%s", error.c_str());
        *exitStatus = kExitFailure;
        return false;
    }
    context_ = std::make_unique<AgentContext>(loop_, *link_, resolver_, jitter_,
                                              options_.topicPrefix, Millis(options_.intervalMs));
    if (!link_->start(&error)) {
        logLine(LogLevel::error, "%s", error.c_str());
        return false;
    }
    for (const AgentEntry& agent : agents_) startSession(agent, startSpread(agents_.size()));
    return true;
}

void Gateway::startSession(const AgentEntry& entry, Millis spread) {
    auto session = std::make_unique<AgentSession>(*context_, entry);
    session->start(spread);
    sessions_[entry.name] = std::move(session);
}

// The session QUITs and is destroyed from the loop once closed; then runs
// after it has closed.
void Gateway::endSession(std::unique_ptr<AgentSession> session, std::function<void()> then) {
    AgentSession* ending = session.get();
    ending_.push_back(std::move(session));
    ending->stop([this, then = std::move(then)] {
        reaper_.start(Millis(0));
        if (then) then();
    });
}

int Gateway::run() {
    int exitStatus = kExitOk;
    if (!startUp(&exitStatus)) return exitStatus;
    if (!loop_.run()) {
        logLine(LogLevel::error, "%s", loop_.error().c_str());
        return kExitFailure;
    }
    logLine(LogLevel::info, "stopped");
    return kExitOk;
}

void Gateway::onSignal(int number) {
    if (number == SIGHUP) {
        if (!stopping_) reload();
        return;
    }
    if (stopping_) return;
    logLine(LogLevel::info, "stopping on %s", number == SIGINT ? "SIGINT" : "SIGTERM");
    beginStop();
}

void Gateway::reload() {
    AgentsList list = readAgentsFile(options_.agentsFile);
    if (!list.error.empty()) {
        logLine(LogLevel::error, "%s; the %zu agents read before stay", list.error.c_str(),
                agents_.size());
        return;
    }
    AgentsDiff diff = diffAgents(agents_, list.agents);
    for (const AgentEntry& agent : diff.removed) {
        logLine(LogLevel::info, "agent %s removed", agent.name.c_str());
        auto found = sessions_.find(agent.name);
        if (found == sessions_.end()) continue;
        std::unique_ptr<AgentSession> session = std::move(found->second);
        sessions_.erase(found);
        // Cleared once the session has ended, so that it cannot come after.
        endSession(std::move(session), [this, name = agent.name] { clearStatus(name); });
    }
    for (const AgentEntry& agent : diff.changed) {
        logLine(LogLevel::info, "agent %s moved to %s", agent.name.c_str(),
                agent.address().c_str());
        auto found = sessions_.find(agent.name);
        if (found != sessions_.end()) endSession(std::move(found->second), nullptr);
        startSession(agent, Millis(0));
    }
    for (const AgentEntry& agent : diff.added) {
        logLine(LogLevel::info, "agent %s added at %s", agent.name.c_str(),
                agent.address().c_str());
        statusToClear_.erase(agent.name);
        startSession(agent, startSpread(diff.added.size()));
    }
    agents_ = std::move(list.agents);
    logLine(LogLevel::info, "%zu agents from %s: %zu added, %zu removed, %zu moved", agents_.size(),
            options_.agentsFile.c_str(), diff.added.size(), diff.removed.size(),
            diff.changed.size());
    if (link_->connected()) publishGatewayStatus();
}

void Gateway::onBrokerConnected() {
    connectedSince_ = std::chrono::system_clock::now();
    publishGatewayStatus();
    std::set<std::string> clear;
    clear.swap(statusToClear_);
    for (const std::string& agent : clear) clearStatus(agent);
    for (auto& entry : sessions_) entry.second->brokerConnected();
    context_->wakeProbes();
}

void Gateway::publishGatewayStatus() {
    SessionStatus status;
    status.connected = true;
    status.since = connectedSince_;
    std::string error;
    std::string topic = gatewayStatusTopic(options_.topicPrefix, options_.clientId);
    // Not confirmed: the next connection publishes it again anyway.
    if (link_->publish(
            topic, gatewayStatusPayload(status, agents_.size()), true,
            [](bool, const std::string&) {}, &error) == 0) {
        logLine(LogLevel::debug, "gateway status not published: %s", error.c_str());
    }
}

// An empty retained message deletes the retained status. Until the broker
// has confirmed it, the agent stays on the list to clear.
void Gateway::clearStatus(const std::string& agent) {
    statusToClear_.insert(agent);
    std::string error;
    auto done = [this, agent](bool confirmed, const std::string& why) {
        if (confirmed) {
            statusToClear_.erase(agent);
        } else {
            logLine(LogLevel::warning, "status of removed agent %s not cleared: %s", agent.c_str(),
                    why.c_str());
        }
    };
    if (link_->publish(agentStatusTopic(options_.topicPrefix, agent), "", true, done, &error) ==
        0) {
        logLine(LogLevel::debug, "status of removed agent %s to be cleared later: %s",
                agent.c_str(), error.c_str());
    }
}

void Gateway::beginStop() {
    stopping_ = true;
    agentsToStop_ = static_cast<int>(sessions_.size());
    if (agentsToStop_ == 0) {
        agentsStopped();
        return;
    }
    agentsWait_.start(kStopAgentsWait);
    for (auto& entry : sessions_) {
        entry.second->stop([this] {
            if (--agentsToStop_ == 0) agentsStopped();
        });
    }
}

// Every session has ended (or the wait ran out): the statuses say so, the
// gateway's last.
void Gateway::agentsStopped() {
    agentsWait_.stop();
    agentsToStop_ = 0;
    if (stopStatusSent_) return;
    stopStatusSent_ = true;
    SessionStatus stopped;
    stopped.connected = false;
    stopped.since = std::chrono::system_clock::now();
    stopped.error = kGatewayStopped;
    std::string ignored;
    for (auto& entry : sessions_) {
        link_->publish(
            agentStatusTopic(options_.topicPrefix, entry.first), agentStatusPayload(stopped), true,
            [](bool, const std::string&) {}, &ignored);
    }
    SessionStatus status;
    status.connected = false;
    status.since = std::chrono::system_clock::now();
    status.error = kGatewayStopped;
    std::string error;
    MqttLink::Ticket ticket = link_->publish(
        gatewayStatusTopic(options_.topicPrefix, options_.clientId),
        gatewayStatusPayload(status, agents_.size()), true,
        [this](bool, const std::string&) { disconnect(); }, &error);
    if (ticket == 0) {
        logLine(LogLevel::debug, "gateway status not published: %s", error.c_str());
        disconnect();
        return;
    }
    stopWait_.start(kStopStatusWait);
}

// After the last status, or when the broker did not confirm it in time.
void Gateway::disconnect() {
    if (disconnecting_) return;
    disconnecting_ = true;
    stopWait_.stop();
    link_->stop(kStopDisconnectWait, [this] { loop_.stop(); });
}

}  // namespace vxgate
