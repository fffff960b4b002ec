#include "Export.h"

#include <netcdf.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <tuple>

#include "NetcdfFile.h"
#include "Records.h"

namespace saltmark::exporting {

namespace {

using archive::PositionSource;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kOneDay = 86400.0;
// Deliveries sharing a time: all kept, each this much after the one before.
constexpr double kTieStep = 0.001;
constexpr std::string_view kSharedTimes =
    "strictly increasing per buoy: deliveries sharing a time are all kept in delivery order, "
    "each placed 1 ms after the one before";
constexpr std::string_view kConventions = "CF-1.8, ACDD-1.3, IOOS-1.2";
constexpr std::string_view kTimeUnits = "seconds since 1970-01-01T00:00:00Z";
// The standard-name table whose names the variables use (all of them are in it since long).
constexpr std::string_view kStandardNameVocabulary = "CF Standard Name Table v72";
constexpr std::string_view kPlatformVocabulary = "https://mmisw.org/ont/ioos/platform";
// Room for an IMEI, a platform id or a buoy's name in a character variable.
constexpr std::size_t kNameLength = 64;

// The QARTOD flags, as the archive stores them.
constexpr std::int8_t kNotEvaluated = 2;
constexpr std::int8_t kMissing = 9;

std::string ArchiveSpelling(std::string_view name)
{
    std::string out(name);
    std::replace(out.begin(), out.end(), ' ', '_');
    return out;
}

std::string Joined(const std::vector<std::string>& parts, std::string_view separator = ", ")
{
    std::string out;
    for (const std::string& part : parts) {
        if (part.empty()) {
            continue;
        }
        if (!out.empty()) {
            out += separator;
        }
        out += part;
    }
    return out;
}

// A value the decoder or the logger wrote for "no reading" becomes NaN here, the file's fill
// value when written.
double Reading(const VariableAttributes& attributes, double value)
{
    if (attributes.nonFiniteIsFill && !std::isfinite(value)) {
        return kNaN;
    }
    for (double fill : attributes.decoderFillValues) {
        if (value == fill) {
            return kNaN;
        }
    }
    return value;
}

// The observations: per message the buoy's own best fix, in time order. Deliveries sharing a
// time (a resent message, most often) are all kept in delivery order, each moved to 1 ms after
// the one before: time must increase strictly, and a data manager would rather see a duplicate
// than miss a delivery dropped silently. Python's dataset places them the same way. The gateway's estimate is off by kilometres, too far for a trajectory a
// data centre publishes: a message with nothing better is left out, and counted.
bool ReadPositions(const archive::Reader& reader, const std::string& imei,
                   const archive::TimeRange& range, Trajectory& out, std::string& reason)
{
    const auto track = reader.Track({.buoy = imei, .range = range}, reason);
    if (!track) {
        return false;
    }
    std::map<std::int64_t, std::size_t> best;
    std::set<std::int64_t> onlyEstimated;
    for (std::size_t i = 0; i < track->times.size(); ++i) {
        if (track->sources[i] == PositionSource::Iridium) {
            onlyEstimated.insert(track->messageIds[i]);
            continue;
        }
        const auto [at, added] = best.try_emplace(track->messageIds[i], i);
        if (!added && track->sources[i] < track->sources[at->second]) {
            at->second = i;
        }
    }
    std::vector<std::size_t> chosen;
    chosen.reserve(best.size());
    for (const auto& entry : best) {
        chosen.push_back(entry.second);
        onlyEstimated.erase(entry.first);
    }
    out.withoutOwnFix = onlyEstimated.size();
    std::sort(chosen.begin(), chosen.end(), [&](std::size_t a, std::size_t b) {
        return std::pair(track->times[a], track->messageIds[a]) <
               std::pair(track->times[b], track->messageIds[b]);
    });
    for (std::size_t i : chosen) {
        double time = track->times[i];
        if (!out.times.empty() && time <= out.times.back()) {
            time = out.times.back() + kTieStep;
            ++out.sharedTimesMoved;
        }
        out.times.push_back(time);
        out.latitudes.push_back(track->latitudes[i]);
        out.longitudes.push_back(track->longitudes[i]);
        out.messageIds.push_back(track->messageIds[i]);
        out.positionSources.push_back(static_cast<std::int8_t>(track->sources[i]));
        out.positionRecords.push_back(track->records[i]);
    }
    return true;
}

// The aggregate flag of each observation's value: the archive's where the value was flagged,
// NOT_EVALUATED where it was not, MISSING where there is no value.
bool ReadAggregateFlags(const archive::Reader& reader, const std::string& imei, FieldColumn& column,
                        const std::vector<std::int32_t>& records,
                        const std::vector<std::int64_t>& messageIds, std::string& reason)
{
    const VariableAttributes& a = *column.attributes;
    const auto flags = reader.Flags(
        imei, ArchiveSpelling(a.record) + "." + ArchiveSpelling(a.field), "aggregate", reason);
    if (!flags) {
        return false;
    }
    if (flags->keys.empty()) {
        return true;
    }
    std::map<std::pair<std::int64_t, std::int32_t>, std::uint8_t> byKey;
    for (std::size_t i = 0; i < flags->keys.size(); ++i) {
        byKey[{flags->keys[i].messageId, flags->keys[i].record}] = flags->flags[i];
    }
    column.aggregateFlags.assign(messageIds.size(), kNotEvaluated);
    for (std::size_t i = 0; i < messageIds.size(); ++i) {
        if (std::isnan(column.values[i])) {
            column.aggregateFlags[i] = kMissing;
        } else if (const auto at = byKey.find({messageIds[i], records[i]}); at != byKey.end()) {
            column.aggregateFlags[i] = static_cast<std::int8_t>(at->second);
        }
    }
    return true;
}

}  // namespace

std::optional<Trajectory> ReadTrajectory(const archive::Reader& reader, const std::string& imei,
                                         const archive::TimeRange& range, std::string& reason)
{
    Trajectory out;
    out.imei = imei;
    if (!ReadPositions(reader, imei, range, out, reason)) {
        return std::nullopt;
    }
    // The position's own flags (location, speed), where the archive holds them.
    const auto positionFlags = reader.Flags(imei, "position", "aggregate", reason);
    if (!positionFlags) {
        return std::nullopt;
    }
    if (!positionFlags->keys.empty()) {
        std::map<std::pair<std::int64_t, std::int32_t>, std::uint8_t> byKey;
        for (std::size_t i = 0; i < positionFlags->keys.size(); ++i) {
            byKey[{positionFlags->keys[i].messageId, positionFlags->keys[i].record}] =
                positionFlags->flags[i];
        }
        out.positionFlags.assign(out.times.size(), kNotEvaluated);
        for (std::size_t i = 0; i < out.times.size(); ++i) {
            if (const auto at = byKey.find({out.messageIds[i], out.positionRecords[i]});
                at != byKey.end()) {
                out.positionFlags[i] = static_cast<std::int8_t>(at->second);
            }
        }
    }
    std::map<std::int64_t, std::size_t> observation;
    for (std::size_t i = 0; i < out.messageIds.size(); ++i) {
        observation[out.messageIds[i]] = i;
    }
    const std::size_t n = out.times.size();
    // A record other than the fix is placed at its message's time, which may differ from the
    // fix's own by minutes: its records are looked for in a day more on each side, and taken
    // by message.
    archive::TimeRange wider = range;
    if (wider.from) {
        *wider.from -= kOneDay;
    }
    if (wider.to) {
        *wider.to += kOneDay;
    }
    for (const VariableAttributes& a : ExportedFields()) {
        FieldColumn column{&a, {}, {}};
        // The first record of its type in each message, as Python's dataset takes it.
        std::vector<std::int32_t> records(n, std::numeric_limits<std::int32_t>::max());
        bool any = false;
        if (a.shape == Shape::Scalar) {
            const auto series = reader.Series(
                {.record = a.record, .field = a.field, .buoys = {imei}, .range = wider}, reason);
            if (!series) {
                return std::nullopt;
            }
            column.values.assign(n, kNaN);
            for (std::size_t i = 0; i < series->values.size(); ++i) {
                const auto at = observation.find(series->messageIds[i]);
                if (at == observation.end() || series->records[i] >= records[at->second]) {
                    continue;
                }
                records[at->second] = series->records[i];
                column.values[at->second] = Reading(a, series->values[i]);
                any = true;
            }
        } else {
            const auto arrays = reader.Array(
                {.record = a.record, .field = a.field, .buoy = imei, .range = wider}, reason);
            if (!arrays) {
                return std::nullopt;
            }
            const auto length = static_cast<std::size_t>(a.length);
            column.values.assign(n * length, kNaN);
            for (const archive::ArrayRecord& array : *arrays) {
                const auto at = observation.find(array.messageId);
                if (at == observation.end() || array.record >= records[at->second]) {
                    continue;
                }
                records[at->second] = array.record;
                for (std::size_t k = 0; k < length && k < array.values.size(); ++k) {
                    column.values[at->second * length + k] = Reading(a, array.values[k]);
                }
                any = true;
            }
        }
        if (!any) {
            continue;  // the buoy has no such record: no variable
        }
        if (a.shape == Shape::Scalar &&
            !ReadAggregateFlags(reader, imei, column, records, out.messageIds, reason)) {
            return std::nullopt;
        }
        out.fields.push_back(std::move(column));
    }
    return out;
}

namespace {

struct Coverage {
    double latMin = 90, latMax = -90, lonMin = 180, lonMax = -180;
    double start = std::numeric_limits<double>::infinity();
    double end = -std::numeric_limits<double>::infinity();
    std::size_t observations = 0;
    double medianStep = 0;  // between a buoy's observations: the reporting interval
};

Coverage CoverageOf(const std::vector<const Trajectory*>& trajectories)
{
    Coverage c;
    for (const Trajectory* t : trajectories) {
        for (std::size_t i = 0; i < t->times.size(); ++i) {
            c.latMin = std::min(c.latMin, t->latitudes[i]);
            c.latMax = std::max(c.latMax, t->latitudes[i]);
            c.lonMin = std::min(c.lonMin, t->longitudes[i]);
            c.lonMax = std::max(c.lonMax, t->longitudes[i]);
            c.start = std::min(c.start, t->times[i]);
            c.end = std::max(c.end, t->times[i]);
            ++c.observations;
        }
    }
    std::vector<double> steps;
    for (const Trajectory* t : trajectories) {
        for (std::size_t i = 1; i < t->times.size(); ++i) {
            steps.push_back(t->times[i] - t->times[i - 1]);
        }
    }
    if (!steps.empty()) {
        std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
        c.medianStep = steps[steps.size() / 2];
    }
    return c;
}

// "P3DT4H5M6S": ACDD's time_coverage_duration.
std::string IsoDuration(double seconds)
{
    auto s = static_cast<long long>(std::llround(std::max(0.0, seconds)));
    const long long days = s / 86400;
    s %= 86400;
    return "P" + std::to_string(days) + "DT" + std::to_string(s / 3600) + "H" +
           std::to_string(s / 60 % 60) + "M" + std::to_string(s % 60) + "S";
}

std::string DayOf(double seconds)
{
    std::string day = deployment::IsoTime(seconds).substr(0, 10);
    day.erase(std::remove(day.begin(), day.end(), '-'), day.end());
    return day;
}

void GlobalAttributes(NetcdfFile& file, const deployment::Deployment& deployment,
                      const deployment::Buoy* buoy, const Provenance& provenance,
                      const std::vector<const Trajectory*>& trajectories, const std::string& id)
{
    const deployment::Metadata& m = deployment.metadata;
    const int g = NetcdfFile::kGlobal;
    const auto text = [&](std::string_view name, const std::string& value) {
        if (!value.empty()) {
            file.Text(g, name, value);
        }
    };
    text("Conventions", std::string(kConventions));
    text("featureType", "trajectory");
    text("cdm_data_type", "Trajectory");
    text("cdm_trajectory_variables", "trajectory");
    std::string title = m.title.empty() ? "Drifting buoy records" : m.title;
    if (buoy && !buoy->name.empty()) {
        title += ": " + buoy->name;
    } else if (trajectories.size() == 1) {
        title += ": buoy " + trajectories.front()->imei;
    }
    text("title", title);
    for (const auto& [name, value] : deployment::DatasetAttributes(m)) {
        text(name, value);
    }
    text("standard_name_vocabulary", std::string(kStandardNameVocabulary));
    text("id", id);
    text("source", "Iridium SBD messages from the buoys' loggers, decoded on shore");
    text("processing_level",
         "decoded as sent; values the logger marks as missing are fill values; "
         "QARTOD flags where the archive holds them");
    const std::string created = deployment::IsoTime(provenance.created);
    text("date_created", created);
    text("date_modified", created);
    text("date_issued", created);
    text("history", created + " saltmark-export " + ORCAN_VERSION + ": from the archive " +
                        provenance.archivePath +
                        (provenance.deploymentPath.empty()
                             ? std::string()
                             : " with the deployment file " + provenance.deploymentPath));
    text("platform", "buoy");
    text("platform_vocabulary", std::string(kPlatformVocabulary));
    if (buoy) {
        text("platform_name", buoy->name.empty() ? buoy->imei : buoy->name);
        text("platform_id", buoy->platformId.empty() ? buoy->imei : buoy->platformId);
        if (!buoy->wmoPlatformCode.empty()) {
            text("wmo_platform_code", buoy->wmoPlatformCode);
            text("gts_ingest", "true");
        }
        std::vector<std::string> instruments;
        for (const deployment::Instrument& instrument : buoy->instruments) {
            instruments.push_back(instrument.makeModel);
        }
        text("instrument", Joined(instruments));
    } else if (trajectories.size() == 1) {
        text("platform_name", trajectories.front()->imei);
        text("platform_id", trajectories.front()->imei);
    } else {
        text("platform_name", m.title.empty() ? "drifting buoys" : m.title);
    }
    const Coverage c = CoverageOf(trajectories);
    if (c.observations > 0) {
        file.Double(g, "geospatial_lat_min", c.latMin);
        file.Double(g, "geospatial_lat_max", c.latMax);
        file.Double(g, "geospatial_lon_min", c.lonMin);
        file.Double(g, "geospatial_lon_max", c.lonMax);
        text("time_coverage_start", deployment::IsoTime(c.start));
        text("time_coverage_end", deployment::IsoTime(c.end));
        text("time_coverage_duration", IsoDuration(c.end - c.start));
        if (c.observations > 1) {
            text("time_coverage_resolution", IsoDuration(c.medianStep));
        }
        // The box the track lies in, as ACDD's WKT wants it: longitude first.
        const auto corner = [](double lon, double lat) {
            return std::to_string(lon) + " " + std::to_string(lat);
        };
        text("geospatial_bounds",
             "POLYGON ((" + corner(c.lonMin, c.latMin) + ", " + corner(c.lonMax, c.latMin) + ", " +
                 corner(c.lonMax, c.latMax) + ", " + corner(c.lonMin, c.latMax) + ", " +
                 corner(c.lonMin, c.latMin) + "))");
        text("geospatial_bounds_crs", "EPSG:4326");
        // The sea surface: heights above mean sea level.
        text("geospatial_bounds_vertical_crs", "EPSG:5829");
    }
    text("geospatial_lat_units", "degrees_north");
    text("geospatial_lon_units", "degrees_east");
    text("geospatial_vertical_positive", "up");
    text("geospatial_vertical_units", "m");
    file.Double(g, "geospatial_vertical_min", 0.0);
    file.Double(g, "geospatial_vertical_max", 0.0);
}

// The union of the fields the trajectories have, in table order: the fleet file has a
// variable wherever one buoy has values.
std::vector<const VariableAttributes*> FieldsOf(const std::vector<const Trajectory*>& trajectories,
                                                bool& flagged, std::set<std::string>& flaggedNames)
{
    std::set<const VariableAttributes*> present;
    for (const Trajectory* t : trajectories) {
        for (const FieldColumn& column : t->fields) {
            present.insert(column.attributes);
            if (!column.aggregateFlags.empty()) {
                flaggedNames.insert(column.attributes->name);
                flagged = true;
            }
        }
    }
    std::vector<const VariableAttributes*> out;
    for (const VariableAttributes& a : ExportedFields()) {
        if (present.contains(&a)) {
            out.push_back(&a);
        }
    }
    return out;
}

// The aggregate QARTOD flag of a variable, as the IOOS profile names and describes it.
int AggregateFlagVariable(NetcdfFile& file, const std::string& name, const std::string& of, int obs,
                          const std::string& coordinates)
{
    const int v = file.Variable(name, NC_BYTE, {obs});
    file.Text(v, "long_name", of + " aggregate quality flag");
    file.Text(v, "standard_name", "aggregate_quality_flag");
    file.Bytes(v, "flag_values", {1, 2, 3, 4, 9});
    file.Text(v, "flag_meanings", "PASS NOT_EVALUATED SUSPECT FAIL MISSING");
    file.Text(v, "coverage_content_type", "qualityInformation");
    file.Text(v, "coordinates", coordinates);
    file.Text(v, "references", "https://ioos.noaa.gov/project/qartod/");
    return v;
}

bool GtsQuantity(const VariableAttributes& a)
{
    constexpr std::string_view kTaken[] = {"wind_from_direction",
                                           "wind_speed",
                                           "air_temperature",
                                           "air_pressure",
                                           "relative_humidity",
                                           "sea_water_temperature",
                                           "sea_surface_wave_significant_height"};
    return a.cellMethods != "time: standard_deviation" &&
           std::find(std::begin(kTaken), std::end(kTaken), a.standardName) != std::end(kTaken);
}

const FieldColumn* ColumnOf(const Trajectory& t, const VariableAttributes* a)
{
    for (const FieldColumn& column : t.fields) {
        if (column.attributes == a) {
            return &column;
        }
    }
    return nullptr;
}

std::string InstrumentVariable(const deployment::Instrument& instrument)
{
    return "instrument_" + ArchiveSpelling(instrument.record);
}

const deployment::Instrument* InstrumentOf(const deployment::Buoy* buoy, std::string_view record)
{
    if (!buoy) {
        return nullptr;
    }
    for (const deployment::Instrument& instrument : buoy->instruments) {
        if (SameTypeName(instrument.record, record)) {
            return &instrument;
        }
    }
    return nullptr;
}

// The file: the trajectories one after the other on the observation dimension, a contiguous
// ragged array (row_size per trajectory); the fleet's platform is its network of buoys, and it
// names no instruments.
void WriteFile(const std::vector<const Trajectory*>& trajectories,
               const deployment::Deployment& deployment, const deployment::Buoy* buoy,
               const Provenance& provenance, const std::string& id,
               const std::filesystem::path& path, bool fleet)
{
    NetcdfFile file(path);
    GlobalAttributes(file, deployment, buoy, provenance, trajectories, id);

    std::size_t total = 0;
    for (const Trajectory* t : trajectories) {
        total += t->times.size();
    }
    const std::string obsName = fleet ? "obs" : "time";
    const int trajectoryDim = file.Dimension("trajectory", trajectories.size());
    const int obs = file.Dimension(obsName, total);
    const int nameDim = file.Dimension("name_strlen", kNameLength);
    std::map<std::string, int> bandDims;
    bool flagged = false;
    std::set<std::string> flaggedNames;
    const auto fields = FieldsOf(trajectories, flagged, flaggedNames);
    for (const VariableAttributes* a : fields) {
        if (a->shape == Shape::Array && !bandDims.contains(a->dimension)) {
            bandDims[a->dimension] =
                file.Dimension(a->dimension, static_cast<std::size_t>(a->length));
        }
    }

    const int trajectoryVar = file.Variable("trajectory", NC_CHAR, {trajectoryDim, nameDim});
    file.Text(trajectoryVar, "cf_role", "trajectory_id");
    file.Text(trajectoryVar, "long_name", "buoy IMEI");
    const int nameVar = file.Variable("trajectory_name", NC_CHAR, {trajectoryDim, nameDim});
    file.Text(nameVar, "long_name", "buoy name");
    // A contiguous ragged array even for one buoy: the count says whose each observation is
    // in a layout DSG readers such as ERDDAP know, and the observations stay on `time` alone.
    const int rowSize = file.Variable("row_size", NC_INT, {trajectoryDim});
    file.Text(rowSize, "long_name", "number of observations of each buoy");
    file.Text(rowSize, "sample_dimension", obsName);

    const int time = file.Variable("time", NC_DOUBLE, {obs});
    file.Text(time, "standard_name", "time");
    file.Text(time, "long_name", "time of the position fix");
    file.Text(time, "units", kTimeUnits);
    file.Text(time, "calendar", "standard");
    file.Text(time, "axis", "T");
    file.Text(time, "coverage_content_type", "coordinate");
    std::size_t moved = 0;
    std::size_t withoutFix = 0;
    for (const Trajectory* t : trajectories) {
        moved += t->sharedTimesMoved;
        withoutFix += t->withoutOwnFix;
    }
    file.Text(time, "comment",
              "the time of the message's own position fix (PB200, IMU, Ellipse, in that order); "
              "messages with only the Iridium gateway's estimate are left out (" +
                  std::to_string(withoutFix) + "); " + std::string(kSharedTimes) + " (" +
                  std::to_string(moved) + " moved)");
    const int latitude = file.Variable("latitude", NC_DOUBLE, {obs});
    const int longitude = file.Variable("longitude", NC_DOUBLE, {obs});
    for (const auto& [variable, axis, name, units, bound] :
         {std::tuple{latitude, "Y", "latitude", "degrees_north", 90.0},
          std::tuple{longitude, "X", "longitude", "degrees_east", 180.0}}) {
        file.Text(variable, "standard_name", name);
        file.Text(variable, "long_name", name);
        file.Text(variable, "units", units);
        file.Text(variable, "axis", axis);
        file.Double(variable, "valid_min", -bound);
        file.Double(variable, "valid_max", bound);
        file.Text(variable, "coverage_content_type", "coordinate");
    }
    // The message id labels each observation: an auxiliary coordinate, like a station name.
    const std::string coordinates = "time latitude longitude message_id";
    const int source = file.Variable("position_source", NC_BYTE, {obs});
    file.Text(source, "long_name", "source of the position fix");
    file.Bytes(source, "flag_values", {0, 1, 2});
    file.Text(source, "flag_meanings", "PB200 IMU Ellipse");
    file.Text(source, "coverage_content_type", "auxiliaryInformation");
    file.Text(source, "coordinates", coordinates);
    int positionFlags = -1;
    if (std::any_of(trajectories.begin(), trajectories.end(),
                    [](const Trajectory* t) { return !t->positionFlags.empty(); })) {
        positionFlags =
            AggregateFlagVariable(file, "position_qc_agg", "position", obs, coordinates);
        file.Text(latitude, "ancillary_variables", "position_qc_agg");
        file.Text(longitude, "ancillary_variables", "position_qc_agg");
    }
    const int message = file.Variable("message_id", NC_INT, {obs});
    file.Text(message, "long_name", "message in the archive");
    file.Int(message, "_FillValue", kIntegerFill);
    file.Int(message, "missing_value", kIntegerFill);
    file.Text(message, "coverage_content_type", "auxiliaryInformation");

    // One platform variable either way, as the IOOS profile asks: the buoy, or for the fleet
    // file the network of buoys (each trajectory names its own).
    const int platform = file.Variable("platform", NC_INT, {});
    const std::string authority = deployment.metadata.namingAuthority.empty()
                                      ? std::string("unknown")
                                      : deployment.metadata.namingAuthority;
    if (fleet) {
        file.Text(platform, "long_name", "the deployment's drifting buoys");
        file.Text(platform, "ioos_code", "urn:ioos:network:" + authority + ":" + id);
        file.Text(platform, "comment",
                  "one trajectory per buoy: trajectory holds its IMEI, trajectory_name its name");
    } else {
        const std::string name =
            buoy && !buoy->name.empty() ? buoy->name : trajectories.front()->imei;
        const std::string platformId =
            buoy && !buoy->platformId.empty() ? buoy->platformId : trajectories.front()->imei;
        file.Text(platform, "long_name", name);
        file.Text(platform, "ioos_code", "urn:ioos:station:" + authority + ":" + platformId);
        file.Text(
            platform, "comment",
            "IMEI " + trajectories.front()->imei +
                (buoy && !buoy->platformType.empty() ? ", " + buoy->platformType : std::string()));
        if (buoy && !buoy->wmoPlatformCode.empty()) {
            file.Text(platform, "wmo_platform_code", buoy->wmoPlatformCode);
        }
    }
    std::map<std::string, int> instruments;
    if (!fleet && buoy) {
        for (const deployment::Instrument& instrument : buoy->instruments) {
            const std::string name = InstrumentVariable(instrument);
            if (instruments.contains(name)) {
                continue;
            }
            const int v = file.Variable(name, NC_INT, {});
            instruments[name] = v;
            file.Text(v, "long_name",
                      instrument.makeModel.empty() ? instrument.record : instrument.makeModel);
            file.Text(v, "make_model", instrument.makeModel);
            file.Text(v, "record_type", instrument.record);
            if (instrument.height) {
                file.Double(v, "height_above_water_line", *instrument.height);
            }
            if (instrument.depth) {
                file.Double(v, "depth_below_water_line", *instrument.depth);
            }
            if (instrument.calibrationDate) {
                file.Text(v, "calibration_date", deployment::IsoTime(*instrument.calibrationDate));
            }
            file.Text(v, "comment", "heights and depths in metres");
        }
    }

    std::vector<int> fieldVars, flagVars;
    for (const VariableAttributes* a : fields) {
        std::vector<int> dims{obs};
        if (a->shape == Shape::Array) {
            dims.push_back(bandDims[a->dimension]);
        }
        const int v = file.Variable(a->name, a->integer ? NC_INT : NC_FLOAT, dims);
        fieldVars.push_back(v);
        if (a->integer) {
            file.Int(v, "_FillValue", kIntegerFill);
            file.Int(v, "missing_value", kIntegerFill);
        } else {
            file.Float(v, "_FillValue", kFloatFill);
            file.Float(v, "missing_value", kFloatFill);
        }
        file.Text(v, "units", a->units);
        file.Text(v, "long_name", a->longName);
        if (!a->standardName.empty()) {
            file.Text(v, "standard_name", a->standardName);
            file.Text(v, "standard_name_url", a->standardNameUrl);
        }
        file.Text(v, "coverage_content_type", a->coverageContentType);
        if (!a->comment.empty()) {
            file.Text(v, "comment", a->comment);
        }
        if (!a->cellMethods.empty()) {
            file.Text(v, "cell_methods", a->cellMethods);
        }
        file.Text(v, "coordinates",
                  a->coordinate.empty() ? coordinates : coordinates + " " + a->coordinate);
        file.Text(v, "platform", "platform");
        if (const auto* instrument = InstrumentOf(buoy, a->record); instrument && !fleet) {
            file.Text(v, "instrument", InstrumentVariable(*instrument));
        }
        int flagVar = -1;
        // What the GTS takes from a drifting buoy, when the buoy has a WMO number and the
        // value a quality flag.
        if (buoy && !buoy->wmoPlatformCode.empty() && flaggedNames.contains(a->name) &&
            GtsQuantity(*a)) {
            file.Text(v, "gts_ingest", "true");
        }
        if (flaggedNames.contains(a->name)) {
            const std::string flagName = a->name + "_qc_agg";
            file.Text(v, "ancillary_variables", flagName);
            flagVar = AggregateFlagVariable(file, flagName, a->longName, obs, coordinates);
        }
        flagVars.push_back(flagVar);
    }
    file.EndDefinitions();

    std::vector<std::string> imeis, names;
    std::vector<int> rows;
    std::vector<double> times, latitudes, longitudes;
    std::vector<std::int8_t> sources;
    std::vector<int> messageIds;
    for (const Trajectory* t : trajectories) {
        imeis.push_back(t->imei);
        const deployment::Buoy* entry = deployment.FindBuoy(t->imei);
        names.push_back(entry && !entry->name.empty() ? entry->name : t->imei);
        rows.push_back(static_cast<int>(t->times.size()));
        times.insert(times.end(), t->times.begin(), t->times.end());
        latitudes.insert(latitudes.end(), t->latitudes.begin(), t->latitudes.end());
        longitudes.insert(longitudes.end(), t->longitudes.begin(), t->longitudes.end());
        sources.insert(sources.end(), t->positionSources.begin(), t->positionSources.end());
        for (std::int64_t id : t->messageIds) {
            messageIds.push_back(static_cast<int>(id));
        }
    }
    file.PutNames(trajectoryVar, imeis, kNameLength);
    file.PutNames(nameVar, names, kNameLength);
    file.Put(rowSize, rows);
    file.Put(time, times);
    file.Put(latitude, latitudes);
    file.Put(longitude, longitudes);
    file.Put(source, sources);
    if (positionFlags >= 0) {
        std::vector<std::int8_t> flags;
        for (const Trajectory* t : trajectories) {
            if (t->positionFlags.empty()) {
                flags.insert(flags.end(), t->times.size(), kNotEvaluated);
            } else {
                flags.insert(flags.end(), t->positionFlags.begin(), t->positionFlags.end());
            }
        }
        file.Put(positionFlags, flags);
    }
    file.Put(message, messageIds);
    file.Put(platform, std::vector<int>{0});
    for (const auto& [name, v] : instruments) {
        file.Put(v, std::vector<int>{0});
    }
    for (std::size_t f = 0; f < fields.size(); ++f) {
        const VariableAttributes* a = fields[f];
        const std::size_t width =
            a->shape == Shape::Array ? static_cast<std::size_t>(a->length) : 1;
        std::vector<double> values;
        std::vector<std::int8_t> flags;
        values.reserve(total * width);
        for (const Trajectory* t : trajectories) {
            const FieldColumn* column = ColumnOf(*t, a);
            const std::size_t n = t->times.size();
            if (column) {
                values.insert(values.end(), column->values.begin(), column->values.end());
            } else {
                values.insert(values.end(), n * width, kNaN);
            }
            if (flagVars[f] >= 0) {
                if (column && !column->aggregateFlags.empty()) {
                    flags.insert(flags.end(), column->aggregateFlags.begin(),
                                 column->aggregateFlags.end());
                } else {
                    for (std::size_t i = 0; i < n; ++i) {
                        flags.push_back(column && !std::isnan(column->values[i]) ? kNotEvaluated
                                                                                 : kMissing);
                    }
                }
            }
        }
        if (a->integer) {
            std::vector<int> out(values.size());
            std::transform(values.begin(), values.end(), out.begin(), [](double value) {
                return std::isnan(value) ? kIntegerFill : static_cast<int>(value);
            });
            file.Put(fieldVars[f], out);
        } else {
            std::vector<float> out(values.size());
            std::transform(values.begin(), values.end(), out.begin(), [](double value) {
                return std::isnan(value) ? kFloatFill : static_cast<float>(value);
            });
            file.Put(fieldVars[f], out);
        }
        if (flagVars[f] >= 0) {
            file.Put(flagVars[f], flags);
        }
    }
    file.Commit();
}

}  // namespace

std::string TrajectoryFileName(const Trajectory& trajectory, const deployment::Buoy* buoy)
{
    std::string name = buoy && !buoy->platformId.empty() ? buoy->platformId : trajectory.imei;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
            c = '_';
        }
    }
    if (buoy && buoy->start) {
        name += "_" + DayOf(*buoy->start);
    } else if (!trajectory.times.empty()) {
        name += "_" + DayOf(trajectory.times.front());
    }
    return name;
}

void WriteTrajectoryFile(const Trajectory& trajectory, const deployment::Deployment& deployment,
                         const deployment::Buoy* buoy, const Provenance& provenance,
                         const std::filesystem::path& path)
{
    WriteFile({&trajectory}, deployment, buoy, provenance, TrajectoryFileName(trajectory, buoy),
              path, false);
}

void WriteFleetFile(const std::vector<Trajectory>& trajectories,
                    const deployment::Deployment& deployment, const Provenance& provenance,
                    const std::filesystem::path& path)
{
    std::vector<const Trajectory*> all;
    for (const Trajectory& t : trajectories) {
        all.push_back(&t);
    }
    const Coverage c = CoverageOf(all);
    const std::string id =
        "fleet" + (c.observations > 0 ? "_" + DayOf(c.start) + "_" + DayOf(c.end) : std::string());
    WriteFile(all, deployment, nullptr, provenance, id, path, true);
}

}  // namespace saltmark::exporting
