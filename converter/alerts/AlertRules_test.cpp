// Each rule on the buoy states that matter: the edge of its limit, the facts it needs
// missing, and the plan that opens once and resolves once.

#include <gtest/gtest.h>

#include "AlertRules.h"

namespace saltmark::alerts {
namespace {

const Finding* Find(const std::vector<Finding>& findings, const std::string& rule)
{
    for (const Finding& f : findings) {
        if (f.rule == rule) {
            return &f;
        }
    }
    return nullptr;
}

TEST(AlertRules, SilenceAndAbsentRecordByTheirLimits)
{
    Rules rules;
    rules.silentHours = 6;
    rules.recordAbsentHours = {{"PB200", 3}, {"IMU", 3}};
    BuoyFacts facts;
    facts.now = 100000;
    facts.lastReceivedAt = facts.now - 6 * 3600;  // exactly the limit: not yet silent
    facts.lastMessage = Sample{90000, 0, 42};
    facts.lastRecord = {{"PB200", 90000 - 3 * 3600 - 1}};  // IMU never came: nothing said
    auto findings = Evaluate(rules, facts);
    EXPECT_FALSE(Find(findings, "silent")->holds);
    EXPECT_EQ(Find(findings, "silent")->message, 42);
    ASSERT_NE(Find(findings, "record_absent:PB200"), nullptr);
    EXPECT_TRUE(Find(findings, "record_absent:PB200")->holds);
    EXPECT_EQ(Find(findings, "record_absent:IMU"), nullptr);

    facts.lastReceivedAt = facts.now - 6 * 3600 - 1;
    findings = Evaluate(rules, facts);
    EXPECT_TRUE(Find(findings, "silent")->holds);
    EXPECT_EQ(Find(findings, "silent")->message, 0);  // the clock opened it

    facts.lastReceivedAt.reset();  // a buoy never heard: no silence to judge
    EXPECT_EQ(Find(Evaluate(rules, facts), "silent"), nullptr);
}

TEST(AlertRules, BatteryLevelAndTrendOverTheLastDay)
{
    Rules rules;
    rules.batteryBelow = 11.5;
    rules.batteryFallingPerDay = 0.2;
    BuoyFacts facts;
    // A week ago far higher (outside the day, so no trend from it), then 0.3 V a day down.
    facts.battery.push_back({0, 14.0, 1});
    for (int i = 0; i <= 4; ++i) {
        facts.battery.push_back({7 * 86400 + i * 21600, 12.0 - 0.3 * i / 4, 2 + i});
    }
    auto findings = Evaluate(rules, facts);
    EXPECT_FALSE(Find(findings, "battery_low")->holds);
    EXPECT_TRUE(Find(findings, "battery_falling")->holds);
    EXPECT_NEAR(*SlopePerDay({facts.battery.begin() + 1, facts.battery.end()}), -0.3, 1e-9);

    rules.batteryFallingPerDay = 0.35;
    facts.battery.push_back({8 * 86400 + 3600, 11.49, 9});
    findings = Evaluate(rules, facts);
    EXPECT_TRUE(Find(findings, "battery_low")->holds);
    EXPECT_EQ(Find(findings, "battery_low")->message, 9);

    // Two values say nothing of a trend.
    facts.battery = {{0, 12, 1}, {3600, 11, 2}};
    EXPECT_EQ(Find(Evaluate(rules, facts), "battery_falling"), nullptr);
}

TEST(AlertRules, GeofenceWithHoleAndDistanceFromDeployment)
{
    Geofence fence;
    fence.polygons.push_back({{{43, -9}, {43, -3}, {48, -3}, {48, -9}, {43, -9}},
                              {{45, -7}, {45, -6}, {46, -6}, {46, -7}, {45, -7}}});
    EXPECT_TRUE(fence.Contains({44, -8}));
    EXPECT_FALSE(fence.Contains({45.5, -6.5}));  // in the hole
    EXPECT_FALSE(fence.Contains({49, -8}));

    Rules rules;
    rules.geofence = fence;
    rules.maxDistanceKm = 100;
    BuoyFacts facts;
    facts.lastFix = Fix{0, {44, -8}, 7};
    facts.deployedAt = LatLon{44.9, -8};  // 100.1 km north along a meridian
    auto findings = Evaluate(rules, facts);
    EXPECT_FALSE(Find(findings, "geofence")->holds);
    EXPECT_TRUE(Find(findings, "distance")->holds);
    EXPECT_NEAR(DistanceKm({44, -8}, {44.9, -8}), 100.08, 0.01);

    facts.deployedAt.reset();  // no deployment position: no distance to judge
    EXPECT_EQ(Find(Evaluate(rules, facts), "distance"), nullptr);
}

TEST(AlertRules, PlanOpensOnceAndResolvesOnce)
{
    Rules rules;
    rules.qcFail = {"PB200.WSMean", "PB200.ATMean"};
    BuoyFacts facts;
    facts.lastQcAggregate = {{"PB200.WSMean", {0, 4, 5}}, {"PB200.ATMean", {0, 3, 5}}};
    const auto findings = Evaluate(rules, facts);
    Plan plan = PlanChanges(findings, {});
    ASSERT_EQ(plan.open.size(), 1u);
    EXPECT_EQ(plan.open[0].rule, "qc_fail:PB200.WSMean");

    // Open already: nothing new; the suspect one resolves the alert of its rule.
    plan = PlanChanges(findings, {{1, "qc_fail:PB200.WSMean"}, {2, "qc_fail:PB200.ATMean"},
                                  {3, "silent"}});
    EXPECT_TRUE(plan.open.empty());
    ASSERT_EQ(plan.resolve.size(), 1u);  // "silent" was not judged: left open
    EXPECT_EQ(plan.resolve[0].first, 2);

    EXPECT_TRUE(Configured(rules, "qc_fail:PB200.ATMean"));
    EXPECT_FALSE(Configured(rules, "qc_fail:PB200.BPMean"));
    EXPECT_FALSE(Configured(rules, "silent"));
}

}  // namespace
}  // namespace saltmark::alerts
