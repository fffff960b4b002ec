#include "directip.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "DirectIp.h"
#include "burst_files.h"

using namespace orcan::bursts;

namespace {

std::vector<std::string_view> splitFields(std::string_view text)
{
    std::vector<std::string_view> fields;
    for (std::size_t at = 0;;) {
        const std::size_t comma = text.find(',', at);
        fields.push_back(text.substr(at, comma - at));
        if (comma == std::string_view::npos) {
            return fields;
        }
        at = comma + 1;
    }
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value)
{
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && status == std::errc() && end == text.data() + text.size();
}

// Seconds since 1970 from digits or "YYYY-MM-DDTHH:MM:SSZ"; the session time is 32 bits.
std::optional<std::uint32_t> parseTime(std::string_view text)
{
    std::uint32_t seconds = 0;
    if (parseNumber(text, seconds)) {
        return seconds;
    }
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z' ||
        !parseNumber(text.substr(0, 4), year) || !parseNumber(text.substr(5, 2), month) ||
        !parseNumber(text.substr(8, 2), day) || !parseNumber(text.substr(11, 2), hour) ||
        !parseNumber(text.substr(14, 2), minute) || !parseNumber(text.substr(17, 2), second) ||
        year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 59) {
        return std::nullopt;
    }
    const std::int64_t total =
        daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    if (total > 0xFFFFFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(total);
}

}  // namespace

std::optional<Bytes> directIpMessage(std::string_view envelope, const Bytes& payload,
                                     std::string& error)
{
    const std::vector<std::string_view> fields = splitFields(envelope);
    if (fields.size() != 3 && fields.size() != 6) {
        error = "--directip takes IMEI,MOMSN,TIME or IMEI,MOMSN,TIME,LAT,LON,CEP";
        return std::nullopt;
    }
    saltmark::DirectIpMessage message;
    message.header.imei = std::string(fields[0]);
    if (message.header.imei.size() != 15 ||
        message.header.imei.find_first_not_of("0123456789") != std::string::npos) {
        error = "an IMEI is 15 digits, not '" + message.header.imei + "'";
        return std::nullopt;
    }
    if (!parseNumber(fields[1], message.header.momsn)) {
        error = "a MOMSN is 0 to 65535, not '" + std::string(fields[1]) + "'";
        return std::nullopt;
    }
    const std::optional<std::uint32_t> time = parseTime(fields[2]);
    if (!time) {
        error = "a session time is seconds since 1970 or 2025-12-07T09:33:20Z, not '" +
                std::string(fields[2]) + "'";
        return std::nullopt;
    }
    message.header.sessionTime = *time;
    if (fields.size() == 6) {
        saltmark::DirectIpLocation location;
        const auto decimal = [](std::string_view text, double& value) {
            // from_chars for doubles is missing from older standard libraries.
            const std::string copy(text);
            char* end = nullptr;
            value = std::strtod(copy.c_str(), &end);
            return !copy.empty() && end == copy.c_str() + copy.size() && std::isfinite(value);
        };
        if (!decimal(fields[3], location.latitude) || std::fabs(location.latitude) > 90 ||
            !decimal(fields[4], location.longitude) || std::fabs(location.longitude) > 180 ||
            !parseNumber(fields[5], location.cepKm)) {
            error = "a position is LAT (-90 to 90), LON (-180 to 180), CEP (whole km)";
            return std::nullopt;
        }
        message.location = location;
    }
    if (payload.empty() || payload.size() > saltmark::kDirectIpLargestPayload) {
        error =
            "DirectIP carries 1 to 1960 bytes; the message has " + std::to_string(payload.size());
        return std::nullopt;
    }
    message.payload = payload;
    return saltmark::ComposeDirectIp(message);
}
