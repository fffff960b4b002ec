#pragma once
// Turning a burst into the mean wind before the library sees it. The library's segment test
// and its Taylor speed use the anemometer's u axis, which on the buoy a vane keeps in the wind;
// an anemometer fixed on land has no vane, so its estimate depends on its heading unless the
// burst is turned first.

#include <optional>
#include <string_view>

#include "burst.h"

namespace orcan::bursts {

enum class Rotation { none, meanWind, twoAxis };

// "none", "mean-wind" or "double"; nothing for any other text.
std::optional<Rotation> parseRotation(std::string_view text);

// Turns u and v about the vertical so that the burst's mean v is 0 (twoAxis: then tilts u and w
// so that the mean w is 0 too). A sample the library takes for a dropout (an exact zero in any
// series) stays exactly as it is, and the means are taken over the other samples only:
// turning a zero would hide the dropout.
void rotateBurst(Burst& burst, Rotation rotation);

// The direction of the mean horizontal wind from the u axis, in degrees (-180, 180], over the
// samples that are not dropouts; nothing when there is no such sample.
std::optional<double> meanWindAngleDegrees(const Burst& burst);

// The tools warn beyond this angle: the segment test then looks at a crosswind component.
inline constexpr double kWarnAngleDegrees = 45.0;

}  // namespace orcan::bursts
