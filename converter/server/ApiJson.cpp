#include "ApiJson.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

#include "DirectIp.h"
#include "MessageJson.h"
#include "Y81000Spectrum.h"

namespace saltmark::server {

namespace {

using Json = nlohmann::ordered_json;

// Units as the instruments deliver them; where the logger's configuration decides, the unit
// says so. The record descriptions name the fields but hold no units: this is the one table,
// and the page's own (web/config.js) is only its fallback for a server without /api/config.
struct FieldFactsRow {
    std::string_view type;
    std::string_view field;
    FieldFacts facts;
};
constexpr FieldFactsRow kFieldFacts[] = {
    {"IMU", "Hs", {"Significant wave height", "m"}},
    {"IMU", "Tp", {"Peak period", "s"}},
    {"IMU", "Dp", {"Peak direction", "°"}},
    {"IMU", "Lat", {"Latitude", "°N"}},
    {"IMU", "Lon", {"Longitude", "°E"}},
    {"IMU", "E", {"E", "m²/Hz"}},
    {"IMU", "f", {"f", "Hz"}},
    {"Ellipse", "Hs", {"Significant wave height", "m"}},
    {"Ellipse", "Tp", {"Peak period", "s"}},
    {"Ellipse", "Dp", {"Peak direction", "°"}},
    {"Ellipse", "Lat", {"Latitude", "°N"}},
    {"Ellipse", "Lon", {"Longitude", "°E"}},
    {"Ellipse", "E", {"E", "m²/Hz"}},
    {"Ellipse", "F", {"f", "Hz"}},
    {"PB200", "WDMean", {"Wind direction", "°"}},
    {"PB200", "WDSTD", {"Wind direction std", "°"}},
    {"PB200", "WSMean", {"Wind speed", "m/s"}},
    {"PB200", "WSSTD", {"Wind speed std", "m/s"}},
    {"PB200", "Lat", {"Latitude", "°N"}},
    {"PB200", "Lon", {"Longitude", "°E"}},
    {"PB200", "Year", {"Year", "1"}},
    {"PB200", "Month", {"Month", "1"}},
    {"PB200", "Day", {"Day", "1"}},
    {"PB200", "Seconds", {"Seconds of day", "s"}},
    {"PB200", "ATMean", {"Air temperature", "°C"}},
    {"PB200", "ATSTD", {"Air temperature std", "°C"}},
    {"PB200", "BPMean", {"Pressure", "hPa"}},
    {"PB200", "BPSTD", {"Pressure std", "hPa"}},
    {"PB200", "COGMean", {"Course over ground", "°"}},
    {"PB200", "COGSTD", {"Course over ground std", "°"}},
    {"V536", "WDMean", {"Wind direction", "°"}},
    {"V536", "WDSTD", {"Wind direction std", "°"}},
    {"V536", "WSMean", {"Wind speed", "m/s"}},
    {"V536", "WSSTD", {"Wind speed std", "m/s"}},
    {"V536", "ATMean", {"Air temperature", "°C"}},
    {"V536", "ATSTD", {"Air temperature std", "°C"}},
    {"V536", "RHMean", {"Relative humidity", "%"}},
    {"V536", "RHSTD", {"Relative humidity std", "%"}},
    {"V536", "BPMean", {"Pressure", "hPa"}},
    {"V536", "BPSTD", {"Pressure std", "hPa"}},
    {"V536", "RainAcc", {"Rain accumulation", "mm"}},
    {"V536", "RainInt", {"Rain intensity", "mm/h"}},
    {"Y81000", "Ustar", {"Friction velocity u*", "m/s"}},
    {"Y81000", "Epsilon", {"Dissipation rate ε", "m²/s³", true}},
    {"Y81000", "MeanU", {"Mean u", "m/s"}},
    {"Y81000", "MeanV", {"Mean v", "m/s"}},
    {"Y81000", "MeanW", {"Mean w", "m/s"}},
    {"Y81000", "MeanTemp", {"Mean sonic temperature", "as logged (°C or K)"}},
    {"Y81000", "Anisotropy", {"Anisotropy", "1"}},
    {"Y81000", "Quality", {"Quality", "1"}},
    {"Y81000", "Freq", {"f", "Hz"}},
    {"Y81000", "Tke", {"Tke", "m²/s²/Hz"}},
    {"ACS", "Conductivity mean", {"Conductivity", "as configured"}},
    {"ACS", "Temp mean", {"Water temperature", "°C"}},
    {"ACS", "Salinity mean", {"Salinity", "PSU"}},
    {"ECO", "Column 2 mean", {"ECO column 2", "counts"}},
    {"ECO", "Column 4 mean", {"ECO column 4", "counts"}},
    {"ECO", "Column 6 mean", {"ECO column 6", "counts"}},
    {"ACO", "O2 Concentration mean", {"O₂ concentration", "as configured"}},
    {"SWL", "O2 FDOM mean", {"FDOM", "as configured"}},
    {"Miscellaneous values", "Battery voltage", {"Battery", "V"}},
    {"Camera", "Image size", {"Image size", "bytes"}},
    {"Camera", "Image offset", {"Image offset", "bytes"}},
    {"Signature", "Burst cells", {"Burst cells", "1"}},
    {"Signature", "Avg cells", {"Average cells", "1"}},
};

Json Optional(const auto& value) { return value ? Json(*value) : Json(); }

Json OptionalTime(const std::optional<double>& time)
{
    return time ? Json(TimeText(*time)) : Json();
}

// Whole numbers as integers (times, ids), others as the shortest text that reads back the same;
// NaN as null.
void AppendNumber(std::string& out, double value)
{
    char text[32];
    if (std::isnan(value) || std::isinf(value)) {
        out += "null";
    } else if (value == std::floor(value) && std::fabs(value) < 9e15) {
        out.append(text,
                   std::to_chars(text, text + sizeof text, static_cast<std::int64_t>(value)).ptr);
    } else {
        out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
    }
}

void AppendString(std::string& out, std::string_view text)
{
    out += Json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// `[a,b,c]`, each element written by `append`.
template <typename T, typename Append>
void AppendValues(std::string& out, const std::vector<T>& values, Append append)
{
    out += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) {
            out += ',';
        }
        append(out, values[i]);
    }
    out += ']';
}

// `,"name":[a,b,c]`.
template <typename T, typename Append>
void AppendArray(std::string& out, std::string_view name, const std::vector<T>& values,
                 Append append)
{
    out += ",\"";
    out += name;
    out += "\":";
    AppendValues(out, values, append);
}

// A stored flag, null where the archive holds none.
void AppendFlag(std::string& out, archive::StoredFlag flag)
{
    if (flag == 0) {
        out += "null";
    } else {
        out += std::to_string(int{flag});
    }
}

// `"buoy":[...]`, each point's buoy name from the index the reader gives; each name quoted once.
void AppendBuoys(std::string& out, const std::vector<std::int32_t>& buoys,
                 const std::vector<std::string>& names)
{
    std::vector<std::string> quoted;
    for (const std::string& name : names) {
        AppendString(quoted.emplace_back(), name);
    }
    AppendArray(out, "buoy", buoys, [&](std::string& to, std::int32_t b) {
        to += quoted.at(static_cast<std::size_t>(b));
    });
}

}  // namespace

std::string TimeText(double secondsSince1970)
{
    return IsoUtc(static_cast<std::int64_t>(std::floor(secondsSince1970)));
}

FieldFacts FactsOf(std::string_view type, std::string_view field)
{
    for (const FieldFactsRow& row : kFieldFacts) {
        if (row.type == type && row.field == field) {
            return row.facts;
        }
    }
    return {};
}

Json ConfigJson(std::chrono::seconds lateAfter)
{
    Json fields = Json::object();
    for (const RecordDescription& description : RecordDescriptions()) {
        Json& byField = fields[std::string(description.typeName)] = Json::object();
        for (const FieldDescription& f : description.fields) {
            const FieldFacts facts = FactsOf(description.typeName, f.name);
            if (facts.unit.empty()) {
                continue;  // the page shows the field's own name and says its unit is unknown
            }
            Json& entry =
                byField[std::string(f.name)] = {{"label", facts.label}, {"unit", facts.unit}};
            if (facts.log) {
                entry["log"] = true;
            }
        }
    }
    Json flags = Json::array();
    for (const FlagFacts& f : kFlagFacts) {
        flags.push_back({{"flag", f.flag},
                         {"name", f.name},
                         {"colour", f.colour.empty() ? Json() : Json(f.colour)}});
    }
    return {{"late_after_s", lateAfter.count()},
            {"fit_band_hz", {kFitBandLowHz, kFitBandHighHz}},
            {"files_buoy", kFilesBuoy},
            {"fields", std::move(fields)},
            {"qc_flags", std::move(flags)}};
}

Json FieldsJson()
{
    Json types = Json::array();
    for (const RecordDescription& description : RecordDescriptions()) {
        Json fields = Json::array();
        for (const FieldDescription& f : description.fields) {
            if (!IsArray(f.kind) && f.kind != FieldKind::Text) {
                fields.push_back(f.name);
            }
        }
        if (!fields.empty()) {
            types.push_back({{"type", description.typeName}, {"fields", std::move(fields)}});
        }
    }
    return types;
}

Json BuoysJson(const std::vector<archive::BuoySummary>& buoys, double now,
               std::chrono::seconds lateAfter)
{
    Json list = Json::array();
    for (const archive::BuoySummary& b : buoys) {
        Json age;
        bool late = false;
        if (b.lastTime) {
            const auto seconds = static_cast<std::int64_t>(std::floor(now - *b.lastTime));
            age = seconds;
            late = seconds > lateAfter.count();
        }
        Json position;
        if (b.position) {
            position = {{"time", OptionalTime(b.position->time)},
                        {"lat", b.position->latitude},
                        {"lon", b.position->longitude},
                        {"source", archive::PositionSourceName(b.position->source)},
                        {"cep_km", Optional(b.position->cepKm)}};
        }
        list.push_back({{"buoy", b.buoy},
                        {"imei", Optional(b.imei)},
                        {"messages", b.messages},
                        {"last_time", OptionalTime(b.lastTime)},
                        {"last_id", b.lastId},
                        {"last_file_name", b.lastFileName},
                        {"age_s", std::move(age)},
                        {"battery_voltage", b.battery ? Json(b.battery->value) : Json()},
                        {"battery_time", b.battery ? OptionalTime(b.battery->time) : Json()},
                        {"position", std::move(position)},
                        {"image_id", Optional(b.imageId)},
                        {"late", late}});
    }
    return list;
}

Json AlertsJson(const std::vector<archive::AlertRow>& alerts)
{
    const auto time = [](const std::optional<std::int64_t>& t) {
        return t ? Json(TimeText(static_cast<double>(*t))) : Json();
    };
    Json list = Json::array();
    std::int64_t pending = 0, delivered = 0, failing = 0;
    for (const archive::AlertRow& a : alerts) {
        Json outbox = Json::array();
        for (const archive::OutboxState& o : a.outbox) {
            const char* state = o.deliveredAt ? "delivered" : o.attempts > 0 ? "failing" : "pending";
            ++(o.deliveredAt ? delivered : o.attempts > 0 ? failing : pending);
            outbox.push_back({{"id", o.id},
                              {"event", o.event},
                              {"channel", o.channel},
                              {"state", state},
                              {"created_at", time(o.createdAt)},
                              {"attempts", o.attempts},
                              {"next_attempt_at", time(o.nextAttemptAt)},
                              {"delivered_at", time(o.deliveredAt)},
                              {"last_error", Optional(o.lastError)}});
        }
        list.push_back({{"id", a.id},
                        {"rule", a.rule},
                        {"buoy", a.buoy},
                        {"imei", a.buoy},
                        {"detail", a.detail},
                        {"open", !a.resolvedAt},
                        {"opened_at", time(a.openedAt)},
                        {"opened_message", Optional(a.openedMessage)},
                        {"resolved_at", time(a.resolvedAt)},
                        {"resolved_message", Optional(a.resolvedMessage)},
                        {"outbox", std::move(outbox)}});
    }
    return {{"alerts", std::move(list)},
            {"outbox", {{"pending", pending}, {"delivered", delivered}, {"failing", failing}}}};
}

void AddBuoyNames(Json& json, const std::map<std::string, std::string>& names)
{
    const auto name = [&names](Json& object) {
        const auto imei = object.find("imei");
        if (imei == object.end()) {
            return;
        }
        const auto found = imei->is_string() ? names.find(imei->get<std::string>()) : names.end();
        object["name"] = found == names.end() ? Json() : Json(found->second);
    };
    if (json.is_array()) {
        for (Json& object : json) {
            name(object);
        }
    } else if (json.is_object()) {
        name(json);
    }
}

Json EnvelopeJson(const archive::MessageEnvelope& e)
{
    return {{"id", e.id},
            {"file_name", e.fileName},
            {"size", e.size},
            {"packet_type", Optional(e.packetType)},
            {"outcome", e.outcome},
            {"stop_reason", Optional(e.stopReason)},
            {"stop_offset", Optional(e.stopOffset)},
            {"imported_at", e.importedAt},
            {"imei", Optional(e.imei)},
            {"momsn", Optional(e.momsn)},
            {"mtmsn", Optional(e.mtmsn)},
            {"cdr_reference", Optional(e.cdrReference)},
            {"session_status", Optional(e.sessionStatus)},
            {"session_time", Optional(e.sessionTime)},
            {"iridium_latitude", Optional(e.iridiumLatitude)},
            {"iridium_longitude", Optional(e.iridiumLongitude)},
            {"iridium_cep_km", Optional(e.iridiumCepKm)},
            {"source", e.source},
            {"received_at", Optional(e.receivedAt)},
            {"time", Optional(e.time)},
            {"time_source", Optional(e.timeSource)}};
}

Json MessagePageJson(const archive::MessagePage& page)
{
    Json messages = Json::array();
    for (const archive::MessageEnvelope& envelope : page.messages) {
        messages.push_back(EnvelopeJson(envelope));
    }
    return {{"messages", std::move(messages)}, {"next", Optional(page.next)}};
}

Json MessageDocument(const DecodedMessage& decoded, const archive::MessageEnvelope& envelope,
                     const std::vector<archive::ValueFlag>& flags)
{
    Json document = MessageJson(decoded, envelope.fileName);
    // Each turbulence spectrum's f^-5/3 line, as the converter's window draws it.
    for (std::size_t i = 0; i < decoded.records.size(); ++i) {
        if (const auto spectrum = SpectrumOfRecord(decoded.records[i])) {
            Json line = nullptr;
            if (spectrum->line) {
                line = Json{{"level", spectrum->line->level},
                            {"bands", spectrum->line->bands},
                            {"tke", spectrum->line->tke}};
            }
            document["records"][i]["fit_line"] = std::move(line);
        }
    }
    document["archive"] = EnvelopeJson(envelope);
    // The reader gives them by record and stream: one entry for each value.
    Json qc = Json::array();
    for (const archive::ValueFlag& f : flags) {
        if (qc.empty() || qc.back()["record"] != f.record || qc.back()["stream"] != f.stream) {
            qc.push_back({{"record", f.record},
                          {"stream", f.stream},
                          {"aggregate", Json()},
                          {"tests", Json::object()}});
        }
        if (f.test == "aggregate") {
            qc.back()["aggregate"] = f.flag;
        } else {
            qc.back()["tests"][f.test] = f.flag;
        }
    }
    document["qc"] = std::move(qc);
    return document;
}

std::string SeriesJson(std::string_view type, std::string_view field,
                       const archive::SeriesValues& series, bool eachBuoy)
{
    std::string json = "{\"type\":";
    AppendString(json, type);
    json += ",\"field\":";
    AppendString(json, field);
    json.reserve(json.size() + series.times.size() * (eachBuoy ? 48 : 28));
    AppendArray(json, "t", series.times, AppendNumber);
    AppendArray(json, "v", series.values, AppendNumber);
    AppendArray(json, "qc", series.flags, AppendFlag);
    if (eachBuoy) {
        AppendBuoys(json, series.buoys, series.buoyNames);
    }
    if (!series.tests.empty()) {
        json += ",\"qc_tests\":{";
        for (std::size_t t = 0; t < series.tests.size(); ++t) {
            AppendString(json, series.tests[t].test);
            json += ':';
            AppendValues(json, series.tests[t].flags, AppendFlag);
            json += t + 1 < series.tests.size() ? "," : "";
        }
        json += '}';
    }
    return json + "}";
}

std::string SeriesCsv(const archive::SeriesValues& series, bool eachBuoy)
{
    const bool flagged = std::any_of(series.flags.begin(), series.flags.end(),
                                     [](archive::StoredFlag f) { return f != 0; });
    std::string csv = eachBuoy ? "time,buoy,value" : "time,value";
    if (flagged) {
        csv += ",qc_aggregate";
        for (const archive::TestFlagRows& test : series.tests) {
            csv += ",qc_" + test.test;
        }
    }
    csv += '\n';
    const auto flag = [&](archive::StoredFlag f) {
        csv += ',';
        if (f != 0) {
            csv += std::to_string(int{f});
        }
    };
    for (std::size_t i = 0; i < series.times.size(); ++i) {
        csv += TimeText(series.times[i]);
        csv += ',';
        if (eachBuoy) {
            // IMEIs and the mail buoy's name: nothing a CSV reader would need quoted.
            csv += series.buoyNames.at(static_cast<std::size_t>(series.buoys[i]));
            csv += ',';
        }
        if (!std::isnan(series.values[i])) {
            AppendNumber(csv, series.values[i]);
        }
        if (flagged) {
            flag(series.flags[i]);
            for (const archive::TestFlagRows& test : series.tests) {
                flag(test.flags[i]);
            }
        }
        csv += '\n';
    }
    return csv;
}

std::string TrackJson(const archive::TrackPositions& track, std::int64_t every)
{
    std::string json = "{\"every\":" + std::to_string(every);
    json.reserve(json.size() + track.times.size() * 96);
    AppendArray(json, "t", track.times, AppendNumber);
    AppendArray(json, "lat", track.latitudes, AppendNumber);
    AppendArray(json, "lon", track.longitudes, AppendNumber);
    AppendArray(json, "source", track.sources, [](std::string& out, archive::PositionSource s) {
        AppendString(out, archive::PositionSourceName(s));
    });
    AppendArray(json, "cep_km", track.cepKm, AppendNumber);
    AppendArray(json, "id", track.messageIds,
                [](std::string& out, std::int32_t id) { out += std::to_string(id); });
    AppendBuoys(json, track.buoys, track.buoyNames);
    AppendArray(json, "qc", track.flags, AppendFlag);
    return json + "}";
}

}  // namespace saltmark::server
