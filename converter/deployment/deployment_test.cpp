// The example deployment file as the docs describe it, and every kind of fault refused with
// the line it is on.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Deployment.h"

namespace saltmark::deployment {
namespace {

std::string ReadText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(Deployment, ExampleParses)
{
    const Deployment d =
        ParseDeployment(ReadText("../../examples/deployment.yaml"), "examples/deployment.yaml");
    EXPECT_EQ(d.metadata.creator.type, "group");
    EXPECT_EQ(d.metadata.keywords.size(), 4u);
    EXPECT_EQ(d.metadata.contributors.at(0).role, "collaborator");
    ASSERT_EQ(d.buoys.size(), 2u);
    const Buoy* north = d.FindBuoy("300434060000010");
    ASSERT_NE(north, nullptr);
    EXPECT_EQ(north->wmoPlatformCode, "6201501");
    EXPECT_EQ(IsoTime(*north->start), "2026-05-01T12:00:00Z");
    EXPECT_EQ(IsoTime(*north->end), "2026-11-01T00:00:00Z");
    EXPECT_DOUBLE_EQ(*north->longitude, -6.5);
    ASSERT_EQ(north->instruments.size(), 3u);
    EXPECT_EQ(north->instruments[1].record, "IMU");
    EXPECT_DOUBLE_EQ(*north->instruments[1].depth, 0.4);
    EXPECT_FALSE(d.FindBuoy("300434060000020")->end);
    // The fleet's rules, and one buoy's over them: its own silence, no geofence.
    EXPECT_EQ(d.alertChannels.size(), 2u);
    EXPECT_EQ(d.AlertRulesFor("300434060000099").silentHours, 6);
    EXPECT_TRUE(d.AlertRulesFor("300434060000099").geofence);
    const alerts::Rules& south = d.AlertRulesFor("300434060000020");
    EXPECT_EQ(south.silentHours, 12);
    EXPECT_FALSE(south.geofence);
    EXPECT_EQ(south.qcFail, d.alertRules.qcFail);
}

TEST(Deployment, OffsetsAndRecordSpellings)
{
    const Deployment d = ParseDeployment(
        "buoys:\n"
        "  300434060000010:\n"
        "    deployment: {start: '2026-03-01T02:00:00+02:00', end: 2026-03-01}\n"
        "    instruments: [{record: miscellaneous_values}]\n",
        "d.yaml");
    EXPECT_EQ(d.buoys[0].start, d.buoys[0].end);  // a window of no length is still a window
    EXPECT_EQ(d.buoys[0].instruments[0].record, "Miscellaneous values");
}

TEST(Deployment, FaultsNamedWithTheirLines)
{
    const std::string buoy = "buoys:\n  \"300434060000010\":\n";
    const struct {
        std::string text;
        int line;
        std::string reason;
    } cases[] = {
        {"metadata: {title: a}\ncolour: red\n", 2, "unknown key colour"},
        {"metadata:\n  title: a\n  titel: b\n", 3, "unknown key titel"},
        {"metadata:\n  creator: {name: a, type: robot}\n", 2, "not person, group"},
        {buoy + "    nmae: x\n", 3, "unknown key nmae"},
        {buoy + "  \"300434060000010\":\n", 3, "300434060000010 given twice"},
        {"buoys:\n  \"30043406000001\": {}\n", 2, "an IMEI has 15 digits"},
        {"buoys:\n  30043406000001x: {}\n", 2, "an IMEI has 15 digits"},
        {buoy + "    deployment:\n      start: 2026-05-02T00:00:00Z\n      end: 2026-05-01\n",
         5, "ends before it starts"},
        {buoy + "    deployment: {start: 2026-02-30}\n", 3, "no such time"},
        {buoy + "    deployment: {start: yesterday}\n", 3, "expected a time"},
        {buoy + "    wmo_platform_code: \"620150\"\n", 3, "not a WMO platform code"},
        {buoy + "    wmo_platform_code: 62O15\n", 3, "not a WMO platform code"},
        {buoy + "    position: {latitude: 91, longitude: 0}\n", 3, "outside -90 to 90"},
        {buoy + "    position: {latitude: 45}\n", 3, "needs both latitude and longitude"},
        {buoy + "    instruments:\n      - {record: PB300}\n", 4, "unknown record type"},
        {buoy + "    instruments:\n      - {record: 2}\n", 4, "unknown record type"},
        {buoy + "    instruments:\n      - {make_model: x}\n", 4, "needs the record"},
        {buoy + "    instruments:\n      - {record: IMU, height: 1, depth: 1}\n", 4,
         "not both"},
        {buoy + "    instruments:\n      - {record: IMU, height: -1}\n", 4, "outside 0 to"},
        {"alerts:\n  rules: {silent_hour: 6}\n", 2, "unknown key silent_hour"},
        {"alerts:\n  rules:\n    record_absent_hours: {PB300: 3}\n", 3, "unknown record type"},
        {"alerts:\n  rules:\n    qc_fail: [PB200.Nothing]\n", 3, "no record field"},
        {"alerts:\n  rules:\n    geofence: {type: Polygon, coordinates: [[[0, 0], [1, 0], "
         "[1, 1], [0, 1]]]}\n",
         3, "ends where it starts"},
        {"alerts:\n  channels:\n    - {webhook: ftp://x}\n", 3, "no http(s) URL"},
        {buoy + "    alerts: {battery_below: low}\n", 3, "expected a number"},
        {"buoys: [\n", 2, "not YAML"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            ParseDeployment(c.text, "d.yaml");
            ADD_FAILURE() << "accepted";
        } catch (const DeploymentError& error) {
            EXPECT_EQ(error.FileName(), "d.yaml");
            EXPECT_EQ(error.Line(), c.line) << error.what();
            EXPECT_NE(error.Reason().find(c.reason), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace saltmark::deployment
