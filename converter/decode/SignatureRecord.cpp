// The Signature record's parsed view: counts and array positions, checked against the
// record's declared size before anything is read.

#include "SignatureRecord.h"

#include <cstddef>

#include "ByteOrder.h"

namespace saltmark {

namespace {

// N at 4, N burst values from 6, M after them, then M east and M north means.
constexpr std::size_t kBurstCountOffset = 4;
constexpr std::size_t kBurstValuesOffset = 6;

}  // namespace

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

}  // namespace saltmark
