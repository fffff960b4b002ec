// Deliveries and the times they carry: no SQLite here, so that a build without it still
// recognises framed files and mail attachments.

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "Archive.h"
#include "CivilTime.h"
#include "Records.h"

namespace saltmark::archive {

namespace {

constexpr std::size_t kImeiDigits = 15;

bool AllDigits(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::int64_t Now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string ArchiveName(std::string_view name)
{
    std::string out(name);
    std::replace(out.begin(), out.end(), ' ', '_');
    return out;
}

std::optional<AttachmentName> ParseAttachmentName(std::string_view fileName)
{
    constexpr std::string_view kExtension = ".sbd";
    if (fileName.size() <= kImeiDigits + 1 + kExtension.size() || fileName[kImeiDigits] != '_' ||
        !fileName.ends_with(kExtension)) {
        return std::nullopt;
    }
    const std::string_view imei = fileName.substr(0, kImeiDigits);
    const std::string_view momsn =
        fileName.substr(kImeiDigits + 1, fileName.size() - kImeiDigits - 1 - kExtension.size());
    // A MOMSN is a 16-bit counter; a few more digits are tolerated, never an overflow.
    if (!AllDigits(imei) || !AllDigits(momsn) || momsn.size() > 9) {
        return std::nullopt;
    }
    AttachmentName name{std::string(imei), 0};
    for (const char digit : momsn) {
        name.momsn = name.momsn * 10 + (digit - '0');
    }
    return name;
}

Delivery DeliveryFromDirectIp(const DirectIpMessage& message, std::vector<std::uint8_t> raw)
{
    Delivery delivery;
    delivery.source = Delivery::Source::DirectIp;
    delivery.fileName = message.header.imei + "_" + std::to_string(message.header.momsn) + ".sbd";
    delivery.payload = message.payload;
    delivery.header = message.header;
    delivery.location = message.location;
    delivery.raw = std::move(raw);
    delivery.receivedAt = Now();
    return delivery;
}

Delivery DeliveryFromFile(std::string fileName, std::vector<std::uint8_t> bytes,
                          std::optional<std::int64_t> fileTime)
{
    Delivery delivery;
    delivery.source = Delivery::Source::File;
    delivery.attachment = ParseAttachmentName(fileName);
    delivery.fileName = std::move(fileName);
    delivery.fileTime = fileTime;
    delivery.receivedAt = Now();
    DirectIpParse framed = ParseDirectIp(bytes);
    if (framed.message) {
        delivery.payload = std::move(framed.message->payload);
        delivery.header = std::move(framed.message->header);
        delivery.location = framed.message->location;
        delivery.raw = std::move(bytes);
    } else {
        delivery.payload = std::move(bytes);
    }
    return delivery;
}

std::optional<std::int64_t> RecordTime(std::int64_t year, std::int64_t month, std::int64_t day,
                                       std::int64_t seconds)
{
    // Years a logger's clock can show; a zeroed or fill-valued clock gives none of them.
    constexpr std::int64_t kFirstYear = 1970;
    constexpr std::int64_t kLastYear = 9999;
    constexpr std::int64_t kSecondsPerDay = 86400;
    if (year < kFirstYear || year > kLastYear || month < 1 || month > 12 || day < 1 ||
        seconds < 0 || seconds >= kSecondsPerDay) {
        return std::nullopt;
    }
    if (day > DaysInMonth(year, static_cast<int>(month))) {
        return std::nullopt;
    }
    return DaysFromCivil(year, static_cast<int>(month), static_cast<int>(day)) * kSecondsPerDay + seconds;
}

std::optional<std::int64_t> RecordTime(const DecodedRecord& record)
{
    const RecordField* year = record.Find("Year");
    const RecordField* month = record.Find("Month");
    const RecordField* day = record.Find("Day");
    const RecordField* seconds = record.Find("Seconds");
    if (year == nullptr || month == nullptr || day == nullptr || seconds == nullptr) {
        return std::nullopt;
    }
    return RecordTime(year->Integer(), month->Integer(), day->Integer(), seconds->Integer());
}

std::optional<std::int64_t> ParseUtcTime(const std::string& text)
{
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    char end = 0;
    long long seconds = 0;
    if (std::sscanf(text.c_str(), "%lld%c", &seconds, &end) == 1) {
        return seconds;
    }
    int used = 0;
    const int n = std::sscanf(text.c_str(), "%4d-%2u-%2uT%2d:%2d:%2d%n", &year, &month, &day,
                              &hour, &minute, &second, &used);
    if (n == 3 && text.size() == 10) {
        hour = minute = second = 0;
    } else if (n == 6) {
        // The archive's own times carry milliseconds ("...T12:00:00.250Z"): whole seconds.
        std::string_view rest = std::string_view(text).substr(static_cast<std::size_t>(used));
        if (rest.starts_with('.')) {
            rest.remove_prefix(1);
            const std::size_t digits = rest.find_first_not_of("0123456789");
            if (digits == 0 || digits == std::string_view::npos) {
                return std::nullopt;
            }
            rest.remove_prefix(digits);
        }
        if (rest != "Z") {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > static_cast<unsigned>(DaysInMonth(year, static_cast<int>(month))) ||
        hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    return DaysFromCivil(year, static_cast<int>(month), static_cast<int>(day)) * 86400 +
           hour * 3600 + minute * 60 + second;
}

}  // namespace saltmark::archive
