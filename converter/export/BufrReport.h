#pragma once
// One drifting buoy's observation as a WMO BUFR edition 4 message in the drifting-buoy
// template (TM 315009), encoded by ECMWF's ecCodes. Values come in the units BUFR carries
// (Pa, K, m/s, degrees true, V, m); a value not given is encoded as missing, never as a fill
// number, so that a receiver cannot mistake it for a reading.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace saltmark::bufr {

// Code table 0 02 148: the system that located the buoy.
enum class LocationSystem { Gps = 2, Iridium = 7 };
// Code table 0 33 023: what the location is worth.
enum class LocationQuality { Reliable = 0, Dubious = 2 };

struct Observation {
    std::int64_t wmoPlatformCode = 0;  // the seven-digit marine platform identifier
    std::string name;                  // the long station name; cut to 32 characters
    std::string transmitterId;         // the IMEI; cut to 16 characters
    std::int64_t time = 0;  // seconds since 1970, UTC; the template keeps whole minutes

    std::optional<double> latitude, longitude;  // degrees north and east, both or neither
    std::optional<LocationSystem> locationSystem;
    std::optional<LocationQuality> locationQuality;
    std::optional<int> locationClass;  // code table 0 33 027, from the radius of the fix

    std::optional<double> batteryVolts;
    std::optional<double> pressure;        // Pa, at the buoy
    std::optional<double> airTemperature;  // K
    std::optional<double> airTemperatureHeight;  // m above the water line
    std::optional<double> windDirection;   // degrees true, where the wind comes from
    std::optional<double> windSpeed;       // m/s
    std::optional<double> windHeight;      // m above the water line
    std::optional<double> seaSurfaceTemperature;  // K
};

// The whole BUFR message; nothing with `reason` set when ecCodes refuses a value (one out of
// the template's range, say).
std::optional<std::vector<std::uint8_t>> EncodeBufr(const Observation& observation,
                                                    std::string& reason);

}  // namespace saltmark::bufr
