#pragma once
// The alert rules of one buoy and what they are judged on: a few recent facts of the buoy,
// gathered by the caller from wherever it keeps them (the server reads them from the archive
// inside the transaction that adds the buoy's messages). Platform-free: no files, no clock.
//
// Evaluate says, rule by rule, whether the condition holds now; Plan compares that with the
// alerts already open, so that an alert opens once while its condition lasts and resolves once
// when it ends, however often the rules run.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace saltmark::alerts {

struct LatLon {
    double latitude = 0;
    double longitude = 0;
};

// A GeoJSON Polygon: its first ring the outside, the others holes; or several (MultiPolygon).
struct Geofence {
    std::vector<std::vector<std::vector<LatLon>>> polygons;
    bool Contains(LatLon point) const;
};

// Every rule is off unless given.
struct Rules {
    std::optional<double> silentHours;
    std::map<std::string, double> recordAbsentHours;  // record type (as decoded) -> hours
    std::optional<double> batteryBelow;               // volts
    std::optional<double> batteryFallingPerDay;       // volts per day, a positive number
    std::optional<Geofence> geofence;
    std::optional<double> maxDistanceKm;              // from the deployment position
    std::vector<std::string> qcFail;                  // "PB200.WSMean"

    bool Any() const
    {
        return silentHours || !recordAbsentHours.empty() || batteryBelow ||
               batteryFallingPerDay || geofence || maxDistanceKm || !qcFail.empty();
    }
};

// A value of the buoy with its time (seconds since 1970) and the message it came in.
struct Sample {
    std::int64_t time = 0;
    double value = 0;
    std::int64_t message = 0;
};

struct Fix {
    std::int64_t time = 0;
    LatLon position;
    std::int64_t message = 0;
};

// What the rules read. Times are seconds since 1970; a fact the caller does not have stays
// empty, and a rule that needs it is then neither opened nor resolved.
struct BuoyFacts {
    std::int64_t now = 0;                        // the wall clock
    std::optional<std::int64_t> lastReceivedAt;  // when its newest delivery arrived
    std::optional<Sample> lastMessage;           // its newest message by time (value unused)
    std::map<std::string, std::int64_t> lastRecord;  // record type -> newest time it came
    std::vector<Sample> battery;                 // by time, at least the last day's
    std::optional<Fix> lastFix;
    std::optional<LatLon> deployedAt;
    std::map<std::string, Sample> lastQcAggregate;  // stream -> its newest aggregate flag
};

// One rule's judgement: the rule as alerts name it ("silent", "record_absent:PB200",
// "battery_low", "battery_falling", "geofence", "distance", "qc_fail:PB200.WSMean"), whether
// its condition holds, a line for people, and the message that shows it (0: the clock).
struct Finding {
    std::string rule;
    bool holds = false;
    std::string detail;
    std::int64_t message = 0;
};

std::vector<Finding> Evaluate(const Rules& rules, const BuoyFacts& facts);

// Whether `rule` ("record_absent:PB200") is one that `rules` judge; an open alert of a rule
// no longer configured (the file changed) is resolved rather than left open for good.
bool Configured(const Rules& rules, const std::string& rule);

// The least-squares slope of the values over time, in units per day; nothing for fewer than
// two distinct times.
std::optional<double> SlopePerDay(const std::vector<Sample>& samples);

// Great-circle distance on a sphere of the Earth's mean radius, in kilometres.
double DistanceKm(LatLon a, LatLon b);

struct OpenAlert {
    std::int64_t id = 0;
    std::string rule;
};

// What to do: findings to open (holds, not open) and open alerts to resolve (the finding no
// longer holds). A rule not judged this time leaves its alert as it is.
struct Plan {
    std::vector<Finding> open;
    std::vector<std::pair<std::int64_t, Finding>> resolve;  // the alert's id, and why
};
Plan PlanChanges(const std::vector<Finding>& findings, const std::vector<OpenAlert>& open);

}  // namespace saltmark::alerts
