#pragma once
// Why a burst got no dissipation estimate, in one line, from the rules the library documents:
// the gate, the segment length, the fit range, non-finite samples, the valid segments and the
// memory at hand.

#include <optional>
#include <string>

#include "burst.h"
#include "outputs.h"

// `burst` as it was before the call (the call compacts the series); nothing when `outputs`
// hold an estimate of the dissipation rate.
std::optional<std::string> noEstimateReason(const orcan::bursts::Burst& burst, double fs,
                                            const EddyRateOutputs& outputs);
