// GTS-ready BUFR from an archive of the example station message, written by saltmark-export
// --bufr: every report decoded again by ecCodes' own bufr_dump and each value checked against
// what the archive holds, units converted, and the values QC rejects (or the template cannot
// hold) missing.

#include "BufrExport.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

#include "Archive.h"
#include "testing/MessageComposer.h"

namespace saltmark::bufr {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using saltmark::testing::MessageComposer;

constexpr const char* kNorth = "300434060000010";  // a seven-digit WMO code
constexpr const char* kSouth = "300434060000020";  // a five-digit one, widened
constexpr const char* kPolar = "300434060000030";  // a five-digit one of the Antarctic: none
constexpr std::int64_t kNoon = 1718107200;         // 2024-06-11T12:00:00Z, the example's PB200
constexpr double kKelvin = 273.15;

constexpr const char* kDeployment = R"(
metadata: {title: BUFR test}
buoys:
  "300434060000010":
    name: Biscay North
    wmo_platform_code: "6201501"
    deployment: {start: 2024-06-11T06:00:00Z}
    instruments: [{record: PB200, make_model: weather station, height: 3.1}]
  "300434060000020": {name: Biscay South, wmo_platform_code: "62502"}
  "300434060000030": {name: Weddell, wmo_platform_code: "71501"}
)";

// The example message; with `seconds`, its PB200 (the first record) that much later, with an
// air temperature and a wind speed of its own.
std::vector<std::uint8_t> Station(std::optional<std::int32_t> seconds = {},
                                  float airTemperature = 0, float windSpeed = 0)
{
    std::ifstream in(fs::path(EXAMPLES_DIR) / "station.sbd", std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    const auto put = [&](std::size_t offset, auto value) {
        std::memcpy(bytes.data() + 1 + offset, &value, sizeof value);
    };
    if (seconds) {
        put(40, 43200 + *seconds);
        put(44, airTemperature);
        put(12, windSpeed);
    }
    return bytes;
}

archive::Delivery Pushed(const char* imei, std::uint16_t momsn, std::int64_t sessionTime,
                         std::vector<std::uint8_t> payload)
{
    DirectIpMessage message;
    message.header.imei = imei;
    message.header.momsn = momsn;
    message.header.sessionTime = static_cast<std::uint32_t>(sessionTime);
    message.payload = std::move(payload);
    message.location = DirectIpLocation{54.25, 7.75, 4};
    return archive::DeliveryFromDirectIp(message, ComposeDirectIp(message));
}

// Decodes `file` with bufr_dump and checks that every value it carries is the one expected
// ("#n#key" for the n-th of a name, plain for the first), to the template's precision, and
// that every other value is missing.
void ExpectReport(const fs::path& file, const std::map<std::string, json>& expected)
{
    SCOPED_TRACE(file.filename().string());
    ASSERT_TRUE(fs::exists(file));
    const std::string command = std::string(BUFR_DUMP) + " -jf '" + file.string() + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    std::string text;
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        text.append(buffer, n);
    }
    ASSERT_TRUE(pipe && ::pclose(pipe) == 0) << command;
    const json dump = json::parse(text);
    std::map<std::string, int> seen;
    std::size_t found = 0;
    for (const json& entry : dump.at("messages")) {
        const std::string name = entry.at("key");
        const int n = ++seen[name];
        auto want = expected.find("#" + std::to_string(n) + "#" + name);
        if (n == 1 && want == expected.end()) {
            want = expected.find(name);
        }
        const json& value = entry.at("value");
        if (want == expected.end()) {
            EXPECT_TRUE(value.is_null() || name == "subsetNumber" ||
                        name.find("ReplicationFactor") != std::string::npos)
                << name << " #" << n << " = " << value << " not expected";
        } else if (want->second.is_number_float()) {
            const double step = std::pow(10.0, -entry.value("scale", 0));
            EXPECT_NEAR(value.is_number() ? value.get<double>() : NAN,
                        want->second.get<double>(), step / 2 + 1e-9)
                << want->first;
        } else {
            EXPECT_EQ(value, want->second) << want->first;
        }
        found += want != expected.end();
    }
    EXPECT_EQ(found, expected.size());
}

class BufrTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string pattern = (fs::temp_directory_path() / "saltmark-bufr-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        s_dir = pattern;
        std::string reason;
        auto archive = archive::Archive::Open(s_dir / "archive.sqlite", {}, reason);
        ASSERT_TRUE(archive) << reason;
        // A V536 beside the battery, its wind speed beyond what the template holds.
        MessageComposer v536;
        v536.Header(8, '0', 48).F32(240.1f).F32(10.2f).F32(500.0f).F32(1.7f).F32(14.4f);
        v536.F32(0.2f).F32(81.5f).F32(2.3f).F32(1012.9f).F32(0.3f).F32(0.0f).F32(0.0f);
        const auto battery = MessageComposer().Header(6, 0, 8).F32(12.4f).Bytes();
        // By id: 1 the example as it is; 2 half an hour on, warmer, its wind speed the
        // logger's marker; 3 the V536 and the battery, placed by the gateway; 4 the day
        // before the launch; 5 the other buoy.
        const archive::Delivery deliveries[] = {
            Pushed(kNorth, 1, kNoon + 300, Station()),
            Pushed(kNorth, 2, kNoon + 2100, Station(1800, 15.5f, 9999.0f)),
            Pushed(kNorth, 3, kNoon + 3900, saltmark::testing::Message({v536.Bytes(), battery})),
            Pushed(kNorth, 4, kNoon - 86400, Station(-86400, 14.6f, 8.7f)),
            Pushed(kSouth, 1, kNoon + 300, Station()),
        };
        for (const archive::Delivery& delivery : deliveries) {
            ASSERT_EQ(archive->Store(delivery, reason), archive::Added::New) << reason;
        }
        // The second message's air temperature fails, its water temperature is missing, its
        // fix suspect; the streams spelled as a configuration may spell them.
        const auto stream = [](const char* name, std::vector<archive::ValueKey> keys,
                               std::vector<std::uint8_t> flags) {
            return archive::StreamFlagRows{name, std::move(keys), {{"aggregate", std::move(flags)}}};
        };
        const archive::BuoyFlags flags{
            kNorth, "hash", "qc.yaml", {}, {},
            {stream("PB200.ATMean", {{1, 0}, {2, 0}}, {1, 4}),
             stream("ACS.Temp_mean", {{1, 2}, {2, 2}}, {1, 9}),
             stream("position", {{1, 0}, {2, 0}}, {1, 3}),
             stream("iridium_position", {{3, -1}}, {1})}};
        ASSERT_TRUE(archive->WriteFlags(flags, reason)) << reason;
        ASSERT_TRUE(archive->Commit().notArchived.empty());
    }
    static void TearDownTestSuite() { fs::remove_all(s_dir); }

    // saltmark-export --bufr into `folder`; what it printed.
    static std::string Write(const std::string& folder, const std::string& options = {})
    {
        std::ofstream(s_dir / "deployment.yaml") << kDeployment;
        const std::string command = std::string(SALTMARK_EXPORT) + " --archive '" +
                                    (s_dir / "archive.sqlite").string() + "' --deployment '" +
                                    (s_dir / "deployment.yaml").string() + "' --bufr '" +
                                    (s_dir / folder).string() + "' " + options;
        std::FILE* pipe = ::popen(command.c_str(), "r");
        std::string text;
        char buffer[4096];
        for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            text.append(buffer, n);
        }
        EXPECT_TRUE(pipe && ::pclose(pipe) == 0) << command;
        return text;
    }

    static inline fs::path s_dir;
};

TEST_F(BufrTest, EachMessageIsAReportOfWhatTheArchiveHoldsWithRejectedValuesMissing)
{
    // Not the day before the launch; the south buoy's five-digit code widened, the polar
    // buoy's not.
    const std::string printed = Write("all");
    EXPECT_NE(printed.find("4 reports written, 0 unchanged"), std::string::npos) << printed;
    EXPECT_NE(printed.find(std::string(kPolar) + ": no BUFR reports: the five-digit WMO platform"),
              std::string::npos)
        << printed;
    EXPECT_EQ(printed.find(kSouth), std::string::npos) << printed;
    const auto report = [](std::map<std::string, json> values, long code = 6201501,
                           const char* name = "Biscay North", const char* imei = kNorth) {
        values.insert({{"marineObservingPlatformIdentifier", code},
                       {"longStationName", name}, {"platformTransmitterIdNumber", imei},
                       {"dataBuoyType", 0}, {"timeSignificance", 26},
                       {"year", 2024}, {"month", 6}, {"day", 11}, {"#3#timeSignificance", 2}});
        return values;
    };
    // The example's PB200 as it is, with the station's height from the deployment file.
    ExpectReport(s_dir / "all" / "6201501_20240611T1200Z_1.bufr",
                 report({{"hour", 12}, {"minute", 0}, {"latitude", 54.1723},
                         {"longitude", 7.8935}, {"dataCollectionLocationSystem", 2},
                         {"qualityOfBuoyLocation", 0}, {"batteryVoltageLargeRange", 12.6},
                         {"oceanographicWaterTemperature", 13.9 + kKelvin},
                         {"nonCoordinatePressure", 101320.0},
                         {"#1#heightOfSensorAboveWaterSurface", 3.1},
                         {"airTemperature", 14.6 + kKelvin},
                         {"#2#heightOfSensorAboveWaterSurface", 3.1},
                         {"windDirection", 245.3}, {"windSpeed", 8.7}}));
    // FAIL, MISSING and the logger's marker leave their values out; a suspect fix is dubious.
    ExpectReport(s_dir / "all" / "6201501_20240611T1230Z_2.bufr",
                 report({{"hour", 12}, {"minute", 30}, {"latitude", 54.1723},
                         {"longitude", 7.8935}, {"dataCollectionLocationSystem", 2},
                         {"qualityOfBuoyLocation", 2}, {"batteryVoltageLargeRange", 12.6},
                         {"nonCoordinatePressure", 101320.0},
                         {"#2#heightOfSensorAboveWaterSurface", 3.1},
                         {"windDirection", 245.3}}));
    // No PB200: the V536 at the message's time, no height given for it, the gateway's fix
    // with its radius, the wild wind speed missing.
    ExpectReport(s_dir / "all" / "6201501_20240611T1305Z_3.bufr",
                 report({{"hour", 13}, {"minute", 5}, {"latitude", 54.25}, {"longitude", 7.75},
                         {"dataCollectionLocationSystem", 7}, {"qualityOfBuoyLocation", 0},
                         {"locationQualityClassRangeOfRadiusOf66Confidence", 0},
                         {"batteryVoltageLargeRange", 12.4}, {"nonCoordinatePressure", 101290.0},
                         {"airTemperature", 14.4 + kKelvin}, {"windDirection", 240.1}}));

    // The other buoy's example message: A1 bw 00nnn, no station height, its fix unflagged.
    ExpectReport(s_dir / "all" / "6200502_20240611T1200Z_5.bufr",
                 report({{"hour", 12}, {"minute", 0}, {"latitude", 54.1723},
                         {"longitude", 7.8935}, {"dataCollectionLocationSystem", 2},
                         {"batteryVoltageLargeRange", 12.6},
                         {"oceanographicWaterTemperature", 13.9 + kKelvin},
                         {"nonCoordinatePressure", 101320.0},
                         {"airTemperature", 14.6 + kKelvin},
                         {"windDirection", 245.3}, {"windSpeed", 8.7}},
                        6200502, "Biscay South", kSouth));

    // Again: nothing to write. One buoy over half an hour: the second message alone.
    EXPECT_NE(Write("all").find("0 reports written, 4 unchanged"), std::string::npos);
    const std::string window = Write("window", std::string("--buoy ") + kNorth +
                                                   " --from 2024-06-11T12:20:00Z"
                                                   " --to 2024-06-11T12:40:00Z");
    EXPECT_NE(window.find("1 report written"), std::string::npos) << window;
    EXPECT_TRUE(fs::exists(s_dir / "window" / "6201501_20240611T1230Z_2.bufr"));
}

}  // namespace
}  // namespace saltmark::bufr
