#pragma once
// The spectrum of one burst as a picture, drawn by the eddyrate Python package's figure
// module (matplotlib): the tools hand it the outputs as JSON.

#include <optional>
#include <string>

#include "outputs.h"

// Writes the figure to `path` (its extension picks the format: .png, .svg, .pdf), with
// `noEstimateReason` written on it when it is not empty.
// Returns the reason when no figure was written.
std::optional<std::string> plotSpectrum(const EddyRateOutputs& outputs, const std::string& path,
                                        const std::string& noEstimateReason = {});
