#include "VariableAttributes.h"

#include <algorithm>

#include "Records.h"

namespace saltmark::exporting {

namespace {

// The archive's spelling of a name: spaces as underscores.
std::string ArchiveSpelling(std::string_view name)
{
    std::string out(name);
    std::replace(out.begin(), out.end(), ' ', '_');
    return out;
}

// The logger's marker for "no reading", which the decoder passes on as a value.
constexpr double kLoggerMarker = 9999.0;

constexpr std::string_view kMeasurement = "physicalMeasurement";
constexpr std::string_view kQuality = "qualityInformation";
constexpr std::string_view kAuxiliary = "auxiliaryInformation";
constexpr std::string_view kCoordinate = "coordinate";

// What a field means. An empty record applies to every record type with the field (the two
// weather stations share their wind, temperature and pressure fields). Standard names only
// where the CF table has one for exactly this quantity: a standard deviation, a sensor-frame
// wind component or a sonic temperature has none.
struct Meaning {
    std::string_view record, field;
    std::string_view units, longName, standardName, coverage, comment = {};
};

// A burst statistic: CF names the quantity and says the statistic in cell_methods.
constexpr std::string_view kMeanOverBurst = "time: mean";
constexpr std::string_view kSpreadOverBurst = "time: standard_deviation";

constexpr Meaning kMeanings[] = {
    // Weather stations.
    {"", "WDMean", "degree", "wind direction", "wind_from_direction", kMeasurement,
     "direction the wind blows from, clockwise from true north"},
    {"", "WDSTD", "degree", "wind direction standard deviation", "wind_from_direction",
     kMeasurement},
    {"", "WSMean", "m s-1", "wind speed", "wind_speed", kMeasurement},
    {"", "WSSTD", "m s-1", "wind speed standard deviation", "wind_speed", kMeasurement},
    {"", "ATMean", "degC", "air temperature", "air_temperature", kMeasurement},
    {"", "ATSTD", "K", "air temperature standard deviation", "air_temperature", kMeasurement},
    {"", "BPMean", "hPa", "air pressure", "air_pressure", kMeasurement},
    {"", "BPSTD", "hPa", "air pressure standard deviation", "air_pressure", kMeasurement},
    {"PB200", "COGMean", "degree", "course over ground", "platform_course", kMeasurement},
    {"PB200", "COGSTD", "degree", "course over ground standard deviation", "platform_course",
     kMeasurement},
    {"V536", "RHMean", "percent", "relative humidity", "relative_humidity", kMeasurement},
    {"V536", "RHSTD", "percent", "relative humidity standard deviation", "relative_humidity",
     kMeasurement},
    {"V536", "RainAcc", "mm", "rain accumulation", "thickness_of_rainfall_amount", kMeasurement,
     "accumulated since the station last reset its counter"},
    {"V536", "RainInt", "mm h-1", "rain intensity", "rainfall_rate", kMeasurement},
    // Waves and motion: the IMU and the Ellipse carry the same wave summary and spectrum.
    {"", "Hs", "m", "significant wave height", "sea_surface_wave_significant_height", kMeasurement},
    {"", "Tp", "s", "peak wave period",
     "sea_surface_wave_period_at_variance_spectral_density_maximum", kMeasurement},
    {"", "Dp", "degree", "peak wave direction",
     "sea_surface_wave_from_direction_at_variance_spectral_density_maximum", kMeasurement,
     "direction the waves come from at the spectral peak, clockwise from true north"},
    {"", "E", "m2 Hz-1", "wave energy spectrum", "sea_surface_wave_variance_spectral_density",
     kMeasurement},
    {"IMU", "f", "Hz", "wave band frequency", "sea_surface_wave_frequency", kCoordinate},
    {"Ellipse", "F", "Hz", "wave band frequency", "sea_surface_wave_frequency", kCoordinate},
    {"", "A1", "1", "first directional Fourier coefficient a1", "", kMeasurement},
    {"", "B1", "1", "first directional Fourier coefficient b1", "", kMeasurement},
    {"", "A2", "1", "second directional Fourier coefficient a2", "", kMeasurement},
    {"", "B2", "1", "second directional Fourier coefficient b2", "", kMeasurement},
    {"Ellipse", "CF", "1", "band check factor", "", kQuality},
    {"", "Lat", "degrees_north", "latitude of the sensor's own fix", "latitude", kMeasurement},
    {"", "Lon", "degrees_east", "longitude of the sensor's own fix", "longitude", kMeasurement},
    {"IMU", "ihAz", "1", "vertical acceleration histogram counts", "", kMeasurement},
    {"IMU", "ibcAz", "m s-2", "vertical acceleration histogram bin centre", "", kCoordinate},
    {"IMU", "ihAh", "1", "horizontal acceleration histogram counts", "", kMeasurement},
    {"IMU", "fbcAh", "m s-2", "horizontal acceleration histogram bin centre", "", kCoordinate},
    {"IMU", "ihVh", "1", "horizontal velocity histogram counts", "", kMeasurement},
    {"IMU", "fbcVh", "m s-1", "horizontal velocity histogram bin centre", "", kCoordinate},
    // The turbulence library's outputs, as the logger packs them.
    {"Y81000", "Ustar", "m s-1", "friction velocity", "", kMeasurement,
     "from the dissipation rate by the inertial-dissipation method, von Karman constant 0.4"},
    {"Y81000", "Epsilon", "m2 s-3", "turbulent kinetic energy dissipation rate", "", kMeasurement,
     "fitted to the inertial subrange of the vertical-velocity spectrum, 2.0 to 4.9 Hz"},
    {"Y81000", "MeanU", "m s-1", "mean u (anemometer frame)", "", kMeasurement,
     "burst mean of the sonic anemometer's u component, in the instrument's own frame"},
    {"Y81000", "MeanV", "m s-1", "mean v (anemometer frame)", "", kMeasurement,
     "burst mean of the sonic anemometer's v component, in the instrument's own frame"},
    {"Y81000", "MeanW", "m s-1", "mean vertical wind", "upward_air_velocity", kMeasurement},
    {"Y81000", "MeanTemp", "degC", "mean sonic temperature", "", kMeasurement,
     "the sonic anemometer's speed-of-sound temperature, close to the virtual temperature"},
    {"Y81000", "Anisotropy", "1", "turbulence anisotropy", "", kMeasurement,
     "(S_uu + S_vv) / (2 S_ww) over the fit range; 1 for isotropic turbulence"},
    {"Y81000", "Quality", "1", "dissipation fit quality", "", kQuality,
     "1 - spread / mean of the compensated spectrum over the fit range; higher is better"},
    {"Y81000", "Freq", "Hz", "turbulence band frequency", "", kCoordinate},
    {"Y81000", "Tke", "m2 s-2 Hz-1", "turbulent kinetic energy spectrum", "", kMeasurement,
     "S_uu + S_vv + S_ww, band averaged"},
    // Water quality. The instruments report in the units they are configured for; these are
    // the loggers' settings on the buoys.
    {"ACS", "Conductivity mean", "S m-1", "sea water conductivity",
     "sea_water_electrical_conductivity", kMeasurement},
    {"ACS", "Temp mean", "degC", "sea water temperature", "sea_water_temperature", kMeasurement},
    {"ACS", "Salinity mean", "1e-3", "sea water practical salinity", "sea_water_practical_salinity",
     kMeasurement, "practical salinity (PSS-78)"},
    {"ECO", "Column 2 mean", "1", "ECO channel 2 counts", "", kMeasurement},
    {"ECO", "Column 4 mean", "1", "ECO channel 4 counts", "", kMeasurement},
    {"ECO", "Column 6 mean", "1", "ECO channel 6 counts", "", kMeasurement},
    {"ACO", "O2 Concentration mean", "umol L-1", "dissolved oxygen concentration",
     "mole_concentration_of_dissolved_molecular_oxygen_in_sea_water", kMeasurement},
    {"SWL", "O2 FDOM mean", "1", "fluorescent dissolved organic matter", "", kMeasurement,
     "in the sensor's own fluorescence units"},
    // The logger and the current profiler's counts.
    {"Miscellaneous values", "Battery voltage", "V", "battery voltage", "", kAuxiliary},
    {"Signature", "Burst cells", "1", "burst cell count", "", kAuxiliary},
    {"Signature", "Avg cells", "1", "averaged cell count", "", kAuxiliary},
};

// The variable that labels an array's elements (its frequencies or bin centres).
std::string_view CoordinateOf(std::string_view record, std::string_view field)
{
    constexpr std::pair<std::string_view, std::string_view> kCounts[] = {
        {"ihAz", "ibcAz"}, {"ihAh", "fbcAh"}, {"ihVh", "fbcVh"}};
    for (const auto& [counts, centres] : kCounts) {
        if (field == counts) {
            return centres;
        }
    }
    if (record == "Y81000") {
        return field == "Tke" ? "Freq" : "";
    }
    if (field == "f" || field == "F" || field.starts_with("i") || field.starts_with("fbc")) {
        return "";
    }
    return record == "IMU" ? "f" : "F";
}

// The band or bin dimension of an array field, by the array's length and record.
std::string ArrayDimension(std::string_view record, std::string_view field)
{
    if (record == "Y81000") {
        return "band";  // as Python's to_xarray names it
    }
    if (field.starts_with("ih") || field.starts_with("ibc") || field.starts_with("fbc")) {
        return "histogram_bin";
    }
    return "wave_band";
}

const Meaning* FindMeaning(std::string_view record, std::string_view field)
{
    const Meaning* general = nullptr;
    for (const Meaning& meaning : kMeanings) {
        if (meaning.field != field) {
            continue;
        }
        if (meaning.record == record) {
            return &meaning;
        }
        if (meaning.record.empty()) {
            general = &meaning;
        }
    }
    return general;
}

// The PB200's own date and position are the file's time and coordinates; text, image bytes
// and arrays whose length varies per message have no place on a fixed band dimension.
bool Exported(const RecordDescription& type, const FieldDescription& field)
{
    if (type.typeName == "PB200") {
        for (std::string_view coordinate : {"Lat", "Lon", "Year", "Month", "Day", "Seconds"}) {
            if (field.name == coordinate) {
                return false;
            }
        }
    }
    return field.kind != FieldKind::Text && type.typeName != "Camera" &&
           !(IsArray(field.kind) && field.count == 0);
}

std::vector<VariableAttributes> BuildTable()
{
    std::vector<VariableAttributes> table;
    for (const RecordDescription& type : RecordDescriptions()) {
        for (const FieldDescription& field : type.fields) {
            const Meaning* meaning = FindMeaning(type.typeName, field.name);
            if (!Exported(type, field) || !meaning) {
                continue;
            }
            VariableAttributes a;
            a.record = type.typeName;
            a.field = field.name;
            a.name = ArchiveSpelling(type.typeName) + "_" + ArchiveSpelling(field.name);
            a.units = meaning->units;
            a.longName = std::string(type.typeName) + " " + std::string(meaning->longName);
            a.standardName = meaning->standardName;
            if (!a.standardName.empty()) {
                // The IOOS profile asks for a link to the name's definition.
                a.standardNameUrl = "https://mmisw.org/ont/cf/parameter/" + a.standardName;
            }
            a.coverageContentType = meaning->coverage;
            a.comment = meaning->comment;
            a.integer = field.kind == FieldKind::Int32 || field.kind == FieldKind::UInt16 ||
                        field.kind == FieldKind::Int32Array;
            if (meaning->longName.ends_with("standard deviation")) {
                a.cellMethods = kSpreadOverBurst;
            } else if (field.name.ends_with("Mean") || field.name.ends_with(" mean")) {
                a.cellMethods = kMeanOverBurst;
            }
            if (IsArray(field.kind)) {
                a.shape = Shape::Array;
                if (const auto labels = CoordinateOf(type.typeName, field.name); !labels.empty()) {
                    a.coordinate = ArchiveSpelling(type.typeName) + "_" + ArchiveSpelling(labels);
                }
                a.dimension = ArrayDimension(type.typeName, field.name);
                a.length = field.count;
            }
            if (a.integer) {
                a.fillValue = kIntegerFill;
            } else {
                a.fillValue = kFloatFill;
                a.decoderFillValues = {kLoggerMarker};
                a.nonFiniteIsFill = true;
            }
            table.push_back(std::move(a));
        }
    }
    return table;
}

}  // namespace

const std::vector<VariableAttributes>& ExportedFields()
{
    static const std::vector<VariableAttributes> table = BuildTable();
    return table;
}

std::optional<VariableAttributes> FieldAttributes(std::string_view record, std::string_view field)
{
    const auto& table = ExportedFields();
    const auto found = std::find_if(table.begin(), table.end(), [&](const VariableAttributes& a) {
        return SameTypeName(a.record, record) && SameTypeName(a.field, field);
    });
    if (found == table.end()) {
        return std::nullopt;
    }
    return *found;
}

}  // namespace saltmark::exporting
