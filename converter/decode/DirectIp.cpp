#include "DirectIp.h"

#include <cmath>
#include <cstdio>

#include "CivilTime.h"

namespace saltmark {
namespace {

constexpr std::uint8_t kHeaderIei = 0x01;
constexpr std::uint8_t kPayloadIei = 0x02;
constexpr std::uint8_t kLocationIei = 0x03;
constexpr std::uint8_t kConfirmationIei = 0x05;
constexpr std::size_t kHeaderBytes = 28;
constexpr std::size_t kLocationBytes = 11;
constexpr std::size_t kImeiDigits = 15;

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
void PutBe16(std::vector<std::uint8_t>& out, std::size_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
void PutBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    PutBe16(out, v >> 16);
    PutBe16(out, v & 0xFFFF);
}

std::optional<DirectIpHeader> ParseHeader(const std::uint8_t* p, std::string& error) {
    DirectIpHeader header;
    header.cdrReference = Be32(p);
    header.imei.assign(reinterpret_cast<const char*>(p + 4), kImeiDigits);
    for (char c : header.imei) {
        if (c < '0' || c > '9') {
            error = "IMEI is not 15 digits";
            return std::nullopt;
        }
    }
    header.sessionStatus = p[19];
    header.momsn = Be16(p + 20);
    header.mtmsn = Be16(p + 22);
    header.sessionTime = Be32(p + 24);
    return header;
}

std::optional<DirectIpLocation> ParseLocation(const std::uint8_t* p, std::string& error) {
    const unsigned latDegrees = p[1], lonDegrees = p[4];
    const unsigned latThousandths = Be16(p + 2), lonThousandths = Be16(p + 5);
    if (latDegrees > 90 || lonDegrees > 180 || latThousandths >= 60000 || lonThousandths >= 60000) {
        error = "location out of range";
        return std::nullopt;
    }
    DirectIpLocation location;
    location.latitude = latDegrees + latThousandths / 60000.0;
    location.longitude = lonDegrees + lonThousandths / 60000.0;
    if (p[0] & 0x02) location.latitude = -location.latitude;
    if (p[0] & 0x01) location.longitude = -location.longitude;
    location.cepKm = Be32(p + 7);
    return location;
}

// Degrees and thousandths of a minute of |value|, the minutes rounded and carried.
std::pair<unsigned, unsigned> DegreesAndThousandths(double value) {
    double magnitude = std::fabs(value);
    auto degrees = static_cast<unsigned>(magnitude);
    auto thousandths = static_cast<unsigned>(std::lround((magnitude - degrees) * 60000.0));
    if (thousandths >= 60000) {
        ++degrees;
        thousandths -= 60000;
    }
    return {degrees, thousandths};
}

}  // namespace

std::optional<std::size_t> DirectIpBodyLength(std::span<const std::uint8_t> preamble,
                                              std::string& error) {
    if (preamble.size() < kDirectIpPreambleBytes) {
        error = "shorter than the protocol's preamble";
        return std::nullopt;
    }
    if (preamble[0] != kDirectIpRevision) {
        error = "protocol revision " + std::to_string(preamble[0]) + ", not 1";
        return std::nullopt;
    }
    const std::size_t length = Be16(preamble.data() + 1);
    if (length > kDirectIpLargestBody) {
        error = "declared length " + std::to_string(length) + " exceeds the protocol's maximum";
        return std::nullopt;
    }
    return length;
}

DirectIpParse ParseDirectIp(std::span<const std::uint8_t> bytes) {
    DirectIpParse result;
    const auto body = DirectIpBodyLength(bytes, result.error);
    if (!body) return result;
    if (bytes.size() != kDirectIpPreambleBytes + *body) {
        result.error = bytes.size() < kDirectIpPreambleBytes + *body
                           ? "message shorter than its declared length"
                           : "bytes beyond the declared length";
        return result;
    }
    DirectIpMessage message;
    bool haveHeader = false, havePayload = false;
    std::size_t at = kDirectIpPreambleBytes;
    while (at < bytes.size()) {
        if (bytes.size() - at < 3) {
            result.error = "information element header cut off";
            return result;
        }
        const std::uint8_t iei = bytes[at];
        const std::size_t length = Be16(bytes.data() + at + 1);
        at += 3;
        if (length > bytes.size() - at) {
            result.error = "information element runs past the end";
            return result;
        }
        const std::uint8_t* content = bytes.data() + at;
        if (iei == kHeaderIei) {
            if (length != kHeaderBytes || haveHeader) {
                result.error = haveHeader ? "second MO header" : "MO header of wrong length";
                return result;
            }
            auto header = ParseHeader(content, result.error);
            if (!header) return result;
            message.header = std::move(*header);
            haveHeader = true;
        } else if (iei == kPayloadIei) {
            if (length == 0 || length > kDirectIpLargestPayload || havePayload) {
                result.error = havePayload ? "second MO payload" : "MO payload of wrong length";
                return result;
            }
            message.payload.assign(content, content + length);
            havePayload = true;
        } else if (iei == kLocationIei) {
            if (length != kLocationBytes || message.location) {
                result.error = message.location ? "second MO location" : "MO location of wrong length";
                return result;
            }
            auto location = ParseLocation(content, result.error);
            if (!location) return result;
            message.location = *location;
        }
        at += length;
    }
    if (!haveHeader) {
        result.error = "no MO header";
    } else if (!havePayload) {
        result.error = "no MO payload";
    } else {
        result.message = std::move(message);
    }
    return result;
}

std::vector<std::uint8_t> ComposeDirectIp(const DirectIpMessage& message) {
    std::vector<std::uint8_t> out{kDirectIpRevision, 0, 0};
    out.push_back(kHeaderIei);
    PutBe16(out, kHeaderBytes);
    PutBe32(out, message.header.cdrReference);
    std::string imei = message.header.imei;
    imei.resize(kImeiDigits, '0');
    out.insert(out.end(), imei.begin(), imei.end());
    out.push_back(message.header.sessionStatus);
    PutBe16(out, message.header.momsn);
    PutBe16(out, message.header.mtmsn);
    PutBe32(out, message.header.sessionTime);
    out.push_back(kPayloadIei);
    PutBe16(out, message.payload.size());
    out.insert(out.end(), message.payload.begin(), message.payload.end());
    if (message.location) {
        const auto& location = *message.location;
        const auto [latDegrees, latThousandths] = DegreesAndThousandths(location.latitude);
        const auto [lonDegrees, lonThousandths] = DegreesAndThousandths(location.longitude);
        out.push_back(kLocationIei);
        PutBe16(out, kLocationBytes);
        out.push_back(static_cast<std::uint8_t>((location.latitude < 0 ? 0x02 : 0) |
                                                (location.longitude < 0 ? 0x01 : 0)));
        out.push_back(static_cast<std::uint8_t>(latDegrees));
        PutBe16(out, latThousandths);
        out.push_back(static_cast<std::uint8_t>(lonDegrees));
        PutBe16(out, lonThousandths);
        PutBe32(out, location.cepKm);
    }
    const std::size_t body = out.size() - kDirectIpPreambleBytes;
    out[1] = static_cast<std::uint8_t>(body >> 8);
    out[2] = static_cast<std::uint8_t>(body);
    return out;
}

std::vector<std::uint8_t> DirectIpConfirmation(bool stored) {
    return {kDirectIpRevision, 0, 4, kConfirmationIei, 0, 1, static_cast<std::uint8_t>(stored ? 1 : 0)};
}

std::string IsoUtc(std::int64_t secondsSince1970) {
    std::int64_t days = secondsSince1970 / 86400, seconds = secondsSince1970 % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    const CivilDate date = CivilFromDays(days);
    const std::int64_t year = date.year, month = date.month, day = date.day;
    char text[96];  // room for any year the arithmetic can give, so no truncation
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
}

}  // namespace saltmark
