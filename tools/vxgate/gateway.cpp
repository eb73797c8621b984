#include "gateway.h"

#include <signal.h>

#include "log.h"

namespace vxgate {

Gateway::Gateway(const Options& options)
    : options_(options), stopWait_(loop_.timers(), [this] { disconnect(); }) {}

Gateway::~Gateway() = default;

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
    if (!link_->start(&error)) {
        logLine(LogLevel::error, "%s", error.c_str());
        return false;
    }
    return true;
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
    for (const AgentEntry& agent : diff.added) {
        logLine(LogLevel::info, "agent %s added at %s", agent.name.c_str(),
                agent.address().c_str());
        statusToClear_.erase(agent.name);
    }
    for (const AgentEntry& agent : diff.changed) {
        logLine(LogLevel::info, "agent %s moved to %s", agent.name.c_str(),
                agent.address().c_str());
    }
    for (const AgentEntry& agent : diff.removed) {
        logLine(LogLevel::info, "agent %s removed", agent.name.c_str());
        clearStatus(agent.name);
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
