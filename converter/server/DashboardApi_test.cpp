// The dashboard's API as the page reads it, in this process over one small archive: each
// route's shape, its filters, cursors and time ranges, the messages without a time, the
// mail-folder buoy, and a series of several buoys.

#include "DashboardApi.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "ApiJson.h"
#include "Archive.h"
#include "ArchiveAlerts.h"
#include "Y81000Spectrum.h"
#include "testing/MessageComposer.h"

namespace saltmark::server {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using saltmark::testing::Message;
using saltmark::testing::MessageComposer;

constexpr const char* kBuoyA = "300234010000001";
constexpr const char* kBuoyB = "300234010000002";
constexpr double kT0 = 1765100000;  // 2025-12-07T09:33:20Z
constexpr std::int32_t kSecondOfDay = 34400;

std::vector<std::uint8_t> Pb200(std::int32_t secondsOfDay, float lat, float lon, float windSpeed)
{
    MessageComposer record;
    record.Header(2, 1, 76).F32(180.0f).F32(5.0f).F32(windSpeed).F32(0.5f).F32(lat).F32(lon);
    record.I32(2025).I32(12).I32(7).I32(secondsOfDay);
    for (int i = 0; i < 8; ++i) {
        record.F32(1.0f);
    }
    return record.Bytes();
}

std::vector<std::uint8_t> Battery(float volts)
{
    return MessageComposer().Header(6, 1, 8).F32(volts).Bytes();
}

std::vector<std::uint8_t> Camera(std::vector<std::uint8_t> image)
{
    MessageComposer record;
    record.Header(7, 2, static_cast<std::uint16_t>(image.size())).Raw(image);
    return record.Bytes();
}

archive::Delivery Pushed(std::uint16_t momsn, double sessionTime, std::vector<std::uint8_t> payload)
{
    DirectIpMessage message;
    message.header.imei = kBuoyA;
    message.header.momsn = momsn;
    message.header.sessionTime = static_cast<std::uint32_t>(sessionTime);
    message.payload = std::move(payload);
    message.location = DirectIpLocation{-33.5, 151.25, 4};
    return archive::DeliveryFromDirectIp(message, ComposeDirectIp(message));
}

// The archive, by id:
//   1 buoy A, pushed at T0: PB200 dated 30 s earlier (wind 7.5), battery 12.5
//   2 buoy A, pushed at T0+1800: battery 9999 (no reading), camera image
//   3 buoy B, mail attachment dated by its PB200 at T0+1800 (wind 9): battery 11
//   4 mail-folder buoy, no time: battery 12
//   5 mail-folder buoy, file time T0-86400 (the day before): battery 12.25
// and flags of buoy A: battery 12.5 SUSPECT by its spike test, message 1's PB200 position FAIL;
// an open alert of buoy B (its low battery, opened by message 3).
class SaltmarkServerApi : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string pattern = (fs::temp_directory_path() / "saltmark-api-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        s_dir = pattern;
        std::string reason;
        auto archive = archive::Archive::Open(s_dir / "archive.sqlite", {}, reason);
        ASSERT_TRUE(archive) << reason;
        const archive::Delivery deliveries[] = {
            Pushed(1, kT0, Message({Pb200(kSecondOfDay - 30, 59.9f, 10.7f, 7.5f), Battery(12.5f)})),
            Pushed(2, kT0 + 1800, Message({Battery(9999.0f), Camera({0xff, 0xd8, 0xff})})),
            archive::DeliveryFromFile(
                std::string(kBuoyB) + "_7.sbd",
                Message({Pb200(kSecondOfDay + 1800, 60.5f, 5.25f, 9.0f), Battery(11.0f)})),
            archive::DeliveryFromFile("a.sbd", Message({Battery(12.0f)})),
            archive::DeliveryFromFile("b.sbd", Message({Battery(12.25f)}),
                                      static_cast<std::int64_t>(kT0 - 86400)),
        };
        for (const archive::Delivery& delivery : deliveries) {
            ASSERT_EQ(archive->Store(delivery, reason), archive::Added::New) << reason;
        }
        const archive::BuoyFlags flags{
            kBuoyA,
            "hash",
            "qc.yaml",
            {},
            {},
            {{"Miscellaneous values.Battery voltage",
              {{1, 1}},
              {{"aggregate", {3}}, {"gross_range_test", {1}}, {"spike_test", {3}}}},
             {"position", {{1, 0}}, {{"aggregate", {4}}, {"location_test", {4}}}}}};
        ASSERT_TRUE(archive->WriteFlags(flags, reason)) << reason;
        ASSERT_FALSE(archive->Commit().flagsNotWritten);
        alerts::Plan plan;
        plan.open.push_back({"battery_low", true, "battery 11 V", 3});
        ASSERT_TRUE(archive::InTransaction(
            *archive,
            [&](std::string& why) {
                return archive::ApplyAlertPlan(
                    *archive, kBuoyB, plan, static_cast<std::int64_t>(kT0), {},
                    [](const archive::AlertEvent&) { return std::string("{}"); }, why);
            },
            reason))
            << reason;
        s_api = DashboardApi::Open(s_dir / "archive.sqlite", std::chrono::hours(6), reason);
        ASSERT_TRUE(s_api) << reason;
    }
    static void TearDownTestSuite()
    {
        s_api.reset();
        fs::remove_all(s_dir);
    }

    using Route = void (DashboardApi::*)(const HttpRequest&, HttpResponse&) const;
    static HttpResponse Get(Route route, HttpFields params = {}, std::string rest = {})
    {
        HttpRequest req{"GET", "/api", std::move(rest), "127.0.0.1", std::move(params), {}, {}};
        HttpResponse res;
        (s_api.get()->*route)(req, res);
        return res;
    }
    static Json GetJson(Route route, HttpFields params = {}, std::string rest = {})
    {
        const HttpResponse res = Get(route, std::move(params), std::move(rest));
        EXPECT_EQ(res.status, 200) << res.body;
        EXPECT_EQ(res.contentType, "application/json");
        return Json::parse(res.body);
    }
    static std::vector<std::int64_t> Ids(const Json& page)
    {
        std::vector<std::int64_t> ids;
        for (const Json& m : page["messages"]) {
            ids.push_back(m["id"]);
        }
        return ids;
    }

    static inline fs::path s_dir;
    static inline std::unique_ptr<DashboardApi> s_api;
};

TEST_F(SaltmarkServerApi, BuoysCarryTheirLatestValuesWithTheMailFolderBuoyLast)
{
    const Json buoys = GetJson(&DashboardApi::Buoys);
    ASSERT_EQ(buoys.size(), 3u);
    const Json& a = buoys[0];
    EXPECT_EQ(a["buoy"], kBuoyA);
    EXPECT_EQ(a["imei"], kBuoyA);
    EXPECT_EQ(a["messages"], 2);
    EXPECT_EQ(a["last_id"], 2);
    EXPECT_EQ(a["last_time"], "2025-12-07T10:03:20Z");
    EXPECT_EQ(a["last_file_name"], std::string(kBuoyA) + "_2.sbd");
    EXPECT_EQ(a["battery_voltage"], 12.5) << "9999 is no reading";
    EXPECT_EQ(a["battery_time"], "2025-12-07T09:33:20Z");
    EXPECT_EQ(a["position"]["source"], "Iridium");
    EXPECT_EQ(a["position"]["cep_km"], 4);
    EXPECT_EQ(a["position"]["time"], "2025-12-07T10:03:20Z");
    EXPECT_EQ(a["image_id"], 2);
    EXPECT_GT(a["age_s"].get<std::int64_t>(), 0);
    EXPECT_EQ(a["late"], true) << "a message of 2025 is more than six hours old";

    EXPECT_EQ(buoys[1]["position"]["source"], "PB200");
    EXPECT_FLOAT_EQ(buoys[1]["position"]["lat"].get<float>(), 60.5f);
    EXPECT_TRUE(buoys[1]["image_id"].is_null());

    const Json& files = buoys[2];
    EXPECT_EQ(files["buoy"], kFilesBuoy);
    EXPECT_TRUE(files["imei"].is_null());
    EXPECT_EQ(files["messages"], 2);
    EXPECT_EQ(files["last_id"], 5) << "the message with a time before the one without";
    EXPECT_TRUE(files["position"].is_null());
}

TEST_F(SaltmarkServerApi, MessagesPageByTimeFilterByBuoyAndRangeAndSayWhatArrivedSince)
{
    const Json all = GetJson(&DashboardApi::Messages);
    EXPECT_EQ(Ids(all), (std::vector<std::int64_t>{3, 2, 1, 5, 4})) << "those without a time last";
    EXPECT_TRUE(all["next"].is_null());
    const Json& row = all["messages"][1];
    for (const char* key : {"id", "file_name", "size", "packet_type", "outcome", "stop_reason",
                            "imei", "momsn", "time", "time_source", "source", "received_at"}) {
        EXPECT_TRUE(row.contains(key)) << key;
    }
    EXPECT_EQ(row["time"], "2025-12-07T10:03:20Z");
    EXPECT_EQ(row["source"], "directip");

    // The pages together hold every message once.
    std::vector<std::int64_t> paged;
    HttpFields params{{"limit", "2"}};
    for (int page = 0; page < 5; ++page) {
        const Json answer = GetJson(&DashboardApi::Messages, params);
        for (std::int64_t id : Ids(answer)) {
            paged.push_back(id);
        }
        if (answer["next"].is_null()) {
            break;
        }
        params = {{"limit", "2"}, {"before", std::to_string(answer["next"].get<std::int64_t>())}};
    }
    EXPECT_EQ(paged, Ids(all));

    EXPECT_EQ(Ids(GetJson(&DashboardApi::Messages, {{"imei", std::string(kFilesBuoy)}})),
              (std::vector<std::int64_t>{5, 4}));
    EXPECT_EQ(Ids(GetJson(&DashboardApi::Messages, {{"imei", kBuoyA}})),
              (std::vector<std::int64_t>{2, 1}));
    EXPECT_EQ(Ids(GetJson(&DashboardApi::Messages, {{"after", "3"}})),
              (std::vector<std::int64_t>{5, 4}));
    // A bare-date `to` takes in its whole day; a range leaves out the messages without a time.
    EXPECT_EQ(Ids(GetJson(&DashboardApi::Messages, {{"to", "2025-12-06"}})),
              (std::vector<std::int64_t>{5}));
    EXPECT_EQ(
        Ids(GetJson(&DashboardApi::Messages, {{"from", "2025-12-07T09:34"}, {"to", "2025-12-07"}})),
        (std::vector<std::int64_t>{3, 2}));

    for (const HttpFields& bad : {HttpFields{{"from", "<script>"}}, HttpFields{{"to", "2025-13"}},
                                  HttpFields{{"limit", "0"}}, HttpFields{{"before", "x"}},
                                  HttpFields{{"imei", std::string(40, '3')}}}) {
        EXPECT_EQ(Get(&DashboardApi::Messages, bad).status, 400) << bad[0].first;
    }
}

TEST_F(SaltmarkServerApi, OneMessageIsTheConvertersDocumentWithItsEnvelopeAndItsFiles)
{
    const Json document = GetJson(&DashboardApi::Message, {}, "2");
    EXPECT_EQ(document["file"], std::string(kBuoyA) + "_2.sbd");
    ASSERT_EQ(document["records"].size(), 2u);
    EXPECT_EQ(document["archive"]["id"], 2);
    EXPECT_EQ(document["archive"]["imei"], kBuoyA);
    EXPECT_EQ(document["archive"]["momsn"], 2);
    EXPECT_EQ(document["archive"]["session_time"], "2025-12-07T10:03:20Z");
    EXPECT_EQ(document["archive"]["iridium_cep_km"], 4);
    EXPECT_EQ(document["archive"]["time_source"], "session");
    EXPECT_EQ(document["qc"], Json::array());
    EXPECT_EQ(GetJson(&DashboardApi::Message, {}, "1")["qc"], Json::parse(R"([
        {"record": 0, "stream": "position", "aggregate": 4, "tests": {"location_test": 4}},
        {"record": 1, "stream": "Miscellaneous values.Battery voltage", "aggregate": 3,
         "tests": {"gross_range_test": 1, "spike_test": 3}}])"));

    const HttpResponse image = Get(&DashboardApi::Message, {{"download", ""}}, "2/image");
    EXPECT_EQ(image.body, "\xff\xd8\xff");
    ASSERT_EQ(image.headers.size(), 1u);
    EXPECT_EQ(image.headers[0].second,
              "attachment; filename=\"" + std::string(kBuoyA) + "_2.jpg\"");
    const HttpResponse report = Get(&DashboardApi::Message, {}, "4/report");
    EXPECT_NE(report.body.find("Battery voltage"), std::string::npos) << report.body;
    EXPECT_EQ(Get(&DashboardApi::Message, {}, "4/raw").body.size(),
              Message({Battery(12.0f)}).size());

    EXPECT_EQ(Get(&DashboardApi::Message, {}, "4/image").status, 404);
    EXPECT_EQ(Get(&DashboardApi::Message, {}, "99").status, 404);
    EXPECT_EQ(Get(&DashboardApi::Message, {}, "2/other").status, 404);
}

TEST_F(SaltmarkServerApi, ASeriesOfSeveralBuoysSaysWhosePointEachIs)
{
    const Json one =
        GetJson(&DashboardApi::Series, {{"type", "PB200"}, {"field", "WSMean"}, {"imei", kBuoyA}});
    EXPECT_EQ(one, Json::parse(
                       R"({"type":"PB200","field":"WSMean","t":[1765099970],"v":[7.5],"qc":[null]})"));

    const HttpFields every{{"type", "PB200"}, {"field", "WSMean"}};
    const Json both = GetJson(&DashboardApi::Series, every);
    EXPECT_EQ(both["t"], Json::parse("[1765099970, 1765101800]"));
    EXPECT_EQ(both["v"], Json::parse("[7.5, 9]"));
    EXPECT_EQ(both["buoy"], Json::parse(std::string("[\"") + kBuoyA + "\",\"" + kBuoyB + "\"]"));
    HttpFields csv = every;
    csv.emplace_back("format", "csv");
    EXPECT_EQ(Get(&DashboardApi::Series, csv).body,
              std::string("time,buoy,value\n2025-12-07T09:32:50Z,") + kBuoyA +
                  ",7.5\n2025-12-07T10:03:20Z," + kBuoyB + ",9\n");

    // A gap is null (the 9999 of message 2), and the mail-folder buoy's undated message is
    // left out of a series.
    const HttpFields battery{{"type", "Miscellaneous values"}, {"field", "Battery voltage"}};
    const Json volts = GetJson(&DashboardApi::Series, battery);
    EXPECT_EQ(volts["v"], Json::parse("[12.25, 12.5, null, 11]"));
    EXPECT_EQ(volts["buoy"][0], kFilesBuoy);
    EXPECT_EQ(volts["qc"], Json::parse("[null, 3, null, null]"));
    EXPECT_FALSE(volts.contains("qc_tests"));
    HttpFields oneCsv = battery;
    oneCsv.insert(oneCsv.end(), {{"imei", kBuoyA}, {"format", "csv"}, {"tests", "1"}});
    EXPECT_EQ(Get(&DashboardApi::Series, oneCsv).body,
              "time,value,qc_aggregate,qc_gross_range_test,qc_spike_test\n"
              "2025-12-07T09:33:20Z,12.5,3,1,3\n2025-12-07T10:03:20Z,,,,\n");
    oneCsv.erase(oneCsv.end() - 2);  // the format
    EXPECT_EQ(GetJson(&DashboardApi::Series, oneCsv)["qc_tests"],
              Json::parse(R"({"gross_range_test":[1,null],"spike_test":[3,null]})"));

    EXPECT_EQ(Get(&DashboardApi::Series, {{"type", "PB200"}, {"field", "Nope"}}).status, 404);
    EXPECT_EQ(Get(&DashboardApi::Series, {{"type", "IMU"}, {"field", "E"}}).status, 404)
        << "an array is no series";
}

TEST_F(SaltmarkServerApi, TheTrackIsParallelArraysOfEverySource)
{
    const Json track = GetJson(&DashboardApi::Track);
    EXPECT_EQ(track["every"], 1);
    const std::size_t n = track["t"].size();
    EXPECT_EQ(n, 4u) << "PB200 and the gateway's estimate of 1, the estimate of 2, PB200 of 3";
    for (const char* key : {"lat", "lon", "source", "cep_km", "id", "buoy"}) {
        EXPECT_EQ(track[key].size(), n) << key;
    }
    EXPECT_EQ(track["source"], Json::parse(R"(["PB200", "Iridium", "Iridium", "PB200"])"));
    EXPECT_EQ(track["qc"], Json::parse("[4, null, null, null]"));
    EXPECT_EQ(track["cep_km"], Json::parse("[null, 4, 4, null]"));
    EXPECT_EQ(track["buoy"][3], kBuoyB);
    EXPECT_EQ(GetJson(&DashboardApi::Track, {{"imei", kBuoyB}})["id"], Json::parse("[3]"));
    EXPECT_EQ(GetJson(&DashboardApi::Track, {{"from", "2025-12-07T10"}})["id"],
              Json::parse("[2, 3]"));
}

TEST_F(SaltmarkServerApi, FleetAndHealthSayEachBuoysStateWhereItIsAndWhatItLastSent)
{
    s_api->SetDeployedAt(
        [] { return std::map<std::string, alerts::LatLon>{{kBuoyA, {-33.5, 151.0}}}; });
    const Json fleet = GetJson(&DashboardApi::Fleet);
    std::map<std::string, Json> byBuoy;
    for (const Json& b : fleet["buoys"]) {
        byBuoy[b["buoy"]] = b;
    }
    ASSERT_EQ(byBuoy.size(), 3u);
    // The archive's messages are from 2025: every buoy is late, but an open alert says more.
    EXPECT_EQ(byBuoy[kBuoyA]["state"], "late");
    EXPECT_EQ(byBuoy[kBuoyB]["state"], "alert");
    EXPECT_EQ(byBuoy[kBuoyB]["open_alerts"], 1);
    EXPECT_EQ(byBuoy[kBuoyA]["lon"], 151.25) << "message 2's position, the gateway's";
    // The last day's track is the buoy's own fixes, the gateway's estimates left out.
    EXPECT_EQ(byBuoy[kBuoyA]["track"]["t"], Json::array({kT0 - 30}));

    // PB200 stopped half an hour before the buoy's newest message, past its quarter hour;
    // the camera is within its hour; IMU never came, which the alert does not call absent.
    s_api->SetAlertRules([](const std::string& imei) {
        alerts::Rules rules;
        if (imei == kBuoyA) {
            rules.recordAbsentHours = {{"PB200", 0.25}, {"Camera", 1}, {"IMU", 2}};
        }
        return rules;
    });
    const Json a = GetJson(&DashboardApi::Health, {}, std::string(kBuoyA) + "/health");
    std::map<std::string, Json> records;
    for (const Json& r : a["records"]) {
        records[r["record"]] = {r["time"], r["id"], r["allowed_s"], r["overdue"]};
    }
    EXPECT_EQ(records, (std::map<std::string, Json>{
                           {"PB200", {"2025-12-07T09:33:20Z", 1, 900, true}},
                           {"Miscellaneous values", {"2025-12-07T10:03:20Z", 2, nullptr, false}},
                           {"Camera", {"2025-12-07T10:03:20Z", 2, 3600, false}},
                           {"IMU", {nullptr, nullptr, 7200, false}}}));
    EXPECT_EQ(a["battery"]["v"], Json::array({12.5})) << "the 9999 marker is no reading";
    EXPECT_TRUE(a["battery"]["slope_per_day"].is_null()) << "one reading has no slope";
    EXPECT_NEAR(a["distance"]["now_km"].get<double>(), 23.18, 0.01);
    EXPECT_EQ(a["distance"]["t"], Json::array({kT0 - 30}));
    EXPECT_TRUE(a["alerts"].empty());

    const Json b = GetJson(&DashboardApi::Health, {}, std::string(kBuoyB) + "/health");
    EXPECT_EQ(b["state"], "alert");
    EXPECT_EQ(b["alerts"][0]["rule"], "battery_low");
    EXPECT_TRUE(b["deployed"].is_null());
    EXPECT_TRUE(b["distance"]["t"].empty());

    EXPECT_EQ(Get(&DashboardApi::Health, {}, "300234010009999/health").status, 404);
    EXPECT_EQ(Get(&DashboardApi::Health, {}, std::string(kBuoyA)).status, 404);
    s_api->SetDeployedAt({});
    s_api->SetAlertRules({});
}

TEST_F(SaltmarkServerApi, ConfigStatesTheLibrarysFitBandAndTheUnitOfDescribedFields)
{
    const Json config = GetJson(&DashboardApi::Config);
    EXPECT_EQ(config["late_after_s"], 6 * 3600);
    EXPECT_EQ(config["fit_band_hz"], Json::array({kFitBandLowHz, kFitBandHighHz}));
    EXPECT_EQ(config["files_buoy"], kFilesBuoy);
    EXPECT_EQ(config["fields"]["Miscellaneous values"]["Battery voltage"],
              Json::parse(R"({"label":"Battery","unit":"V"})"));
    EXPECT_EQ(config["fields"]["Y81000"]["Epsilon"]["log"], true);
    // Every field with a unit is one the records have (a misspelt one would never be shown).
    std::size_t described = 0;
    for (const auto& [type, fields] : config["fields"].items()) {
        described += fields.size();
    }
    EXPECT_EQ(described, 65u);

    const Json types = GetJson(&DashboardApi::Fields);
    const auto pb200 = std::find_if(types.begin(), types.end(),
                                    [](const Json& t) { return t["type"] == "PB200"; });
    ASSERT_NE(pb200, types.end());
    EXPECT_EQ((*pb200)["fields"][2], "WSMean");
}

TEST(SaltmarkServerTimeText, AShorterTimeStandsForItsWholeSpan)
{
    const auto day = ParseTimeText("2025-12-07");
    ASSERT_TRUE(day);
    EXPECT_EQ(day->first, 1765065600);
    EXPECT_EQ(day->last, 1765065600 + 86399);
    const auto minute = ParseTimeText("2025-12-07T09:33Z");
    ASSERT_TRUE(minute);
    EXPECT_EQ(minute->last - minute->first, 59);
    const auto february = ParseTimeText("2024-02");
    ASSERT_TRUE(february);
    EXPECT_EQ(february->last - february->first + 1, 29 * 86400);
    const auto second = ParseTimeText("2025-12-07T09:33:20.250Z");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->first, kT0);
    EXPECT_EQ(second->last, kT0);
    for (const char* bad : {"", "2025-1-07", "2025-02-29", "2025-12-07 09:33", "2025-12-07T24",
                            "2025-12-07T09:33:20Zjunk", "1765100000"}) {
        EXPECT_FALSE(ParseTimeText(bad)) << bad;
    }
}

}  // namespace
}  // namespace saltmark::server
