#pragma once
// The dashboard's API as JSON (and the series as CSV), from the archive reader's structs: every
// key the page reads is written here and nowhere else. Times are the archive's UTC ISO 8601
// text, except in the long arrays of a series or a track, which hold seconds since 1970.

#include <chrono>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "ArchiveAlerts.h"
#include "Reader.h"
#include "Records.h"

namespace saltmark::server {

inline constexpr std::string_view kFilesBuoy = archive::kFilesBuoy;

// What a person reads beside a field's value: a label and the unit ("1" for a pure number), and
// whether its values span decades (a log axis). Empty for a field nobody described.
struct FieldFacts {
    std::string_view label;
    std::string_view unit;
    bool log = false;
};
// Record type and field as the report names them.
FieldFacts FactsOf(std::string_view type, std::string_view field);

// What the page shows that the server knows better: when a buoy is late, the dissipation fit's
// band, the mail-folder buoy's name, and every record field's label and unit.
nlohmann::ordered_json ConfigJson(std::chrono::seconds lateAfter);
// The quality-control flags by number: name and the colour the page draws a flagged value in
// (none: drawn as an unflagged one).
struct FlagFacts {
    int flag;
    std::string_view name;
    std::string_view colour;
};
inline constexpr FlagFacts kFlagFacts[] = {
    {1, "GOOD", ""},        {2, "UNKNOWN", ""},     {3, "SUSPECT", "#f0a000"},
    {4, "FAIL", "#e0007a"}, {9, "MISSING", ""},
};

// The record types with their numeric scalar fields, for the page's pickers.
nlohmann::ordered_json FieldsJson();

// Each buoy with its latest values; its age and whether it is late as of `now` (seconds since
// 1970).
nlohmann::ordered_json BuoysJson(const std::vector<archive::BuoySummary>& buoys, double now,
                                 std::chrono::seconds lateAfter);
nlohmann::ordered_json EnvelopeJson(const archive::MessageEnvelope& envelope);
// {messages: [envelope...], next: cursor or null}.
nlohmann::ordered_json MessagePageJson(const archive::MessagePage& page);
// The converter's JSON document of the message with its envelope as "archive" and its values'
// flags as "qc": [{record, stream, aggregate, tests: {test: flag}}], by record and stream.
nlohmann::ordered_json MessageDocument(const DecodedMessage& decoded,
                                       const archive::MessageEnvelope& envelope,
                                       const std::vector<archive::ValueFlag>& flags);

// {type, field, t: [seconds], v: [value or null], qc: [aggregate flag or null]} and, when the
// series may hold several buoys (`eachBuoy`), buoy: [name] for each point; the tests' flags
// the reader gave as qc_tests: {test: [flag or null]}. Written as text: a year of one field is
// 100,000 points, and building JSON values first would cost more than the query.
std::string SeriesJson(std::string_view type, std::string_view field,
                       const archive::SeriesValues& series, bool eachBuoy);
// "time,value" rows, or "time,buoy,value" with `eachBuoy`; an empty value for a gap. When any
// point is flagged, a qc_aggregate column and one qc_<test> column per test the reader gave.
std::string SeriesCsv(const archive::SeriesValues& series, bool eachBuoy);
// {every, t, lat, lon, source, cep_km, id, buoy, qc} as parallel arrays, qc the aggregate
// flag of the position tests or null.
std::string TrackJson(const archive::TrackPositions& track, std::int64_t every);

// {alerts: [{id, rule, buoy, detail, open, opened_at, ..., outbox: [...]}], outbox: {pending,
// delivered, failing}}: an event is failing once an attempt at it has failed.
nlohmann::ordered_json AlertsJson(const std::vector<archive::AlertRow>& alerts);

// Each object of `json` (an array of them, or one) with an "imei" gains "name": the buoy's
// name from the deployment file, or null.
void AddBuoyNames(nlohmann::ordered_json& json, const std::map<std::string, std::string>& names);

// "2025-12-07T09:33:20Z".
std::string TimeText(double secondsSince1970);

}  // namespace saltmark::server
