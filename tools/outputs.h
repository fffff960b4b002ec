#pragma once
// The outputs of one eddyRate call, as the tools pass them along the road of one burst:
// computed by eddyrate-run, written as JSON, read back by the message composer.

#include <eddyrate.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace orcan::bursts {
struct Burst;
}

struct EddyRateOutputs {
    double Ustar = 0.0;
    double Epsilon = 0.0;
    double MeanU = 0.0;
    double MeanV = 0.0;
    double MeanW = 0.0;
    double MeanTemp = 0.0;
    double Anisotropy = 0.0;
    double Quality = 0.0;
    std::array<double, EDDYRATE_BANDS> Freq{};
    std::array<double, EDDYRATE_BANDS> Tke{};
};

struct ScalarOutput {
    const char* name;
    double EddyRateOutputs::*field;
};

// The eight scalars in the order of the export's parameters and of the Y81000 record.
inline constexpr std::array<ScalarOutput, 8> kScalarOutputs{{
    {"Ustar", &EddyRateOutputs::Ustar},
    {"Epsilon", &EddyRateOutputs::Epsilon},
    {"MeanU", &EddyRateOutputs::MeanU},
    {"MeanV", &EddyRateOutputs::MeanV},
    {"MeanW", &EddyRateOutputs::MeanW},
    {"MeanTemp", &EddyRateOutputs::MeanTemp},
    {"Anisotropy", &EddyRateOutputs::Anisotropy},
    {"Quality", &EddyRateOutputs::Quality},
}};

// Tied to the public header's list, so that a name or its place cannot drift.
namespace outputs_detail {
inline constexpr std::string_view kHeaderNames[] = {EDDYRATE_OUTPUT_NAMES};
}
static_assert(kScalarOutputs.size() == EDDYRATE_SCALAR_OUTPUTS);
static_assert([] {
    for (std::size_t i = 0; i < kScalarOutputs.size(); ++i) {
        if (outputs_detail::kHeaderNames[i] != kScalarOutputs[i].name) {
            return false;
        }
    }
    return true;
}());

struct BandOutput {
    const char* name;
    std::array<double, EDDYRATE_BANDS> EddyRateOutputs::*field;
};

inline constexpr std::array<BandOutput, 2> kBandOutputs{{
    {"Freq", &EddyRateOutputs::Freq},
    {"Tke", &EddyRateOutputs::Tke},
}};

static_assert(kScalarOutputs.size() + kBandOutputs.size() ==
              std::size(outputs_detail::kHeaderNames));
static_assert([] {
    for (std::size_t i = 0; i < kBandOutputs.size(); ++i) {
        if (outputs_detail::kHeaderNames[kScalarOutputs.size() + i] != kBandOutputs[i].name) {
            return false;
        }
    }
    return true;
}());

// Calls eddyRate on the burst. The library compacts the burst's series in place.
EddyRateOutputs runEddyRate(orcan::bursts::Burst& burst, double height, double fs);

// The shortest decimal text that reads back as the same double (finite values only).
std::string formatShortest(double value);

// How a non-finite value is named where JSON has no number for it: "nan" or "-nan" (by the
// sign bit, the library's own not-a-number has it set), "inf" or "-inf"; the decoder's names,
// so that both JSON documents follow one convention.
std::string nonFiniteName(double value);

// One JSON object with the output names as keys. A non-finite value is written as null and
// named in a companion member "<Key>_nonfinite": a string for a scalar, an array for Freq and
// Tke holding the name at each non-finite position and null elsewhere.
std::string outputsToJson(const EddyRateOutputs& outputs);

// Reads what outputsToJson wrote; on failure returns nothing and sets error.
std::optional<EddyRateOutputs> outputsFromJson(std::string_view json, std::string& error);
