#include "messages.h"

#include <ctime>

#include "common/text_format.h"
#include "peer/json_line.h"

namespace vxgate {

using peer::jsonString;

const char kGatewayStopped[] = "gateway stopped";
const char kGatewayLost[] = "gateway connection lost";

std::string utcTime(SystemTime time) {
    using namespace std::chrono;
    long long millis = duration_cast<milliseconds>(time.time_since_epoch()).count();
    long long wholeSeconds = millis / 1000;
    int fraction = static_cast<int>(millis % 1000);
    if (fraction < 0) {  // before 1970: round the seconds down, keep the fraction positive
        fraction += 1000;
        --wholeSeconds;
    }
    std::time_t seconds = static_cast<std::time_t>(wholeSeconds);
    std::tm utc{};
    if (gmtime_r(&seconds, &utc) == nullptr) return "1970-01-01T00:00:00.000Z";
    return formatText("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                      utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, fraction);
}

std::string scanTopic(const std::string& prefix, const std::string& agent) {
    return prefix + "/" + agent + "/scan";
}

std::string agentStatusTopic(const std::string& prefix, const std::string& agent) {
    return prefix + "/" + agent + "/status";
}

std::string gatewayStatusTopic(const std::string& prefix, const std::string& clientId) {
    return prefix + "/gateway/" + clientId + "/status";
}

std::string scanPayload(const AgentEndpoint& agent, SystemTime time, const std::string& scan) {
    return "{\"agent\":" + jsonString(agent.name) + ",\"host\":" + jsonString(agent.host) +
           ",\"port\":" + std::to_string(agent.port) + ",\"time\":" + jsonString(utcTime(time)) +
           ",\"scan\":" + jsonString(scan) + "}";
}

namespace {

// The status fields without the closing brace, so the gateway can add its own.
std::string statusFields(const SessionStatus& status) {
    std::string out = std::string("{\"connected\":") + (status.connected ? "true" : "false") +
                      ",\"since\":" + jsonString(utcTime(status.since));
    if (!status.connected) out += ",\"error\":" + jsonString(status.error);
    return out;
}

}  // namespace

std::string agentStatusPayload(const SessionStatus& status) { return statusFields(status) + "}"; }

std::string gatewayStatusPayload(const SessionStatus& status, size_t agents) {
    return statusFields(status) + ",\"agents\":" + std::to_string(agents) + "}";
}

std::string gatewayWillPayload() {
    return std::string("{\"connected\":false,\"error\":") + jsonString(kGatewayLost) + "}";
}

}  // namespace vxgate
