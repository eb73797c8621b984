#pragma once
// What the gateway puts on the broker: the topics and their JSON payloads.
//
//   <prefix>/<agent>/scan                 one message per scan, QoS 1, not retained
//   <prefix>/<agent>/status               the agent's session, retained
//   <prefix>/gateway/<client id>/status   the gateway itself, retained; also its last will
//
// The gateway's topic has one level more than an agent's, so no agent name
// can clash with it and "<prefix>/+/status" lists agents only.
#include <chrono>
#include <string>

namespace vxgate {

using SystemTime = std::chrono::system_clock::time_point;

// "2026-12-10T05:31:34.123Z": UTC, milliseconds.
std::string utcTime(SystemTime time);

std::string scanTopic(const std::string& prefix, const std::string& agent);
std::string agentStatusTopic(const std::string& prefix, const std::string& agent);
std::string gatewayStatusTopic(const std::string& prefix, const std::string& clientId);

struct AgentEndpoint {
    std::string name;
    std::string host;
    int port = 0;
};

// {"agent":...,"host":...,"port":...,"time":...,"scan":...}. The scan is the
// agent's bytes in its single-byte code page; each byte above 0x7F becomes
// the character of the same value (\u0080 to \u00ff), as cncpeer writes it,
// so the payload is plain ASCII and therefore UTF-8, and nothing is lost.
std::string scanPayload(const AgentEndpoint& agent, SystemTime time, const std::string& scan);

// The state of a session, the agent's or the gateway's own broker session:
// {"connected":true,"since":...} or {"connected":false,"since":...,"error":...}.
struct SessionStatus {
    bool connected = false;
    SystemTime since;
    std::string error;  // why not connected; ignored when connected
};

std::string agentStatusPayload(const SessionStatus& status);

// The gateway's status adds how many agents it serves.
std::string gatewayStatusPayload(const SessionStatus& status, size_t agents);

// The last will the broker publishes for a gateway that went away without
// saying goodbye (killed, crashed, cut off). It is set at connect time, so it
// carries no time: the broker's own time of receipt is the time it applies.
std::string gatewayWillPayload();

// The error texts of the gateway's status.
extern const char kGatewayStopped[];
extern const char kGatewayLost[];

}  // namespace vxgate
