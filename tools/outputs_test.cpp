#include "outputs.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "message.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

EddyRateOutputs awkwardOutputs()
{
    EddyRateOutputs o;
    o.Ustar = 0.1 + 0.2;  // needs all 17 digits
    o.Epsilon = 5e-324;   // the smallest subnormal
    o.MeanU = std::copysign(kNaN, -1.0);
    o.MeanV = kNaN;
    o.MeanW = -kInf;
    o.MeanTemp = kInf;
    o.Anisotropy = -0.0;
    o.Quality = std::numeric_limits<double>::max();
    for (std::size_t i = 0; i < EDDYRATE_BANDS; ++i) {
        o.Freq[i] = (11.0 * static_cast<double>(i) + 6.5) / 256.0;
        o.Tke[i] = 1.0 / (static_cast<double>(i) + 3.0);
    }
    o.Tke[7] = std::copysign(kNaN, -1.0);
    o.Tke[115] = kInf;
    return o;
}

TEST(OutputsJson, ReadsBackEveryBitIncludingNamedNonFiniteValues)
{
    const EddyRateOutputs original = awkwardOutputs();
    std::string error;
    const std::optional<EddyRateOutputs> back = outputsFromJson(outputsToJson(original), error);
    ASSERT_TRUE(back) << error;
    for (const ScalarOutput& scalar : kScalarOutputs) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(back.value().*scalar.field),
                  std::bit_cast<std::uint64_t>(original.*scalar.field))
            << scalar.name;
    }
    for (const BandOutput& band : kBandOutputs) {
        for (std::size_t i = 0; i < EDDYRATE_BANDS; ++i) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>((back.value().*band.field)[i]),
                      std::bit_cast<std::uint64_t>((original.*band.field)[i]))
                << band.name << "[" << i << "]";
        }
    }
}

TEST(OutputsJson, WritesNonFiniteValuesAsNullWithTheirName)
{
    const std::string json = outputsToJson(awkwardOutputs());
    EXPECT_NE(json.find("\"Ustar\": 0.30000000000000004,"), std::string::npos);
    EXPECT_NE(json.find("\"MeanU\": null, \"MeanU_nonfinite\": \"-nan\""), std::string::npos);
    EXPECT_NE(json.find("\"MeanW\": null, \"MeanW_nonfinite\": \"-inf\""), std::string::npos);
    EXPECT_NE(json.find("\"Tke_nonfinite\": [null, null, null, null, null, null, null, \"-nan\","),
              std::string::npos);
    EXPECT_EQ(json.find("Freq_nonfinite"), std::string::npos);
}

std::string withBandArray(const std::string& name, const std::string& elements)
{
    std::string json =
        "{\"Ustar\": 1, \"Epsilon\": 1, \"MeanU\": 1, \"MeanV\": 1, \"MeanW\": 1, "
        "\"MeanTemp\": 1, \"Anisotropy\": 1, \"Quality\": 1";
    const std::string ones = [] {
        std::string s = "1";
        for (int i = 1; i < EDDYRATE_BANDS; ++i) {
            s += ",1";
        }
        return s;
    }();
    for (const char* band : {"Freq", "Tke"}) {
        json += std::string(", \"") + band + "\": [" + (band == name ? elements : ones) + "]";
    }
    return json + "}";
}

TEST(OutputsJson, RefusesOutputsItCannotPack)
{
    const std::string good = withBandArray("", "");
    std::string error;
    ASSERT_TRUE(outputsFromJson(good, error)) << error;

    struct Bad {
        std::string json;
        const char* errorPart;
    };
    std::string missingQuality = good;
    missingQuality.replace(missingQuality.find("\"Quality\""), 9, "\"quality\"");
    std::string unnamedNull = good;
    unnamedNull.replace(unnamedNull.find("\"MeanV\": 1"), 10, "\"MeanV\": null");
    const Bad cases[] = {
        {"[1, 2]", "not a JSON object"},
        {missingQuality, "missing output Quality"},
        {unnamedNull, "MeanV"},
        {withBandArray("Tke", "1,2,3"), "Tke must be an array of 116"},
        {withBandArray("Freq", std::string("\"x\"") + std::string(230, ' ')), "Freq"},
        {"{\"Ustar\": 01}", "not JSON"},
        {"{\"Ustar\": 1.}", "not JSON"},
        {"{\"Ustar\": -inf}", "not JSON"},
        {"{\"Ustar\": 1e999}", "not JSON"},
        {"{\"Ustar\": 1} x", "not JSON"},
        {std::string(100, '[') + std::string(100, ']'), "not a JSON object"},
        {"{\"Ustar\": \"\\ud800\"}", "not JSON"},
        {"{\"Ustar", "not JSON"},
    };
    for (const Bad& bad : cases) {
        error.clear();
        EXPECT_FALSE(outputsFromJson(bad.json, error)) << bad.json;
        EXPECT_NE(error.find(bad.errorPart), std::string::npos) << bad.json << " -> " << error;
    }
}

float floatAt(const Bytes& record, std::size_t offset)
{
    const std::uint32_t bits = record[offset] | (record[offset + 1] << 8) |
                               (record[offset + 2] << 16) |
                               (static_cast<std::uint32_t>(record[offset + 3]) << 24);
    return std::bit_cast<float>(bits);
}

TEST(Y81000Record, PlacesEveryOutputAtItsOffset)
{
    const EddyRateOutputs outputs = awkwardOutputs();
    const Bytes record = y81000Record(outputs, 7);
    ASSERT_EQ(record.size(), 964u);
    EXPECT_EQ(record[0], 11);
    EXPECT_EQ(record[1], 7);
    EXPECT_EQ(record[2] | (record[3] << 8), 960);
    // Offsets of the record layout: the scalars from 4 in steps of 4, Freq from 36, Tke from 500.
    EXPECT_EQ(floatAt(record, 4), 0.3f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(floatAt(record, 8)), 0u);  // 5e-324 narrows to +0
    EXPECT_EQ(std::bit_cast<std::uint32_t>(floatAt(record, 12)), 0xFFC00000u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(floatAt(record, 16)), 0x7FC00000u);
    EXPECT_EQ(floatAt(record, 20), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(floatAt(record, 24), std::numeric_limits<float>::infinity());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(floatAt(record, 28)), 0x80000000u);
    EXPECT_EQ(floatAt(record, 32), std::numeric_limits<float>::infinity());  // DBL_MAX overflows
    EXPECT_EQ(floatAt(record, 36), 6.5f / 256.0f);
    EXPECT_EQ(floatAt(record, 36 + 4 * 115), (11.0f * 115.0f + 6.5f) / 256.0f);
    EXPECT_EQ(floatAt(record, 500), static_cast<float>(1.0 / 3.0));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(floatAt(record, 500 + 4 * 7)), 0xFFC00000u);
    EXPECT_EQ(floatAt(record, 960), std::numeric_limits<float>::infinity());
}

TEST(Y81000Record, NarrowsBeyondTheFloatRangeAsIeeeRoundingDoes)
{
    constexpr float kMax = std::numeric_limits<float>::max();
    constexpr float kInfF = std::numeric_limits<float>::infinity();
    const struct {
        double value;
        float narrowed;
    } cases[] = {
        {kMax, kMax},
        {0x1.fffffefffffffp127, kMax},  // just below halfway to 2^128
        {0x1.ffffffp127, kInfF},        // halfway: rounds to even, which is 2^128
        {-std::numeric_limits<double>::max(), -kInfF},
        {0x1p-150, 0.0f},  // half the smallest subnormal float: ties to even
        {0x1.000001p-150, 0x1p-149f},
    };
    for (const auto& c : cases) {
        EddyRateOutputs outputs;
        outputs.Ustar = c.value;
        EXPECT_EQ(floatAt(y81000Record(outputs, 1), 4), c.narrowed) << c.value;
    }
}

TEST(CameraRecord, CarriesTheImageUpToTheSizeFieldsLimit)
{
    const Bytes jpeg{0xFF, 0xD8, 0xFF, 0xE0, 0x00};
    const std::optional<Bytes> record = cameraRecord(jpeg, 3);
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, (Bytes{7, 3, 5, 0, 0xFF, 0xD8, 0xFF, 0xE0, 0x00}));

    const std::optional<Bytes> largest = cameraRecord(Bytes(65535, 0xAB), 1);
    ASSERT_TRUE(largest);
    EXPECT_EQ((*largest)[2], 0xFF);
    EXPECT_EQ((*largest)[3], 0xFF);
    EXPECT_FALSE(cameraRecord(Bytes(65536, 0xAB), 1));

    const Bytes message = composeMessage(std::vector<Bytes>{*record, Bytes{6, 0, 4, 0}});
    EXPECT_EQ(message.size(), 1u + 9u + 4u);
    EXPECT_EQ(message[0], 55);
    EXPECT_EQ(message[10], 6);
}

}  // namespace
