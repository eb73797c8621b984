#pragma once
// The vxgate command line: every option in one place, checked before
// anything starts, so a mistake ends the start with exit status 2 and a line
// that names it.
#include <string>
#include <vector>

#include "log.h"

namespace vxgate {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the gateway could not run (no epoll, no MQTT client)
constexpr int kExitUsage = 2;    // a bad option or agents file

constexpr int kDefaultIntervalMs = 500;
constexpr int kMinIntervalMs = 10;
constexpr int kMaxIntervalMs = 3600 * 1000;
constexpr int kDefaultMqttPort = 1883;
constexpr int kDefaultMqttsPort = 8883;
constexpr size_t kMaxClientId = 128;
constexpr size_t kMaxTopicPrefix = 256;

extern const char kUsage[];

struct BrokerAddress {
    std::string host;  // a name, a dotted IPv4 address, or an IPv6 address without brackets
    int port = 0;
    bool tls = false;
};

struct Options {
    BrokerAddress broker;
    std::string agentsFile;
    std::string topicPrefix = "vxhid";
    int intervalMs = kDefaultIntervalMs;
    std::string clientId;  // vxgate-<host name> unless given
    std::string username;  // empty: no login
    std::string passwordFile;
    std::string caFile;  // empty: the system's CAs (mqtts:// only)
    std::string certFile;
    std::string keyFile;
    int logLevel = kDefaultLogLevel;
};

struct ParsedOptions {
    enum class Outcome { run, help, usageError } outcome = Outcome::usageError;
    Options options;
    std::string error;  // for usageError: what is wrong
};

// Parses the arguments (the program name left out). hostName makes the
// default client id.
ParsedOptions parseOptions(const std::vector<std::string>& args, const std::string& hostName);

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (scheme in any case); an IPv6
// HOST goes in brackets. Returns false with the reason in *error.
bool parseBrokerUrl(const std::string& url, BrokerAddress* broker, std::string* error);

// The first line of a password file, without its line end. Returns false
// with the reason in *error when it cannot be read.
bool readPasswordFile(const std::string& path, std::string* password, std::string* error);

}  // namespace vxgate
