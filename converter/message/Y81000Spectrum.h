#pragma once
// The turbulence spectrum a message's Y81000 record carries (the band frequencies and the
// turbulent-kinetic-energy spectrum of the buoy's EddyRate library), with the f^-5/3 line every
// view draws over it.

#include <optional>
#include <span>
#include <vector>

#include "Records.h"
#include "eddyrate.h"

namespace saltmark {

// The inertial-subrange law through the spectrum's level in the fit band: level * f^(-5/3) at
// each band of the fit band, so that a spectrum parallel to it shows the law holds there.
struct InertialLine {
    double level = 0.0;        // the mean of f^(5/3) Tke over the fit band
    std::vector<int> bands;    // the fit band's bands, as indices into the spectrum's arrays
    std::vector<double> freq;  // Hz, at those bands
    std::vector<double> tke;   // level * f^(-5/3) at those bands
};

struct Y81000Spectrum {
    int port = 0;
    std::vector<double> freq;  // Hz, 116 bands
    std::vector<double> tke;   // m^2/s^2 per Hz at those bands
    double epsilon = 0.0;      // m^2/s^3, the library's 9999 when it has no estimate
    double ustar = 0.0;        // m/s, likewise
    std::optional<InertialLine> line;
};

// The band the library fits the dissipation rate over, in hertz (both ends excluded).
inline constexpr double kFitBandLowHz = EDDYRATE_FIT_LOW_HZ;
inline constexpr double kFitBandHighHz = EDDYRATE_FIT_HIGH_HZ;

// The line as the library's fit forms its level: the compensated spectrum f^(5/3) Tke averaged
// over the bands strictly inside the fit band, in band order. Nothing when fewer than two
// bands lie there (the library makes no estimate from one) or any of them is not a usable
// value (not finite, not positive, or the library's 9999).
std::optional<InertialLine> InertialLineOf(std::span<const double> freq,
                                           std::span<const double> tke);

// The spectrum of a Y81000 record, with its line; nothing for a record of another type.
std::optional<Y81000Spectrum> SpectrumOfRecord(const DecodedRecord& record);

// The spectrum of the message's last Y81000 record, with its line; nothing when it holds none
// (a record cut short by the end of the message is not decoded).
std::optional<Y81000Spectrum> SpectrumFromMessage(const DecodedMessage& decoded);

}  // namespace saltmark
