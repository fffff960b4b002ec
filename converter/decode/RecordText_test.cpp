// Every record type's block, compared byte for byte with the lines the report format gives,
// rendered independently through printf.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

std::string CountArray(const char* header, const char* element,
                       const std::vector<std::int32_t>& values)
{
    std::string text = header;
    for (std::size_t i = 0; i < values.size(); ++i) {
        text += Printf(element, static_cast<int>(i), values[i]);
    }
    return text;
}

std::vector<std::int32_t> SampleCounts(int count, int seed)
{
    std::vector<std::int32_t> counts;
    for (int i = 0; i < count; ++i) {
        counts.push_back((seed * 7919 + i * 104729) % 200003 - 100000);
    }
    return counts;
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

TEST(ImuRecord, ShowsEveryFieldWithItsOwnLabelsAndTwoTabElements)
{
    const std::vector<float> bulk = SampleValues(3, 1);
    std::vector<std::vector<float>> bands;
    for (int a = 0; a < 6; ++a) {
        bands.push_back(SampleValues(42, 10 + a));
    }
    const std::vector<float> position = SampleValues(2, 20);
    std::vector<std::vector<std::int32_t>> counts;
    std::vector<std::vector<float>> centres;
    for (int h = 0; h < 3; ++h) {
        counts.push_back(SampleCounts(32, h));
        centres.push_back(SampleValues(32, 30 + h));
    }
    MessageComposer record;
    record.Header(3, 7, 1796).F32s(bulk);
    for (const auto& band : bands) {
        record.F32s(band);
    }
    record.F32s(position);
    for (int h = 0; h < 3; ++h) {
        for (std::int32_t c : counts[h]) {
            record.I32(c);
        }
        record.F32s(centres[h]);
    }
    ASSERT_EQ(record.Bytes().size(), 1800u);

    std::string expected = "IMU on COM7:\r\n\tSize = 1796\r\n";
    expected += Printf("\tHs = %g\r\n\tTp = %g\r\n\tDp = %g\r\n", bulk[0], bulk[1], bulk[2]);
    expected += FloatArray("\tE array values:\r\n", "\t\tE[%d] = %g\r\n", bands[0]);
    expected += FloatArray("\tF array values:\r\n", "\t\tf[%d] = %g\r\n", bands[1]);
    expected += FloatArray("\tA1 array values:\r\n", "\t\tA1[%d] = %g\r\n", bands[2]);
    expected += FloatArray("\tB1 array values:\r\n", "\t\tB1[%d] = %g\r\n", bands[3]);
    expected += FloatArray("\tA2 array values:\r\n", "\t\tA2[%d] = %g\r\n", bands[4]);
    expected += FloatArray("\tB2 array values:\r\n", "\t\tB2[%d] = %g\r\n", bands[5]);
    expected += Printf("\tLat = %g\r\n\tLon = %g\r\n", position[0], position[1]);
    expected +=
        CountArray("\tVertical acceleration histogram:\r\n", "\t\tihAz[%d] = %d\r\n", counts[0]);
    expected += FloatArray("\tBin centers of vertical acceleration histogram:\r\n",
                           "\t\tibcAz[%d] = %g\r\n", centres[0]);
    expected +=
        CountArray("\tHorizontal acceleration histogram:\r\n", "\t\tihAh[%d] = %d\r\n", counts[1]);
    expected += FloatArray("\tBin centers of horizontal acceleration histogram:\r\n",
                           "\t\tfbcAh[%d] = %g\r\n", centres[1]);
    expected +=
        CountArray("\tHorizontal velocity histogram:\r\n", "\t\tihVh[%d] = %d\r\n", counts[2]);
    expected += FloatArray("\tBin centers of horizontal velocity histogram:\r\n",
                           "\t\tfbcVh[%d] = %g\r\n", centres[2]);
    expected += "\r\n";

    const std::string block = Block(record.Bytes());
    EXPECT_EQ(block, expected);
    EXPECT_EQ(std::count(block.begin(), block.end(), '\n'), 464);
}

TEST(EllipseRecord, ShowsNoSizeLineAndOneTabElementsWithCf)
{
    const std::vector<float> bulk = SampleValues(3, 2);
    std::vector<std::vector<float>> bands;
    for (int a = 0; a < 7; ++a) {
        bands.push_back(SampleValues(42, 40 + a));
    }
    const std::vector<float> position = SampleValues(2, 50);
    MessageComposer record;
    record.Header(10, 2, 1196).F32s(bulk);
    for (const auto& band : bands) {
        record.F32s(band);
    }
    record.F32s(position);
    ASSERT_EQ(record.Bytes().size(), 1200u);

    std::string expected = "Ellipse on COM2:\r\n";
    expected += Printf("\tHs = %g\r\n\tTp = %g\r\n\tDp = %g\r\n", bulk[0], bulk[1], bulk[2]);
    const char* names[] = {"E", "F", "A1", "B1", "A2", "B2", "CF"};
    for (int a = 0; a < 7; ++a) {
        const std::string header = Printf("\tEllipse %s[i] values:\r\n", names[a]);
        const std::string element = Printf("\t%s[%%d] = %%g\r\n", names[a]);
        expected += FloatArray(header.c_str(), element.c_str(), bands[a]);
    }
    expected += Printf("\tLat = %g\r\n\tLon = %g\r\n", position[0], position[1]);
    expected += "\r\n";
    EXPECT_EQ(Block(record.Bytes()), expected);
}

TEST(AquaDoppRecords, ShowTheirArraysAndIgnoreTheSizeField)
{
    const std::vector<float> a = SampleValues(16, 3);
    const std::vector<float> means = SampleValues(40, 4);
    MessageComposer hr;
    hr.Header(0, 1, 0xBEEF).F32s(a);
    MessageComposer dopp;
    dopp.Header(1, 255, 0).F32s(means);

    EXPECT_EQ(Block(hr.Bytes()),
              "AquaDoppHR on COM1:\r\n" +
                  FloatArray("\tAquaDoppHR array values:\r\n", "\tA[%d] = %g\r\n", a) + "\r\n");
    EXPECT_EQ(Block(dopp.Bytes()),
              "AquaDopp on COM255:\r\n" +
                  FloatArray("\tAquaDopp array values:\r\n", "\tMeans[%d] = %g\r\n", means) +
                  "\r\n");
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

TEST(Pb200Record, ShowsCogBeforePositionRepeatsWindSpeedAndSignedCalendar)
{
    const std::vector<float> wind = SampleValues(4, 11);      // WDMean WDSTD WSMean WSSTD
    const std::vector<float> position = SampleValues(2, 12);  // Lat Lon
    const std::vector<float> air = SampleValues(6, 13);       // AT, BP, COG pairs
    MessageComposer record;
    record.Header(2, 6, 72).F32s(wind).F32s(position);
    record.I32(2024).I32(11).I32(30);
    record.Raw({0xFF, 0xFF, 0xFF, 0xFF});  // Seconds
    record.F32s(air);
    record.F32(1.0e30f).F32(-2.0e30f);  // bytes 68 to 75, never shown
    ASSERT_EQ(record.Bytes().size(), 76u);

    const std::string expected =
        "PB200 on COM6:\r\n\tSize = 72\r\n" +
        Printf("\tWDMean = %g\r\n\tWDSTD = %g\r\n", wind[0], wind[1]) +
        Printf("\tWSMean = %g\r\n\tWSSTD = %g\r\n", wind[2], wind[3]) +
        Printf("\tCOGMean = %g\r\n\tCOGSTD = %g\r\n", air[4], air[5]) +
        Printf("\tWSMean = %g\r\n\tWSSTD = %g\r\n", wind[2], wind[3]) +
        Printf("\tLat = %g\r\n\tLon = %g\r\n", position[0], position[1]) +
        "\tYear = 2024\r\n\tMonth = 11\r\n\tDay = 30\r\n\tSeconds = -1\r\n" +
        Printf("\tATMean = %g\r\n\tATSTD = %g\r\n", air[0], air[1]) +
        Printf("\tBPMean = %g\r\n\tBPSTD = %g\r\n", air[2], air[3]) + "\r\n";
    EXPECT_EQ(Block(record.Bytes()), expected);
}

TEST(V536Record, ShowsAllTwelveValuesInStorageOrder)
{
    const std::vector<float> values = SampleValues(12, 14);
    MessageComposer record;
    record.Header(8, '0', 48).F32s(values);
    const char* labels[] = {"WDMean", "WDSTD", "WSMean", "WSSTD", "ATMean",  "ATSTD",
                            "RHMean", "RHSTD", "BPMean", "BPSTD", "RainAcc", "RainInt"};
    // The address is the character 0, not the number 48.
    std::string expected = "V536 at SDI-12 addr 0:\r\n\tSize = 48\r\n";
    for (int i = 0; i < 12; ++i) {
        expected += Printf("\t%s = %g\r\n", labels[i], values[i]);
    }
    expected += "\r\n";
    EXPECT_EQ(Block(record.Bytes()), expected);
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

TEST(Y81000Record, ShowsScalarsThenBothSpectraFillValuesIncluded)
{
    // The library's rejected-burst values: 9999 markers and a zero quality.
    const std::vector<float> scalars = {9999.0f,  9999.0f, 8.25f,   -0.5f,
                                        0.03125f, 287.15f, 9999.0f, 0.0f};
    const std::vector<float> freq = SampleValues(116, 15);
    const std::vector<float> tke = SampleValues(116, 16);
    MessageComposer record;
    record.Header(11, 3, 960).F32s(scalars).F32s(freq).F32s(tke);
    ASSERT_EQ(record.Bytes().size(), 964u);

    const std::string expected =
        "Y81000 on COM3:\r\n\tUstar = 9999\r\n\tEpsilon = 9999\r\n\tMeanU = 8.25\r\n"
        "\tMeanV = -0.5\r\n\tMeanW = 0.03125\r\n\tMeanTemp = 287.15\r\n\tAnisotropy = 9999\r\n"
        "\tQuality = 0\r\n" +
        FloatArray("\tY81000 Freq[i] values:\r\n", "\tFreq[%d] = %g\r\n", freq) +
        FloatArray("\tY81000 Tke[i] values:\r\n", "\tTke[%d] = %g\r\n", tke) + "\r\n";
    EXPECT_EQ(Block(record.Bytes()), expected);
}

TEST(ShortRecords, ShowTitleSizeAndValuesInOffsetOrder)
{
    const struct {
        std::uint8_t code;
        std::size_t length;
        const char* expected;
    } cases[] = {
        {4, 16,
         "ACS on COM9:\r\n\tSize = 12\r\n\tConductivity mean = 4.5\r\n\tTemp mean = -1.75\r\n"
         "\tSalinity mean = 35.125\r\n\r\n"},
        {5, 16,
         "ECO on COM9:\r\n\tSize = 12\r\n\tColumn 2 mean = 4.5\r\n\tColumn 4 mean = -1.75\r\n"
         "\tColumn 6 mean = 35.125\r\n\r\n"},
        {6, 8, "Miscellaneous values:\r\n\tSize = 12\r\n\tBattery voltage = 4.5\r\n\r\n"},
        {12, 8, "ACO on COM9:\r\n\tSize = 12\r\n\tO2 Concentration mean = 4.5\r\n\r\n"},
        {13, 8, "SWL on COM9:\r\n\tSize = 12\r\n\tO2 FDOM mean = 4.5\r\n\r\n"},
    };
    for (const auto& c : cases) {
        MessageComposer record;
        record.Header(c.code, 9, 12).F32(4.5f).F32(-1.75f).F32(35.125f);
        std::vector<std::uint8_t> bytes = record.Bytes();
        bytes.resize(c.length);
        EXPECT_EQ(Block(bytes), c.expected) << "type " << int{c.code};
    }
}

TEST(NumberForms, FollowTheCLibrarysPercentG)
{
    // Exponent form outside 1e-4 .. 1e6, six significant digits, and glibc's spelling of the
    // non-finite values (the sign bit decides "-nan").
    const struct {
        std::uint32_t bits;
        const char* text;
    } cases[] = {
        {0x3F800000, "1"},          {0x49742400, "1e+06"},  {0x49741780, "999800"},
        {0x3DCCCCCD, "0.1"},        {0x38D1B717, "0.0001"}, {0x3727C5AC, "1e-05"},
        {0x80000000, "-0"},         {0x7F800000, "inf"},    {0xFF800000, "-inf"},
        {0x7FC00000, "nan"},        {0xFFC00000, "-nan"},   {0x7F7FFFFF, "3.40282e+38"},
        {0x00000001, "1.4013e-45"}, {0x4B189680, "1e+07"},  {0x3E20C49C, "0.157"},
    };
    for (const auto& c : cases) {
        MessageComposer record;
        record.Header(12, 1, 4).U32(c.bits);
        EXPECT_EQ(Block(record.Bytes()),
                  std::string("ACO on COM1:\r\n\tSize = 4\r\n\tO2 Concentration mean = ") + c.text +
                      "\r\n\r\n")
            << std::hex << c.bits;
    }
}

}  // namespace
}  // namespace saltmark::testing
