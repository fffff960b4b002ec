#pragma once
// The fleet at a glance and one buoy's health, as JSON for the dashboard: where each buoy is
// and went lately, whether it is ok, late or has an open alert; and per buoy when each record
// type last came, its battery with the trend the battery rule judges, and its distance from
// where it was deployed.

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "AlertRules.h"
#include "Reader.h"

namespace saltmark::server {

// The hours of track the fleet map draws behind each buoy's latest position.
inline constexpr double kFleetTrackHours = 24;

struct FleetFacts {
    const archive::Reader& reader;
    std::filesystem::path archive;  // for the alerts, which the writer's side reads
    double now = 0;                 // seconds since 1970
    std::chrono::seconds lateAfter{};
    std::map<std::string, std::string> names;        // IMEI -> name
    std::map<std::string, alerts::LatLon> deployed;  // IMEI -> deployment position
    // The alert rules that hold for an IMEI; none: no rules.
    std::function<alerts::Rules(const std::string& imei)> rulesFor;
};

// {late_after_s, track_hours, buoys: [{buoy, imei, name, state ("ok", "late", "alert"),
// last_time, age_s, lat, lon, open_alerts, track: {t, lat, lon}}]}; buoys without any position
// have lat and lon null.
std::optional<nlohmann::ordered_json> FleetJson(const FleetFacts& facts, std::string& reason);

// {buoy, imei, name, state, last_time, age_s,
// records: [{record, time, age_s, id, allowed_s, overdue}],
// battery: {t, v, slope_per_day, slope_from, slope_to, trend: {t, v} (the fitted line's ends)},
// deployed: {lat, lon} or null, distance: {now_km, t, km}, alerts: [open alerts as /api/alerts has
// them]}. A record's allowed_s is how long its record_absent rule lets it stay away (null: no
// rule), and overdue whether that rule's alert holds now; a record type a rule names that the
// buoy never sent is listed with time, age_s and id null. Nothing with `reason` empty when the
// archive has no such buoy.
std::optional<nlohmann::ordered_json> HealthJson(const FleetFacts& facts, const std::string& buoy,
                                                 std::string& reason);

}  // namespace saltmark::server
