// Wave and motion sensors: the IMU and the Ellipse. Both carry Hs, Tp, Dp and a 42-band
// spectrum with its directional moments; the IMU adds three histograms, the Ellipse a CF band
// array. Their blocks differ visibly (size line, array headers, indentation) and readers of
// old reports know them that way.

#include <cstddef>
#include <span>

#include "ByteOrder.h"
#include "RecordFormatters.h"
#include "ReportFormat.h"

namespace saltmark {

namespace {

constexpr int kBands = 42;
constexpr int kHistogramBins = 32;
constexpr std::size_t kBandArrayBytes = 4 * kBands;
constexpr std::size_t kHistogramBytes = 4 * kHistogramBins;

// Hs, Tp and Dp at 4, 8 and 12; the band arrays follow back to back from 16.
constexpr std::size_t kFirstBandArray = 16;

void AppendBulkParameters(ReportText& out, const std::uint8_t* record)
{
    AppendFormat(out, "\tHs = %g\r\n", LoadF32(record + 4));
    AppendFormat(out, "\tTp = %g\r\n", LoadF32(record + 8));
    AppendFormat(out, "\tDp = %g\r\n", LoadF32(record + 12));
}

struct ArrayText {
    const char* header;
    const char* element;
};

// The 42-band arrays, back to back from offset 16, then the buoy position that follows them.
void AppendBandsAndPosition(ReportText& out, const std::uint8_t* record,
                            std::span<const ArrayText> bandArrays)
{
    std::size_t offset = kFirstBandArray;
    for (const ArrayText& array : bandArrays) {
        AppendFloatArray(out, array.header, array.element, record + offset, kBands);
        offset += kBandArrayBytes;
    }
    AppendFormat(out, "\tLat = %g\r\n", LoadF32(record + offset));
    AppendFormat(out, "\tLon = %g\r\n", LoadF32(record + offset + 4));
}

}  // namespace

ReportText FormatImu(const std::uint8_t* record)
{
    static constexpr ArrayText kBandArrays[] = {
        {"\tE array values:\r\n", "\t\tE[%d] = %g\r\n"},
        {"\tF array values:\r\n", "\t\tf[%d] = %g\r\n"},
        {"\tA1 array values:\r\n", "\t\tA1[%d] = %g\r\n"},
        {"\tB1 array values:\r\n", "\t\tB1[%d] = %g\r\n"},
        {"\tA2 array values:\r\n", "\t\tA2[%d] = %g\r\n"},
        {"\tB2 array values:\r\n", "\t\tB2[%d] = %g\r\n"},
    };
    // Histograms alternate: counts (int32), then their bin centres (float32).
    static constexpr ArrayText kHistograms[] = {
        {"\tVertical acceleration histogram:\r\n", "\t\tihAz[%d] = %d\r\n"},
        {"\tBin centers of vertical acceleration histogram:\r\n", "\t\tibcAz[%d] = %g\r\n"},
        {"\tHorizontal acceleration histogram:\r\n", "\t\tihAh[%d] = %d\r\n"},
        {"\tBin centers of horizontal acceleration histogram:\r\n", "\t\tfbcAh[%d] = %g\r\n"},
        {"\tHorizontal velocity histogram:\r\n", "\t\tihVh[%d] = %d\r\n"},
        {"\tBin centers of horizontal velocity histogram:\r\n", "\t\tfbcVh[%d] = %g\r\n"},
    };
    // After the six band arrays (to 1024) and the position (to 1032).
    constexpr std::size_t kFirstHistogram = 1032;

    ReportText out;
    AppendFormat(out, "IMU on COM%d:\r\n", record[1]);
    AppendFormat(out, "\tSize = %d\r\n", LoadU16(record + 2));
    AppendBulkParameters(out, record);
    AppendBandsAndPosition(out, record, kBandArrays);
    std::size_t offset = kFirstHistogram;
    for (std::size_t i = 0; i < std::size(kHistograms); ++i) {
        const ArrayText& array = kHistograms[i];
        if (i % 2 == 0) {
            AppendInt32Array(out, array.header, array.element, record + offset, kHistogramBins);
        } else {
            AppendFloatArray(out, array.header, array.element, record + offset, kHistogramBins);
        }
        offset += kHistogramBytes;
    }
    AppendFormat(out, "\r\n");
    return out;
}

ReportText FormatEllipse(const std::uint8_t* record)
{
    static constexpr ArrayText kBandArrays[] = {
        {"\tEllipse E[i] values:\r\n", "\tE[%d] = %g\r\n"},
        {"\tEllipse F[i] values:\r\n", "\tF[%d] = %g\r\n"},
        {"\tEllipse A1[i] values:\r\n", "\tA1[%d] = %g\r\n"},
        {"\tEllipse B1[i] values:\r\n", "\tB1[%d] = %g\r\n"},
        {"\tEllipse A2[i] values:\r\n", "\tA2[%d] = %g\r\n"},
        {"\tEllipse B2[i] values:\r\n", "\tB2[%d] = %g\r\n"},
        {"\tEllipse CF[i] values:\r\n", "\tCF[%d] = %g\r\n"},
    };

    ReportText out;
    AppendFormat(out, "Ellipse on COM%d:\r\n", record[1]);
    AppendBulkParameters(out, record);
    AppendBandsAndPosition(out, record, kBandArrays);
    AppendFormat(out, "\r\n");
    return out;
}

}  // namespace saltmark
