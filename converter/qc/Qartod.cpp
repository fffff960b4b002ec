// Each test follows the reference's order of assignments, since a later assignment wins and
// the order decides the edges: which flag a first value, a missing neighbour or an impossible
// position ends with. Where the reference compares a masked value's underlying number (an
// infinite value, a step over a zero time difference), so do we, on the same number.

#include "Qartod.h"

#include <GeographicLib/Geodesic.hpp>
#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <stdexcept>

#include "CivilTime.h"

namespace saltmark::qc {

namespace {

// The reference's sphere for the quick distance: the mean earth radius.
constexpr double kEarthRadius = 6371e3;
constexpr double kDegree = 3.14159265358979323846 / 180.0;
// A division is left undone (its result masked) when the divisor is this small against the
// dividend: the smallest normal double, as numpy's safe division has it.
constexpr double kTiny = std::numeric_limits<double>::min();

void CheckSameSize(std::size_t a, std::size_t b, const char* what)
{
    if (a != b) {
        throw std::invalid_argument(std::string(what) + " differ in length");
    }
}

// |numerator / seconds|, or |numerator| where the reference's masked division leaves the
// dividend in place: a zero (or vanishing) time step, or a quotient that is not finite.
double RatePerSecond(double numerator, double seconds, bool masked)
{
    const double quotient = numerator / seconds;
    if (masked || !std::isfinite(quotient) || std::fabs(numerator) * kTiny >= std::fabs(seconds)) {
        return std::fabs(numerator);
    }
    return std::fabs(quotient);
}

}  // namespace

std::int64_t MedianTimeStep(std::span<const std::int64_t> times)
{
    if (times.size() < 2) {
        return 0;
    }
    std::vector<std::int64_t> steps(times.size() - 1);
    for (std::size_t i = 1; i < times.size(); ++i) {
        steps[i - 1] = times[i] - times[i - 1];
    }
    const std::size_t middle = steps.size() / 2;
    std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(middle),
                     steps.end());
    const std::int64_t upper = steps[middle];
    if (steps.size() % 2 == 1) {
        return upper;
    }
    const std::int64_t lower =
        *std::max_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(middle));
    // Half a second is floored, as a unit conversion of a time difference does.
    const std::int64_t twice = lower + upper;
    return twice >= 0 ? twice / 2 : -((-twice + 1) / 2);
}

namespace {

// Exact sign of the orientation of (a, b, c): +1 counter-clockwise, -1 clockwise, 0 on a line.
// A quick double evaluation with its error bound, then the exact sum of the products' parts
// (Dekker's split, so no fused multiply-add is needed) where that bound leaves the sign open.
struct Expansion2 {
    double hi;
    double lo;
};
Expansion2 TwoSum(double a, double b)
{
    const double sum = a + b;
    const double bVirtual = sum - a;
    const double aVirtual = sum - bVirtual;
    return {sum, (a - aVirtual) + (b - bVirtual)};
}
Expansion2 TwoProduct(double a, double b)
{
    constexpr double kSplitter = 134217729.0;  // 2^27 + 1
    const double product = a * b;
    const double ca = kSplitter * a;
    const double aHi = ca - (ca - a);
    const double aLo = a - aHi;
    const double cb = kSplitter * b;
    const double bHi = cb - (cb - b);
    const double bLo = b - bHi;
    const double error = product - aHi * bHi - aLo * bHi - aHi * bLo;
    return {product, aLo * bLo - error};
}
int Orientation(Shape::Point a, Shape::Point b, Shape::Point c)
{
    const double left = (b.lon - a.lon) * (c.lat - a.lat);
    const double right = (b.lat - a.lat) * (c.lon - a.lon);
    const double det = left - right;
    constexpr double kEpsilon = std::numeric_limits<double>::epsilon() / 2;
    const double bound = (3.0 + 16.0 * kEpsilon) * kEpsilon * (std::fabs(left) + std::fabs(right));
    if (det > bound) {
        return 1;
    }
    if (-det > bound) {
        return -1;
    }
    const Expansion2 dx1 = TwoSum(b.lon, -a.lon);
    const Expansion2 dy2 = TwoSum(c.lat, -a.lat);
    const Expansion2 dy1 = TwoSum(b.lat, -a.lat);
    const Expansion2 dx2 = TwoSum(c.lon, -a.lon);
    double terms[16];
    int n = 0;
    for (double x : {dx1.hi, dx1.lo}) {
        for (double y : {dy2.hi, dy2.lo}) {
            const Expansion2 p = TwoProduct(x, y);
            terms[n++] = p.hi;
            terms[n++] = p.lo;
        }
    }
    for (double x : {dy1.hi, dy1.lo}) {
        for (double y : {dx2.hi, dx2.lo}) {
            const Expansion2 p = TwoProduct(x, y);
            terms[n++] = -p.hi;
            terms[n++] = -p.lo;
        }
    }
    // Grow a non-overlapping expansion term by term; its largest non-zero part has the sign.
    std::vector<double> expansion;
    for (double term : terms) {
        double q = term;
        for (double& part : expansion) {
            const Expansion2 s = TwoSum(q, part);
            part = s.lo;
            q = s.hi;
        }
        expansion.push_back(q);
    }
    for (auto it = expansion.rbegin(); it != expansion.rend(); ++it) {
        if (*it != 0) {
            return *it > 0 ? 1 : -1;
        }
    }
    return 0;
}

enum class Where { Outside, Boundary, Inside };

// A ray from the point towards +longitude, crossings counted as planar geometry libraries
// count them: an upward edge owns its start, a downward edge its end, and a point on an edge
// or a vertex is on the boundary.
Where Locate(const std::vector<Shape::Point>& ring, Shape::Point point)
{
    int crossings = 0;
    const std::size_t n = ring.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Shape::Point p1 = ring[i];
        const Shape::Point p2 = ring[(i + 1) % n];
        if (p1.lon < point.lon && p2.lon < point.lon) {
            continue;
        }
        if (point.lon == p2.lon && point.lat == p2.lat) {
            return Where::Boundary;
        }
        if (p1.lat == point.lat && p2.lat == point.lat) {
            if (point.lon >= std::min(p1.lon, p2.lon) && point.lon <= std::max(p1.lon, p2.lon)) {
                return Where::Boundary;
            }
            continue;
        }
        if ((p1.lat > point.lat && p2.lat <= point.lat) ||
            (p2.lat > point.lat && p1.lat <= point.lat)) {
            int orient = Orientation(p1, p2, point);
            if (orient == 0) {
                return Where::Boundary;
            }
            if (p2.lat < p1.lat) {
                orient = -orient;
            }
            if (orient > 0) {
                ++crossings;
            }
        }
    }
    return crossings % 2 == 1 ? Where::Inside : Where::Outside;
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

bool IsMissing(double value) { return !std::isfinite(value); }

Shape Shape::BoundingBox(double lonMin, double latMin, double lonMax, double latMax)
{
    return Shape{{{{lonMin, latMin}, {lonMax, latMin}, {lonMax, latMax}, {lonMin, latMax}}}};
}

bool Shape::Contains(double lon, double lat) const
{
    if (rings.empty() || std::isnan(lon) || std::isnan(lat)) {
        return false;
    }
    const Point point{lon, lat};
    for (std::size_t i = 0; i < rings.size(); ++i) {
        const Where where = Locate(rings[i], point);
        if (where == Where::Boundary) {
            return false;
        }
        // Inside the outline and outside every hole.
        if ((where == Where::Inside) != (i == 0)) {
            return false;
        }
    }
    return true;
}

Flags GrossRangeTest(std::span<const double> values, Span fail, std::optional<Span> suspect)
{
    if (suspect && (suspect->min < fail.min || suspect->max > fail.max)) {
        throw std::invalid_argument("the suspect span must fall within the fail span");
    }
    Flags flags(values.size(), kGood);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double x = values[i];
        if (IsMissing(x)) {
            flags[i] = kMissing;
        }
        // An infinite value is missing, yet lies outside every span: the reference flags it so.
        if (suspect && suspect->Outside(x)) {
            flags[i] = kSuspect;
        }
        if (fail.Outside(x)) {
            flags[i] = kFail;
        }
    }
    return flags;
}

Flags SpikeTest(std::span<const double> values, std::optional<double> suspectThreshold,
                std::optional<double> failThreshold, SpikeMethod method)
{
    const std::size_t n = values.size();
    Flags flags(n, kGood);
    if (n == 0) {
        return flags;
    }
    const bool useSuspect = suspectThreshold && *suspectThreshold != 0;
    const bool useFail = failThreshold && *failThreshold != 0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double before = values[i - 1];
        const double x = values[i];
        const double after = values[i + 1];
        if (IsMissing(before) || IsMissing(x) || IsMissing(after)) {
            continue;  // decided below
        }
        double d = 0;
        if (method == SpikeMethod::Average) {
            const double reference = (before + after) / 2;
            if (!std::isfinite(reference)) {
                flags[i] = kUnknown;
                continue;
            }
            d = std::fabs(x - reference);
        } else {
            const double rise = x - before;
            const double next = after - x;
            d = std::min(std::fabs(rise), std::fabs(next));
            if (std::isnan(rise) || std::isnan(next)) {
                d = std::numeric_limits<double>::quiet_NaN();
            }
            // Only a step out and back, in opposite directions, is a spike.
            if (rise * next >= 0) {
                d = 0;
            }
            if (!std::isfinite(d)) {
                flags[i] = kUnknown;
                continue;
            }
        }
        if (useSuspect && d > *suspectThreshold) {
            flags[i] = kSuspect;
        }
        if (useFail && d > *failThreshold) {
            flags[i] = kFail;
        }
    }
    flags[0] = kUnknown;
    flags[n - 1] = kUnknown;
    for (std::size_t i = 0; i < n; ++i) {
        if (IsMissing(values[i])) {
            flags[i] = kMissing;
        } else if (i > 0 && i + 1 < n && (IsMissing(values[i - 1]) || IsMissing(values[i + 1]))) {
            flags[i] = kUnknown;
        }
    }
    return flags;
}

Flags RateOfChangeTest(std::span<const double> values, std::span<const std::int64_t> times,
                       double threshold, std::optional<double> failThreshold)
{
    CheckSameSize(values.size(), times.size(), "values and times");
    Flags flags(values.size(), kGood);
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            const double step = values[i] - values[i - 1];
            const bool masked = IsMissing(values[i]) || IsMissing(values[i - 1]);
            const double rate =
                RatePerSecond(step, static_cast<double>(times[i] - times[i - 1]), masked);
            if (rate > threshold) {
                flags[i] = kSuspect;
            }
            if (failThreshold && rate > *failThreshold) {
                flags[i] = kFail;
            }
        }
        if (IsMissing(values[i])) {
            flags[i] = kMissing;
        }
    }
    return flags;
}

Flags FlatLineTest(std::span<const double> values, std::span<const std::int64_t> times,
                   double suspectThreshold, double failThreshold, double tolerance)
{
    CheckSameSize(values.size(), times.size(), "values and times");
    if (values.size() < 3) {
        return Flags(values.size(), kGood);  // the reference passes short series whole,
                                             // missing values included
    }
    return FlatLineTestWithStep(values, MedianTimeStep(times), suspectThreshold, failThreshold,
                                tolerance);
}

Flags FlatLineTestWithStep(std::span<const double> values, std::int64_t medianStep,
                           double suspectThreshold, double failThreshold, double tolerance)
{
    const std::size_t n = values.size();
    Flags flags(n, kGood);
    if (suspectThreshold < 0 || failThreshold < 0) {
        throw std::invalid_argument("flat-line thresholds are durations, not negative");
    }
    const std::int64_t step = medianStep;
    if (step <= 0) {
        // No time step to count values by: nothing can be evaluated.
        for (std::size_t i = 0; i < n; ++i) {
            flags[i] = IsMissing(values[i]) ? kMissing : kUnknown;
        }
        return flags;
    }
    const auto run = [&](double threshold, Flag flag) {
        const std::optional<std::size_t> window = FlatLineWindow(threshold, step);
        if (!window || !(*window < n)) {
            return;  // no value has that many before it
        }
        const std::size_t k = *window;
        // Sliding minimum and maximum over the window's present values.
        std::deque<std::size_t> low;
        std::deque<std::size_t> high;
        for (std::size_t i = 0; i < n; ++i) {
            if (!IsMissing(values[i])) {
                while (!low.empty() && values[low.back()] >= values[i]) {
                    low.pop_back();
                }
                low.push_back(i);
                while (!high.empty() && values[high.back()] <= values[i]) {
                    high.pop_back();
                }
                high.push_back(i);
            }
            if (i < k) {
                continue;
            }
            const std::size_t first = i - k;
            while (!low.empty() && low.front() < first) {
                low.pop_front();
            }
            while (!high.empty() && high.front() < first) {
                high.pop_front();
            }
            if (!low.empty() && std::fabs(values[high.front()] - values[low.front()]) < tolerance) {
                flags[i] = flag;
            }
        }
    };
    run(suspectThreshold, kSuspect);
    run(failThreshold, kFail);
    for (std::size_t i = 0; i < n; ++i) {
        if (IsMissing(values[i])) {
            flags[i] = kMissing;
        }
    }
    return flags;
}

std::optional<std::size_t> FlatLineWindow(double threshold, std::int64_t medianStep)
{
    if (medianStep <= 0) {
        return std::nullopt;
    }
    // The threshold's whole seconds, then whole time steps: k earlier values with the value
    // itself make the window.
    const double steps = std::trunc(std::trunc(threshold) / static_cast<double>(medianStep));
    if (!(steps < 0x1p52)) {
        return std::nullopt;  // longer than any series
    }
    return static_cast<std::size_t>(steps);
}

double Wgs84Distance(double lat1, double lon1, double lat2, double lon2)
{
    double distance = 0;
    GeographicLib::Geodesic::WGS84().Inverse(lat1, lon1, lat2, lon2, distance);
    return distance;
}

double HaversineDistance(double lat1, double lon1, double lat2, double lon2)
{
    // Differences of the angles in radians, in the reference's order of operations.
    const double phi1 = lat1 * kDegree;
    const double phi2 = lat2 * kDegree;
    const double dLat = phi2 - phi1;
    const double dLon = lon2 * kDegree - lon1 * kDegree;
    const double sLat = std::sin(dLat / 2);
    const double sLon = std::sin(dLon / 2);
    const double a = sLat * sLat + std::cos(phi2) * std::cos(phi1) * (sLon * sLon);
    return kEarthRadius * (2 * std::atan2(std::sqrt(a), std::sqrt(1 - a)));
}

Flags LocationTest(std::span<const double> latitudes, std::span<const double> longitudes,
                   std::optional<double> rangeMax, DistanceMethod method)
{
    CheckSameSize(latitudes.size(), longitudes.size(), "latitudes and longitudes");
    const std::size_t n = latitudes.size();
    Flags flags(n, kGood);
    for (std::size_t i = 0; i < n; ++i) {
        const bool latMissing = IsMissing(latitudes[i]);
        const bool lonMissing = IsMissing(longitudes[i]);
        if (latMissing || lonMissing) {
            flags[i] = latMissing == lonMissing ? kMissing : kFail;
        }
    }
    if (rangeMax && n > 1) {
        for (std::size_t i = 1; i < n; ++i) {
            if (IsMissing(latitudes[i]) || IsMissing(longitudes[i]) ||
                IsMissing(latitudes[i - 1]) || IsMissing(longitudes[i - 1])) {
                // The reference's sphere masks such a pair's angle, and the mask is lost on the
                // way, leaving the radius itself as the distance; the ellipsoid gives NaN.
                if (method == DistanceMethod::Haversine && kEarthRadius > *rangeMax) {
                    flags[i] = kSuspect;
                }
                continue;
            }
            const double d = method == DistanceMethod::Wgs84
                                 ? Wgs84Distance(latitudes[i - 1], longitudes[i - 1], latitudes[i],
                                                 longitudes[i])
                                 : HaversineDistance(latitudes[i - 1], longitudes[i - 1],
                                                     latitudes[i], longitudes[i]);
            if (d > *rangeMax) {
                flags[i] = kSuspect;
            }
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (std::fabs(latitudes[i]) > 90 || std::fabs(longitudes[i]) > 180) {
            flags[i] = kFail;
        }
    }
    return flags;
}

Flags LocationBoundsTest(std::span<const double> latitudes, std::span<const double> longitudes,
                         const Shape& shape, FlagArea flagArea)
{
    CheckSameSize(latitudes.size(), longitudes.size(), "latitudes and longitudes");
    Flags flags(latitudes.size(), kGood);
    for (std::size_t i = 0; i < flags.size(); ++i) {
        // Only NaN is missing here: an infinite coordinate is simply not inside.
        if (std::isnan(latitudes[i]) || std::isnan(longitudes[i])) {
            flags[i] = kMissing;
            continue;
        }
        const bool inside = shape.Contains(longitudes[i], latitudes[i]);
        if (inside == (flagArea == FlagArea::Inside)) {
            flags[i] = kFail;
        }
    }
    return flags;
}

Flags SpeedTest(std::span<const double> latitudes, std::span<const double> longitudes,
                std::span<const std::int64_t> times, double suspectThreshold, double failThreshold)
{
    CheckSameSize(latitudes.size(), longitudes.size(), "latitudes and longitudes");
    CheckSameSize(latitudes.size(), times.size(), "positions and times");
    const std::size_t n = latitudes.size();
    Flags flags(n, kGood);
    if (n == 0) {
        return flags;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (IsMissing(latitudes[i]) && IsMissing(longitudes[i])) {
            flags[i] = kMissing;
        }
    }
    if (n < 2) {
        flags[0] = kUnknown;
        return flags;
    }
    std::vector<bool> pairMissing(n, false);
    for (std::size_t i = 1; i < n; ++i) {
        pairMissing[i] = IsMissing(latitudes[i]) || IsMissing(longitudes[i]) ||
                         IsMissing(latitudes[i - 1]) || IsMissing(longitudes[i - 1]);
        const double distance =
            Wgs84Distance(latitudes[i - 1], longitudes[i - 1], latitudes[i], longitudes[i]);
        const double speed =
            RatePerSecond(distance, static_cast<double>(times[i] - times[i - 1]), pairMissing[i]);
        if (speed > suspectThreshold) {
            flags[i] = kSuspect;
        }
        if (speed > failThreshold) {
            flags[i] = kFail;
        }
    }
    flags[0] = kUnknown;
    for (std::size_t i = 1; i < n; ++i) {
        if (pairMissing[i]) {
            flags[i] = kMissing;
        }
    }
    return flags;
}

std::optional<Period> PeriodFromName(std::string_view name)
{
    struct Named {
        std::string_view name;
        Period period;
    };
    static constexpr Named kNames[] = {
        {"year", Period::Year},           {"quarter", Period::Quarter},
        {"month", Period::Month},         {"week", Period::Week},
        {"weekofyear", Period::Week},     {"dayofyear", Period::DayOfYear},
        {"dayofweek", Period::DayOfWeek}, {"day", Period::Day},
        {"hour", Period::Hour},
    };
    for (const Named& named : kNames) {
        if (named.name == name) {
            return named.period;
        }
    }
    return std::nullopt;
}

std::int64_t PeriodValue(Period period, std::int64_t time)
{
    const std::int64_t days = FloorDiv(time, 86400);
    const CivilDate date = CivilFromDays(days);
    const std::int64_t dayOfWeek = FloorDiv(days + 3, 7) * -7 + days + 3;  // Monday 0
    switch (period) {
        case Period::None:
            return time;
        case Period::Year:
            return date.year;
        case Period::Quarter:
            return (date.month - 1) / 3 + 1;
        case Period::Month:
            return date.month;
        case Period::Day:
            return date.day;
        case Period::Hour:
            return (time - days * 86400) / 3600;
        case Period::DayOfWeek:
            return dayOfWeek;
        case Period::DayOfYear:
            return days - DaysFromCivil(date.year, 1, 1) + 1;
        case Period::Week: {
            // The ISO week: the one holding this week's Thursday, counted in Thursday's year.
            const std::int64_t thursday = days - dayOfWeek + 3;
            const CivilDate thursdayDate = CivilFromDays(thursday);
            return (thursday - DaysFromCivil(thursdayDate.year, 1, 1)) / 7 + 1;
        }
    }
    return time;
}

Flags ClimatologyTest(std::span<const double> values, std::span<const std::int64_t> times,
                      std::span<const ClimatologyMember> members)
{
    CheckSameSize(values.size(), times.size(), "values and times");
    Flags flags(values.size(), kUnknown);
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (IsMissing(values[i])) {
            flags[i] = kMissing;
        }
    }
    for (const ClimatologyMember& member : members) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            const double x = values[i];
            if (std::isnan(x)) {
                continue;
            }
            const auto when = static_cast<double>(PeriodValue(member.period, times[i]));
            if (when < member.timeMin || when > member.timeMax) {
                continue;
            }
            if (member.fail && member.fail->Outside(x)) {
                flags[i] = kFail;
            } else if (member.suspect.Outside(x)) {
                flags[i] = kSuspect;
            } else {
                flags[i] = kGood;
            }
        }
    }
    return flags;
}

Flags TimeGapTest(std::span<const std::int64_t> times, double failSpanHours)
{
    const std::size_t n = times.size();
    Flags flags(n, kGood);
    if (n < 2) {
        // One value has no gap to measure (the reference cannot run on it at all).
        std::fill(flags.begin(), flags.end(), kUnknown);
        return flags;
    }
    const auto span = static_cast<std::int64_t>(std::trunc(failSpanHours * 3600));
    for (std::size_t i = 1; i < n; ++i) {
        if (times[i] - times[i - 1] > span) {
            flags[i] = kFail;
        }
    }
    flags[0] = flags[1];
    return flags;
}

int AggregateRank(std::uint8_t flag)
{
    switch (flag) {
        case kMissing:
            return 1;
        case kUnknown:
            return 2;
        case kGood:
            return 3;
        case kSuspect:
            return 4;
        case kFail:
            return 5;
        default:
            return 0;
    }
}

Flags Aggregate(std::span<const Flags> tests, std::size_t count)
{
    Flags result(count, kMissing);
    std::vector<int> best(count, 0);
    for (const Flags& test : tests) {
        CheckSameSize(test.size(), count, "a test's flags and the series");
        for (std::size_t i = 0; i < count; ++i) {
            const int r = AggregateRank(test[i]);
            if (r > best[i]) {
                best[i] = r;
                result[i] = test[i];
            }
        }
    }
    return result;
}

}  // namespace saltmark::qc
