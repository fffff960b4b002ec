#pragma once
// The turbulence spectrum a message's Y81000 record carries (the band frequencies and the
// turbulent-kinetic-energy spectrum of the buoy's EddyRate library), for the window's
// Spectrum view.

#include <optional>
#include <vector>

#include "Records.h"
#include "eddyrate.h"

namespace saltmark {

struct Y81000Spectrum {
    int port = 0;
    std::vector<double> freq;  // Hz, 116 bands
    std::vector<double> tke;   // m^2/s^2 per Hz at those bands
    double epsilon = 0.0;      // m^2/s^3, the library's 9999 when it has no estimate
    double ustar = 0.0;        // m/s, likewise
};

// The band the library fits the dissipation rate over, in hertz (both ends excluded).
inline constexpr double kFitBandLowHz = EDDYRATE_FIT_LOW_HZ;
inline constexpr double kFitBandHighHz = EDDYRATE_FIT_HIGH_HZ;

// The spectrum of the message's last Y81000 record; nothing when it holds none (a record cut
// short by the end of the message is not decoded).
std::optional<Y81000Spectrum> SpectrumFromMessage(const DecodedMessage& decoded);

}  // namespace saltmark
