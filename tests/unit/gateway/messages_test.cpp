#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "messages.h"

namespace {

using namespace std::chrono;
using vxgate::SessionStatus;
using vxgate::SystemTime;

SystemTime at(long long millisSinceEpoch) { return SystemTime(milliseconds(millisSinceEpoch)); }

// 2026-12-10T05:31:34.123Z
constexpr long long kScanTime = 1796880694123LL;

TEST(GatewayMessagesTest, TimesAreUtcWithMilliseconds) {
    EXPECT_EQ("1970-01-01T00:00:00.000Z", vxgate::utcTime(at(0)));
    EXPECT_EQ("1970-01-01T00:00:01.007Z", vxgate::utcTime(at(1007)));
    EXPECT_EQ("2026-12-10T05:31:34.123Z", vxgate::utcTime(at(kScanTime)));
    EXPECT_EQ("2024-02-29T23:59:59.999Z", vxgate::utcTime(at(1709251199999LL)));
    EXPECT_EQ("1969-12-31T23:59:59.999Z", vxgate::utcTime(at(-1)));
}

TEST(GatewayMessagesTest, Topics) {
    EXPECT_EQ("vxhid/press-1/scan", vxgate::scanTopic("vxhid", "press-1"));
    EXPECT_EQ("plant/hall-2/press-1/status", vxgate::agentStatusTopic("plant/hall-2", "press-1"));
    EXPECT_EQ("vxhid/gateway/vxgate-pc7/status", vxgate::gatewayStatusTopic("vxhid", "vxgate-pc7"));
}

TEST(GatewayMessagesTest, ScanPayloadCarriesTheScanWhateverItsBytes) {
    vxgate::AgentEndpoint press{"press-1", "10.2.0.11", 8194};
    EXPECT_EQ(
        "{\"agent\":\"press-1\",\"host\":\"10.2.0.11\",\"port\":8194,"
        "\"time\":\"2026-12-10T05:31:34.123Z\",\"scan\":\"4006381333931\"}",
        vxgate::scanPayload(press, at(kScanTime), "4006381333931"));
    struct Case {
        std::string scan;
        const char* json;
    } cases[] = {
        {"", "\"\""},
        {"say \"hi\"\\", "\"say \\\"hi\\\"\\\\\""},
        {std::string("a\tb\x01\x7f", 5), "\"a\\tb\\u0001\\u007f\""},
        // Code page bytes: each becomes the character of its own value.
        {"Gr\xFC\xDF \x80", "\"Gr\\u00fc\\u00df \\u0080\""},
        {std::string("nul\0after", 9), "\"nul\\u0000after\""},
    };
    for (const Case& c : cases) {
        std::string payload = vxgate::scanPayload(press, at(kScanTime), c.scan);
        std::string tail = std::string(",\"scan\":") + c.json + "}";
        ASSERT_GE(payload.size(), tail.size());
        EXPECT_EQ(tail, payload.substr(payload.size() - tail.size())) << payload;
        for (char byte : payload) EXPECT_LT(static_cast<unsigned char>(byte), 0x80) << payload;
    }
}

TEST(GatewayMessagesTest, StatusPayloads) {
    SessionStatus up;
    up.connected = true;
    up.since = at(kScanTime);
    up.error = "ignored while connected";
    EXPECT_EQ("{\"connected\":true,\"since\":\"2026-12-10T05:31:34.123Z\"}",
              vxgate::agentStatusPayload(up));
    SessionStatus down;
    down.since = at(0);
    down.error = "connect: Connection refused";
    EXPECT_EQ(
        "{\"connected\":false,\"since\":\"1970-01-01T00:00:00.000Z\","
        "\"error\":\"connect: Connection refused\"}",
        vxgate::agentStatusPayload(down));
    EXPECT_EQ("{\"connected\":true,\"since\":\"2026-12-10T05:31:34.123Z\",\"agents\":1200}",
              vxgate::gatewayStatusPayload(up, 1200));
    EXPECT_EQ("{\"connected\":false,\"error\":\"gateway connection lost\"}",
              vxgate::gatewayWillPayload());
}

}  // namespace
