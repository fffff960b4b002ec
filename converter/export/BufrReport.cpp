#include "BufrReport.h"

#include <eccodes.h>

#include <chrono>
#include <memory>

namespace saltmark::bufr {
namespace {

struct HandleDelete {
    void operator()(codes_handle* handle) const { codes_handle_delete(handle); }
};
using Handle = std::unique_ptr<codes_handle, HandleDelete>;

// Sets keys in order and stops at the first that ecCodes refuses, naming it.
class Keys {
public:
    Keys(codes_handle* handle, std::string& reason) : m_handle(handle), m_reason(reason) {}

    bool Ok() const { return m_ok; }

    void Long(const char* key, long value) { Check(key, codes_set_long(m_handle, key, value)); }
    void Double(const char* key, double value)
    {
        Check(key, codes_set_double(m_handle, key, value));
    }
    void Text(const char* key, std::string value, std::size_t width)
    {
        if (value.empty()) {
            return;
        }
        value.resize(std::min(value.size(), width));
        std::size_t length = value.size();
        Check(key, codes_set_string(m_handle, key, value.c_str(), &length));
    }
    void Longs(const char* key, const std::vector<long>& values)
    {
        Check(key, codes_set_long_array(m_handle, key, values.data(), values.size()));
    }
    template <typename T>
    void Optional(const char* key, const std::optional<T>& value)
    {
        if (!value) {
            return;  // the template starts with every data value missing
        }
        if constexpr (std::is_enum_v<T>) {
            Long(key, static_cast<long>(*value));
        } else if constexpr (std::is_integral_v<T>) {
            Long(key, *value);
        } else {
            Double(key, *value);
        }
    }

private:
    void Check(const char* key, int error)
    {
        if (m_ok && error != CODES_SUCCESS) {
            m_ok = false;
            m_reason = std::string("BUFR key ") + key + ": " + codes_get_error_message(error);
        }
    }

    codes_handle* m_handle;
    std::string& m_reason;
    bool m_ok = true;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> EncodeBufr(const Observation& observation,
                                                    std::string& reason)
{
    Handle handle(codes_bufr_handle_new_from_samples(nullptr, "BUFR4"));
    if (!handle) {
        reason = "ecCodes has no BUFR edition 4 sample (is its definitions folder installed?)";
        return std::nullopt;
    }
    using namespace std::chrono;
    const sys_seconds time{seconds(observation.time)};
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss clock{time - day};

    Keys keys(handle.get(), reason);
    // Section 1: surface data from the sea, a buoy's report (common code table C-13); no
    // originating centre is claimed, that is the data centre's to set when it forwards.
    keys.Long("bufrHeaderCentre", 65535);
    keys.Long("dataCategory", 1);
    keys.Long("internationalDataSubCategory", 25);
    keys.Long("typicalYear", static_cast<int>(date.year()));
    keys.Long("typicalMonth", static_cast<unsigned>(date.month()));
    keys.Long("typicalDay", static_cast<unsigned>(date.day()));
    keys.Long("typicalHour", clock.hours().count());
    keys.Long("typicalMinute", clock.minutes().count());
    keys.Long("typicalSecond", clock.seconds().count());
    // No temperature profile: the buoy measures the surface only.
    keys.Longs("inputDelayedDescriptorReplicationFactor", {0});
    keys.Longs("unexpandedDescriptors", {315009});
    // A value beyond what the template can hold (a wild reading) goes out missing rather than
    // costing the whole report.
    keys.Long("setToMissingIfOutOfRange", 1);

    keys.Long("marineObservingPlatformIdentifier", static_cast<long>(observation.wmoPlatformCode));
    keys.Text("longStationName", observation.name, 32);
    keys.Text("platformTransmitterIdNumber", observation.transmitterId, 16);
    keys.Long("dataBuoyType", 0);  // an unspecified drifting buoy
    keys.Long("#1#timeSignificance", 26);  // the time of the position
    keys.Long("#1#year", static_cast<int>(date.year()));
    keys.Long("#1#month", static_cast<unsigned>(date.month()));
    keys.Long("#1#day", static_cast<unsigned>(date.day()));
    keys.Long("#1#hour", clock.hours().count());
    keys.Long("#1#minute", clock.minutes().count());
    if (observation.latitude && observation.longitude) {
        keys.Double("latitude", *observation.latitude);
        keys.Double("longitude", *observation.longitude);
        keys.Optional("dataCollectionLocationSystem", observation.locationSystem);
        keys.Optional("qualityOfBuoyLocation", observation.locationQuality);
        keys.Optional("locationQualityClassRangeOfRadiusOf66Confidence",
                      observation.locationClass);
    }
    keys.Optional("batteryVoltageLargeRange", observation.batteryVolts);
    keys.Optional("#1#oceanographicWaterTemperature", observation.seaSurfaceTemperature);
    keys.Optional("nonCoordinatePressure", observation.pressure);
    keys.Optional("#1#heightOfSensorAboveWaterSurface", observation.airTemperatureHeight);
    keys.Optional("airTemperature", observation.airTemperature);
    keys.Optional("#2#heightOfSensorAboveWaterSurface", observation.windHeight);
    if (observation.windDirection || observation.windSpeed) {
        keys.Long("#3#timeSignificance", 2);  // the station's averages
    }
    keys.Optional("windDirection", observation.windDirection);
    keys.Optional("windSpeed", observation.windSpeed);
    keys.Long("pack", 1);
    if (!keys.Ok()) {
        return std::nullopt;
    }
    const void* bytes = nullptr;
    std::size_t length = 0;
    if (const int error = codes_get_message(handle.get(), &bytes, &length);
        error != CODES_SUCCESS) {
        reason = std::string("BUFR message: ") + codes_get_error_message(error);
        return std::nullopt;
    }
    const auto* first = static_cast<const std::uint8_t*>(bytes);
    return std::vector<std::uint8_t>(first, first + length);
}

}  // namespace saltmark::bufr
