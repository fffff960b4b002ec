#pragma once
// The turbulence spectrum a message's Y81000 record carries (the band frequencies and the
// turbulent-kinetic-energy spectrum of the buoy's EddyRate library), for the window's
// Spectrum view.

#include <optional>
#include <vector>

#include "ConvertMessage.h"

namespace saltmark {

struct Y81000Spectrum {
    int port = 0;
    std::vector<double> freq;  // Hz, 116 bands
    std::vector<double> tke;   // m^2/s^2 per Hz at those bands
};

// The last complete Y81000 block of a report: its Freq[i] and Tke[i] lines as the decoder
// prints them. Nothing when the report holds none.
std::optional<Y81000Spectrum> SpectrumFromReport(const ReportText& report);

}  // namespace saltmark
