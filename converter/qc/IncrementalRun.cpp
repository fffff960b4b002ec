#include "IncrementalRun.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <type_traits>
#include <variant>

namespace saltmark::qc {

namespace {

// How far a value's flag reaches along the sorted series: a value's flag depends on the
// values at most this many places before and after it (the edges included: the first value's
// time-gap flag is the second's).
std::size_t Reach(const TestParameters& parameters)
{
    return std::visit(
        [](const auto& p) -> std::size_t {
            using P = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<P, GrossRangeParameters> ||
                          std::is_same_v<P, ClimatologyParameters> ||
                          std::is_same_v<P, LocationBoundsParameters>) {
                return 0;
            } else {
                return 1;  // the flat-line test's window is counted where it runs
            }
        },
        parameters);
}

struct Interval {
    std::size_t first;
    std::size_t last;
};

}  // namespace

IncrementalRun::IncrementalRun(const Config& config) : m_config(config)
{
    // The streams and tests in the order RunConfig gives them: as they first appear.
    for (std::size_t c = 0; c < config.contexts.size(); ++c) {
        const Context& context = config.contexts[c];
        m_regions = m_regions || !context.region.empty();
        for (const StreamTests& tests : context.streams) {
            auto result = std::find_if(m_results.begin(), m_results.end(),
                                       [&](const StreamFlags& r) { return r.stream == tests.stream; });
            if (result == m_results.end()) {
                m_results.push_back(StreamFlags{tests.stream, {}, {}});
                Stream& stream = m_streams.emplace_back();
                stream.name = tests.stream;
                stream.position =
                    tests.stream == kPositionStream || tests.stream == kIridiumPositionStream;
                result = m_results.end() - 1;
            }
            Stream& stream = m_streams[static_cast<std::size_t>(result - m_results.begin())];
            for (const TestCall& call : tests.tests) {
                auto test = std::find_if(result->tests.begin(), result->tests.end(),
                                         [&](const TestFlags& t) { return t.test == call.name; });
                if (test == result->tests.end()) {
                    result->tests.push_back(TestFlags{call.name, {}});
                    test = result->tests.end() - 1;
                }
                Call& added = stream.calls.emplace_back();
                added.context = c;
                added.call = &call;
                added.test = static_cast<std::size_t>(test - result->tests.begin());
            }
        }
    }
    m_recomputed.resize(m_results.size());
}

void IncrementalRun::Add(const BuoySeries& more)
{
    if (m_regions) {
        // Whether a context covers a value depends on the fix nearest it: a new fix can move
        // values anywhere in or out of a context, so the whole series runs again.
        for (const auto& [name, series] : more.streams) {
            ScalarSeries& all = m_all.streams[name];
            all.times.insert(all.times.end(), series.times.begin(), series.times.end());
            all.values.insert(all.values.end(), series.values.begin(), series.values.end());
        }
        for (auto [from, into] : {std::pair{&more.position, &m_all.position},
                                  std::pair{&more.iridiumPosition, &m_all.iridiumPosition}}) {
            into->times.insert(into->times.end(), from->times.begin(), from->times.end());
            into->latitudes.insert(into->latitudes.end(), from->latitudes.begin(),
                                   from->latitudes.end());
            into->longitudes.insert(into->longitudes.end(), from->longitudes.begin(),
                                    from->longitudes.end());
        }
        m_results = RunConfig(m_config, m_all);
        for (std::size_t s = 0; s < m_results.size(); ++s) {
            m_recomputed[s].resize(m_results[s].aggregate.size());
            std::iota(m_recomputed[s].begin(), m_recomputed[s].end(), std::size_t{0});
        }
        return;
    }
    m_recomputed.assign(m_results.size(), {});
    for (std::size_t s = 0; s < m_streams.size(); ++s) {
        AddToStream(s, more);
    }
}

bool IncrementalRun::Covers(const Context& context, std::int64_t time) const
{
    const auto t = static_cast<double>(time);
    return !(context.starting && t < *context.starting) && !(context.ending && t >= *context.ending);
}

void IncrementalRun::AddToStream(std::size_t index, const BuoySeries& more)
{
    Stream& stream = m_streams[index];

    // The new values, as the runner prepares them.
    std::vector<std::int64_t> times;
    std::vector<double> values;
    std::vector<double> latitudes;
    std::vector<double> longitudes;
    if (stream.position) {
        const PositionSeries& series =
            stream.name == kPositionStream ? more.position : more.iridiumPosition;
        if (series.latitudes.size() != series.times.size() ||
            series.longitudes.size() != series.times.size()) {
            throw std::invalid_argument(
                "a position series' times, latitudes and longitudes differ in length");
        }
        times = series.times;
        latitudes = series.latitudes;
        longitudes = series.longitudes;
    } else {
        const auto found = more.streams.find(stream.name);
        if (found != more.streams.end()) {
            if (found->second.times.size() != found->second.values.size()) {
                throw std::invalid_argument(stream.name + ": times and values differ in length");
            }
            times = found->second.times;
            values = found->second.values;
            const std::optional<double> fill = FillValue(stream.name);
            for (double& value : values) {
                if (fill && value == *fill) {
                    value = std::numeric_limits<double>::quiet_NaN();
                }
            }
        }
    }
    const std::size_t added = times.size();
    if (added == 0) {
        return;
    }

    // Sorted as the runner sorts (time, then value; equal ones in the order added) and merged
    // after the equal ones already there, which were added earlier.
    const auto less = [&](std::int64_t ta, double va, double la, double oa, std::int64_t tb,
                          double vb, double lb, double ob) {
        return stream.position ? PositionLess(ta, la, oa, tb, lb, ob) : ValueLess(ta, va, tb, vb);
    };
    const auto valueAt = [](const std::vector<double>& v, std::size_t i) {
        return i < v.size() ? v[i] : 0.0;
    };
    std::vector<std::size_t> newOrder(added);
    std::iota(newOrder.begin(), newOrder.end(), std::size_t{0});
    std::stable_sort(newOrder.begin(), newOrder.end(), [&](std::size_t a, std::size_t b) {
        return less(times[a], valueAt(values, a), valueAt(latitudes, a), valueAt(longitudes, a),
                    times[b], valueAt(values, b), valueAt(latitudes, b), valueAt(longitudes, b));
    });

    // Each new value goes after the equal ones already there, which were added earlier; in
    // ascending order, so that a later one never lands before an earlier one's place. Values
    // arriving in time order are appended.
    const std::size_t old = stream.times.size();
    const std::size_t total = old + added;
    std::vector<std::size_t> fresh;  // sorted indices of the new values, ascending
    fresh.reserve(added);
    std::size_t from = 0;
    for (const std::size_t k : newOrder) {
        const double v = valueAt(values, k);
        const double la = valueAt(latitudes, k);
        const double lo = valueAt(longitudes, k);
        std::size_t at = stream.times.size();
        if (at > from && !less(times[k], v, la, lo, stream.times[at - 1],
                               valueAt(stream.values, at - 1), valueAt(stream.latitudes, at - 1),
                               valueAt(stream.longitudes, at - 1))) {
            // after the last: the common case
        } else {
            std::size_t low = from;
            std::size_t high = at;
            while (low < high) {  // the first place whose value sorts after the new one
                const std::size_t mid = low + (high - low) / 2;
                if (less(times[k], v, la, lo, stream.times[mid], valueAt(stream.values, mid),
                         valueAt(stream.latitudes, mid), valueAt(stream.longitudes, mid))) {
                    high = mid;
                } else {
                    low = mid + 1;
                }
            }
            at = low;
        }
        const auto offset = static_cast<std::ptrdiff_t>(at);
        stream.times.insert(stream.times.begin() + offset, times[k]);
        stream.order.insert(stream.order.begin() + offset, old + k);
        if (stream.position) {
            stream.latitudes.insert(stream.latitudes.begin() + offset, la);
            stream.longitudes.insert(stream.longitudes.begin() + offset, lo);
        } else {
            stream.values.insert(stream.values.begin() + offset, v);
        }
        fresh.push_back(at);
        from = at + 1;
    }

    // A value no context covers is UNKNOWN in each test.
    StreamFlags& result = m_results[index];
    for (TestFlags& test : result.tests) {
        test.flags.resize(total, kUnknown);
    }
    result.aggregate.resize(total, kMissing);
    std::vector<std::size_t>& touched = m_recomputed[index];  // whose flags are computed again
    touched.resize(added);
    std::iota(touched.begin(), touched.end(), old);
    for (Call& call : stream.calls) {
        RunCall(stream, index, call, fresh, touched);
    }

    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    for (const std::size_t k : touched) {
        std::uint8_t best = kMissing;
        int bestRank = 0;
        for (const TestFlags& test : result.tests) {
            const int rank = AggregateRank(test.flags[k]);
            if (rank > bestRank) {
                bestRank = rank;
                best = test.flags[k];
            }
        }
        result.aggregate[k] = best;
    }
}

void IncrementalRun::RunCall(Stream& stream, std::size_t index, Call& call,
                             const std::vector<std::size_t>& fresh,
                             std::vector<std::size_t>& touched)
{
    const Context& context = m_config.contexts[call.context];
    // A context's window is a run of the sorted series.
    const auto firstIn = static_cast<std::size_t>(
        std::partition_point(stream.times.begin(), stream.times.end(),
                             [&](std::int64_t t) {
                                 return context.starting &&
                                        static_cast<double>(t) < *context.starting;
                             }) -
        stream.times.begin());
    const auto end = static_cast<std::size_t>(
        std::partition_point(stream.times.begin() + static_cast<std::ptrdiff_t>(firstIn),
                             stream.times.end(),
                             [&](std::int64_t t) {
                                 return !context.ending || static_cast<double>(t) < *context.ending;
                             }) -
        stream.times.begin());
    const std::size_t count = end - firstIn;
    std::vector<std::size_t> positions;  // of the new values within the window
    for (const std::size_t f : fresh) {
        if (f >= firstIn && f < end) {
            positions.push_back(f - firstIn);
        }
    }
    if (positions.empty()) {
        return;  // the values this context tests did not change
    }

    const auto span = [&](const std::vector<double>& v, std::size_t from, std::size_t n) {
        return v.empty() ? std::span<const double>() : std::span<const double>(v).subspan(from, n);
    };
    std::size_t reach = Reach(call.call->parameters);
    bool whole = false;
    std::optional<std::int64_t> step;
    if (const auto* flat = std::get_if<FlatLineParameters>(&call.call->parameters)) {
        // The window's length in values follows the median step of all the values tested:
        // when that moves (rarely, once a series is long), every flag may change.
        const std::int64_t median =
            MedianTimeStep(std::span<const std::int64_t>(stream.times).subspan(firstIn, count));
        whole = count < 3 || call.count < 3 || median != call.medianStep;
        call.medianStep = median;
        call.count = count;
        step = median;
        reach = std::max(FlatLineWindow(flat->suspectThreshold, median).value_or(0),
                         FlatLineWindow(flat->failThreshold, median).value_or(0));
    }

    std::vector<Interval> dirty;
    if (whole) {
        dirty.push_back({0, count - 1});
        step.reset();
    } else {
        for (const std::size_t q : positions) {
            const Interval one{q > reach ? q - reach : 0, std::min(count - 1, q + reach)};
            if (!dirty.empty() && one.first <= dirty.back().last + 1) {
                dirty.back().last = std::max(dirty.back().last, one.last);
            } else {
                dirty.push_back(one);
            }
        }
    }

    qc::Flags& flags = m_results[index].tests[call.test].flags;
    for (const Interval& interval : dirty) {
        // The values the dirty ones' flags depend on, and only those.
        const std::size_t from = firstIn + (interval.first > reach ? interval.first - reach : 0);
        const std::size_t to = firstIn + std::min(count - 1, interval.last + reach);
        const std::size_t n = to - from + 1;
        const qc::Flags part = RunTest(*call.call, std::span<const std::int64_t>(stream.times).subspan(from, n),
                                   span(stream.values, from, n), span(stream.latitudes, from, n),
                                   span(stream.longitudes, from, n), step);
        for (std::size_t k = firstIn + interval.first; k <= firstIn + interval.last; ++k) {
            // Where two contexts test the same value, the later one decides.
            const auto decides = std::find_if(
                stream.calls.rbegin(), stream.calls.rend(), [&](const Call& other) {
                    return other.test == call.test &&
                           Covers(m_config.contexts[other.context], stream.times[k]);
                });
            if (&*decides != &call) {
                continue;
            }
            const bool missing = stream.position
                                     ? std::isnan(stream.latitudes[k]) && std::isnan(stream.longitudes[k])
                                     : std::isnan(stream.values[k]);
            const std::size_t caller = stream.order[k];
            flags[caller] = missing ? std::uint8_t{kMissing} : part[k - from];
            touched.push_back(caller);
        }
    }
}

}  // namespace saltmark::qc
