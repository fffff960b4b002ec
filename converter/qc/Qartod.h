#pragma once
// The QARTOD tests over one series: one flag per value, as the community's reference
// implementation (the Python package ioos_qc, with Debian's numpy) gives them, edges included.
// Platform-free: no files, no sockets. Times are whole seconds since 1970 (the archive keeps
// no finer time); a series is in time order, which the configuration's runner sees to.
//
// A value is missing when it is NaN or infinite; a decoder's fill value ("no estimate") is
// turned into NaN by the caller before a test sees it.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace saltmark::qc {

enum Flag : std::uint8_t {
    kGood = 1,
    kUnknown = 2,  // not evaluated
    kSuspect = 3,
    kFail = 4,
    kMissing = 9,
};
using Flags = std::vector<std::uint8_t>;

bool IsMissing(double value);

// A closed range; built from a pair in either order, as the reference sorts its spans.
struct Span {
    double min = 0;
    double max = 0;
    static Span Sorted(double a, double b) { return a <= b ? Span{a, b} : Span{b, a}; }
    bool Outside(double value) const { return value < min || value > max; }
};

// Outside `fail`: 4, else outside `suspect`: 3, else 1; missing 9. Throws
// std::invalid_argument when `suspect` reaches outside `fail`.
Flags GrossRangeTest(std::span<const double> values, Span fail, std::optional<Span> suspect);

enum class SpikeMethod { Average, Differential };
// A threshold of zero is no threshold, as in the reference.
Flags SpikeTest(std::span<const double> values, std::optional<double> suspectThreshold,
                std::optional<double> failThreshold, SpikeMethod method);

// Thresholds in the value's units per second.
Flags RateOfChangeTest(std::span<const double> values, std::span<const std::int64_t> times,
                       double threshold, std::optional<double> failThreshold);

// Thresholds in seconds: how long a value may stay within `tolerance` of itself.
Flags FlatLineTest(std::span<const double> values, std::span<const std::int64_t> times,
                   double suspectThreshold, double failThreshold, double tolerance);

// The median of the time steps, truncated to whole seconds as the reference converts it; 0
// for fewer than two times.
std::int64_t MedianTimeStep(std::span<const std::int64_t> times);
// How many earlier values a threshold's window holds at that median step; nothing when no
// step is positive.
std::optional<std::size_t> FlatLineWindow(double threshold, std::int64_t medianStep);
// The flat-line test with the median step of a whole series of at least three values given:
// run over a part of that series, a value with its window inside the part gets its flag in
// the whole series.
Flags FlatLineTestWithStep(std::span<const double> values, std::int64_t medianStep,
                           double suspectThreshold, double failThreshold, double tolerance);

// A shape on the plane of longitude and latitude: a polygon's rings (the first the outline,
// the others holes), each a closed or open list of (lon, lat) vertices.
struct Shape {
    struct Point {
        double lon;
        double lat;
    };
    std::vector<std::vector<Point>> rings;

    static Shape BoundingBox(double lonMin, double latMin, double lonMax, double latMax);
    // Strictly inside: a point on any ring's edge or vertex is not.
    bool Contains(double lon, double lat) const;
};

enum class DistanceMethod { Haversine, Wgs84 };
// Ellipsoidal distance on WGS84 (the geodesic) and on the reference's sphere, in metres.
double Wgs84Distance(double lat1, double lon1, double lat2, double lon2);
double HaversineDistance(double lat1, double lon1, double lat2, double lon2);

// Impossible positions 4, one coordinate missing 4, both missing 9, farther than `rangeMax`
// metres from the previous position 3. With the haversine, as in the reference, a position
// missing a coordinate, and the one after it, are one earth radius away (3 unless `rangeMax`
// is larger).
Flags LocationTest(std::span<const double> latitudes, std::span<const double> longitudes,
                   std::optional<double> rangeMax, DistanceMethod method);

enum class FlagArea { Outside, Inside };
Flags LocationBoundsTest(std::span<const double> latitudes, std::span<const double> longitudes,
                         const Shape& shape, FlagArea flagArea);

// Metres per second between consecutive positions on the WGS84 ellipsoid.
Flags SpeedTest(std::span<const double> latitudes, std::span<const double> longitudes,
                std::span<const std::int64_t> times, double suspectThreshold, double failThreshold);

// Which calendar quantity a climatology member's time span is written in; None: instants.
enum class Period { None, Year, Quarter, Month, Week, DayOfYear, DayOfWeek, Day, Hour };
std::optional<Period> PeriodFromName(std::string_view name);
std::int64_t PeriodValue(Period period, std::int64_t time);  // the time itself for None

struct ClimatologyMember {
    Period period = Period::None;
    double timeMin = 0;  // inclusive, in the period's unit (seconds since 1970 for None)
    double timeMax = 0;  // inclusive
    Span suspect;        // the reference's vspan
    std::optional<Span> fail;
};
// Members apply in order, a later one overriding an earlier where both cover a time; a value
// no member covers is 2.
Flags ClimatologyTest(std::span<const double> values, std::span<const std::int64_t> times,
                      std::span<const ClimatologyMember> members);

// A value more than `failSpanHours` after the previous one 4; the first value takes the
// second's flag.
Flags TimeGapTest(std::span<const std::int64_t> times, double failSpanHours);

// A flag's place in the aggregate's order MISSING 1 < UNKNOWN 2 < GOOD 3 < SUSPECT 4 < FAIL 5;
// 0 for anything else, which is no flag at all.
int AggregateRank(std::uint8_t flag);

// Per value, the most severe flag in the order MISSING < UNKNOWN < GOOD < SUSPECT < FAIL;
// 9 where no test gives a flag.
Flags Aggregate(std::span<const Flags> tests, std::size_t count);

}  // namespace saltmark::qc
