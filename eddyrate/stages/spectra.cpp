#include "spectra.h"

#include <algorithm>
#include <utility>

#include "fft.h"
#include "matrix_view.h"
#include "vector_kernels.h"

namespace eddyrate {
namespace {

// Fourier bins averaged into one band: enough to steady the estimate, few enough to keep
// more than a hundred bands at 10 Hz.
constexpr std::int32_t kBinsPerBand = 11;
// The double nearest 1/22: bands per sample of segment length (11 bins of N/2).
constexpr double kBandsPerSample = 0.045454545454545456;
// The library's band frequencies sit 1/256 Hz above the centre of their bins.
constexpr double kFrequencyOffset = 0.00390625;

}  // namespace

std::int32_t bandCount(double segmentLength)
{
    return static_cast<std::int32_t>(segmentLength * kBandsPerSample);
}

void bandSpectra(std::span<const NumericArray* const> scaled, double segmentLength, double fs,
                 std::span<NumericArray* const> bands)
{
    const std::int32_t nb = bandCount(segmentLength);
    std::int32_t length = 0;
    std::int32_t count = 0;
    for (std::size_t k = 0; k < scaled.size(); ++k) {
        resizeArray(*bands[k], nb, columns(*scaled[k]), kDoubleSize);
        length = rows(*scaled[k]);
        count += columns(*scaled[k]);
    }
    if (count == 0) {
        return;
    }
    const std::int32_t half = length / 2;

    // Only bins 1 .. N/2 - 1 ever enter a band: the mean bin, the Nyquist bin and the mirrored
    // half of each spectrum are never formed. All components go through one transform, which
    // builds its tables once and fills every vector lane.
    ArrayOwner binPowers = initArray(2);
    fftBinPowers(scaled, 1, half - 1, *binPowers);

    // Bin powers of one segment: row r - 1 holds bin r for r = 1 .. N/2 - 1 (the mean bin is
    // dropped), and the last row, N/2, is zero; the Nyquist bin never enters a band.
    ArrayOwner power = initArray(2);
    resizeArray(*power, half, 1, kDoubleSize);
    double* binPower = doubles(*power);
    // The band blocks of one segment's powers, seen as an [11, nb] matrix whose column means
    // are the bands.
    ArrayOwner blocks = wrapArray(binPower, kBinsPerBand * nb);
    blocks->sizes[0] = kBinsPerBand;
    blocks->sizes[1] = nb;
    ArrayOwner bandRow = initArray(2);

    const bool bandsEndBeforeNyquist = kBinsPerBand * nb <= half - 1;
    const double density = 1.0 / ((segmentLength * fs) * 0.5);
    const MatrixView<const double> segmentPowers = doubleMatrix(std::as_const(*binPowers));
    std::int32_t j = 0;
    for (std::size_t k = 0; k < scaled.size(); ++k) {
        const MatrixView<double> bandValues = doubleMatrix(*bands[k]);
        for (std::int32_t segment = 0; segment < columns(*scaled[k]); ++segment, ++j) {
            if (bandsEndBeforeNyquist) {
                // The bands read only bins the transform delivered: they are read in place.
                blocks->data = const_cast<double*>(segmentPowers.column(j).data());
            } else {
                for (std::int32_t r = 1; r < half; ++r) {
                    binPower[r - 1] = segmentPowers(r - 1, j);
                }
                binPower[half - 1] = 0.0;
            }
            columnMeans(*blocks, *bandRow);
            const double* bandMeans = doubles(*bandRow);
            for (std::int32_t b = 0; b < nb; ++b) {
                bandValues(b, segment) = bandMeans[b] * density;
            }
        }
    }
}

void bandFrequencies(double segmentLength, double fs, NumericArray& freq,
                     std::int32_t mostBands)
{
    const std::int32_t nb = std::min(bandCount(segmentLength), mostBands);
    resizeArray(freq, 1, nb, kDoubleSize);
    const double bandWidth = fs / (segmentLength * kBandsPerSample);
    const double halfWidth = bandWidth * 0.5;
    const double quarterWidth = halfWidth * 0.5;
    const double offset = quarterWidth + kFrequencyOffset;
    double* frequency = doubles(freq);
    for (std::int32_t k = 0; k < nb; ++k) {
        frequency[k] = static_cast<double>(k) * halfWidth + offset;
    }
}

void segmentAverage(const NumericArray& bands, NumericArray& mean)
{
    const std::int32_t nb = rows(bands);
    const std::int32_t count = columns(bands);
    // Transposed, each band is a column whose mean runs over the segments in order.
    ArrayOwner transposed = initArray(2);
    resizeArray(*transposed, count, nb, kDoubleSize);
    const MatrixView<const double> source = doubleMatrix(bands);
    const MatrixView<double> target = doubleMatrix(*transposed);
    for (std::int32_t j = 0; j < count; ++j) {
        for (std::int32_t b = 0; b < nb; ++b) {
            target(j, b) = source(b, j);
        }
    }
    columnMeans(*transposed, mean);
}

void tkeSpectrum(const NumericArray& suu, const NumericArray& svv, const NumericArray& sww,
                 NumericArray& tke)
{
    const std::int32_t nb = columns(suu);
    resizeArray(tke, 1, nb, kDoubleSize);
    const double* uu = doubles(suu);
    const double* vv = doubles(svv);
    const double* ww = doubles(sww);
    double* sum = doubles(tke);
    for (std::int32_t b = 0; b < nb; ++b) {
        sum[b] = (vv[b] + uu[b]) + ww[b];
    }
}

}  // namespace eddyrate
