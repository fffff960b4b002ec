// The rules judge the newest state of a buoy, not each message on its own: a late message
// that arrives after newer ones changes nothing it should not, and a restart that judges the
// same state again finds the same alerts already open.

#include "AlertRules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace saltmark::alerts {

namespace {

std::string Format(const char* format, double a, double b = 0)
{
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// Ray casting on longitude and latitude: fences are drawn on a chart, small against the
// Earth, and a ring crossing the antimeridian is given in longitudes beyond 180.
bool InRing(const std::vector<LatLon>& ring, LatLon p)
{
    bool inside = false;
    for (std::size_t i = 0, j = ring.size() - 1; i < ring.size(); j = i++) {
        const LatLon& a = ring[i];
        const LatLon& b = ring[j];
        if ((a.latitude > p.latitude) != (b.latitude > p.latitude)) {
            const double crossing = a.longitude + (p.latitude - a.latitude) *
                                                      (b.longitude - a.longitude) /
                                                      (b.latitude - a.latitude);
            if (p.longitude < crossing) {
                inside = !inside;
            }
        }
    }
    return inside;
}

}  // namespace

bool Geofence::Contains(LatLon point) const
{
    for (const auto& polygon : polygons) {
        if (polygon.empty() || !InRing(polygon.front(), point)) {
            continue;
        }
        bool inHole = false;
        for (std::size_t hole = 1; hole < polygon.size() && !inHole; ++hole) {
            inHole = InRing(polygon[hole], point);
        }
        if (!inHole) {
            return true;
        }
    }
    return false;
}

std::optional<double> SlopePerDay(const std::vector<Sample>& samples)
{
    if (samples.size() < 2) {
        return std::nullopt;
    }
    // Centred on the first sample: seconds since 1970 squared lose the slope in rounding.
    const double t0 = static_cast<double>(samples.front().time);
    double st = 0, sv = 0;
    for (const Sample& s : samples) {
        st += (static_cast<double>(s.time) - t0) / 86400;
        sv += s.value;
    }
    const double n = static_cast<double>(samples.size());
    const double mt = st / n, mv = sv / n;
    double stt = 0, stv = 0;
    for (const Sample& s : samples) {
        const double dt = (static_cast<double>(s.time) - t0) / 86400 - mt;
        stt += dt * dt;
        stv += dt * (s.value - mv);
    }
    if (stt <= 0) {
        return std::nullopt;
    }
    return stv / stt;
}

double DistanceKm(LatLon a, LatLon b)
{
    constexpr double kRadius = 6371.0088;
    constexpr double kDegree = 3.14159265358979323846 / 180;
    const double dLat = (b.latitude - a.latitude) * kDegree;
    const double dLon = (b.longitude - a.longitude) * kDegree;
    const double h = std::sin(dLat / 2) * std::sin(dLat / 2) +
                     std::cos(a.latitude * kDegree) * std::cos(b.latitude * kDegree) *
                         std::sin(dLon / 2) * std::sin(dLon / 2);
    return 2 * kRadius * std::asin(std::min(1.0, std::sqrt(h)));
}

std::vector<Finding> Evaluate(const Rules& rules, const BuoyFacts& facts)
{
    std::vector<Finding> findings;
    const std::int64_t newest = facts.lastMessage ? facts.lastMessage->message : 0;
    if (rules.silentHours && facts.lastReceivedAt) {
        const double hours = static_cast<double>(facts.now - *facts.lastReceivedAt) / 3600;
        const bool holds = hours > *rules.silentHours;
        findings.push_back({"silent", holds,
                            holds ? Format("no message for %.1f hours (limit %g)", hours,
                                           *rules.silentHours)
                                  : "a message arrived",
                            holds ? 0 : newest});
    }
    if (facts.lastMessage) {
        for (const auto& [record, limit] : rules.recordAbsentHours) {
            const auto last = facts.lastRecord.find(record);
            if (last == facts.lastRecord.end()) {
                continue;  // never seen: nothing to say it stopped
            }
            const double hours =
                static_cast<double>(facts.lastMessage->time - last->second) / 3600;
            const bool holds = hours > limit;
            findings.push_back(
                {"record_absent:" + record, holds,
                 holds ? record + Format(" absent for %.1f hours while the buoy reports (limit %g)",
                                         hours, limit)
                       : record + " reported again",
                 newest});
        }
    }
    if (!facts.battery.empty()) {
        const Sample& last = facts.battery.back();
        if (rules.batteryBelow) {
            const bool holds = last.value < *rules.batteryBelow;
            findings.push_back({"battery_low", holds,
                                Format("battery %.2f V (limit %g V)", last.value,
                                       *rules.batteryBelow),
                                last.message});
        }
        if (rules.batteryFallingPerDay) {
            std::vector<Sample> day;
            for (const Sample& s : facts.battery) {
                if (s.time >= last.time - 86400) {
                    day.push_back(s);
                }
            }
            // Three values at least: two say little about a trend.
            const auto slope = day.size() >= 3 ? SlopePerDay(day) : std::nullopt;
            if (slope) {
                const bool holds = *slope < -*rules.batteryFallingPerDay;
                findings.push_back({"battery_falling", holds,
                                    Format("battery changing by %+.3f V per day (limit -%g)",
                                           *slope, *rules.batteryFallingPerDay),
                                    last.message});
            }
        }
    }
    if (facts.lastFix) {
        const LatLon at = facts.lastFix->position;
        const std::string where = Format("at %.5f, %.5f", at.latitude, at.longitude);
        if (rules.geofence) {
            const bool holds = !rules.geofence->Contains(at);
            findings.push_back({"geofence", holds,
                                (holds ? "outside the geofence " : "inside the geofence ") + where,
                                facts.lastFix->message});
        }
        if (rules.maxDistanceKm && facts.deployedAt) {
            const double km = DistanceKm(*facts.deployedAt, at);
            findings.push_back({"distance", km > *rules.maxDistanceKm,
                                Format("%.1f km from the deployment position (limit %g km) ", km,
                                       *rules.maxDistanceKm) +
                                    where,
                                facts.lastFix->message});
        }
    }
    for (const std::string& stream : rules.qcFail) {
        const auto flag = facts.lastQcAggregate.find(stream);
        if (flag == facts.lastQcAggregate.end()) {
            continue;
        }
        constexpr double kFail = 4;
        const bool holds = flag->second.value == kFail;
        findings.push_back({"qc_fail:" + stream, holds,
                            stream + (holds ? " failed its quality control"
                                            : " passes its quality control again"),
                            flag->second.message});
    }
    return findings;
}

bool Configured(const Rules& rules, const std::string& rule)
{
    const std::size_t colon = rule.find(':');
    const std::string family = rule.substr(0, colon);
    const std::string what = colon == std::string::npos ? "" : rule.substr(colon + 1);
    return (family == "silent" && rules.silentHours) ||
           (family == "record_absent" && rules.recordAbsentHours.count(what) != 0) ||
           (family == "battery_low" && rules.batteryBelow) ||
           (family == "battery_falling" && rules.batteryFallingPerDay) ||
           (family == "geofence" && rules.geofence) ||
           (family == "distance" && rules.maxDistanceKm) ||
           (family == "qc_fail" &&
            std::find(rules.qcFail.begin(), rules.qcFail.end(), what) != rules.qcFail.end());
}

Plan PlanChanges(const std::vector<Finding>& findings, const std::vector<OpenAlert>& open)
{
    Plan plan;
    for (const Finding& finding : findings) {
        const OpenAlert* current = nullptr;
        for (const OpenAlert& alert : open) {
            if (alert.rule == finding.rule) {
                current = &alert;
            }
        }
        if (finding.holds && !current) {
            plan.open.push_back(finding);
        } else if (!finding.holds && current) {
            plan.resolve.emplace_back(current->id, finding);
        }
    }
    return plan;
}

}  // namespace saltmark::alerts
