// Every key is known, every value has its form, before any of the file is used: a data
// centre's file built from half a deployment file would carry the wrong names for good.

#include "Deployment.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "CheckedYaml.h"
#include "DirectIp.h"
#include "Records.h"

namespace saltmark::deployment {

namespace {

bool AllDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

[[noreturn]] void RaiseDeploymentError(const std::string& fileName, int line,
                                       const std::string& reason)
{
    throw DeploymentError(fileName, line, reason);
}

using yaml::Reader;

Party ReadParty(const Reader& reader, const YAML::Node& node, const std::string& where)
{
    Party party;
    for (const auto& [key, value] :
         reader.Entries(node, where,
                        {"name", "email", "url", "type", "institution", "country", "sector",
                         "address", "city", "state", "postalcode", "phone"})) {
        const std::string& k = key;
        std::string text = reader.Text(value, where + ": " + k);
        if (k == "type" && text != "person" && text != "group" && text != "institution" &&
            text != "position") {
            reader.Fail(value, where + ": type: \"" + text +
                                   "\" is not person, group, institution or position");
        }
        (k == "name"          ? party.name
         : k == "email"       ? party.email
         : k == "url"         ? party.url
         : k == "type"        ? party.type
         : k == "institution" ? party.institution
         : k == "country"     ? party.country
         : k == "sector"      ? party.sector
         : k == "address"     ? party.address
         : k == "city"        ? party.city
         : k == "state"       ? party.state
         : k == "postalcode"  ? party.postalcode
                              : party.phone) = std::move(text);
    }
    return party;
}

Metadata ReadMetadata(const Reader& reader, const YAML::Node& node)
{
    Metadata m;
    for (const auto& [key, value] : reader.Entries(
             node, "metadata",
             {"title", "summary", "keywords", "keywords_vocabulary", "institution", "project",
              "creator", "publisher", "contributors", "license", "naming_authority", "infoUrl",
              "references", "acknowledgement", "comment", "instrument_vocabulary"})) {
        const std::string& k = key;
        const std::string where = "metadata: " + k;
        if (k == "creator" || k == "publisher") {
            (k == "creator" ? m.creator : m.publisher) = ReadParty(reader, value, where);
        } else if (k == "keywords") {
            if (value.IsSequence()) {
                for (const YAML::Node& word : value) {
                    m.keywords.push_back(reader.Text(word, where));
                }
            } else {
                // ACDD's own form: one comma-separated text.
                const std::string text = reader.Text(value, where);
                std::size_t begin = 0;
                while (begin <= text.size()) {
                    std::size_t comma = std::min(text.find(',', begin), text.size());
                    std::string word = text.substr(begin, comma - begin);
                    word.erase(0, word.find_first_not_of(' '));
                    word.erase(word.find_last_not_of(' ') + 1);
                    if (!word.empty()) {
                        m.keywords.push_back(word);
                    }
                    begin = comma + 1;
                }
            }
        } else if (k == "contributors") {
            if (!value.IsSequence()) {
                reader.Fail(value, where + ": expected a list of {name, role}");
            }
            for (const YAML::Node& entry : value) {
                Contributor c;
                for (const auto& [ck, cv] :
                     reader.Entries(entry, where, {"name", "role", "email", "url"})) {
                    (ck == "name"    ? c.name
                     : ck == "role"  ? c.role
                     : ck == "email" ? c.email
                                     : c.url) = reader.Text(cv, where + ": " + ck);
                }
                if (c.name.empty()) {
                    reader.Fail(entry, where + ": a contributor needs a name");
                }
                m.contributors.push_back(std::move(c));
            }
        } else {
            std::string text = reader.Text(value, where);
            std::string& field = k == "title"                 ? m.title
                                 : k == "summary"             ? m.summary
                                 : k == "keywords_vocabulary" ? m.keywordsVocabulary
                                 : k == "institution"         ? m.institution
                                 : k == "project"             ? m.project
                                 : k == "license"             ? m.license
                                 : k == "naming_authority"    ? m.namingAuthority
                                 : k == "infoUrl"             ? m.infoUrl
                                 : k == "references"          ? m.references
                                 : k == "comment"             ? m.comment
                                 : k == "instrument_vocabulary" ? m.instrumentVocabulary
                                                              : m.acknowledgement;
            field = std::move(text);
        }
    }
    return m;
}

// The record type an instrument fills or a rule names; a code ("2") names a record on the
// wire, not in a file people read.
// `line` is where the name stands, for the error.
std::string RecordName(const Reader& reader, const std::string& name, int line,
                       const std::string& where)
{
    const RecordDescription* record = FindRecordDescription(name);
    if (!record || AllDigits(name)) {
        std::string names;
        for (const RecordDescription& d : RecordDescriptions()) {
            names += (names.empty() ? "" : ", ") + std::string(d.typeName);
        }
        reader.FailAt(line, where + ": unknown record type \"" + name + "\" (expected one of " +
                                names + ")");
    }
    return std::string(record->typeName);
}

std::string RecordName(const Reader& reader, const YAML::Node& node, const std::string& where)
{
    return RecordName(reader, reader.Text(node, where), Reader::Line(node.Mark()), where);
}

Instrument ReadInstrument(const Reader& reader, const YAML::Node& node, const std::string& where)
{
    Instrument instrument;
    instrument.line = node.Mark().line + 1;
    for (const auto& [key, value] :
         reader.Entries(node, where,
                        {"record", "make_model", "height", "depth", "calibration_date"})) {
        const std::string& k = key;
        if (k == "record") {
            instrument.record = RecordName(reader, value, where + ": record");
        } else if (k == "make_model") {
            instrument.makeModel = reader.Text(value, where + ": make_model");
        } else if (k == "calibration_date") {
            instrument.calibrationDate = reader.Instant(value, where + ": calibration_date");
        } else {
            (k == "height" ? instrument.height : instrument.depth) =
                reader.Number(value, where + ": " + k, 0, 11000);
        }
    }
    if (instrument.record.empty()) {
        reader.Fail(node, where + ": an instrument needs the record it fills");
    }
    if (instrument.height && instrument.depth) {
        reader.Fail(node, where + ": give height (above the water line) or depth, not both");
    }
    return instrument;
}

// "PB200.WSMean": a record type and one of its scalar fields.
std::string StreamName(const Reader& reader, const YAML::Node& node, const std::string& where)
{
    const std::string text = reader.Text(node, where);
    const std::size_t dot = text.rfind('.');
    const RecordDescription* record =
        dot == std::string::npos ? nullptr : FindRecordDescription(text.substr(0, dot));
    if (record) {
        for (const FieldDescription& field : record->fields) {
            if (field.name == text.substr(dot + 1) && !IsArray(field.kind)) {
                return std::string(record->typeName) + "." + std::string(field.name);
            }
        }
    }
    reader.Fail(node, where + ": \"" + text + "\" is no record field (RECORD.FIELD, as PB200.WSMean)");
}

// A GeoJSON Polygon or MultiPolygon: rings of [longitude, latitude], each closed.
alerts::Geofence ReadGeofence(const Reader& reader, const YAML::Node& node, const std::string& where)
{
    std::string type;
    std::optional<YAML::Node> coordinates;
    for (const auto& [key, value] : reader.Entries(node, where, {"type", "coordinates"})) {
        if (key == "type") {
            type = reader.Text(value, where + ": type");
        } else {
            coordinates.emplace(value);
        }
    }
    if (type != "Polygon" && type != "MultiPolygon") {
        reader.Fail(node, where + ": a GeoJSON Polygon or MultiPolygon, with type and coordinates");
    }
    if (!coordinates || !coordinates->IsSequence()) {
        reader.Fail(node, where + ": coordinates: expected a list of rings");
    }
    const auto ring = [&](const YAML::Node& r) {
        if (!r.IsSequence() || r.size() < 4) {
            reader.Fail(r, where + ": a ring has four positions at least, the last the first");
        }
        std::vector<alerts::LatLon> points;
        for (const YAML::Node& p : r) {
            if (!p.IsSequence() || p.size() < 2) {
                reader.Fail(p, where + ": a position is [longitude, latitude]");
            }
            points.push_back({reader.Number(p[1], where + ": latitude", -90, 90),
                              reader.Number(p[0], where + ": longitude", -360, 360)});
        }
        if (points.front().latitude != points.back().latitude ||
            points.front().longitude != points.back().longitude) {
            reader.Fail(r, where + ": a ring ends where it starts");
        }
        return points;
    };
    alerts::Geofence fence;
    const auto polygon = [&](const YAML::Node& rings) {
        if (!rings.IsSequence() || rings.size() == 0) {
            reader.Fail(rings, where + ": a polygon is a list of rings");
        }
        std::vector<std::vector<alerts::LatLon>> p;
        for (const YAML::Node& r : rings) {
            p.push_back(ring(r));
        }
        fence.polygons.push_back(std::move(p));
    };
    if (type == "Polygon") {
        polygon(*coordinates);
    } else {
        for (const YAML::Node& rings : *coordinates) {
            polygon(rings);
        }
    }
    return fence;
}

// The rules given in `node` over `rules`; a rule given as null is switched off.
void ReadRules(const Reader& reader, const YAML::Node& node, const std::string& where,
               alerts::Rules& rules)
{
    for (const auto& [key, value] : reader.Entries(
             node, where,
             {"silent_hours", "record_absent_hours", "battery_below", "battery_falling_per_day",
              "geofence", "max_distance_km", "qc_fail"})) {
        const std::string& k = key;
        const std::string here = where + ": " + k;
        const bool off = value.IsNull();
        if (k == "silent_hours" || k == "battery_below" || k == "battery_falling_per_day" ||
            k == "max_distance_km") {
            std::optional<double>& field = k == "silent_hours"    ? rules.silentHours
                                           : k == "battery_below" ? rules.batteryBelow
                                           : k == "max_distance_km"
                                               ? rules.maxDistanceKm
                                               : rules.batteryFallingPerDay;
            field.reset();
            if (!off) {
                field = reader.Number(value, here, k == "battery_below" ? 0 : 1e-6, 1e6);
            }
        } else if (k == "record_absent_hours") {
            rules.recordAbsentHours.clear();
            if (!off) {
                for (const auto& [record, hours] : reader.Entries(value, here, {})) {
                    rules.recordAbsentHours[RecordName(reader, record, reader.KeyLine(hours), here)] =
                        reader.Number(hours, here + ": " + record, 1e-6, 1e6);
                }
            }
        } else if (k == "geofence") {
            rules.geofence.reset();
            if (!off) {
                rules.geofence = ReadGeofence(reader, value, here);
            }
        } else {
            rules.qcFail.clear();
            if (!off) {
                if (!value.IsSequence()) {
                    reader.Fail(value, here + ": expected a list of fields (PB200.WSMean)");
                }
                for (const YAML::Node& stream : value) {
                    rules.qcFail.push_back(StreamName(reader, stream, here));
                }
            }
        }
    }
}

void ReadAlerts(const Reader& reader, const YAML::Node& node, Deployment& deployment)
{
    if (node.IsNull() || (node.IsSequence() && node.size() == 0)) {
        return;
    }
    for (const auto& [key, value] : reader.Entries(node, "alerts", {"channels", "rules"})) {
        if (key == "rules") {
            ReadRules(reader, value, "alerts: rules", deployment.alertRules);
            continue;
        }
        if (!value.IsSequence()) {
            reader.Fail(value, "alerts: channels: expected a list of {webhook: URL} or {mail: ADDRESS}");
        }
        for (const YAML::Node& channel : value) {
            for (const auto& [kind, target] :
                 reader.Entries(channel, "alerts: channels", {"webhook", "mail"})) {
                const std::string text = reader.Text(target, "alerts: channels: " + kind);
                if (kind == "webhook" && !text.starts_with("http://") &&
                    !text.starts_with("https://")) {
                    reader.Fail(target, "alerts: channels: webhook: \"" + text + "\" is no http(s) URL");
                }
                if (kind == "mail" &&
                    (text.find('@') == std::string::npos || text.find_first_of(" <>,") != std::string::npos)) {
                    reader.Fail(target, "alerts: channels: mail: \"" + text + "\" is no mail address");
                }
                deployment.alertChannels.push_back(kind + ":" + text);
            }
        }
    }
}

// The buoy's own alert rules are read once the fleet's are known, which the file may give
// after the buoys: `alerts` is handed back unread.
Buoy ReadBuoy(const Reader& reader, const std::string& key, const YAML::Node& node,
              std::optional<YAML::Node>& alerts)
{
    Buoy buoy;
    buoy.imei = key;
    buoy.line = reader.KeyLine(node);
    const std::string where = "buoys: " + buoy.imei;
    if (buoy.imei.size() != 15 || !AllDigits(buoy.imei)) {
        reader.FailAt(buoy.line, where + ": an IMEI has 15 digits");
    }
    if (node.IsNull()) {
        return buoy;
    }
    for (const auto& [k, value] : reader.Entries(
             node, where,
             {"name", "platform_id", "wmo_platform_code", "platform_type", "deployment",
              "position", "instruments", "alerts"})) {
        const std::string& name = k;
        const std::string here = where + ": " + name;
        if (name == "alerts") {
            alerts.emplace(value);
        } else if (name == "deployment") {
            YAML::Node startNode, endNode;
            for (const auto& [bound, time] : reader.Entries(value, here, {"start", "end"})) {
                if (time.IsNull()) {
                    continue;
                }
                const bool isStart = bound == "start";
                (isStart ? buoy.start : buoy.end) =
                    reader.Instant(time, here + ": " + bound);
                (isStart ? startNode : endNode) = time;
            }
            if (buoy.start && buoy.end && *buoy.end < *buoy.start) {
                reader.Fail(endNode, here + ": ends before it starts");
            }
        } else if (name == "position") {
            for (const auto& [axis, number] :
                 reader.Entries(value, here, {"latitude", "longitude"})) {
                if (axis == "latitude") {
                    buoy.latitude = reader.Number(number, here + ": latitude", -90, 90);
                } else {
                    buoy.longitude = reader.Number(number, here + ": longitude", -180, 180);
                }
            }
            if (!buoy.latitude || !buoy.longitude) {
                reader.Fail(value, here + ": needs both latitude and longitude");
            }
        } else if (name == "instruments") {
            if (!value.IsSequence()) {
                reader.Fail(value, here + ": expected a list of instruments");
            }
            for (const YAML::Node& instrument : value) {
                buoy.instruments.push_back(ReadInstrument(reader, instrument, here));
            }
        } else {
            std::string text = reader.Text(value, here);
            if (name == "wmo_platform_code") {
                // Drifting buoys carry a 5-digit identifier or its 7-digit successor
                // (region, sub-area, type and serial).
                if (!AllDigits(text) || (text.size() != 5 && text.size() != 7)) {
                    reader.Fail(value, here + ": \"" + text +
                                           "\" is not a WMO platform code (5 or 7 digits)");
                }
            }
            (name == "name"          ? buoy.name
             : name == "platform_id" ? buoy.platformId
             : name == "platform_type" ? buoy.platformType
                                       : buoy.wmoPlatformCode) = std::move(text);
        }
    }
    return buoy;
}

}  // namespace

DeploymentError::DeploymentError(std::string fileName, int line, std::string reason)
    : std::runtime_error(fileName + ":" + (line > 0 ? std::to_string(line) + ":" : "") + " " +
                         reason),
      m_fileName(std::move(fileName)),
      m_line(line),
      m_reason(std::move(reason))
{
}

const Buoy* Deployment::FindBuoy(std::string_view imei) const
{
    for (const Buoy& buoy : buoys) {
        if (buoy.imei == imei) {
            return &buoy;
        }
    }
    return nullptr;
}

const alerts::Rules& Deployment::AlertRulesFor(std::string_view imei) const
{
    const Buoy* buoy = FindBuoy(imei);
    return buoy && buoy->alerts ? *buoy->alerts : alertRules;
}

Deployment ParseDeployment(std::string_view text, std::string_view fileName)
{
    Deployment deployment;
    deployment.fileName = std::string(fileName);
    const Reader reader(deployment.fileName, RaiseDeploymentError);
    const YAML::Node root = reader.Load(text);
    if (!root.IsMap()) {
        throw DeploymentError(deployment.fileName, 0,
                              "expected a mapping with metadata and buoys at the top");
    }
    try {
        std::vector<std::pair<std::size_t, YAML::Node>> buoyAlerts;
        for (const auto& [key, value] :
             reader.Entries(root, "deployment", {"metadata", "buoys", "alerts"})) {
            const std::string& k = key;
            if (k == "metadata") {
                deployment.metadata = ReadMetadata(reader, value);
            } else if (k == "alerts") {
                YAML::Emitter out;
                out << value;
                deployment.alerts = out.c_str();
                ReadAlerts(reader, value, deployment);
            } else {
                // Entries refuses an IMEI given twice, with the second one's line.
                for (const auto& [imei, buoy] : reader.Entries(value, "buoys", {})) {
                    std::optional<YAML::Node> alerts;
                    deployment.buoys.push_back(ReadBuoy(reader, imei, buoy, alerts));
                    if (alerts) {
                        buoyAlerts.emplace_back(deployment.buoys.size() - 1, *alerts);
                    }
                }
            }
        }
        for (const auto& [index, node] : buoyAlerts) {
            Buoy& buoy = deployment.buoys[index];
            buoy.alerts = deployment.alertRules;
            ReadRules(reader, node, "buoys: " + buoy.imei + ": alerts", *buoy.alerts);
        }
    } catch (const YAML::Exception& error) {
        throw DeploymentError(deployment.fileName, error.mark.is_null() ? 0 : error.mark.line + 1,
                              error.msg);
    }
    return deployment;
}

std::vector<std::pair<std::string, std::string>> DatasetAttributes(const Metadata& m)
{
    std::vector<std::pair<std::string, std::string>> out;
    const auto add = [&](std::string name, const std::string& value) {
        if (!value.empty()) {
            out.emplace_back(std::move(name), value);
        }
    };
    // Lists are ACDD's comma-separated text; a contributor's email or URL only when every
    // contributor gives one, so that the lists stay in step with the names.
    const auto joined = [](const auto& items, auto field) {
        std::string text;
        for (const auto& item : items) {
            const std::string& value = item.*field;
            if (value.empty()) {
                return std::string();
            }
            text += (text.empty() ? "" : ", ") + value;
        }
        return text;
    };
    add("summary", m.summary);
    std::string keywords;
    for (const std::string& word : m.keywords) {
        keywords += (keywords.empty() ? "" : ", ") + word;
    }
    add("keywords", keywords);
    add("keywords_vocabulary", m.keywordsVocabulary);
    add("institution", m.institution);
    add("project", m.project);
    for (const auto& [role, party] : {std::pair{"creator", &m.creator},
                                      std::pair{"publisher", &m.publisher}}) {
        const std::pair<const char*, const std::string*> fields[] = {
            {"name", &party->name},         {"email", &party->email},
            {"url", &party->url},           {"type", &party->type},
            {"institution", &party->institution}, {"country", &party->country},
            {"sector", &party->sector},     {"address", &party->address},
            {"city", &party->city},         {"state", &party->state},
            {"postalcode", &party->postalcode}, {"phone", &party->phone},
        };
        for (const auto& [field, value] : fields) {
            add(std::string(role) + "_" + field, *value);
        }
    }
    add("contributor_name", joined(m.contributors, &Contributor::name));
    add("contributor_role", joined(m.contributors, &Contributor::role));
    if (!m.contributors.empty() && !m.contributors.front().role.empty()) {
        // The roles the file's example and documentation use are NERC's.
        add("contributor_role_vocabulary", "https://vocab.nerc.ac.uk/collection/G04/current/");
    }
    add("contributor_email", joined(m.contributors, &Contributor::email));
    add("contributor_url", joined(m.contributors, &Contributor::url));
    add("license", m.license);
    add("naming_authority", m.namingAuthority);
    add("infoUrl", m.infoUrl);
    add("references", m.references);
    add("acknowledgement", m.acknowledgement);
    add("comment", m.comment);
    add("instrument_vocabulary", m.instrumentVocabulary);
    return out;
}

std::string IsoTime(double secondsSince1970)
{
    return IsoUtc(static_cast<std::int64_t>(std::floor(secondsSince1970)));
}

}  // namespace saltmark::deployment
