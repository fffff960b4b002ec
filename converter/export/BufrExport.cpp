#include "BufrExport.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string_view>
#include <utility>

#include "Archive.h"
#include "BufrReport.h"
#include "whole_file.h"

namespace saltmark::bufr {
namespace {

constexpr double kZeroCelsius = 273.15;
constexpr double kPascalsPerHectopascal = 100;

enum Stream {
    kPb200Direction, kPb200Speed, kPb200Temperature, kPb200Pressure, kPb200Lat, kPb200Lon,
    kV536Direction, kV536Speed, kV536Temperature, kV536Pressure,
    kWaterTemperature, kBattery, kStreamCount
};
constexpr std::array<const char*, kStreamCount> kStreamNames = {
    "PB200.WDMean", "PB200.WSMean", "PB200.ATMean", "PB200.BPMean", "PB200.Lat", "PB200.Lon",
    "V536.WDMean",  "V536.WSMean",  "V536.ATMean",  "V536.BPMean",
    "ACS.Temp mean", "Miscellaneous values.Battery voltage"};

using Key = std::pair<std::int64_t, std::int32_t>;  // message, record
using Flags = std::map<Key, std::uint8_t>;

// QARTOD's FAIL and MISSING: the value is not to be believed, or is not there.
bool Rejected(const Flags& flags, Key key)
{
    const auto found = flags.find(key);
    return found != flags.end() && (found->second == 4 || found->second == 9);
}

std::optional<LocationQuality> QualityOf(const Flags& flags, Key key)
{
    const auto found = flags.find(key);
    if (found == flags.end()) {
        return std::nullopt;
    }
    return found->second == 1   ? std::optional(LocationQuality::Reliable)
           : found->second == 3 ? std::optional(LocationQuality::Dubious)
                                : std::nullopt;
}

// The first record of a type in a message stands for the message.
struct Reading {
    Key key;
    std::int64_t time = 0;
    double value = 0;
};

struct BuoyValues {
    std::array<std::map<std::int64_t, Reading>, kStreamCount> streams;
    std::array<Flags, kStreamCount> flags;
    Flags position, iridiumPosition;

    const Reading* Find(Stream stream, std::int64_t message) const
    {
        const auto found = streams[stream].find(message);
        return found == streams[stream].end() ? nullptr : &found->second;
    }
    // The value when it is a reading its flags let through.
    std::optional<double> Value(Stream stream, std::int64_t message) const
    {
        const Reading* reading = Find(stream, message);
        if (!reading || !std::isfinite(reading->value) || Rejected(flags[stream], reading->key)) {
            return std::nullopt;
        }
        return reading->value;
    }
};

std::optional<Flags> ReadFlags(const archive::Reader& reader, const std::string& buoy,
                               const std::string& stream, std::string& reason)
{
    const auto rows = reader.Flags(buoy, stream, "aggregate", reason);
    if (!rows) {
        return std::nullopt;
    }
    Flags flags;
    for (std::size_t i = 0; i < rows->keys.size(); ++i) {
        flags.emplace(Key{rows->keys[i].messageId, rows->keys[i].record}, rows->flags[i]);
    }
    return flags;
}

std::optional<BuoyValues> ReadValues(const archive::Reader& reader, const std::string& buoy,
                                     std::string& reason)
{
    const std::vector<std::string> names(kStreamNames.begin(), kStreamNames.end());
    const auto rows = reader.ReadBuoy(buoy, names, reason);
    if (!rows) {
        return std::nullopt;
    }
    BuoyValues values;
    for (std::size_t s = 0; s < kStreamCount; ++s) {
        const archive::StreamRows& stream = rows->streams[s];
        for (std::size_t i = 0; i < stream.keys.size(); ++i) {
            const Key key{stream.keys[i].messageId, stream.keys[i].record};
            values.streams[s].emplace(key.first, Reading{key, stream.times[i], stream.values[i]});
        }
        auto flags = ReadFlags(reader, buoy, names[s], reason);
        if (!flags) {
            return std::nullopt;
        }
        values.flags[s] = std::move(*flags);
    }
    auto position = ReadFlags(reader, buoy, "position", reason);
    auto iridium = position ? ReadFlags(reader, buoy, "iridium_position", reason) : std::nullopt;
    if (!iridium) {
        return std::nullopt;
    }
    values.position = std::move(*position);
    values.iridiumPosition = std::move(*iridium);
    return values;
}

std::optional<double> HeightOf(const deployment::Buoy& buoy, std::string_view record)
{
    for (const deployment::Instrument& instrument : buoy.instruments) {
        if (instrument.record == record) {
            return instrument.height;
        }
    }
    return std::nullopt;
}

// Code table 0 33 027 from the gateway's radius in whole kilometres: it can tell only the
// two widest classes apart.
std::optional<int> LocationClassOf(std::optional<std::int64_t> cepKm)
{
    if (!cepKm || *cepKm <= 0) {
        return std::nullopt;
    }
    return *cepKm >= 2 ? 0 : 1;
}

// One message's report; nothing when it has neither a position nor a value to give.
std::optional<Observation> Observe(const deployment::Buoy& buoy, const BuoyValues& values,
                                   const archive::MessageEnvelope& message)
{
    const std::int64_t id = message.id;
    Observation observation;
    observation.wmoPlatformCode = std::stoll(buoy.wmoPlatformCode);
    observation.name = buoy.name;
    observation.transmitterId = buoy.imei;

    const bool pb200 = std::any_of(values.streams.begin(), values.streams.begin() + kPb200Lon + 1,
                                   [&](const auto& stream) { return stream.count(id) != 0; });
    const Stream direction = pb200 ? kPb200Direction : kV536Direction;
    const Stream speed = pb200 ? kPb200Speed : kV536Speed;
    const Stream temperature = pb200 ? kPb200Temperature : kV536Temperature;
    const Stream pressure = pb200 ? kPb200Pressure : kV536Pressure;
    const std::string_view station = pb200 ? "PB200" : "V536";

    // The station's own time when it has one (the archive's values take the record's date
    // when it is valid), else the message's.
    if (const Reading* reading = values.Find(pb200 ? kPb200Speed : kV536Speed, id)) {
        observation.time = reading->time;
    } else if (const auto time = message.time ? archive::ParseUtcTime(*message.time) : std::nullopt) {
        observation.time = *time;
    } else {
        return std::nullopt;
    }

    const Reading* lat = values.Find(kPb200Lat, id);
    const Reading* lon = values.Find(kPb200Lon, id);
    if (lat && lon && std::abs(lat->value) <= 90 && std::abs(lon->value) <= 180 &&
        !Rejected(values.position, lat->key)) {
        observation.latitude = lat->value;
        observation.longitude = lon->value;
        observation.locationSystem = LocationSystem::Gps;
        observation.locationQuality = QualityOf(values.position, lat->key);
    } else if (message.iridiumLatitude && message.iridiumLongitude &&
               !Rejected(values.iridiumPosition, {id, -1})) {
        observation.latitude = *message.iridiumLatitude;
        observation.longitude = *message.iridiumLongitude;
        observation.locationSystem = LocationSystem::Iridium;
        observation.locationQuality = QualityOf(values.iridiumPosition, {id, -1});
        observation.locationClass = LocationClassOf(message.iridiumCepKm);
    }

    observation.windDirection = values.Value(direction, id);
    observation.windSpeed = values.Value(speed, id);
    if (const auto celsius = values.Value(temperature, id)) {
        observation.airTemperature = *celsius + kZeroCelsius;
    }
    if (const auto hectopascals = values.Value(pressure, id)) {
        observation.pressure = *hectopascals * kPascalsPerHectopascal;
    }
    if (const auto celsius = values.Value(kWaterTemperature, id)) {
        observation.seaSurfaceTemperature = *celsius + kZeroCelsius;
    }
    observation.batteryVolts = values.Value(kBattery, id);
    if (!observation.latitude && !observation.windDirection && !observation.windSpeed &&
        !observation.airTemperature && !observation.pressure &&
        !observation.seaSurfaceTemperature && !observation.batteryVolts) {
        return std::nullopt;
    }
    if (observation.airTemperature) {
        observation.airTemperatureHeight = HeightOf(buoy, station);
    }
    if (observation.windDirection || observation.windSpeed) {
        observation.windHeight = HeightOf(buoy, station);
    }
    return observation;
}

std::string FileName(const Observation& observation, std::int64_t messageId)
{
    using namespace std::chrono;
    const sys_seconds time{seconds(observation.time)};
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss clock{time - day};
    char name[80];
    std::snprintf(name, sizeof name, "%lld_%04d%02u%02uT%02d%02dZ_%lld.bufr",
                  static_cast<long long>(observation.wmoPlatformCode),
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()), static_cast<long long>(messageId));
    return name;
}

bool SameContent(const std::filesystem::path& path, std::string_view bytes)
{
    std::error_code error;
    if (std::filesystem::file_size(path, error) != bytes.size() || error) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    return std::equal(bytes.begin(), bytes.end(), std::istreambuf_iterator<char>(in));
}

bool WriteBuoy(const archive::Reader& reader, const deployment::Buoy& buoy,
               const std::filesystem::path& dir, const archive::TimeRange& range,
               BufrCounts& counts, std::string& reason)
{
    const auto values = ReadValues(reader, buoy.imei, reason);
    if (!values) {
        return false;
    }
    archive::MessageQuery query{buoy.imei, range};
    query.limit = archive::Reader::kLargestPage;
    for (;;) {
        const auto page = reader.Messages(query, reason);
        if (!page) {
            return false;
        }
        for (const archive::MessageEnvelope& message : page->messages) {
            const auto observation = Observe(buoy, *values, message);
            if (!observation) {
                counts.empty += message.time.has_value();
                continue;
            }
            // A message from before the launch or after the recovery is the buoy on deck.
            const double time = static_cast<double>(observation->time);
            if ((buoy.start && time < *buoy.start) || (buoy.end && time > *buoy.end)) {
                continue;
            }
            const auto bytes = EncodeBufr(*observation, reason);
            const std::filesystem::path path = dir / FileName(*observation, message.id);
            if (!bytes) {
                reason = path.filename().string() + ": " + reason;
                return false;
            }
            const std::string_view text(reinterpret_cast<const char*>(bytes->data()),
                                        bytes->size());
            if (SameContent(path, text)) {
                ++counts.unchanged;
                continue;
            }
            if (!orcan::writeWholeFile(path, text, reason)) {
                reason = path.string() + ": " + reason;
                return false;
            }
            ++counts.files;
        }
        if (!page->next) {
            return true;
        }
        query.before = page->next;
    }
}

}  // namespace

std::optional<std::string> SevenDigitCode(const std::string& code)
{
    if (code.size() == 7) {
        return code;
    }
    // A1 bw nnn is A1 bw 00nnn: the serial number widened in place, so that the buoy keeps
    // its identity. Around Antarctica (A1 = 7) numbers were allocated otherwise.
    if (code.size() == 5 && code[0] != '7') {
        return code.substr(0, 2) + "00" + code.substr(2);
    }
    return std::nullopt;
}

std::optional<BufrCounts> WriteBufrFiles(const archive::Reader& reader,
                                         const deployment::Deployment& deployment,
                                         const std::filesystem::path& dir,
                                         const BufrSelection& selection, std::string& reason)
{
    BufrCounts counts;
    std::vector<const deployment::Buoy*> buoys;
    if (selection.buoy) {
        const deployment::Buoy* buoy = deployment.FindBuoy(*selection.buoy);
        if (!buoy) {
            counts.skipped.push_back({*selection.buoy, "not in the deployment file"});
            return counts;
        }
        buoys.push_back(buoy);
    } else {
        for (const deployment::Buoy& buoy : deployment.buoys) {
            buoys.push_back(&buoy);
        }
    }
    for (const deployment::Buoy* buoy : buoys) {
        const auto code = SevenDigitCode(buoy->wmoPlatformCode);
        if (buoy->wmoPlatformCode.empty()) {
            counts.skipped.push_back({buoy->imei, "no WMO platform code"});
        } else if (!code) {
            counts.skipped.push_back(
                {buoy->imei, "the five-digit WMO platform code " + buoy->wmoPlatformCode +
                                 " lies in the Antarctic area, where the seven-digit number "
                                 "does not follow from it: ask WMO for it"});
        } else {
            deployment::Buoy reported = *buoy;
            reported.wmoPlatformCode = *code;
            if (!WriteBuoy(reader, reported, dir, selection.range, counts, reason)) {
                return std::nullopt;
            }
        }
    }
    return counts;
}

}  // namespace saltmark::bufr
