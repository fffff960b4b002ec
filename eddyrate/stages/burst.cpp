#include "burst.h"

#include "fit.h"
#include "screening.h"
#include "spectra.h"

namespace eddyrate {
namespace {

// Segment lengths are signed 32-bit counts; a rate whose 256-second segment would not fit
// one is far beyond any anemometer and is answered as a rejected burst.
constexpr double kLongestSegment = 2147483647.0;

}  // namespace

void computeBurst(NumericArray& u, NumericArray& v, NumericArray& w, NumericArray& temp, double z,
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
    bandSpectrum(*segments.scaledU, length, fs, *buu);
    freeArray(segments.scaledU);
    bandSpectrum(*segments.scaledV, length, fs, *bvv);
    freeArray(segments.scaledV);
    bandSpectrum(*segments.scaledW, length, fs, *bww);
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

    writeEstimates({*segments.rawU, *segments.rawV, *bww, *freq, *suu, *svv, *sww, *tke}, z,
                   outputs);
}

}  // namespace eddyrate
