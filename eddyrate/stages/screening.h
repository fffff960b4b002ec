#pragma once
// First stage: screening of zero samples, burst means, segment length and the gate, then the
// overlapping segments, despiked, detrended, windowed and rescaled for the spectra.

#include <cstdint>
#include <span>

#include "burst.h"
#include "numeric_array.h"
#include "statistics.h"

namespace eddyrate {

struct Screening {
    std::int32_t keptCount;  // samples left after the zero screening
    double removedCount;     // samples removed, as the gate counts them
};

// A zero in any series means the anemometer did not deliver that sample; negative zero is a
// zero too, while a not-a-number is not screened. The public header states the same rule
// (EDDYRATE_IS_DROPOUT) for callers counting what the screening keeps; the export checks
// they agree. It is the rule the screening applies to every row (rowHoldsZero).
constexpr bool isDropout(double u, double v, double w, double temp)
{
    const double* const row[] = {&u, &v, &w, &temp};
    return rowHoldsZero(row, 0);
}

// Removes every sample that holds a zero in any of the four series from all four, in place
// (the kept samples move to the front in order), then writes the four burst means.
// Throws std::bad_alloc.
Screening screenSamples(NumericArray& u, NumericArray& v, NumericArray& w, NumericArray& temp,
                        const BurstOutputs& outputs);

// Samples in 256 seconds, rounded half away from zero, then made even downwards.
double segmentLength(double fs);

// At least 512 kept samples, a rate above 1 Hz, and fewer removed samples than a tenth of
// the kept ones.
bool passesGate(std::int32_t keptCount, double fs, double removedCount);

// Segments of three-quarter overlap that fit the kept samples, by the double formula;
// negative when fewer than N samples were kept.
std::int32_t segmentCount(double segmentLength, std::int32_t keptCount);

// 0-based position among the kept samples of row `row` (from 0) of segment `segment`.
std::int32_t segmentPosition(std::int32_t row, std::int32_t segment, double hop);

// Replaces, in all three components, every row that deviates from its segment mean by more
// than five standard deviations in any component with the means of the clean rows.
// The three columns have the same length. Throws std::bad_alloc.
void despikeSegment(std::span<double> u, std::span<double> v, std::span<double> w);

// window becomes [N, 1] with sin((k * (1 / N)) * pi) in row k = 1 .. N.
void sineWindow(double segmentLength, NumericArray& window);

// The segments (N rows, column j = segment j) and their statistics that the later stages need.
struct ConditionedSegments {
    double segmentLength;       // N
    std::int32_t segmentCount;  // M, never negative
    // [1, M]: of each raw segment (despiked, not detrended) the mean of u and of v (columnMeans)
    // and the variance of u (columnVariances).
    ArrayOwner rawMeanU;
    ArrayOwner rawMeanV;
    ArrayOwner rawVarianceU;
    ArrayOwner scaledU;  // [N, M] detrended, windowed, variance restored
    ArrayOwner scaledV;
    ArrayOwner scaledW;
};

// Cuts the kept u, v, w into M segments of N samples and conditions them. M below 0 counts
// as no segments. Throws std::bad_alloc.
ConditionedSegments conditionSegments(const NumericArray& u, const NumericArray& v,
                                      const NumericArray& w, double segmentLength,
                                      std::int32_t segmentCount);

}  // namespace eddyrate
