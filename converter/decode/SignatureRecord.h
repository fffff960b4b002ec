#pragma once
// The parsed view of one Signature record: a burst cell count N with its values, and an
// averaged cell count M with east and north means. The view borrows the message's bytes and
// never owns them; its arrays start at offsets 2 modulo 4, so it keeps byte pointers and reads
// each value byte-wise.

#include <cstdint>
#include <optional>
#include <span>

namespace saltmark {

class CSignatureRecord {
public:
    // `record` is the record's declared extent, header included (4 + size bytes, or more).
    // Gives nothing when the extent cannot hold the header, the counts or the arrays they
    // announce; nothing is read beyond the declared end.
    static std::optional<CSignatureRecord> Parse(std::span<const std::uint8_t> record);

    int BurstCount() const { return m_nBurstCount; }
    int AvgCount() const { return m_nAvgCount; }

    // The first byte of each array inside the message.
    const std::uint8_t* BurstValues() const { return m_pBurstValues; }
    const std::uint8_t* EastMeans() const { return m_pEastMeans; }
    const std::uint8_t* NorthMeans() const { return m_pNorthMeans; }

private:
    CSignatureRecord() = default;

    std::uint16_t m_nBurstCount = 0;
    std::uint16_t m_nAvgCount = 0;
    const std::uint8_t* m_pBurstValues = nullptr;
    const std::uint8_t* m_pEastMeans = nullptr;
    const std::uint8_t* m_pNorthMeans = nullptr;
};

}  // namespace saltmark
