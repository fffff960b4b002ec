#include "message.h"

#include <bit>
#include <cmath>
#include <limits>

namespace {

void putU16(Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

// The logger's narrowing, round to nearest. C++ leaves the cast of a double beyond the float
// range undefined, so the IEEE-754 result is written out: infinity from the halfway point
// between the largest float and 2^128 on, the largest float below it. A NaN keeps its sign
// and the leading bits of its payload, quieted: processors differ here (32-bit ARM with
// software floating point answers every NaN with the same positive one), and the record
// must not depend on the host that wrote it.
float narrow(double value)
{
    if (std::isnan(value)) {
        const auto bits = std::bit_cast<std::uint64_t>(value);
        const auto sign = static_cast<std::uint32_t>(bits >> 63) << 31;
        const auto payload = static_cast<std::uint32_t>(bits >> 29) & 0x003FFFFFu;
        return std::bit_cast<float>(sign | 0x7FC00000u | payload);
    }
    constexpr double kLargest = std::numeric_limits<float>::max();
    constexpr double kOverflow = 0x1.ffffffp127;  // kLargest + half its last place
    if (std::isfinite(value) && std::fabs(value) > kLargest) {
        const double magnitude =
            std::fabs(value) >= kOverflow ? std::numeric_limits<double>::infinity() : kLargest;
        return static_cast<float>(std::copysign(magnitude, value));
    }
    return static_cast<float>(value);
}

// Byte by byte, so the record is the same on a host of either byte order.
void putFloat(Bytes& out, double value)
{
    const auto bits = std::bit_cast<std::uint32_t>(narrow(value));
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>((bits >> shift) & 0xFF));
    }
}

Bytes recordHeader(std::uint8_t type, std::uint8_t port, std::size_t size)
{
    Bytes out{type, port};
    putU16(out, static_cast<std::uint16_t>(size));
    return out;
}

}  // namespace

Bytes y81000Record(const EddyRateOutputs& outputs, std::uint8_t port)
{
    Bytes record = recordHeader(kY81000Type, port, kY81000Length - kRecordHeaderLength);
    record.reserve(kY81000Length);
    for (const ScalarOutput& scalar : kScalarOutputs) {
        putFloat(record, outputs.*scalar.field);
    }
    for (const BandOutput& band : kBandOutputs) {
        for (const double value : outputs.*band.field) {
            putFloat(record, value);
        }
    }
    return record;
}

std::optional<Bytes> cameraRecord(std::span<const std::uint8_t> image, std::uint8_t port)
{
    if (image.size() > kLargestCameraImage) {
        return std::nullopt;
    }
    Bytes record = recordHeader(kCameraType, port, image.size());
    record.insert(record.end(), image.begin(), image.end());
    return record;
}

Bytes composeMessage(std::span<const Bytes> records)
{
    Bytes message{kPacketType};
    for (const Bytes& record : records) {
        message.insert(message.end(), record.begin(), record.end());
    }
    return message;
}
