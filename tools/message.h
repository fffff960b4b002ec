#pragma once
// The logger's side of an SBD message: packet type 55, then sensor records back to back,
// each opening with type, port and size; every multi-byte field little-endian.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "outputs.h"

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kPacketType = 55;
inline constexpr std::uint8_t kY81000Type = 11;
inline constexpr std::size_t kY81000Length = 964;
inline constexpr std::uint8_t kCameraType = 7;
inline constexpr std::size_t kRecordHeaderLength = 4;
inline constexpr std::size_t kLargestCameraImage = 65535;  // the size field is 16 bits

// The Y81000 record of one burst: each output narrowed to single precision, the eight
// scalars, then the 116 band frequencies and the 116 Tke values.
Bytes y81000Record(const EddyRateOutputs& outputs, std::uint8_t port);

// A camera record carrying the image file's bytes; nothing when they exceed the size field.
std::optional<Bytes> cameraRecord(std::span<const std::uint8_t> image, std::uint8_t port);

// Packet type 55 followed by the records in the given order.
Bytes composeMessage(std::span<const Bytes> records);
