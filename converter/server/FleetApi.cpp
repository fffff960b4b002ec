#include "FleetApi.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>

#include "ApiJson.h"
#include "ArchiveAlerts.h"

namespace saltmark::server {

namespace {

using Json = nlohmann::ordered_json;

constexpr double kSecondsPerDay = 86400;
// A long deployment's distance is plotted from about this many positions.
constexpr std::int64_t kDistancePoints = 2000;
constexpr int kMostOpenAlerts = 5000;

Json TimeOrNull(const std::optional<double>& t) { return t ? Json(TimeText(*t)) : Json(); }

Json AgeOf(const std::optional<double>& t, double now)
{
    return t ? Json(static_cast<std::int64_t>(std::floor(now - *t))) : Json();
}

// A buoy is late when its newest message is older than --late-after; an open alert outranks
// that, as it says more.
std::string StateOf(const std::optional<double>& lastTime, std::size_t openAlerts,
                    const FleetFacts& facts)
{
    if (openAlerts > 0) {
        return "alert";
    }
    return lastTime && facts.now - *lastTime > static_cast<double>(facts.lateAfter.count()) ? "late"
                                                                                            : "ok";
}

// The fixes a buoy's own records state, in time order; the gateway's estimates only when it
// has none, as those scatter by kilometres. Of the positions `pick` says are the buoy's.
struct Fixes {
    std::vector<double> t, lat, lon;
};
Fixes OwnFixes(
    const archive::TrackPositions& track,
    const std::function<bool(std::size_t)>& pick = [](std::size_t) { return true; })
{
    bool own = false;
    for (std::size_t i = 0; i < track.times.size() && !own; ++i) {
        own = pick(i) && track.sources[i] != archive::PositionSource::Iridium;
    }
    Fixes fixes;
    for (std::size_t i = 0; i < track.times.size(); ++i) {
        if (pick(i) && own == (track.sources[i] != archive::PositionSource::Iridium)) {
            fixes.t.push_back(track.times[i]);
            fixes.lat.push_back(track.latitudes[i]);
            fixes.lon.push_back(track.longitudes[i]);
        }
    }
    return fixes;
}

std::optional<std::vector<archive::AlertRow>> OpenAlerts(const FleetFacts& facts,
                                                         const std::string& buoy,
                                                         std::string& reason)
{
    archive::AlertQuery query;
    query.buoy = buoy;
    query.open = true;
    query.limit = kMostOpenAlerts;
    return archive::ReadAlerts(facts.archive, query, reason);
}

Json NameOf(const FleetFacts& facts, const std::optional<std::string>& imei)
{
    const auto found = imei ? facts.names.find(*imei) : facts.names.end();
    return found == facts.names.end() ? Json() : Json(found->second);
}

}  // namespace

std::optional<Json> FleetJson(const FleetFacts& facts, std::string& reason)
{
    const auto buoys = facts.reader.Buoys(reason);
    const auto alerts = buoys ? OpenAlerts(facts, "", reason) : std::nullopt;
    if (!alerts) {
        return std::nullopt;
    }
    std::map<std::string, std::size_t> openAlerts;
    for (const archive::AlertRow& a : *alerts) {
        ++openAlerts[a.buoy];
    }
    // The buoys heard within a day of the newest share one query of the last two days (the
    // time index serves it); a buoy silent for longer gets a query of its own.
    const double window = kFleetTrackHours * 3600;
    std::optional<double> newest;
    for (const archive::BuoySummary& b : *buoys) {
        if (b.lastTime && (!newest || *b.lastTime > *newest)) {
            newest = b.lastTime;
        }
    }
    std::optional<archive::TrackPositions> recent;
    if (newest) {
        recent = facts.reader.Track({std::nullopt, {*newest - 2 * window, *newest}, 1}, reason);
        if (!recent) {
            return std::nullopt;
        }
    }
    Json list = Json::array();
    for (const archive::BuoySummary& b : *buoys) {
        Json track = {{"t", Json::array()}, {"lat", Json::array()}, {"lon", Json::array()}};
        if (b.lastTime) {
            const double last = *b.lastTime;
            Fixes fixes;
            if (last >= *newest - window) {
                const auto index = std::ranges::find(recent->buoyNames, b.buoy);
                const auto buoy = static_cast<std::int32_t>(index - recent->buoyNames.begin());
                fixes = OwnFixes(*recent, [&](std::size_t i) {
                    return recent->buoys[i] == buoy && recent->times[i] >= last - window;
                });
            } else {
                const auto own = facts.reader.Track({b.buoy, {last - window, last}, 1}, reason);
                if (!own) {
                    return std::nullopt;
                }
                fixes = OwnFixes(*own);
            }
            track = {{"t", std::move(fixes.t)},
                     {"lat", std::move(fixes.lat)},
                     {"lon", std::move(fixes.lon)}};
        }
        const std::size_t open = openAlerts.contains(b.buoy) ? openAlerts.at(b.buoy) : 0;
        list.push_back({{"buoy", b.buoy},
                        {"imei", b.imei ? Json(*b.imei) : Json()},
                        {"name", NameOf(facts, b.imei)},
                        {"state", StateOf(b.lastTime, open, facts)},
                        {"last_time", TimeOrNull(b.lastTime)},
                        {"age_s", AgeOf(b.lastTime, facts.now)},
                        {"lat", b.position ? Json(b.position->latitude) : Json()},
                        {"lon", b.position ? Json(b.position->longitude) : Json()},
                        {"open_alerts", open},
                        {"track", std::move(track)}});
    }
    return Json{{"late_after_s", facts.lateAfter.count()},
                {"track_hours", kFleetTrackHours},
                {"buoys", std::move(list)}};
}

std::optional<Json> HealthJson(const FleetFacts& facts, const std::string& buoy,
                               std::string& reason)
{
    const auto buoys = facts.reader.Buoys(reason);
    if (!buoys) {
        return std::nullopt;
    }
    const auto summary =
        std::ranges::find_if(*buoys, [&](const auto& b) { return b.buoy == buoy; });
    if (summary == buoys->end()) {
        return std::nullopt;
    }
    const auto records = facts.reader.LastRecords(buoy, reason);
    const auto battery =
        records
            ? facts.reader.Series({"Miscellaneous values", "Battery voltage", {buoy}, {}}, reason)
            : std::nullopt;
    const std::int64_t every =
        std::max<std::int64_t>(1, (summary->messages + kDistancePoints - 1) / kDistancePoints);
    const auto track = battery ? facts.reader.Track({buoy, {}, every}, reason) : std::nullopt;
    const auto alerts = track ? OpenAlerts(facts, buoy, reason) : std::nullopt;
    if (!alerts) {
        return std::nullopt;
    }

    // Overdue as the record_absent alert judges it, by the alert rules' own code: a record is
    // measured against the buoy's newest message, not the clock (a buoy gone quiet altogether
    // is the silent rule's to say), and one never sent is not overdue.
    alerts::Rules absent;
    if (summary->imei && facts.rulesFor) {
        absent.recordAbsentHours = facts.rulesFor(*summary->imei).recordAbsentHours;
    }
    alerts::BuoyFacts seen;
    if (summary->lastTime) {
        seen.lastMessage = alerts::Sample{static_cast<std::int64_t>(std::floor(*summary->lastTime)),
                                          0, summary->lastId};
    }
    for (const archive::LastRecord& r : *records) {
        seen.lastRecord[r.record] = static_cast<std::int64_t>(std::floor(r.time));
    }
    std::set<std::string> overdue;
    for (const alerts::Finding& f : alerts::Evaluate(absent, seen)) {
        if (f.holds) {
            overdue.insert(f.rule.substr(f.rule.find(':') + 1));
        }
    }
    const auto allowed = [&](const std::string& record) {
        const auto rule = absent.recordAbsentHours.find(record);
        return rule == absent.recordAbsentHours.end() ? Json() : Json(rule->second * 3600);
    };

    Json lastRecords = Json::array();
    for (const archive::LastRecord& r : *records) {
        lastRecords.push_back({{"record", r.record},
                               {"time", TimeText(r.time)},
                               {"age_s", AgeOf(r.time, facts.now)},
                               {"id", r.messageId},
                               {"allowed_s", allowed(r.record)},
                               {"overdue", overdue.contains(r.record)}});
    }
    for (const auto& [record, hours] : absent.recordAbsentHours) {
        if (!seen.lastRecord.contains(record)) {
            lastRecords.push_back({{"record", record},
                                   {"time", Json()},
                                   {"age_s", Json()},
                                   {"id", Json()},
                                   {"allowed_s", hours * 3600},
                                   {"overdue", false}});
        }
    }

    // The trend over the last day of readings, as the battery rule judges it.
    Json volts = {{"t", Json::array()}, {"v", Json::array()}};
    std::vector<alerts::Sample> lastDay;
    for (std::size_t i = 0; i < battery->times.size(); ++i) {
        if (std::isfinite(battery->values[i])) {
            volts["t"].push_back(battery->times[i]);
            volts["v"].push_back(battery->values[i]);
        }
    }
    if (!volts["t"].empty()) {
        const double newest = volts["t"].back().get<double>();
        for (std::size_t i = 0; i < volts["t"].size(); ++i) {
            const double t = volts["t"][i].get<double>();
            if (t >= newest - kSecondsPerDay) {
                lastDay.push_back({static_cast<std::int64_t>(t), volts["v"][i].get<double>(), 0});
            }
        }
    }
    const std::optional<double> slope = alerts::SlopePerDay(lastDay);
    volts["slope_per_day"] = slope ? Json(*slope) : Json();
    volts["slope_from"] = lastDay.empty() ? Json() : Json(TimeText(lastDay.front().time));
    volts["slope_to"] = lastDay.empty() ? Json() : Json(TimeText(lastDay.back().time));
    // The fitted line over that day, for the chart: a least-squares line passes through the
    // mean time and mean value.
    Json line = {{"t", Json::array()}, {"v", Json::array()}};
    if (slope) {
        double meanTime = 0, meanValue = 0;
        for (const alerts::Sample& sample : lastDay) {
            meanTime += static_cast<double>(sample.time) / static_cast<double>(lastDay.size());
            meanValue += sample.value / static_cast<double>(lastDay.size());
        }
        for (const alerts::Sample* end : {&lastDay.front(), &lastDay.back()}) {
            const auto t = static_cast<double>(end->time);
            line["t"].push_back(t);
            line["v"].push_back(meanValue + *slope * (t - meanTime) / kSecondsPerDay);
        }
    }
    volts["trend"] = std::move(line);

    Json deployed;
    Json distance = {{"now_km", Json()}, {"t", Json::array()}, {"km", Json::array()}};
    const auto at = summary->imei ? facts.deployed.find(*summary->imei) : facts.deployed.end();
    if (at != facts.deployed.end()) {
        deployed = {{"lat", at->second.latitude}, {"lon", at->second.longitude}};
        const Fixes fixes = OwnFixes(*track);
        for (std::size_t i = 0; i < fixes.t.size(); ++i) {
            distance["t"].push_back(fixes.t[i]);
            distance["km"].push_back(alerts::DistanceKm(at->second, {fixes.lat[i], fixes.lon[i]}));
        }
        if (summary->position) {
            distance["now_km"] = alerts::DistanceKm(
                at->second, {summary->position->latitude, summary->position->longitude});
        }
    }

    Json open = AlertsJson(*alerts)["alerts"];
    return Json{{"buoy", summary->buoy},
                {"imei", summary->imei ? Json(*summary->imei) : Json()},
                {"name", NameOf(facts, summary->imei)},
                {"state", StateOf(summary->lastTime, alerts->size(), facts)},
                {"last_time", TimeOrNull(summary->lastTime)},
                {"age_s", AgeOf(summary->lastTime, facts.now)},
                {"records", std::move(lastRecords)},
                {"battery", std::move(volts)},
                {"deployed", std::move(deployed)},
                {"distance", std::move(distance)},
                {"alerts", std::move(open)}};
}

}  // namespace saltmark::server
