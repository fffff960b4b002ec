// The record walk: framing, packet type, bounds checks, error lines and image capture.

#include "ConvertMessage.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <random>
#include <string>
#include <vector>

#include "testing/MessageComposer.h"
#include "testing/ReportExpect.h"

namespace saltmark::testing {
namespace {

const std::string kBatteryBlock =
    "Miscellaneous values:\r\n\tSize = 4\r\n\tBattery voltage = 12.5\r\n\r\n";

std::vector<std::uint8_t> BatteryRecord()
{
    return MessageComposer().Header(6, 0, 4).F32(12.5f).Bytes();
}

std::vector<std::uint8_t> CameraRecord(std::uint8_t port, std::vector<std::uint8_t> image)
{
    return MessageComposer()
        .Header(7, port, static_cast<std::uint16_t>(image.size()))
        .Raw(image)
        .Bytes();
}

// A record of the given type, `length` bytes long with a size field that disagrees with it.
std::vector<std::uint8_t> FixedRecord(std::uint8_t code, std::size_t length)
{
    MessageComposer record;
    record.Header(code, 1, 0xFFFF);
    record.Raw(std::vector<std::uint8_t>(length - 4, 0));
    return record.Bytes();
}

// The fixed-length record types as the design gives their lengths: code and length.
const std::pair<std::uint8_t, std::size_t> kFixedTypes[] = {
    {0, 68}, {1, 164}, {2, 76},    {3, 1800}, {4, 16}, {5, 16},
    {6, 8},  {8, 52},  {10, 1200}, {11, 964}, {12, 8}, {13, 8},
};

TEST(PacketFraming, EmptyOrNegativeCountReadsNothing)
{
    const std::uint8_t byte = 55;
    const struct {
        const std::uint8_t* message;
        std::int32_t n;
        const char* count;
    } cases[] = {{&byte, 0, "0"}, {nullptr, 0, "0"}, {&byte, -5, "-5"}};
    for (const auto& c : cases) {
        CapturedImage image;
        image.bytes.emplace(3, 0xAB);
        EXPECT_EQ(ToUtf8(ConvertMessage(c.message, c.n, image)),
                  std::string("Converting ") + c.count +
                      " bytes\r\n\r\nPacket Type:\r\n"
                      "\tNot enough data to contain packet type\r\n\r\n"
                      "Stopping decode due to error\r\n\r\n");
        EXPECT_FALSE(image.held()) << "the previous image is released on entry";
    }
}

TEST(PacketFraming, PacketTypeAloneEndsCleanly) { EXPECT_EQ(Convert({55}), Opening(1)); }

TEST(PacketFraming, UnknownPacketTypeIsShownAsSignedByteAndStops)
{
    const struct {
        std::uint8_t type;
        const char* shown;
    } cases[] = {{200, "-56"}, {7, "7"}, {0, "0"}, {127, "127"}, {128, "-128"}, {255, "-1"}};
    for (const auto& c : cases) {
        // The records after an unknown packet type are never looked at.
        const auto message = Message({BatteryRecord()}, c.type);
        EXPECT_EQ(Convert(message), Printf("Converting %zu bytes\r\n\r\nPacket Type:\r\n"
                                           "\tType UNKNOWN (%s)\r\n\r\n%s",
                                           message.size(), c.shown, kStopLine));
    }
}

TEST(PacketFraming, WorkedExampleOfNineBytes)
{
    const std::vector<std::uint8_t> message = {0x37, 0x06, 0x00, 0x04, 0x00,
                                               0x00, 0x00, 0x00, 0x41};
    EXPECT_EQ(Convert(message),
              "Converting 9 bytes\r\n\r\nPacket Type:\r\n\tType = v4.0+ (enhanced Signature)"
              "\r\n\r\nMiscellaneous values:\r\n\tSize = 4\r\n\tBattery voltage = 8\r\n\r\n");
}

TEST(RecordWalk, OneToThreeTrailingBytesAreNeverExamined)
{
    for (std::size_t extra = 1; extra <= 3; ++extra) {
        auto message = Message({BatteryRecord()});
        message.insert(message.end(), extra, 0xFF);
        EXPECT_EQ(Convert(message), Opening(message.size()) + kBatteryBlock) << extra;
    }
}

TEST(RecordWalk, TypeCodeAboveThirteenStopsAfterThePreviousBlock)
{
    for (std::uint8_t code : {14, 15, 128, 255}) {
        const auto first = Message({MessageComposer().Header(code, 0, 0).Bytes()});
        EXPECT_EQ(Convert(first),
                  Opening(first.size()) + "Unrecognized sensor type\r\n\r\n" + kStopLine);
        const auto later = Message({BatteryRecord(), MessageComposer().Header(code, 0, 0).Bytes()});
        EXPECT_EQ(Convert(later), Opening(later.size()) + kBatteryBlock +
                                      "Unrecognized sensor type\r\n\r\n" + kStopLine);
    }
}

TEST(SignatureBounds, RecordThatOverrunsTheMessageOrItsOwnSizeShowsNothing)
{
    const struct {
        const char* why;
        std::vector<std::uint8_t> record;
    } cases[] = {
        {"size runs past the message", MessageComposer().Header(9, 1, 200).U16(0).U16(0).Bytes()},
        {"size 0 cannot hold N", MessageComposer().Header(9, 1, 0).Bytes()},
        {"size 1 cannot hold N", MessageComposer().Header(9, 1, 1).U8(0).Bytes()},
        {"size 2 cannot hold M", MessageComposer().Header(9, 1, 2).U16(0).Bytes()},
        {"N burst values past the size",
         MessageComposer().Header(9, 1, 8).U16(2).F32(1.0f).U16(0).Bytes()},
        {"M pairs past the size",
         MessageComposer().Header(9, 1, 11).U16(0).U16(1).F32(1.0f).Raw({0, 0, 0}).Bytes()},
        {"largest counts in a small record",
         MessageComposer().Header(9, 1, 4).U16(0xFFFF).U16(0xFFFF).Bytes()},
    };
    for (const auto& c : cases) {
        // The battery record after it would fit and be shown if the walk went on.
        const auto message = Message({BatteryRecord(), c.record, BatteryRecord()});
        EXPECT_EQ(Convert(message), Opening(message.size()) + kBatteryBlock + kStopLine) << c.why;
    }
}

TEST(CameraRecord, ShowsItsBlockAndCapturesTheImageBytes)
{
    const std::vector<std::uint8_t> message = {0x37, 0x07, 0x03, 0x05, 0x00,
                                               0xFF, 0xD8, 0xFF, 0xE0, 0x00};
    CapturedImage image;
    EXPECT_EQ(Convert(message, image), Opening(10) + "Camera on COM3:\r\n\tImage size = 5\r\n\r\n");
    ASSERT_TRUE(image.held());
    EXPECT_EQ(*image.bytes, (std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 0x00}));
}

TEST(CameraRecord, EmptyImageStillCounts)
{
    CapturedImage image;
    const auto message = Message({CameraRecord(2, {})});
    EXPECT_EQ(Convert(message, image),
              Opening(message.size()) + "Camera on COM2:\r\n\tImage size = 0\r\n\r\n");
    ASSERT_TRUE(image.held());
    EXPECT_TRUE(image.bytes->empty());
}

TEST(CameraRecord, LastCameraRecordOfTheMessageWins)
{
    CapturedImage image;
    Convert(Message({CameraRecord(1, {1, 2, 3}), BatteryRecord(), CameraRecord(1, {4, 5})}), image);
    ASSERT_TRUE(image.held());
    EXPECT_EQ(*image.bytes, (std::vector<std::uint8_t>{4, 5}));
}

TEST(CameraRecord, ImageSurvivesALaterStop)
{
    CapturedImage image;
    const auto message = Message({CameraRecord(1, {9, 8, 7}), {14, 0, 0, 0}});
    EXPECT_TRUE(Convert(message, image)
                    .ends_with("Unrecognized sensor type\r\n\r\n" + std::string(kStopLine)));
    ASSERT_TRUE(image.held());
    EXPECT_EQ(*image.bytes, (std::vector<std::uint8_t>{9, 8, 7}));
}

TEST(CameraRecord, OverlongRecordShowsNothingAndKeepsTheEarlierImage)
{
    auto overlong = CameraRecord(5, {1, 2, 3, 4});
    overlong.pop_back();  // the size still promises four bytes

    CapturedImage image;
    const auto alone = Message({overlong});
    EXPECT_EQ(Convert(alone, image), Opening(alone.size()) + kStopLine);
    EXPECT_FALSE(image.held());

    const auto afterAnother = Message({CameraRecord(1, {6, 6}), overlong});
    EXPECT_EQ(
        Convert(afterAnother, image),
        Opening(afterAnother.size()) + "Camera on COM1:\r\n\tImage size = 2\r\n\r\n" + kStopLine);
    ASSERT_TRUE(image.held());
    EXPECT_EQ(*image.bytes, (std::vector<std::uint8_t>{6, 6}));
}

TEST(HeaderFields, PortAndSizeAreUnsignedInTheTextAndTheWalk)
{
    // Sizes from 32768 up, read as signed, would print negative and move the walk backwards.
    std::vector<std::uint8_t> picture(40000);
    for (std::size_t i = 0; i < picture.size(); ++i) {
        picture[i] = static_cast<std::uint8_t>(i * 31);
    }
    const auto message = Message(
        {MessageComposer().Header(4, 200, 0x8000).F32(1.5f).F32(2.5f).F32(3.5f).Bytes(),
         CameraRecord(128, picture), MessageComposer().Header(6, 0, 0xFFFF).F32(12.5f).Bytes()});
    CapturedImage image;
    EXPECT_EQ(Convert(message, image),
              Opening(1 + 16 + 4 + 40000 + 8) +
                  "ACS on COM200:\r\n\tSize = 32768\r\n\tConductivity mean = 1.5\r\n"
                  "\tTemp mean = 2.5\r\n\tSalinity mean = 3.5\r\n\r\n"
                  "Camera on COM128:\r\n\tImage size = 40000\r\n\r\n"
                  "Miscellaneous values:\r\n\tSize = 65535\r\n\tBattery voltage = 12.5\r\n\r\n");
    ASSERT_TRUE(image.held());
    EXPECT_EQ(*image.bytes, picture);
}

// One record of every type, back to back.
std::vector<std::vector<std::uint8_t>> EveryRecordType()
{
    std::vector<std::vector<std::uint8_t>> records;
    for (const auto& [code, length] : kFixedTypes) {
        records.push_back(FixedRecord(code, length));
    }
    records.push_back(CameraRecord(4, {0xFF, 0xD8, 0xFF, 0xD9}));
    records.push_back(MessageComposer()
                          .Header(9, 2, 4 + 8 + 16)
                          .U16(2)
                          .F32(0.5f)
                          .F32(-0.25f)
                          .U16(2)
                          .F32s(SampleValues(4, 1))
                          .Bytes());
    return records;
}

// Covers, for every record type, a record one byte short (only the stop line after the
// previous block) and a size field that disagrees with the table length (the walk still
// advances by the table length).
TEST(RecordWalk, MessageCutAtEveryLengthShowsWholeRecordsThenTheStopLine)
{
    const auto records = EveryRecordType();
    std::vector<std::uint8_t> full = {55};
    std::vector<std::size_t> recordEnds;  // message length after each whole record
    std::vector<std::string> blocks;
    for (const auto& record : records) {
        full.insert(full.end(), record.begin(), record.end());
        recordEnds.push_back(full.size());
        blocks.push_back(Convert(Message({record})).substr(Opening(record.size() + 1).size()));
    }

    for (std::size_t n = 1; n <= full.size(); ++n) {
        // Exactly n bytes in their own allocation, so a read past the end is caught.
        const std::vector<std::uint8_t> cut(full.begin(), full.begin() + n);
        std::string expected = Opening(n);
        std::size_t walked = 1;
        bool cameraWhole = false;
        for (std::size_t r = 0; r < records.size() && recordEnds[r] <= n; ++r) {
            expected += blocks[r];
            walked = recordEnds[r];
            cameraWhole = cameraWhole || records[r][0] == 7;
        }
        if (n - walked >= 4) {
            expected += kStopLine;
        }
        CapturedImage image;
        ASSERT_EQ(Convert(cut, image), expected) << "cut at " << n;
        EXPECT_EQ(image.held(), cameraWhole) << "cut at " << n;
    }
}

TEST(RecordWalk, ArbitraryBytesAlwaysGiveAWholeReport)
{
    // Plausible headers (known type codes, random sizes) with random bodies, cut anywhere:
    // every report must be made of whole lines, whatever it says.
    std::mt19937 random(20240611);
    for (int trial = 0; trial < 3000; ++trial) {
        std::vector<std::uint8_t> message = {55};
        const int records = 1 + static_cast<int>(random() % 6);
        for (int r = 0; r < records; ++r) {
            const auto code = static_cast<std::uint8_t>(random() % 15);
            const auto size = static_cast<std::uint16_t>(random() % 64);
            message.insert(message.end(), {code, static_cast<std::uint8_t>(random()),
                                           static_cast<std::uint8_t>(size), 0});
            const std::size_t body = random() % 2 ? size : random() % 2000;
            for (std::size_t i = 0; i < body; ++i) {
                message.push_back(static_cast<std::uint8_t>(random() % 4 ? random() : 0));
            }
        }
        message.resize(random() % (message.size() + 1));
        const std::string report = Convert(message);
        ASSERT_TRUE(report.ends_with("\r\n")) << "trial " << trial;
    }
}

}  // namespace
}  // namespace saltmark::testing

namespace saltmark {
namespace {

// Found by fuzzing: a surrogate or a value past U+10FFFF came out as bytes that are not UTF-8.
TEST(ToUtf8, EncodesEveryWidthAndReplacesWhatIsNoCharacter)
{
    const struct {
        wchar_t character;
        const char* utf8;
    } cases[] = {
        {L'A', "A"},
        {static_cast<wchar_t>(0xE9), "\xC3\xA9"},
        {static_cast<wchar_t>(0x20AC), "\xE2\x82\xAC"},
        {static_cast<wchar_t>(0xD800), "\xEF\xBF\xBD"},
        {static_cast<wchar_t>(0xDFFF), "\xEF\xBF\xBD"},
#if WCHAR_MAX > 0xFFFF
        {static_cast<wchar_t>(0x1F30A), "\xF0\x9F\x8C\x8A"},
        {static_cast<wchar_t>(0x10FFFF), "\xF4\x8F\xBF\xBF"},
        {static_cast<wchar_t>(0x110000), "\xEF\xBF\xBD"},
        {static_cast<wchar_t>(0xFFFFFF), "\xEF\xBF\xBD"},
#endif
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToUtf8(ReportText(1, c.character)), c.utf8)
            << std::hex << static_cast<std::uint32_t>(c.character);
    }
}

}  // namespace
}  // namespace saltmark
