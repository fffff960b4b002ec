#include "burst.h"

#include "fit.h"
#include "nonfinite.h"
#include "screening.h"
#include "spectra.h"

namespace eddyrate {
namespace {

// Segment lengths are signed 32-bit counts; a rate whose 256-second segment would not fit
// one is far beyond any anemometer and is answered as a rejected burst.
constexpr double kLongestSegment = 2147483647.0;

// The peak working memory of a burst with segments, as measured on bursts of 2 000 to 100 000
// samples at 1 to 390 Hz and rounded up: per sample, per element of a segments-by-length
// array at its grown capacity, and per sample of segment length; plus the small records.
constexpr std::size_t kBytesPerSample = 240;
constexpr std::size_t kBytesPerSegmentElement = 56;
constexpr std::size_t kBytesPerSegmentSample = 320;
constexpr std::size_t kSmallRecordBytes = 64u << 10;

}  // namespace

std::size_t screeningBytes(std::int32_t n)
{
    // The records and the flag of every sample.
    return kSmallRecordBytes + static_cast<std::size_t>(grownCapacity(0, n < 0 ? 0 : n));
}

std::size_t expectedWorkingBytes(std::int32_t n, double fs)
{
    const double length = segmentLength(fs);
    if (!(length >= 2.0 && length <= static_cast<double>(n))) {
        // No segment: no array of segment length or of the burst's length is ever made.
        return kSmallRecordBytes;
    }
    const std::int32_t count = segmentCount(length, n);
    const std::int64_t elements = static_cast<std::int64_t>(length) * count;
    if (elements > 2147483647) {
        return kSmallRecordBytes;  // the first large array fails in any case
    }
    return kSmallRecordBytes + kBytesPerSample * static_cast<std::size_t>(n) +
           kBytesPerSegmentElement * static_cast<std::size_t>(grownCapacity(0, elements)) +
           kBytesPerSegmentSample * static_cast<std::size_t>(length);
}

namespace {

// Which not-a-number an IEEE operation gives (its sign, its payload) is the processor's and
// the compiler's choice: x86 makes the sign bit set, ARM clear, and the two operands of an
// addition may be taken in either order. Every not-a-number written is the library's own, so
// that the outputs are the same bits on every machine and every vector unit.
void storeOneNaN(const BurstOutputs& outputs)
{
    const auto one = [](double* slot, std::size_t count) {
        for (std::size_t k = 0; k < count; ++k) {
            if (isNaN(slot[k])) {
                slot[k] = kNaN;
            }
        }
    };
    for (double* scalar : {outputs.Ustar, outputs.Epsilon, outputs.MeanU, outputs.MeanV,
                           outputs.MeanW, outputs.MeanTemp, outputs.Anisotropy, outputs.Quality}) {
        one(scalar, 1);
    }
    one(outputs.Freq, kReturnedBands);
    one(outputs.Tke, kReturnedBands);
}

void computeOutputs(NumericArray& u, NumericArray& v, NumericArray& w, NumericArray& temp, double z,
                    double fs, const BurstOutputs& outputs)
{
    const Screening screening = screenSamples(u, v, w, temp, outputs);
    const double length = segmentLength(fs);
    if (!passesGate(screening.keptCount, fs, screening.removedCount) ||
        !(length <= kLongestSegment)) {
        writeRejectedBurst(outputs);
        return;
    }

    const std::int32_t count = segmentCount(length, screening.keptCount);
    if (count <= 0) {
        // Shorter than one segment: no spectrum to estimate, so neither the window nor any
        // array of segment length is built, and the call costs no more than its samples.
        writeSegmentlessBurst(length, fs, outputs);
        return;
    }
    ConditionedSegments segments = conditionSegments(u, v, w, length, count);

    ArrayOwner buu = initArray(2);
    ArrayOwner bvv = initArray(2);
    ArrayOwner bww = initArray(2);
    const NumericArray* const scaled[] = {segments.scaledU.get(), segments.scaledV.get(),
                                          segments.scaledW.get()};
    NumericArray* const bands[] = {buu.get(), bvv.get(), bww.get()};
    bandSpectra(scaled, length, fs, bands);
    freeArray(segments.scaledU);
    freeArray(segments.scaledV);
    freeArray(segments.scaledW);

    ArrayOwner freq = initArray(2);
    ArrayOwner suu = initArray(2);
    ArrayOwner svv = initArray(2);
    ArrayOwner sww = initArray(2);
    ArrayOwner tke = initArray(2);
    bandFrequencies(length, fs, *freq);
    segmentAverage(*buu, *suu);
    segmentAverage(*bvv, *svv);
    segmentAverage(*bww, *sww);
    tkeSpectrum(*suu, *svv, *sww, *tke);

    writeEstimates({*segments.rawMeanU, *segments.rawMeanV, *segments.rawVarianceU, *bww, *freq,
                    *suu, *svv, *sww, *tke},
                   z, outputs);
}

}  // namespace

void computeBurst(NumericArray& u, NumericArray& v, NumericArray& w, NumericArray& temp, double z,
                  double fs, const BurstOutputs& outputs)
{
    computeOutputs(u, v, w, temp, z, fs, outputs);
    storeOneNaN(outputs);
}

}  // namespace eddyrate
