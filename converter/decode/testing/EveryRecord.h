#pragma once
// Test side: one message holding a record of every type, composed field by field from the
// layouts as the logger writes them (stated here independently of the decoder), with the
// value each field holds, so that any rendering of the decoded records can be checked
// against them bit for bit.

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "testing/MessageComposer.h"

namespace saltmark::testing {

enum class Stored { F32, I32, U16, Text };

// One field as the composer wrote it: float32 values as their bits, integers as themselves.
struct ComposedField {
    std::string name;
    Stored stored;
    bool array;
    std::vector<std::uint32_t> bits;     // F32
    std::vector<std::int64_t> integers;  // I32, U16; Text as its characters
};

struct ComposedRecord {
    std::string type;
    std::uint8_t port;
    std::vector<ComposedField> fields;  // every field of the data, in storage order
};

// Float32 bit patterns that a careless rendering would lose: signed zeros, subnormals, the
// extremes, values whose shortest text is long, and (when allowed) NaNs and infinities.
class ValueSource {
public:
    explicit ValueSource(bool nonFinite) : m_bNonFinite(nonFinite) {}

    std::uint32_t Next()
    {
        static constexpr std::uint32_t kAwkward[] = {
            0x00000000, 0x80000000, 0x00000001, 0x807FFFFF, 0x7F7FFFFF, 0xFF7FFFFF,
            0x3DCCCCCD, 0x3F800001, 0x4CBEBC20, 0x33D6BF95, 0x5F7FFFFF, 0x42F6E979,
        };
        static constexpr std::uint32_t kNonFinite[] = {0x7FC00000, 0xFFC00000, 0x7F800000,
                                                       0xFF800000};
        ++m_nCount;
        if (m_bNonFinite && m_nCount % 7 == 0) {
            return kNonFinite[(m_nCount / 7) % 4];
        }
        if (m_nCount % 3 == 0) {
            return kAwkward[(m_nCount / 3) % std::size(kAwkward)];
        }
        // Otherwise any finite float32: a simple generator over the bits.
        m_nState = m_nState * 1664525u + 1013904223u;
        std::uint32_t bits = m_nState;
        if ((bits & 0x7F800000u) == 0x7F800000u) {
            bits &= 0xBFFFFFFFu;
        }
        return bits;
    }

private:
    bool m_bNonFinite;
    std::uint32_t m_nCount = 0;
    std::uint32_t m_nState = 12345;
};

class EveryRecordMessage {
public:
    // One record a paragraph, its fields in storage order.
    // clang-format off
    explicit EveryRecordMessage(bool nonFinite) : m_values(nonFinite)
    {
        Fixed(0, "AquaDoppHR", 68, {{"A", 16}});
        Fixed(1, "AquaDopp", 164, {{"Means", 40}});
        Fixed(2, "PB200", 76,
              {{"WDMean"}, {"WDSTD"}, {"WSMean"}, {"WSSTD"}, {"Lat"}, {"Lon"},
               {"Year", 0, Stored::I32}, {"Month", 0, Stored::I32}, {"Day", 0, Stored::I32},
               {"Seconds", 0, Stored::I32}, {"ATMean"}, {"ATSTD"}, {"BPMean"}, {"BPSTD"},
               {"COGMean"}, {"COGSTD"}});
        Fixed(3, "IMU", 1800,
              {{"Hs"}, {"Tp"}, {"Dp"}, {"E", 42}, {"f", 42}, {"A1", 42}, {"B1", 42}, {"A2", 42},
               {"B2", 42}, {"Lat"}, {"Lon"}, {"ihAz", 32, Stored::I32}, {"ibcAz", 32},
               {"ihAh", 32, Stored::I32}, {"fbcAh", 32}, {"ihVh", 32, Stored::I32},
               {"fbcVh", 32}});
        Fixed(4, "ACS", 16, {{"Conductivity mean"}, {"Temp mean"}, {"Salinity mean"}});
        Fixed(5, "ECO", 16, {{"Column 2 mean"}, {"Column 4 mean"}, {"Column 6 mean"}});
        Fixed(6, "Miscellaneous values", 8, {{"Battery voltage"}});
        Camera();
        Fixed(8, "V536", 52,
              {{"WDMean"}, {"WDSTD"}, {"WSMean"}, {"WSSTD"}, {"ATMean"}, {"ATSTD"}, {"RHMean"},
               {"RHSTD"}, {"BPMean"}, {"BPSTD"}, {"RainAcc"}, {"RainInt"}});
        Signature();
        Fixed(10, "Ellipse", 1200,
              {{"Hs"}, {"Tp"}, {"Dp"}, {"E", 42}, {"F", 42}, {"A1", 42}, {"B1", 42}, {"A2", 42},
               {"B2", 42}, {"CF", 42}, {"Lat"}, {"Lon"}});
        Fixed(11, "Y81000", 964,
              {{"Ustar"}, {"Epsilon"}, {"MeanU"}, {"MeanV"}, {"MeanW"}, {"MeanTemp"},
               {"Anisotropy"}, {"Quality"}, {"Freq", 116}, {"Tke", 116}});
        Fixed(12, "ACO", 8, {{"O2 Concentration mean"}});
        Fixed(13, "SWL", 8, {{"O2 FDOM mean"}});
    }
    // clang-format on

    const std::vector<std::uint8_t>& Bytes() const { return m_message; }
    const std::vector<ComposedRecord>& Records() const { return m_records; }
    // Where each record starts in the message.
    const std::vector<std::size_t>& Offsets() const { return m_offsets; }

private:
    struct Layout {
        std::string name;
        int count = 0;  // 0: a scalar
        Stored stored = Stored::F32;
    };

    std::uint8_t NextPort() { return static_cast<std::uint8_t>(m_records.size() * 17 + 3); }

    void Append(const std::vector<std::uint8_t>& record, ComposedRecord composed)
    {
        m_offsets.push_back(m_message.size());
        m_message.insert(m_message.end(), record.begin(), record.end());
        m_records.push_back(std::move(composed));
    }

    ComposedField Values(MessageComposer& record, const Layout& layout)
    {
        ComposedField field{layout.name, layout.stored, layout.count > 0, {}, {}};
        for (int i = 0; i < std::max(layout.count, 1); ++i) {
            const std::uint32_t bits = m_values.Next();
            if (layout.stored == Stored::F32) {
                record.U32(bits);
                field.bits.push_back(bits);
            } else {
                const auto value = static_cast<std::int32_t>(bits);
                record.I32(value);
                field.integers.push_back(value);
            }
        }
        return field;
    }

    void Fixed(std::uint8_t code, const char* type, std::size_t length,
               std::initializer_list<Layout> layouts)
    {
        // The V536's port byte is its SDI-12 address character.
        const std::uint8_t port = code == 8 ? std::uint8_t{'7'} : NextPort();
        MessageComposer record;
        record.Header(code, port, static_cast<std::uint16_t>(length - 4 + code));
        ComposedRecord composed{type, port, {}};
        if (code == 8) {
            composed.fields.push_back({"Address", Stored::Text, false, {}, {'7'}});
        }
        for (const Layout& layout : layouts) {
            composed.fields.push_back(Values(record, layout));
        }
        // PB200 bytes 68 to 75 are named by nothing; they must not show up anywhere.
        while (record.Bytes().size() < length) {
            record.U8(0xEE);
        }
        Append(record.Bytes(), std::move(composed));
    }

    void Signature()
    {
        MessageComposer record;
        const std::uint8_t port = NextPort();
        record.Header(9, port, 4 + 4 * 3 + 8 * 2);
        ComposedRecord composed{"Signature", port, {}};
        composed.fields.push_back({"Burst cells", Stored::U16, false, {}, {3}});
        record.U16(3);
        composed.fields.push_back(Values(record, {"A", 3}));
        composed.fields.push_back({"Avg cells", Stored::U16, false, {}, {2}});
        record.U16(2);
        composed.fields.push_back(Values(record, {"EastMeans", 2}));
        composed.fields.push_back(Values(record, {"NorthMeans", 2}));
        Append(record.Bytes(), std::move(composed));
    }

    void Camera()
    {
        const std::uint8_t port = NextPort();
        const std::vector<std::uint8_t> image = {0xFF, 0xD8, 0xFF, 0xE0, 0x00};
        const std::int64_t imageOffset = static_cast<std::int64_t>(m_message.size()) + 4;
        Append(MessageComposer().Header(7, port, 5).Raw(image).Bytes(),
               {"Camera",
                port,
                {{"Image size", Stored::U16, false, {}, {5}},
                 {"Image offset", Stored::I32, false, {}, {imageOffset}}}});
    }

    ValueSource m_values;
    std::vector<std::uint8_t> m_message{55};
    std::vector<ComposedRecord> m_records;
    std::vector<std::size_t> m_offsets;
};

}  // namespace saltmark::testing
