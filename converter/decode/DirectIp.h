#pragma once
// The Iridium DirectIP mobile-originated (MO) message: the envelope the gateway wraps around
// a buoy's SBD payload when it pushes the message over TCP, one connection per message.
//
// Wire form: protocol revision (1 byte, always 1), overall length (uint16, the bytes that
// follow), then information elements, each IEI (1 byte), length (uint16) and content.
// Every multi-byte field is big-endian. Elements this side does not know are skipped by
// their length. The payload is handed to the decoder untouched.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace saltmark {

inline constexpr std::uint8_t kDirectIpRevision = 1;
inline constexpr std::size_t kDirectIpPreambleBytes = 3;           // revision + overall length
inline constexpr std::size_t kDirectIpLargestPayload = 1960;       // the largest MO payload
// Header, payload and location elements with their own headers, and room for elements the
// gateway may add; a declared overall length beyond this is no MO message.
inline constexpr std::size_t kDirectIpLargestBody = 3 + 28 + 3 + kDirectIpLargestPayload + 3 + 11 + 512;

// MO header, IEI 0x01, 28 bytes.
struct DirectIpHeader {
    std::uint32_t cdrReference = 0;
    std::string imei;                  // 15 ASCII digits
    std::uint8_t sessionStatus = 0;    // 0, 1, 2 succeeded; 10, 12 to 15 failed
    std::uint16_t momsn = 0;
    std::uint16_t mtmsn = 0;
    std::uint32_t sessionTime = 0;     // seconds since 1970-01-01 UTC
};

// MO location, IEI 0x03, 11 bytes: the gateway's estimate of where the unit was.
struct DirectIpLocation {
    double latitude = 0;               // decimal degrees, south negative
    double longitude = 0;              // decimal degrees, west negative
    std::uint32_t cepKm = 0;           // radius of the circle the unit is likely in
};

struct DirectIpMessage {
    DirectIpHeader header;
    std::vector<std::uint8_t> payload;  // MO payload, IEI 0x02, 1 to 1960 bytes
    std::optional<DirectIpLocation> location;
};

// Why bytes are not a DirectIP MO message; empty when they are.
struct DirectIpParse {
    std::optional<DirectIpMessage> message;
    std::string error;
};

// The overall length the preamble declares, once three bytes are in; nothing with `error`
// set when the revision is wrong or the length is beyond any MO message. A reader uses it
// to know how many bytes to wait for.
std::optional<std::size_t> DirectIpBodyLength(std::span<const std::uint8_t> preamble,
                                              std::string& error);

// Parses a whole message: exactly the preamble and the body it declares, no more, no less.
DirectIpParse ParseDirectIp(std::span<const std::uint8_t> bytes);

// A message in wire form, for test senders and tools. The payload must hold 1 to 1960 bytes.
std::vector<std::uint8_t> ComposeDirectIp(const DirectIpMessage& message);

// The MO confirmation the gateway reads back: IEI 0x05 with status 1 (stored) or 0 (not).
std::vector<std::uint8_t> DirectIpConfirmation(bool stored);

// "2025-12-07T09:33:20Z"
std::string IsoUtc(std::int64_t secondsSince1970);

}  // namespace saltmark
