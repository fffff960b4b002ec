#pragma once
// The turbulence spectrum a message's Y81000 record carries (the band frequencies and the
// turbulent-kinetic-energy spectrum of the buoy's EddyRate library), for the window's
// Spectrum view.

#include <optional>
#include <vector>

#include "Records.h"

namespace saltmark {

struct Y81000Spectrum {
    int port = 0;
    std::vector<double> freq;  // Hz, 116 bands
    std::vector<double> tke;   // m^2/s^2 per Hz at those bands
};

// The spectrum of the message's last Y81000 record; nothing when it holds none (a record cut
// short by the end of the message is not decoded).
std::optional<Y81000Spectrum> SpectrumFromMessage(const DecodedMessage& decoded);

}  // namespace saltmark
