// Every record type's block in the report. The labels are checked as properties of the record
// descriptions (every field labelled, once per type, and every value shown under its label as
// printf renders it) rather than typed out again; the layout rules that are no table (tabs,
// size lines, the PB200's order, the V536's address, the Signature's counted arrays) one by
// one.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "Records.h"
#include "testing/EveryRecord.h"
#include "testing/MessageComposer.h"
#include "testing/ReportExpect.h"

namespace saltmark::testing {
namespace {

std::string FloatArray(const char* header, const char* element, const std::vector<float>& values)
{
    std::string text = header;
    for (std::size_t i = 0; i < values.size(); ++i) {
        text += Printf(element, static_cast<int>(i), values[i]);
    }
    return text;
}

// Converts a message holding just `record` and gives the text after the packet-type lines.
std::string Block(const std::vector<std::uint8_t>& record)
{
    const std::vector<std::uint8_t> message = Message({record});
    const std::string report = Convert(message);
    const std::string opening = Opening(message.size());
    EXPECT_EQ(report.substr(0, opening.size()), opening);
    return report.substr(std::min(opening.size(), report.size()));
}

// The report of a message holding one record of every type, cut into its records' blocks.
std::vector<std::string> EveryBlock(const EveryRecordMessage& every)
{
    const std::string report = Convert(every.Bytes());
    std::vector<std::string> blocks;
    for (std::size_t at = Opening(every.Bytes().size()).size(); at < report.size();) {
        const std::size_t end = std::min(report.find("\r\n\r\n", at), report.size());
        blocks.push_back(report.substr(at, end - at + 2));
        at = end + 4;
    }
    return blocks;
}

TEST(RecordLabels, EveryFieldHasALabelOfItsOwnWithinItsType)
{
    for (const RecordDescription& type : RecordDescriptions()) {
        std::set<std::string_view> labels;
        for (const FieldDescription& field : type.fields) {
            EXPECT_FALSE(field.name.empty()) << type.typeName;
            EXPECT_TRUE(labels.insert(field.name).second) << type.typeName << " " << field.name;
        }
    }
}

TEST(RecordBlocks, ShowEveryValueUnderItsLabel)
{
    const EveryRecordMessage every(false);
    const std::vector<std::string> blocks = EveryBlock(every);
    ASSERT_EQ(blocks.size(), every.Records().size());
    for (std::size_t r = 0; r < blocks.size(); ++r) {
        const ComposedRecord& record = every.Records()[r];
        const RecordDescription& type = *FindRecordDescription(record.type);
        for (std::size_t f = 0; f < record.fields.size(); ++f) {
            const ComposedField& field = record.fields[f];
            const std::span<const int> order = type.reportOrder;
            if (field.stored == Stored::Text ||
                (!order.empty() && std::count(order.begin(), order.end(), int(f)) == 0)) {
                continue;  // the address is in the title; the image offset is never shown
            }
            const std::string separator(type.fields[f].separator);
            const std::size_t n = std::max(field.bits.size(), field.integers.size());
            for (std::size_t i = 0; i < n; ++i) {
                const std::string label = field.array ? "\t" + field.name + Printf("[%zu] = ", i)
                                                      : "\t" + field.name + separator;
                const std::string value =
                    field.stored == Stored::F32
                        ? Printf("%g", std::bit_cast<float>(field.bits[i]))
                        : Printf("%lld", static_cast<long long>(field.integers[i]));
                EXPECT_NE(blocks[r].find(label + value + "\r\n"), std::string::npos)
                    << record.type << ": " << label << value << "\n"
                    << blocks[r];
            }
        }
    }
}

TEST(RecordBlocks, FollowTheirTypesLayout)
{
    const EveryRecordMessage every(false);
    const std::vector<std::string> blocks = EveryBlock(every);
    auto block = [&](std::string_view type) {
        for (std::size_t r = 0; r < blocks.size(); ++r) {
            if (every.Records()[r].type == type) {
                return Printf("COM%d", every.Records()[r].port) + "|" + blocks[r];
            }
        }
        return std::string();
    };
    const auto has = [](const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    };
    // Code 3, its size field 1800 - 4 + 3 (see EveryRecord.h); elements two tabs in.
    const std::string imu = block("IMU");
    EXPECT_TRUE(has(imu, "|IMU on COM") && has(imu, ":\r\n\tSize = 1799\r\n\tHs = ")) << imu;
    EXPECT_TRUE(has(imu, "\tVertical acceleration histogram:\r\n\t\tihAz[0] = ")) << imu;
    const std::string ellipse = block("Ellipse");
    EXPECT_FALSE(has(ellipse, "\tSize")) << ellipse;
    EXPECT_TRUE(has(ellipse, "\tEllipse CF[i] values:\r\n\tCF[0] = ")) << ellipse;
    // The PB200 shows the course before the position and the wind speed once more.
    const std::string pb200 = block("PB200");
    EXPECT_LT(pb200.find("\tCOGMean"), pb200.find("\tLat")) << pb200;
    EXPECT_NE(pb200.find("\tWSMean"), pb200.rfind("\tWSMean")) << pb200;
    EXPECT_TRUE(has(block("V536"), "|V536 at SDI-12 addr 7:\r\n\tSize = "));
    EXPECT_TRUE(has(block("Y81000"), "\tY81000 Tke[i] values:\r\n\tTke[0] = "));
    const std::string camera = block("Camera");
    EXPECT_EQ(camera.substr(camera.find('|')),
              "|Camera on " + camera.substr(0, camera.find('|')) + ":\r\n\tImage size = 5\r\n");
}

std::string SignatureBlock(int port, const std::vector<float>& burst,
                           const std::vector<float>& east, const std::vector<float>& north)
{
    return Printf("Signature on COM%d:\r\n\tBurst cells: %d\r\n\tAvg cells: %d\r\n", port,
                  static_cast<int>(burst.size()), static_cast<int>(east.size())) +
           FloatArray("\tSignature A[i] values:\r\n", "\tA[%d] = %g\r\n", burst) +
           FloatArray("\tSignature East mean values:\r\n", "\tEastMeans[%d] = %g\r\n", east) +
           FloatArray("\tSignature North mean values:\r\n", "\tNorthMeans[%d] = %g\r\n", north) +
           "\r\n";
}

std::vector<std::uint8_t> SignatureRecord(int port, const std::vector<float>& burst,
                                          const std::vector<float>& east,
                                          const std::vector<float>& north, int padding = 0)
{
    const auto size = static_cast<std::uint16_t>(4 + 4 * burst.size() + 8 * east.size() + padding);
    MessageComposer record;
    record.Header(9, static_cast<std::uint8_t>(port), size)
        .U16(static_cast<std::uint16_t>(burst.size()))
        .F32s(burst)
        .U16(static_cast<std::uint16_t>(east.size()))
        .F32s(east)
        .F32s(north);
    record.Raw(std::vector<std::uint8_t>(padding, 0xEE));
    return record.Bytes();
}

TEST(SignatureRecord, EmptyRecordShowsCountsAndHeadersOnly)
{
    const auto record = SignatureRecord(4, {}, {}, {});
    ASSERT_EQ(record.size(), 8u);
    EXPECT_EQ(Block(record),
              "Signature on COM4:\r\n\tBurst cells: 0\r\n\tAvg cells: 0\r\n"
              "\tSignature A[i] values:\r\n\tSignature East mean values:\r\n"
              "\tSignature North mean values:\r\n\r\n");
}

TEST(SignatureRecord, ReadsArraysAtOffsetsTwoModuloFour)
{
    const auto burst = SampleValues(5, 5);
    const auto east = SampleValues(3, 6);
    const auto north = SampleValues(3, 7);
    EXPECT_EQ(Block(SignatureRecord(9, burst, east, north)), SignatureBlock(9, burst, east, north));
}

TEST(SignatureRecord, LargerSizeSkipsTheRestAndTheWalkResumesAfterIt)
{
    const auto burst = SampleValues(2, 8);
    const auto east = SampleValues(1, 9);
    const auto north = SampleValues(1, 10);
    MessageComposer battery;
    battery.Header(6, 0, 4).F32(12.5f);
    const auto message = Message({SignatureRecord(3, burst, east, north, 7), battery.Bytes()});
    EXPECT_EQ(Convert(message),
              Opening(message.size()) + SignatureBlock(3, burst, east, north) +
                  "Miscellaneous values:\r\n\tSize = 4\r\n\tBattery voltage = 12.5\r\n\r\n");
}

TEST(V536Record, AddressShowsAsItselfOnlyWhenPrintable)
{
    const struct {
        std::uint8_t address;
        const char* title;
    } cases[] = {
        {'A', "V536 at SDI-12 addr A:\r\n"},  {' ', "V536 at SDI-12 addr  :\r\n"},
        {'~', "V536 at SDI-12 addr ~:\r\n"},  {0, "V536 at SDI-12 addr ?:\r\n"},
        {'\n', "V536 at SDI-12 addr ?:\r\n"}, {'\r', "V536 at SDI-12 addr ?:\r\n"},
        {127, "V536 at SDI-12 addr ?:\r\n"},  {0xE9, "V536 at SDI-12 addr ?:\r\n"},
    };
    for (const auto& c : cases) {
        MessageComposer record;
        record.Header(8, c.address, 48).Raw(std::vector<std::uint8_t>(48, 0));
        const std::string block = Block(record.Bytes());
        EXPECT_EQ(block.substr(0, block.find('\n') + 1), c.title) << int{c.address};
        EXPECT_EQ(std::count(block.begin(), block.end(), '\n'), 15) << int{c.address};
    }
}

}  // namespace
}  // namespace saltmark::testing
