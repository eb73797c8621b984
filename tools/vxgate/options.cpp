#include "options.h"

#include <cctype>
#include <fstream>
#include <map>

#include "common/text_format.h"

namespace vxgate {

const char kUsage[] =
    "usage: vxgate --broker mqtt://HOST:PORT --agents FILE [--topic-prefix P] [--interval MS]\n"
    "              [--client-id ID] [--username U --password-file F] [--cafile F]\n"
    "              [--cert F --key F] [--log-level N]\n"
    "\n"
    "Holds a session with every agent of FILE and publishes each of their scans to the\n"
    "MQTT broker.\n"
    "\n"
    "  --broker URL       mqtt://HOST[:PORT] (port 1883 by default), or mqtts://HOST[:PORT]\n"
    "                     for TLS (port 8883 by default); an IPv6 HOST goes in brackets\n"
    "  --agents FILE      one \"NAME HOST:PORT\" a line; blank lines and # comments are\n"
    "                     allowed; SIGHUP reads it again\n"
    "  --topic-prefix P   topics P/NAME/scan and P/NAME/status (default vxhid)\n"
    "  --interval MS      probe each agent every MS milliseconds (default 500)\n"
    "  --client-id ID     the MQTT client id (default vxgate-<host name>)\n"
    "  --username U       log in to the broker as U ...\n"
    "  --password-file F  ... with the password in the first line of F\n"
    "  --cafile F         mqtts://: trust the CA certificates in F instead of the system's\n"
    "  --cert F --key F   mqtts://: show the broker this client certificate and key\n"
    "  --log-level N      0 nothing, 1 errors, 2 warnings, 3 information (default),\n"
    "                     4 debugging; to standard error\n"
    "  --help             this text\n"
    "\n"
    "SIGTERM or SIGINT ends it with exit status 0. Exit status 2: a usage error or a\n"
    "malformed agents file; 1: the gateway could not run.\n";

namespace {

// A whole decimal number of at most nine digits, no sign.
bool parseNumber(const std::string& text, int* value) {
    if (text.empty() || text.size() > 9) return false;
    int result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + (c - '0');
    }
    *value = result;
    return true;
}

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

// Printable ASCII without the characters MQTT reserves in topic names.
bool isTopicText(const std::string& text, bool allowSlash) {
    for (char c : text) {
        if (c < 0x21 || c > 0x7e || c == '+' || c == '#') return false;
        if (c == '/' && !allowSlash) return false;
    }
    return true;
}

}  // namespace

bool parseBrokerUrl(const std::string& url, BrokerAddress* broker, std::string* error) {
    std::string rest;
    if (startsWithNoCase(url, "mqtt://")) {
        broker->tls = false;
        broker->port = kDefaultMqttPort;
        rest = url.substr(7);
    } else if (startsWithNoCase(url, "mqtts://")) {
        broker->tls = true;
        broker->port = kDefaultMqttsPort;
        rest = url.substr(8);
    } else {
        *error = "the broker URL must begin with mqtt:// or mqtts://";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find('@') != std::string::npos) {
        *error =
            "give the broker's user name with --username and its password with "
            "--password-file, not in the URL";
        return false;
    }
    if (rest.find('/') != std::string::npos || rest.find('?') != std::string::npos) {
        *error = "the broker URL takes a host and a port only";
        return false;
    }
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos) {
            *error = "the broker URL has a '[' without its ']'";
            return false;
        }
        broker->host = rest.substr(1, close - 1);
        std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                *error = "the broker URL has text after its ']'";
                return false;
            }
            portText = after.substr(1);
            if (portText.empty()) {
                *error = "the broker URL's port is empty";
                return false;
            }
        }
    } else {
        size_t colon = rest.find(':');
        broker->host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) {
                *error = "the broker URL's port is empty";
                return false;
            }
        }
    }
    if (broker->host.empty()) {
        *error = "the broker URL names no host";
        return false;
    }
    for (char c : broker->host) {
        if (c <= 0x20 || c > 0x7e) {
            *error = "the broker URL's host holds a blank or a control character";
            return false;
        }
    }
    if (!portText.empty()) {
        int port = 0;
        if (!parseNumber(portText, &port) || port < 1 || port > 65535) {
            *error = "the broker URL's port \"" + portText + "\" is not a number from 1 to 65535";
            return false;
        }
        broker->port = port;
    }
    return true;
}

bool readPasswordFile(const std::string& path, std::string* password, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read the password file " + path;
        return false;
    }
    // A password is short; reading a bounded first line keeps a wrong file
    // (a log, a device) from filling the memory.
    constexpr size_t kMaxPassword = 4096;
    std::string line;
    char c;
    while (line.size() <= kMaxPassword && in.get(c) && c != '\n') line += c;
    if (line.size() > kMaxPassword) {
        *error = formatText("the first line of the password file %s is longer than %d bytes",
                            path.c_str(), static_cast<int>(kMaxPassword));
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    *password = line;
    return true;
}

ParsedOptions parseOptions(const std::vector<std::string>& args, const std::string& hostName) {
    ParsedOptions parsed;
    Options& options = parsed.options;
    auto fail = [&parsed](const std::string& why) {
        parsed.outcome = ParsedOptions::Outcome::usageError;
        parsed.error = why;
        return parsed;
    };

    std::map<std::string, std::string> values;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--help" || option == "-h") {
            parsed.outcome = ParsedOptions::Outcome::help;
            return parsed;
        }
        static const char* const kKnown[] = {"--broker",        "--agents",    "--topic-prefix",
                                             "--interval",      "--client-id", "--username",
                                             "--password-file", "--cafile",    "--cert",
                                             "--key",           "--log-level"};
        bool known = false;
        for (const char* name : kKnown) known = known || option == name;
        if (!known) return fail("unknown option \"" + option + "\"");
        if (i + 1 >= args.size()) return fail(option + " needs a value");
        if (values.count(option) != 0) return fail(option + " is given twice");
        if (args[i + 1].empty()) return fail(option + " is empty");
        values[option] = args[++i];
    }
    auto given = [&values](const char* name) { return values.count(name) != 0; };

    if (!given("--broker")) return fail("--broker is required");
    std::string why;
    if (!parseBrokerUrl(values["--broker"], &options.broker, &why)) return fail(why);

    if (!given("--agents")) return fail("--agents is required");
    options.agentsFile = values["--agents"];

    if (given("--topic-prefix")) {
        const std::string& prefix = values["--topic-prefix"];
        if (prefix.empty() || prefix.size() > kMaxTopicPrefix || !isTopicText(prefix, true) ||
            prefix.front() == '/' || prefix.back() == '/' ||
            prefix.find("//") != std::string::npos) {
            return fail(formatText(
                "--topic-prefix \"%s\" must be 1 to %d printable characters without blanks, "
                "'+' or '#', and no empty level",
                prefix.c_str(), static_cast<int>(kMaxTopicPrefix)));
        }
        // Brokers keep topics that begin with '$' to themselves ($SYS).
        if (prefix.front() == '$') return fail("--topic-prefix must not begin with '$'");
        options.topicPrefix = prefix;
    }

    if (given("--interval") &&
        (!parseNumber(values["--interval"], &options.intervalMs) ||
         options.intervalMs < kMinIntervalMs || options.intervalMs > kMaxIntervalMs)) {
        return fail(formatText("--interval \"%s\" is not a number of milliseconds from %d to %d",
                               values["--interval"].c_str(), kMinIntervalMs, kMaxIntervalMs));
    }

    options.clientId = given("--client-id") ? values["--client-id"] : "vxgate-" + hostName;
    if (options.clientId.empty() || options.clientId.size() > kMaxClientId ||
        !isTopicText(options.clientId, false)) {
        return fail(
            formatText("the client id \"%s\" must be 1 to %d printable characters "
                       "without blanks, '/', '+' or '#' (it is part of a topic)",
                       options.clientId.c_str(), static_cast<int>(kMaxClientId)));
    }

    if (given("--password-file") && !given("--username")) {
        return fail("--password-file needs --username");
    }
    if (given("--username")) {
        options.username = values["--username"];
        options.passwordFile = values["--password-file"];
    }

    if (given("--cert") != given("--key")) return fail("--cert and --key go together");
    if (!options.broker.tls) {
        for (const char* tlsOnly : {"--cafile", "--cert", "--key"}) {
            if (given(tlsOnly)) return fail(std::string(tlsOnly) + " needs an mqtts:// broker");
        }
    }
    options.caFile = values["--cafile"];
    options.certFile = values["--cert"];
    options.keyFile = values["--key"];

    if (given("--log-level") &&
        (!parseNumber(values["--log-level"], &options.logLevel) ||
         options.logLevel < kMinLogLevel || options.logLevel > kMaxLogLevel)) {
        return fail(formatText("--log-level \"%s\" is not a number from %d to %d",
                               values["--log-level"].c_str(), kMinLogLevel, kMaxLogLevel));
    }

    parsed.outcome = ParsedOptions::Outcome::run;
    return parsed;
}

}  // namespace vxgate
