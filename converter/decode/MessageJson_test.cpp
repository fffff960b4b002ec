// The JSON document of any message, whole or broken: valid JSON, the records decoded before
// any stop, and the outcome with the reason and the offset where the decode stopped.

#include "MessageJson.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConvertMessage.h"
#include "testing/EveryRecord.h"
#include "testing/MessageComposer.h"

namespace saltmark::testing {
namespace {

nlohmann::json Parse(const std::vector<std::uint8_t>& message, std::int32_t n)
{
    const std::string text = MessageJsonText(message.data(), n, "m.sbd");
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one document, one line";
    return nlohmann::json::parse(text);  // throws, failing the test, on anything not JSON
}

TEST(MessageJson, BrokenMessagesGiveTheirOutcomeAndWhereTheDecodeStopped)
{
    const std::vector<std::uint8_t> battery = MessageComposer().Header(6, 0, 4).F32(8).Bytes();
    const struct {
        const char* why;
        std::vector<std::uint8_t> message;
        std::size_t records;
        const char* reason;  // null: complete
        std::size_t offset;
    } cases[] = {
        {"empty", {}, 0, "Not enough data to contain packet type", 0},
        {"unknown packet type", Message({battery}, 200), 0, "Type UNKNOWN (-56)", 0},
        {"type 14 after a record", Message({battery, {14, 0, 0, 0}}), 1, "Unrecognized sensor type",
         9},
        {"IMU one byte short", Message({battery, std::vector<std::uint8_t>(1799, 3)}), 1,
         "Record runs past the end of the message", 9},
        {"camera longer than the message", Message({{7, 1, 9, 0, 1, 2}}), 0,
         "Record runs past the end of the message", 1},
        {"Signature counts past its size",
         Message({MessageComposer().Header(9, 1, 4).U16(5).U16(0).Bytes()}), 0,
         "Signature counts need more bytes than the record's size", 1},
        {"trailing bytes", Message({battery, {0xFF, 0xFF, 0xFF}}), 1, nullptr, 0},
    };
    for (const auto& c : cases) {
        const nlohmann::json doc = Parse(c.message, static_cast<std::int32_t>(c.message.size()));
        EXPECT_EQ(doc["size"], c.message.size()) << c.why;
        EXPECT_EQ(doc["records"].size(), c.records) << c.why;
        const nlohmann::json& outcome = doc["outcome"];
        EXPECT_EQ(outcome["complete"], c.reason == nullptr) << c.why;
        if (c.reason != nullptr) {
            EXPECT_EQ(outcome["reason"], c.reason) << c.why;
            EXPECT_EQ(outcome["offset"], c.offset) << c.why;
        }
    }
    EXPECT_TRUE(Parse({}, 0)["packetType"].is_null());
}

TEST(MessageJson, MessageCutAtEveryLengthStopsAtTheFirstRecordThatDoesNotFit)
{
    const EveryRecordMessage every(true);
    const std::vector<std::uint8_t>& message = every.Bytes();
    const std::vector<std::size_t>& offsets = every.Offsets();
    for (std::size_t n = 1; n <= message.size(); ++n) {
        const nlohmann::json doc = Parse(message, static_cast<std::int32_t>(n));
        // Records that end by n are decoded; the next one stops the walk if its header is in.
        std::size_t whole = 0;
        while (whole < offsets.size() &&
               (whole + 1 < offsets.size() ? offsets[whole + 1] : message.size()) <= n) {
            ++whole;
        }
        ASSERT_EQ(doc["records"].size(), whole) << n;
        const bool headerLeft = whole < offsets.size() && offsets[whole] + 4 <= n;
        ASSERT_EQ(doc["outcome"]["complete"], !headerLeft) << n;
        if (headerLeft) {
            ASSERT_EQ(doc["outcome"]["offset"], offsets[whole]) << n;
        }
    }
}

}  // namespace
}  // namespace saltmark::testing
