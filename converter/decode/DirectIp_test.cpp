#include "DirectIp.h"

#include <gtest/gtest.h>

namespace saltmark {
namespace {

DirectIpMessage Sample() {
    DirectIpMessage message;
    message.header = {123456789, "300234010123450", 0, 4242, 7, 1765100000};
    message.payload = {55, 1, 2, 3};
    message.location = DirectIpLocation{-12.5, -150.25, 9};
    return message;
}

TEST(DirectIp, ComposedMessageParsesBackWithEveryField) {
    const auto wire = ComposeDirectIp(Sample());
    const auto parsed = ParseDirectIp(wire);
    ASSERT_TRUE(parsed.message) << parsed.error;
    const auto& m = *parsed.message;
    EXPECT_EQ(m.header.cdrReference, 123456789u);
    EXPECT_EQ(m.header.imei, "300234010123450");
    EXPECT_EQ(m.header.momsn, 4242);
    EXPECT_EQ(m.header.mtmsn, 7);
    EXPECT_EQ(m.header.sessionTime, 1765100000u);
    EXPECT_EQ(m.payload, Sample().payload);
    ASSERT_TRUE(m.location);
    EXPECT_DOUBLE_EQ(m.location->latitude, -12.5);
    EXPECT_DOUBLE_EQ(m.location->longitude, -150.25);
    EXPECT_EQ(m.location->cepKm, 9u);
}

TEST(DirectIp, ReadsTheGatewaysByteLayout) {
    // Written out by hand from the protocol: header, payload, then a location of
    // 33 deg 30.000' N, 118 deg 15.500' W with a CEP of 4 km.
    const std::vector<std::uint8_t> wire = {
        1, 0, 51,
        1, 0, 28, 0, 0, 1, 0, '3', '0', '0', '2', '3', '4', '0', '6', '0', '0', '0', '0', '0', '0', '1',
        0, 0x01, 0x02, 0, 0, 0x69, 0x35, 0x49, 0xE0,
        2, 0, 3, 55, 0, 0,
        3, 0, 11, 0x01, 33, 0x75, 0x30, 118, 0x3C, 0x8C, 0, 0, 0, 4};
    const auto parsed = ParseDirectIp(wire);
    ASSERT_TRUE(parsed.message) << parsed.error;
    EXPECT_EQ(parsed.message->header.cdrReference, 256u);
    EXPECT_EQ(parsed.message->header.momsn, 258);
    EXPECT_EQ(IsoUtc(parsed.message->header.sessionTime), "2025-12-07T09:33:20Z");
    EXPECT_DOUBLE_EQ(parsed.message->location->latitude, 33.5);
    EXPECT_DOUBLE_EQ(parsed.message->location->longitude, -118.25833333333333);
    EXPECT_EQ(parsed.message->location->cepKm, 4u);
}

TEST(DirectIp, RefusesWhatIsNoMoMessage) {
    const auto good = ComposeDirectIp(Sample());
    auto wrongRevision = good;
    wrongRevision[0] = 2;
    auto tooLong = good;
    tooLong[1] = 0xFF;
    const std::vector<std::uint8_t> cut(good.begin(), good.end() - 1);
    auto elementPastEnd = good;
    elementPastEnd[4] = 0x7F;  // header claims more bytes than follow
    auto withoutPayload = good;
    // Drop the payload element (IEI 2, length 4) by rewriting it as an unknown one.
    withoutPayload[3 + 3 + 28] = 0x7E;
    std::vector<std::uint8_t> onlyPayload = {1, 0, 5, 2, 0, 2, 55, 0};
    for (const auto& bytes : {wrongRevision, tooLong, cut, elementPastEnd, withoutPayload, onlyPayload}) {
        const auto parsed = ParseDirectIp(bytes);
        EXPECT_FALSE(parsed.message);
        EXPECT_FALSE(parsed.error.empty());
    }
}

TEST(DirectIp, SkipsUnknownElementsByTheirLength) {
    auto wire = ComposeDirectIp(Sample());
    const std::vector<std::uint8_t> unknown = {0x42, 0, 2, 9, 9};
    wire.insert(wire.begin() + 3, unknown.begin(), unknown.end());
    wire[2] = static_cast<std::uint8_t>(wire[2] + unknown.size());
    const auto parsed = ParseDirectIp(wire);
    ASSERT_TRUE(parsed.message) << parsed.error;
    EXPECT_EQ(parsed.message->payload, Sample().payload);
}

TEST(DirectIp, ConfirmationAndTimes) {
    EXPECT_EQ(DirectIpConfirmation(true), (std::vector<std::uint8_t>{1, 0, 4, 5, 0, 1, 1}));
    EXPECT_EQ(DirectIpConfirmation(false).back(), 0);
    EXPECT_EQ(IsoUtc(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(IsoUtc(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(IsoUtc(4294967295), "2106-02-07T06:28:15Z");
}

}  // namespace
}  // namespace saltmark
