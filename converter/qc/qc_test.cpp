// The tests' flags against the reference implementation's (vectors in testdata/, made by
// running it: see testdata/README.md), the configuration's refusals with their lines, and a
// buoy's series with injected faults through the example configuration, in order and shuffled.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <numeric>
#include <random>
#include <sstream>

#include "IncrementalRun.h"
#include "QcConfig.h"

namespace saltmark::qc {
namespace {

using nlohmann::json;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string ReadText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// null is NaN, "inf" and "-inf" the infinities.
std::vector<double> Numbers(const json& array)
{
    std::vector<double> numbers;
    for (const json& x : array) {
        if (x.is_null()) {
            numbers.push_back(kNaN);
        } else if (x.is_string()) {
            numbers.push_back(x == "inf" ? HUGE_VAL : -HUGE_VAL);
        } else {
            numbers.push_back(x.get<double>());
        }
    }
    return numbers;
}

std::optional<double> Optional(const json& params, const char* key)
{
    return params.contains(key) ? std::optional<double>(params[key].get<double>()) : std::nullopt;
}

Span SpanOf(const json& pair) { return Span::Sorted(pair[0].get<double>(), pair[1].get<double>()); }

Flags RunReferenceCase(const json& c)
{
    const std::string test = c["test"];
    const json& p = c["params"];
    const auto values = c.contains("values") ? Numbers(c["values"]) : std::vector<double>{};
    const auto times = c.contains("times") ? c["times"].get<std::vector<std::int64_t>>()
                                           : std::vector<std::int64_t>{};
    const auto lat = c.contains("lat") ? Numbers(c["lat"]) : std::vector<double>{};
    const auto lon = c.contains("lon") ? Numbers(c["lon"]) : std::vector<double>{};
    if (test == "gross_range_test") {
        return GrossRangeTest(
            values, SpanOf(p["fail_span"]),
            p.contains("suspect_span") ? std::optional(SpanOf(p["suspect_span"])) : std::nullopt);
    }
    if (test == "spike_test") {
        return SpikeTest(
            values, Optional(p, "suspect_threshold"), Optional(p, "fail_threshold"),
            p["method"] == "average" ? SpikeMethod::Average : SpikeMethod::Differential);
    }
    if (test == "rate_of_change_test") {
        return RateOfChangeTest(values, times, p["threshold"], Optional(p, "fail_threshold"));
    }
    if (test == "flat_line_test") {
        return FlatLineTest(values, times, p["suspect_threshold"], p["fail_threshold"],
                            p["tolerance"]);
    }
    if (test == "location_test") {
        return LocationTest(
            lat, lon, Optional(p, "range_max"),
            p["range_method"] == "wgs84" ? DistanceMethod::Wgs84 : DistanceMethod::Haversine);
    }
    if (test == "location_bounds_test") {
        const json& shape = p["shape"];
        Shape s;
        if (shape[0].is_number()) {
            s = Shape::BoundingBox(shape[0], shape[1], shape[2], shape[3]);
        } else {
            s.rings.emplace_back();
            for (const json& point : shape) {
                s.rings[0].push_back({point[0].get<double>(), point[1].get<double>()});
            }
        }
        return LocationBoundsTest(
            lat, lon, s, p["flag_area"] == "inside" ? FlagArea::Inside : FlagArea::Outside);
    }
    if (test == "speed_test") {
        return SpeedTest(lat, lon, times, p["suspect_threshold"], p["fail_threshold"]);
    }
    if (test == "climatology_test") {
        // Through the configuration reader, which parses the members' periods and dates.
        std::string yaml =
            "streams:\n  PB200.ATMean:\n    qartod:\n      climatology_test:\n"
            "        config: " +
            p["config"].dump() + "\n";
        const Config config = ParseConfig(yaml, "climatology.yaml");
        const auto& parameters =
            std::get<ClimatologyParameters>(config.contexts[0].streams[0].tests[0].parameters);
        return ClimatologyTest(values, times, parameters.members);
    }
    if (test == "time_gap_test") {
        return TimeGapTest(times, p["fail_span"]);
    }
    std::vector<Flags> tests;
    for (const json& flags : p["tests"]) {
        tests.push_back(flags.get<Flags>());
    }
    return Aggregate(tests, tests[0].size());
}

TEST(Qartod, EveryTestGivesTheReferenceFlagsValueForValue)
{
    const json cases = json::parse(ReadText("testdata/reference_flags.json"));
    ASSERT_GT(cases.size(), 50u);
    for (const json& c : cases) {
        SCOPED_TRACE(c["test"].get<std::string>() + ": " + c["case"].get<std::string>());
        EXPECT_EQ(RunReferenceCase(c), c["flags"].get<Flags>());
    }
}

TEST(Qartod, GrossRangeRefusesASuspectSpanOutsideTheFailSpan)
{
    const std::vector<double> values = {1.0};
    EXPECT_THROW(GrossRangeTest(values, {0, 5}, Span{-1, 4}), std::invalid_argument);
}

// A point on a slanted edge or a vertex is outside; a hair's breadth inside is inside.
TEST(Qartod, ShapeBorderIsOutside)
{
    const Shape triangle{{{{0, 0}, {4, 1}, {1, 4}}}};
    EXPECT_FALSE(triangle.Contains(2, 0.5));
    EXPECT_TRUE(triangle.Contains(2, 0.5 + 0x1p-50));
    EXPECT_FALSE(triangle.Contains(2, 0.5 - 0x1p-50));
    EXPECT_FALSE(triangle.Contains(1, 4));
    const Shape withHole{
        {Shape::BoundingBox(0, 0, 10, 10).rings[0], Shape::BoundingBox(4, 4, 6, 6).rings[0]}};
    EXPECT_TRUE(withHole.Contains(2, 2));
    EXPECT_FALSE(withHole.Contains(5, 5));
    EXPECT_FALSE(withHole.Contains(4, 5));
}

TEST(QcConfig, RunsTheReferenceConfigurationToTheSameFlags)
{
    const json reference = json::parse(ReadText("testdata/reference_config.json"));
    const Config config = ParseConfig(reference["yaml"].get<std::string>(), "reference.yaml");
    BuoySeries series;
    series.streams["PB200.WSMean"] = {reference["times"].get<std::vector<std::int64_t>>(),
                                      Numbers(reference["values"])};
    const std::vector<StreamFlags> result = RunConfig(config, series);
    ASSERT_EQ(result.size(), 1u);
    ASSERT_EQ(result[0].tests.size(), reference["tests"].size());
    for (const TestFlags& test : result[0].tests) {
        SCOPED_TRACE(test.test);
        // The runner marks missing values 9 in every test, as the reference's tests do here.
        EXPECT_EQ(test.flags, reference["tests"][test.test].get<Flags>());
    }
    EXPECT_EQ(result[0].aggregate, reference["aggregate"].get<Flags>());
}

TEST(QcConfig, RefusesMistakesWithTheirLineBeforeFlagging)
{
    struct Case {
        const char* name;
        const char* yaml;
        int line;
        const char* reason;
    };
    const std::string head = "streams:\n  PB200.WSMean:\n    qartod:\n";
    const Case cases[] = {
        {"unknown stream", "streams:\n  PB200.WSMan:\n    qartod: {}\n", 2, "unknown stream"},
        {"array field", "streams:\n  Y81000.Tke:\n    qartod: {}\n", 2, "unknown stream"},
        {"stream twice in two spellings",
         "streams:\n  PB200.WSMean: {qartod: {}}\n  pb200.wsmean: {qartod: {}}\n", 3,
         "given twice"},
        {"unknown test", "      grose_range_test: {fail_span: [0, 1]}\n", 4, "unknown test"},
        {"test of another module", "      speed_test: {suspect_threshold: 1, fail_threshold: 2}\n",
         4, "in the argo module"},
        {"unknown parameter", "      gross_range_test: {fail_span: [0, 1], suspct_span: [0, 1]}\n",
         4, "unknown key suspct_span"},
        {"suspect span wider than the fail span",
         "      gross_range_test:\n        fail_span: [0, 40]\n        suspect_span: [-1, 30]\n", 6,
         "reaches outside the fail span"},
        {"required parameter", "      rate_of_change_test:\n        fail_threshold: 1\n", 4,
         "threshold is required"},
        {"position test on a field", "      location_test: {range_max: 1}\n", 4,
         "runs on position"},
        {"not a number", "      spike_test: {suspect_threshold: high}\n", 4,
         "expected a number, not \"high\""},
        {"YAML error", "      gross_range_test: {fail_span: [0, 1}\n", 4, "not YAML"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string yaml =
            std::string(c.yaml).starts_with("streams") ? c.yaml : head + c.yaml;
        try {
            ParseConfig(yaml, "buoy.yaml");
            ADD_FAILURE() << "accepted";
        } catch (const ConfigError& error) {
            EXPECT_EQ(error.FileName(), "buoy.yaml");
            EXPECT_EQ(error.Line(), c.line) << error.what();
            EXPECT_NE(error.Reason().find(c.reason), std::string::npos) << error.what();
            EXPECT_TRUE(
                std::string(error.what()).starts_with("buoy.yaml:" + std::to_string(c.line) + ":"));
        }
    }
}

TEST(QcConfig, HashFollowsTheLimitsNotTheLayout)
{
    const Config a = ParseConfig(
        "streams:\n  PB200.WSMean:\n    qartod:\n      gross_range_test: {fail_span: [0, 40]}\n",
        "a.yaml");
    const Config b = ParseConfig(
        "# wind\nstreams:\n  pb200.wsmean:\n    qartod:\n"
        "      gross_range_test:\n        fail_span: [40, 0.0]\n",
        "b.yaml");
    const Config c = ParseConfig(
        "streams:\n  PB200.WSMean:\n    qartod:\n      gross_range_test: {fail_span: [0, 41]}\n",
        "c.yaml");
    EXPECT_EQ(a.hash.size(), 7u + 64u);
    EXPECT_EQ(a.hash, b.hash);
    EXPECT_NE(a.hash, c.hash);
}

// A 50-hour record every 30 minutes with one fault of each kind, and the flags the reference
// gives it under the example configuration (testdata/reference_faults.json).
struct Faults {
    BuoySeries series;
    json reference;
    static constexpr std::int64_t kStart = 1717200000;  // 2024-06-01T00:00:00Z
    static constexpr int kSpike = 20, kStuckFirst = 40, kStuckLast = 55, kOutOfRange = 70,
                         kMissing = 80, kAfterGap = 91, kBattery = 60, kFill = 30, kJump = 50,
                         kOutside = 75, kNoFix = 85;

    Faults() : reference(json::parse(ReadText("testdata/reference_faults.json")))
    {
        const auto times = reference["times"].get<std::vector<std::int64_t>>();
        for (const auto& [name, values] : reference["values"].items()) {
            series.streams[*CanonicalStreamName(name)] = {times, Numbers(values)};
        }
        // The turbulence record's "no estimate", which the reference was given as NaN.
        series.streams["Y81000.Epsilon"].values[kFill] = 9999.0;
        series.position = {times, Numbers(reference["lat"]), Numbers(reference["lon"])};
    }
};

const Flags& TestOf(const std::vector<StreamFlags>& result, const std::string& stream,
                    const std::string& test)
{
    for (const StreamFlags& s : result) {
        if (s.stream == stream) {
            if (test == "aggregate") {
                return s.aggregate;
            }
            for (const TestFlags& t : s.tests) {
                if (t.test == test) {
                    return t.flags;
                }
            }
        }
    }
    throw std::runtime_error(stream + " " + test + " not run");
}

TEST(QcConfig, InjectedFaultsGetTheirFlagsInOrderAndShuffled)
{
    const Config config = ParseConfig(ReadText("../../examples/qc.yaml"), "examples/qc.yaml");
    const Faults faults;
    const auto result = RunConfig(config, faults.series);

    // Every configured test as the reference flags it; the one rule beyond it: a missing
    // value is missing in the time-gap test too.
    for (const auto& [stream, tests] : faults.reference["flags"].items()) {
        const std::string name = *CanonicalStreamName(stream);
        const bool position = name == kPositionStream;
        for (const auto& [test, flags] : tests.items()) {
            SCOPED_TRACE(name + " " + test);
            Flags expected = flags.get<Flags>();
            if (test == "time_gap_test") {
                expected[position ? Faults::kNoFix : Faults::kMissing] = kMissing;
            }
            EXPECT_EQ(TestOf(result, name, test), expected);
        }
    }

    const Flags& spike = TestOf(result, "PB200.WSMean", "spike_test");
    EXPECT_EQ(spike[Faults::kSpike], kFail);
    EXPECT_EQ(spike[0], kUnknown);
    EXPECT_EQ(spike[Faults::kMissing + 1], kUnknown);  // a missing neighbour
    const Flags& flat = TestOf(result, "PB200.WSMean", "flat_line_test");
    // Three hours are six steps: the seventh equal value is suspect, the thirteenth fails.
    EXPECT_EQ(flat[Faults::kStuckFirst + 5], kGood);
    EXPECT_EQ(flat[Faults::kStuckFirst + 6], kSuspect);
    EXPECT_EQ(flat[Faults::kStuckFirst + 12], kFail);
    EXPECT_EQ(flat[Faults::kStuckLast + 1], kGood);
    EXPECT_EQ(TestOf(result, "PB200.WSMean", "gross_range_test")[Faults::kOutOfRange], kFail);
    const Flags& gap = TestOf(result, "PB200.WSMean", "time_gap_test");
    EXPECT_EQ(gap[Faults::kAfterGap], kFail);
    EXPECT_EQ(std::count(gap.begin(), gap.end(), kFail), 1);
    for (const std::string test :
         {"gross_range_test", "spike_test", "flat_line_test", "time_gap_test", "aggregate"}) {
        EXPECT_EQ(TestOf(result, "PB200.WSMean", test)[Faults::kMissing], kMissing) << test;
    }
    EXPECT_EQ(TestOf(result, "Y81000.Epsilon", "aggregate")[Faults::kFill], kMissing);
    EXPECT_EQ(TestOf(result, "Miscellaneous values.Battery voltage", "aggregate")[Faults::kBattery],
              kFail);

    const Flags& location = TestOf(result, "position", "location_test");
    const Flags& speed = TestOf(result, "position", "speed_test");
    const Flags& bounds = TestOf(result, "position", "location_bounds_test");
    EXPECT_EQ(location[Faults::kJump], kSuspect);
    EXPECT_EQ(speed[Faults::kJump], kFail);
    EXPECT_EQ(speed[Faults::kJump - 1], kGood);
    EXPECT_EQ(bounds[Faults::kOutside], kFail);
    EXPECT_EQ(std::count(bounds.begin(), bounds.end(), kFail), 1);
    EXPECT_EQ(TestOf(result, "position", "aggregate")[Faults::kNoFix], kMissing);
    EXPECT_EQ(TestOf(result, "position", "aggregate")[10], kGood);

    // The same values arriving in any order get the same flags.
    Faults shuffled;
    std::vector<std::size_t> order(faults.series.position.times.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::shuffle(order.begin(), order.end(), std::mt19937(27));
    const auto permute = [&](auto& v) {
        auto copy = v;
        for (std::size_t i = 0; i < order.size(); ++i) {
            v[i] = copy[order[i]];
        }
    };
    for (auto& [name, s] : shuffled.series.streams) {
        permute(s.times);
        permute(s.values);
    }
    permute(shuffled.series.position.times);
    permute(shuffled.series.position.latitudes);
    permute(shuffled.series.position.longitudes);
    const auto again = RunConfig(config, shuffled.series);
    ASSERT_EQ(again.size(), result.size());
    for (std::size_t s = 0; s < result.size(); ++s) {
        for (std::size_t t = 0; t <= result[s].tests.size(); ++t) {
            const Flags& inOrder =
                t < result[s].tests.size() ? result[s].tests[t].flags : result[s].aggregate;
            const Flags& fromShuffled =
                t < again[s].tests.size() ? again[s].tests[t].flags : again[s].aggregate;
            ASSERT_EQ(fromShuffled.size(), inOrder.size());
            for (std::size_t i = 0; i < inOrder.size(); ++i) {
                ASSERT_EQ(fromShuffled[i], inOrder[order[i]]) << result[s].stream << " " << t;
            }
        }
    }
}

TEST(QcConfig, WindowsAndRegionsChooseTheValuesEachContextTests)
{
    const Config config = ParseConfig(R"(
contexts:
  - region:
      type: Feature
      geometry: {type: Polygon, coordinates: [[[4, 59], [6, 59], [6, 61], [4, 61], [4, 59]]]}
    streams:
      PB200.ATMean: {qartod: {gross_range_test: {fail_span: [0, 20]}}}
  - window: {ending: 2024-06-01T01:00:00Z}
    streams:
      PB200.ATMean: {qartod: {gross_range_test: {fail_span: [0, 10]}}}
)",
                                      "regions.yaml");
    BuoySeries series;
    const std::int64_t t0 = Faults::kStart;
    series.streams["PB200.ATMean"] = {{t0, t0 + 1800, t0 + 3600, t0 + 5400}, {15, 15, 15, 15}};
    // In the region for the first three values, the fourth's nearest fix outside it; the
    // later context, a window over the first two, decides those.
    series.position = {{t0, t0 + 3600, t0 + 5400}, {60, 60, 62}, {5, 5, 5}};
    const auto result = RunConfig(config, series);
    EXPECT_EQ(TestOf(result, "PB200.ATMean", "gross_range_test"),
              (Flags{kFail, kFail, kGood, kUnknown}));
}

}  // namespace
}  // namespace saltmark::qc

namespace saltmark::qc {
namespace {

// Values arriving a few at a time, in time order and shuffled, get after each arrival the
// flags one run over all the values so far gives: the example configuration, and two
// contexts whose windows overlap (the later one decides) with tests of every reach.
TEST(QcConfig, IncrementalRunEqualsOneRunOverAllValues)
{
    const Config example = ParseConfig(ReadText("../../examples/qc.yaml"), "examples/qc.yaml");
    const Config windows = ParseConfig(R"(
contexts:
  - streams:
      PB200.WSMean:
        qartod:
          spike_test: {suspect_threshold: 2, fail_threshold: 5, method: differential}
          rate_of_change_test: {threshold: 0.001}
          flat_line_test: {suspect_threshold: 5400, fail_threshold: 9000, tolerance: 0.1}
          time_gap_test: {fail_span: 2}
      position:
        qartod: {location_test: {range_max: 20000}}
        argo: {speed_test: {suspect_threshold: 1.5, fail_threshold: 3}}
  - window: {starting: 2024-06-01T12:00:00Z, ending: 2024-06-02T06:00:00Z}
    streams:
      PB200.WSMean:
        qartod:
          spike_test: {suspect_threshold: 1, fail_threshold: 3}
          flat_line_test: {suspect_threshold: 3600, fail_threshold: 7200, tolerance: 0.5}
      position:
        qartod: {location_test: {range_max: 5000, range_method: wgs84}}
)",
                                       "windows.yaml");
    // The faults, and values at times already taken: another value, the same one, none.
    BuoySeries all = Faults().series;
    for (const auto& [index, shift] : {std::pair{10, 1.0}, {45, 0.0}, {90, kNaN}}) {
        for (auto& [name, s] : all.streams) {
            s.times.push_back(s.times[index]);
            s.values.push_back(s.values[index] + shift);
        }
        PositionSeries& p = all.position;
        p.times.push_back(p.times[index]);
        p.latitudes.push_back(p.latitudes[index] + shift / 100);
        p.longitudes.push_back(p.longitudes[index] + shift / 100);
    }
    const std::size_t n = all.position.times.size();

    std::mt19937 random(27);
    for (const Config* config : {&example, &windows}) {
        for (const bool shuffled : {false, true}) {
            std::vector<std::size_t> order(n);
            std::iota(order.begin(), order.end(), std::size_t{0});
            if (shuffled) {
                std::shuffle(order.begin(), order.end(), random);
            } else {
                // Time order, the values at times already taken last.
                std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                    return all.position.times[a] < all.position.times[b];
                });
            }
            IncrementalRun run(*config);
            BuoySeries sofar;
            for (std::size_t first = 0; first < n;) {
                const std::size_t last =
                    std::min(n, first + std::uniform_int_distribution<std::size_t>(1, 7)(random));
                BuoySeries chunk;
                for (std::size_t k = first; k < last; ++k) {
                    const std::size_t i = order[k];
                    for (const auto& [name, s] : all.streams) {
                        for (BuoySeries* into : {&chunk, &sofar}) {
                            into->streams[name].times.push_back(s.times[i]);
                            into->streams[name].values.push_back(s.values[i]);
                        }
                    }
                    for (BuoySeries* into : {&chunk, &sofar}) {
                        into->position.times.push_back(all.position.times[i]);
                        into->position.latitudes.push_back(all.position.latitudes[i]);
                        into->position.longitudes.push_back(all.position.longitudes[i]);
                    }
                }
                const std::vector<StreamFlags> before = run.Flags();
                run.Add(chunk);
                const std::vector<StreamFlags> expected = RunConfig(*config, sofar);
                const std::vector<StreamFlags>& got = run.Flags();
                ASSERT_EQ(got.size(), expected.size());
                for (std::size_t s = 0; s < got.size(); ++s) {
                    SCOPED_TRACE(config->fileName + " " + got[s].stream + " after " +
                                 std::to_string(last) + (shuffled ? " shuffled" : " in order"));
                    // Only the recomputed flags changed, the new values among them.
                    const std::vector<std::size_t>& again = run.Recomputed()[s];
                    ASSERT_TRUE(std::is_sorted(again.begin(), again.end()));
                    const std::size_t added = got[s].aggregate.size() - before[s].aggregate.size();
                    ASSERT_GE(again.size(), added);
                    if (added > 0) {
                        ASSERT_EQ(again.back(), got[s].aggregate.size() - 1);
                    }
                    for (std::size_t i = 0; i < before[s].aggregate.size(); ++i) {
                        if (!std::binary_search(again.begin(), again.end(), i)) {
                            ASSERT_EQ(got[s].aggregate[i], before[s].aggregate[i]);
                        }
                    }
                    ASSERT_EQ(got[s].stream, expected[s].stream);
                    ASSERT_EQ(got[s].tests.size(), expected[s].tests.size());
                    for (std::size_t t = 0; t < got[s].tests.size(); ++t) {
                        ASSERT_EQ(got[s].tests[t].test, expected[s].tests[t].test);
                        ASSERT_EQ(got[s].tests[t].flags, expected[s].tests[t].flags)
                            << got[s].tests[t].test;
                    }
                    ASSERT_EQ(got[s].aggregate, expected[s].aggregate);
                }
                first = last;
            }
        }
    }
}

}  // namespace
}  // namespace saltmark::qc
