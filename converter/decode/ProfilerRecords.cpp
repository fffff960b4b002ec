// Current profilers: AquaDoppHR and AquaDopp (fixed arrays) and Signature (counted arrays).

#include <cassert>
#include <cstddef>

#include "ByteOrder.h"
#include "RecordFormatters.h"
#include "ReportFormat.h"
#include "SignatureRecord.h"

namespace saltmark {

namespace {

constexpr int kAquaDoppHRValues = 16;
constexpr int kAquaDoppMeans = 40;

// Signature layout: N at 4, N burst values from 6, M after them, then M east and M north means.
constexpr std::size_t kBurstCountOffset = 4;
constexpr std::size_t kBurstValuesOffset = 6;

// The AquaDopp instruments: a title with the port, then one float32 array from offset 4.
ReportText FormatFixedProfile(const std::uint8_t* record, std::string_view title,
                              std::string_view header, std::string_view element, int count)
{
    ReportText out;
    AppendFormat(out, title, record[1]);
    AppendFloatArray(out, header, element, record + 4, count);
    AppendFormat(out, "\r\n");
    return out;
}

}  // namespace

ReportText FormatAquaDoppHR(const std::uint8_t* record)
{
    return FormatFixedProfile(record, "AquaDoppHR on COM%d:\r\n", "\tAquaDoppHR array values:\r\n",
                              "\tA[%d] = %g\r\n", kAquaDoppHRValues);
}

ReportText FormatAquaDopp(const std::uint8_t* record)
{
    return FormatFixedProfile(record, "AquaDopp on COM%d:\r\n", "\tAquaDopp array values:\r\n",
                              "\tMeans[%d] = %g\r\n", kAquaDoppMeans);
}

std::optional<CSignatureRecord> CSignatureRecord::Parse(std::span<const std::uint8_t> record)
{
    // Sizes are computed in std::size_t from 16-bit counts, so none of them can wrap.
    if (record.size() < 4) {
        return std::nullopt;
    }
    const std::uint8_t* first = record.data();
    const std::size_t end = 4 + std::size_t{LoadU16(first + 2)};
    if (end > record.size() || end < kBurstValuesOffset) {
        return std::nullopt;
    }
    CSignatureRecord view;
    view.m_nPort = first[1];
    view.m_nSize = LoadU16(first + 2);
    view.m_nBurstCount = LoadU16(first + kBurstCountOffset);

    const std::size_t avgCountOffset = kBurstValuesOffset + 4 * std::size_t{view.m_nBurstCount};
    if (avgCountOffset + 2 > end) {
        return std::nullopt;
    }
    view.m_nAvgCount = LoadU16(first + avgCountOffset);

    const std::size_t eastOffset = avgCountOffset + 2;
    const std::size_t northOffset = eastOffset + 4 * std::size_t{view.m_nAvgCount};
    if (northOffset + 4 * std::size_t{view.m_nAvgCount} > end) {
        return std::nullopt;
    }
    view.m_pBurstValues = first + kBurstValuesOffset;
    view.m_pEastMeans = first + eastOffset;
    view.m_pNorthMeans = first + northOffset;
    return view;
}

float CSignatureRecord::BurstValue(int i) const
{
    assert(i >= 0 && i < m_nBurstCount);
    return LoadF32(m_pBurstValues + 4 * i);
}

float CSignatureRecord::EastMean(int i) const
{
    assert(i >= 0 && i < m_nAvgCount);
    return LoadF32(m_pEastMeans + 4 * i);
}

float CSignatureRecord::NorthMean(int i) const
{
    assert(i >= 0 && i < m_nAvgCount);
    return LoadF32(m_pNorthMeans + 4 * i);
}

ReportText FormatSignature(const CSignatureRecord& record)
{
    ReportText out;
    AppendFormat(out, "Signature on COM%d:\r\n", record.Port());
    AppendFormat(out, "\tBurst cells: %d\r\n\tAvg cells: %d\r\n", record.BurstCount(),
                 record.AvgCount());
    AppendFormat(out, "\tSignature A[i] values:\r\n");
    for (int i = 0; i < record.BurstCount(); ++i) {
        AppendFormat(out, "\tA[%d] = %g\r\n", i, record.BurstValue(i));
    }
    AppendFormat(out, "\tSignature East mean values:\r\n");
    for (int i = 0; i < record.AvgCount(); ++i) {
        AppendFormat(out, "\tEastMeans[%d] = %g\r\n", i, record.EastMean(i));
    }
    AppendFormat(out, "\tSignature North mean values:\r\n");
    for (int i = 0; i < record.AvgCount(); ++i) {
        AppendFormat(out, "\tNorthMeans[%d] = %g\r\n", i, record.NorthMean(i));
    }
    AppendFormat(out, "\r\n");
    return out;
}

}  // namespace saltmark
