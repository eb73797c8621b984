#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "test_support.h"

namespace {

using vxgate::Options;
using vxgate::ParsedOptions;
using vxgate::parseOptions;

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string::npos) end = line.size();
        if (end > start) out.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

ParsedOptions parse(const std::string& line) { return parseOptions(words(line), "shopfloor-7"); }

TEST(GatewayOptionsTest, TheRequiredPairGivesTheDefaults) {
    ParsedOptions parsed = parse("--broker mqtt://broker.plant:1883 --agents /etc/vxgate/agents");
    ASSERT_EQ(ParsedOptions::Outcome::run, parsed.outcome) << parsed.error;
    const Options& o = parsed.options;
    EXPECT_EQ("broker.plant", o.broker.host);
    EXPECT_EQ(1883, o.broker.port);
    EXPECT_FALSE(o.broker.tls);
    EXPECT_EQ("/etc/vxgate/agents", o.agentsFile);
    EXPECT_EQ("vxhid", o.topicPrefix);
    EXPECT_EQ(500, o.intervalMs);
    EXPECT_EQ("vxgate-shopfloor-7", o.clientId);
    EXPECT_EQ("", o.username);
    EXPECT_EQ("", o.caFile);
    EXPECT_EQ(3, o.logLevel);
}

TEST(GatewayOptionsTest, EveryOptionIsTaken) {
    ParsedOptions parsed = parse(
        "--log-level 4 --cert c.pem --key k.pem --cafile ca.pem --password-file pw "
        "--username gate --client-id gw-east --interval 1000 --topic-prefix plant/hall-2 "
        "--agents a.txt --broker MQTTS://[fd00::5]:8884");
    ASSERT_EQ(ParsedOptions::Outcome::run, parsed.outcome) << parsed.error;
    const Options& o = parsed.options;
    EXPECT_EQ("fd00::5", o.broker.host);
    EXPECT_EQ(8884, o.broker.port);
    EXPECT_TRUE(o.broker.tls);
    EXPECT_EQ("plant/hall-2", o.topicPrefix);
    EXPECT_EQ(1000, o.intervalMs);
    EXPECT_EQ("gw-east", o.clientId);
    EXPECT_EQ("gate", o.username);
    EXPECT_EQ("pw", o.passwordFile);
    EXPECT_EQ("ca.pem", o.caFile);
    EXPECT_EQ("c.pem", o.certFile);
    EXPECT_EQ("k.pem", o.keyFile);
    EXPECT_EQ(4, o.logLevel);
}

TEST(GatewayOptionsTest, BrokerUrls) {
    struct Case {
        const char* url;
        const char* host;
        int port;
        bool tls;
    } cases[] = {
        {"mqtt://10.0.0.5", "10.0.0.5", 1883, false},
        {"mqtts://broker", "broker", 8883, true},
        {"mqtt://broker:1", "broker", 1, false},
        {"mqtts://broker:65535/", "broker", 65535, true},
        {"mqtt://[::1]", "::1", 1883, false},
    };
    for (const Case& c : cases) {
        vxgate::BrokerAddress broker;
        std::string error;
        ASSERT_TRUE(vxgate::parseBrokerUrl(c.url, &broker, &error)) << c.url << ": " << error;
        EXPECT_EQ(c.host, broker.host) << c.url;
        EXPECT_EQ(c.port, broker.port) << c.url;
        EXPECT_EQ(c.tls, broker.tls) << c.url;
    }
}

TEST(GatewayOptionsTest, UsageErrorsSayWhatIsWrong) {
    const std::string need = " --broker mqtt://b --agents a";
    struct Case {
        std::string line;
        const char* says;
    } cases[] = {
        {"--agents a", "--broker is required"},
        {"--broker mqtt://b", "--agents is required"},
        {"--broker tcp://b --agents a", "mqtt:// or mqtts://"},
        {"--broker mqtt:// --agents a", "names no host"},
        {"--broker mqtt://b:0 --agents a", "port \"0\""},
        {"--broker mqtt://b:65536 --agents a", "port \"65536\""},
        {"--broker mqtt://b: --agents a", "port is empty"},
        {"--broker mqtt://b:18x3 --agents a", "port \"18x3\""},
        {"--broker mqtt://user:pw@b --agents a", "--password-file"},
        {"--broker mqtt://b/topic --agents a", "host and a port only"},
        {"--broker mqtt://[::1 --agents a", "without its ']'"},
        {"--interval 9" + need, "--interval \"9\""},
        {"--interval 3600001" + need, "--interval"},
        {"--interval -5" + need, "--interval"},
        {"--interval 1e3" + need, "--interval"},
        {"--log-level 5" + need, "--log-level \"5\""},
        {"--topic-prefix a/+/b" + need, "--topic-prefix"},
        {"--topic-prefix a#" + need, "--topic-prefix"},
        {"--topic-prefix /a" + need, "--topic-prefix"},
        {"--topic-prefix a/" + need, "--topic-prefix"},
        {"--topic-prefix a//b" + need, "--topic-prefix"},
        {"--topic-prefix $SYS" + need, "'$'"},
        {"--client-id gw/1" + need, "client id"},
        {"--password-file pw" + need, "--password-file needs --username"},
        {"--cert c --broker mqtts://b --agents a", "--cert and --key go together"},
        {"--cafile ca" + need, "--cafile needs an mqtts:// broker"},
        {"--cert c --key k" + need, "--cert needs an mqtts:// broker"},
        {"--verbose" + need, "unknown option \"--verbose\""},
        {"--interval 100 --interval 200" + need, "--interval is given twice"},
        {need + " --topic-prefix", "--topic-prefix needs a value"},
    };
    for (const Case& c : cases) {
        ParsedOptions parsed = parse(c.line);
        EXPECT_EQ(ParsedOptions::Outcome::usageError, parsed.outcome) << c.line;
        EXPECT_NE(std::string::npos, parsed.error.find(c.says))
            << c.line << " gave: " << parsed.error;
    }
    // An empty value cannot be written with words(): pass it whole.
    ParsedOptions empty = parseOptions({"--broker", "mqtt://b", "--agents", ""}, "h");
    EXPECT_EQ(ParsedOptions::Outcome::usageError, empty.outcome);
    EXPECT_EQ("--agents is empty", empty.error);
}

TEST(GatewayOptionsTest, HelpWinsOverEverythingElse) {
    EXPECT_EQ(ParsedOptions::Outcome::help, parse("--interval 1 --help").outcome);
    EXPECT_EQ(ParsedOptions::Outcome::help, parse("-h").outcome);
}

TEST(GatewayOptionsTest, PasswordFileGivesItsFirstLine) {
    testing_support::TempDir dir;
    struct Case {
        const char* content;
        const char* password;
    } cases[] = {
        {"s3cret\n", "s3cret"},
        {"s3cret\r\nsecond line\n", "s3cret"},
        {"with blanks inside \n", "with blanks inside "},
        {"no line end", "no line end"},
        {"", ""},
    };
    for (const Case& c : cases) {
        testing_support::writeFile(dir.file("pw"), c.content);
        std::string password;
        std::string error;
        ASSERT_TRUE(vxgate::readPasswordFile(dir.file("pw"), &password, &error)) << error;
        EXPECT_EQ(c.password, password);
    }
    std::string password;
    std::string error;
    EXPECT_FALSE(vxgate::readPasswordFile(dir.file("missing"), &password, &error));
    EXPECT_NE(std::string::npos, error.find("missing"));
    testing_support::writeFile(dir.file("big"), std::string(5000, 'x'));
    EXPECT_FALSE(vxgate::readPasswordFile(dir.file("big"), &password, &error));
    EXPECT_NE(std::string::npos, error.find("longer than 4096"));
}

}  // namespace
