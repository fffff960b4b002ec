#pragma once
// A quality-control configuration in the reference's YAML format, checked whole before
// anything is flagged, and run over one buoy's series.
//
//   contexts:                        # or the single-context form: streams (window, region)
//     - window: {starting: 2025-01-01T00:00:00Z, ending: 2025-07-01T00:00:00Z}
//       region: {type: Feature, geometry: {type: Polygon, coordinates: [[[lon, lat], ...]]}}
//       streams:
//         PB200.WSMean:              # a record's scalar field, as the record descriptions
//           qartod:                  # name them ("Miscellaneous_values.Battery_voltage"
//             gross_range_test:      # may spell the spaces as underscores)
//               fail_span: [0, 60]
//         position:                  # the buoy's own fixes; iridium_position: the gateway's
//           qartod: {location_test: {range_max: 20000, range_method: wgs84}}
//           argo: {speed_test: {suspect_threshold: 2.5, fail_threshold: 5}}
//
// A window starts inclusive and ends exclusive. A region keeps the values whose position
// (the buoy's own fix nearest in time) lies strictly inside one of its polygons. Where two
// contexts configure the same test of a stream over the same value, the later one decides;
// a value no context covers is UNKNOWN (2) in that test. A missing value (NaN, the stream's
// fill value, a fix without either coordinate) is MISSING (9) in every test.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Qartod.h"

namespace saltmark::qc {

inline constexpr std::string_view kPositionStream = "position";
inline constexpr std::string_view kIridiumPositionStream = "iridium_position";

// "PB200.WSMean" for any accepted spelling of a record's scalar field ("pb200.wsmean",
// "Miscellaneous_values.Battery_voltage"), or the position streams' own names; nothing for
// an unknown record, an unknown field or a field that is no scalar.
std::optional<std::string> CanonicalStreamName(std::string_view name);

// The value a record writes for "no value" in this stream (the turbulence outputs' 9999),
// flagged as missing like NaN.
std::optional<double> FillValue(std::string_view canonicalStream);

struct GrossRangeParameters {
    Span fail;
    std::optional<Span> suspect;
};
struct SpikeParameters {
    std::optional<double> suspectThreshold;
    std::optional<double> failThreshold;
    SpikeMethod method = SpikeMethod::Average;
};
struct RateOfChangeParameters {
    double threshold = 0;
    std::optional<double> failThreshold;
};
struct FlatLineParameters {
    double suspectThreshold = 0;
    double failThreshold = 0;
    double tolerance = 0;
};
struct LocationParameters {
    std::optional<double> rangeMax;
    DistanceMethod method = DistanceMethod::Haversine;
    std::optional<Shape> bbox;  // an older configuration's bounds, run as the bounds test
};
struct LocationBoundsParameters {
    Shape shape;
    FlagArea flagArea = FlagArea::Outside;
};
struct SpeedParameters {
    double suspectThreshold = 0;
    double failThreshold = 0;
};
struct ClimatologyParameters {
    std::vector<ClimatologyMember> members;
};
struct TimeGapParameters {
    double failSpanHours = 2;
};

using TestParameters =
    std::variant<GrossRangeParameters, SpikeParameters, RateOfChangeParameters, FlatLineParameters,
                 LocationParameters, LocationBoundsParameters, SpeedParameters,
                 ClimatologyParameters, TimeGapParameters>;

struct TestCall {
    std::string name;  // "gross_range_test", "speed_test", ...
    int line = 0;
    TestParameters parameters;
};

struct StreamTests {
    std::string stream;  // canonical
    std::vector<TestCall> tests;
};

struct Context {
    std::optional<double> starting;  // seconds since 1970
    std::optional<double> ending;
    std::vector<Shape> region;  // empty: everywhere
    std::vector<StreamTests> streams;
};

struct Config {
    std::string fileName;
    std::vector<Context> contexts;
    // The configuration as parsed, one canonical line per context, stream and test with its
    // parameters in name order: comments, layout and key order within a test do not change it.
    std::string normalised;
    std::string hash;  // "sha256:" and the SHA-256 of `normalised`, in hex
};

// "qc.yaml:12: streams: PB200.WSMan: unknown stream (...)".
class ConfigError : public std::runtime_error {
public:
    ConfigError(std::string fileName, int line, std::string reason);
    const std::string& FileName() const { return m_fileName; }
    int Line() const { return m_line; }  // 1-based; 0 when the text as a whole is at fault
    const std::string& Reason() const { return m_reason; }

private:
    std::string m_fileName;
    int m_line;
    std::string m_reason;
};

// Parses and checks the whole text; throws ConfigError at the first fault.
Config ParseConfig(std::string_view text, std::string_view fileName);

// One buoy's series, in any order: values per canonical stream name, and the two position
// series. Missing values are NaN or the stream's fill value.
struct ScalarSeries {
    std::vector<std::int64_t> times;
    std::vector<double> values;
};
struct PositionSeries {
    std::vector<std::int64_t> times;
    std::vector<double> latitudes;
    std::vector<double> longitudes;
};
struct BuoySeries {
    std::map<std::string, ScalarSeries, std::less<>> streams;
    PositionSeries position;
    PositionSeries iridiumPosition;
};

struct TestFlags {
    std::string test;
    Flags flags;
};
// Flags in the order the series gave its values.
struct StreamFlags {
    std::string stream;
    std::vector<TestFlags> tests;  // in the configuration's order, each test once
    Flags aggregate;
};

// The order RunConfig sorts a stream in before testing it, so that any arrival order of the
// same values gives the same series: by time, equal times by value (a position by latitude,
// then longitude), NaN after every number; equal ones keep their order (a stable sort).
bool ValueLess(std::int64_t timeA, double a, std::int64_t timeB, double b);
bool PositionLess(std::int64_t timeA, double latitudeA, double longitudeA, std::int64_t timeB,
                  double latitudeB, double longitudeB);

// Throws std::invalid_argument when a series' times and values differ in length.
std::vector<StreamFlags> RunConfig(const Config& config, const BuoySeries& series);

// One configured test over a sorted series (values for a scalar stream, latitudes and
// longitudes for a position stream). With `medianStep`, the flat-line test counts its window
// by that step, the whole series' (FlatLineTestWithStep).
Flags RunTest(const TestCall& call, std::span<const std::int64_t> times,
              std::span<const double> values, std::span<const double> latitudes,
              std::span<const double> longitudes,
              std::optional<std::int64_t> medianStep = std::nullopt);

}  // namespace saltmark::qc
