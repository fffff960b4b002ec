#pragma once
// Test-side message composer: appends little-endian fields the way the buoy's logger writes
// them, so tests state a message as its fields instead of hand-typed hex.

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace saltmark::testing {

class MessageComposer {
public:
    MessageComposer& U8(std::uint8_t value)
    {
        m_bytes.push_back(value);
        return *this;
    }
    MessageComposer& U16(std::uint16_t value)
    {
        return U8(static_cast<std::uint8_t>(value)).U8(static_cast<std::uint8_t>(value >> 8));
    }
    MessageComposer& U32(std::uint32_t value)
    {
        return U16(static_cast<std::uint16_t>(value)).U16(static_cast<std::uint16_t>(value >> 16));
    }
    MessageComposer& I32(std::int32_t value) { return U32(std::bit_cast<std::uint32_t>(value)); }
    MessageComposer& F32(float value) { return U32(std::bit_cast<std::uint32_t>(value)); }
    MessageComposer& F32s(std::span<const float> values)
    {
        for (float v : values) {
            F32(v);
        }
        return *this;
    }
    MessageComposer& Raw(std::span<const std::uint8_t> bytes)
    {
        for (std::uint8_t byte : bytes) {
            m_bytes.push_back(byte);
        }
        return *this;
    }
    MessageComposer& Raw(std::initializer_list<std::uint8_t> bytes)
    {
        return Raw(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
    }
    // The record header: type code, port, size.
    MessageComposer& Header(std::uint8_t type, std::uint8_t port, std::uint16_t size)
    {
        return U8(type).U8(port).U16(size);
    }

    const std::vector<std::uint8_t>& Bytes() const { return m_bytes; }

private:
    std::vector<std::uint8_t> m_bytes;
};

// A message: the packet type followed by the given records, back to back.
inline std::vector<std::uint8_t> Message(std::initializer_list<std::vector<std::uint8_t>> records,
                                         std::uint8_t packetType = 55)
{
    std::vector<std::uint8_t> message{packetType};
    for (const auto& record : records) {
        message.insert(message.end(), record.begin(), record.end());
    }
    return message;
}

}  // namespace saltmark::testing
