#pragma once
// A buoy's flags kept up to date as its values arrive, without running every test over the
// whole series again: new values change only the flags within each test's reach of where they
// land in the sorted series (the spike test's neighbours, the next value of the rate, gap,
// location and speed tests, the flat-line window), so only those are recomputed. The flags
// equal, value for value, what RunConfig gives over all the values added so far.
//
// What cannot be told locally is recomputed whole: a flat-line test whose median time step
// moved (its window length changes everywhere), and every stream of a configuration with a
// region, where a new position can move other values in or out of a context.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "QcConfig.h"

namespace saltmark::qc {

class IncrementalRun {
public:
    // The configuration must outlive the run.
    explicit IncrementalRun(const Config& config);

    // Adds values, in any time order, after those added before: the caller's order of a
    // stream is its values in the order they were added, over all calls.
    void Add(const BuoySeries& more);

    // Every value's flags in the caller's order, as RunConfig over all the values gives them.
    const std::vector<StreamFlags>& Flags() const { return m_results; }

    // Per stream (as in Flags()), the caller's indices whose flags the last Add computed
    // again, ascending: the values it added are the last of them. No other flag changed.
    const std::vector<std::vector<std::size_t>>& Recomputed() const { return m_recomputed; }

private:
    // One configured call of a test on a stream, in the configuration's order.
    struct Call {
        std::size_t context = 0;
        const TestCall* call = nullptr;
        std::size_t test = 0;  // index into the stream's tests
        // The flat-line test's median step and value count when it last ran; a change of
        // either recomputes it whole.
        std::int64_t medianStep = 0;
        std::size_t count = 0;
    };
    struct Stream {
        std::string name;
        bool position = false;
        // Sorted by time, then value, then the order added (as RunConfig sorts).
        std::vector<std::int64_t> times;
        std::vector<double> values;  // fill values as NaN
        std::vector<double> latitudes;
        std::vector<double> longitudes;
        std::vector<std::size_t> order;  // sorted index -> caller's index
        std::vector<Call> calls;
    };

    void AddToStream(std::size_t index, const BuoySeries& more);
    bool Covers(const Context& context, std::int64_t time) const;
    void RunCall(Stream& stream, std::size_t index, Call& call,
                 const std::vector<std::size_t>& fresh, std::vector<std::size_t>& touched);

    const Config& m_config;
    bool m_regions = false;
    BuoySeries m_all;  // with regions: every value added, in the caller's order
    std::vector<Stream> m_streams;
    std::vector<StreamFlags> m_results;
    std::vector<std::vector<std::size_t>> m_recomputed;
};

}  // namespace saltmark::qc
