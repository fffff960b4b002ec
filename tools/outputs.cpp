#include "outputs.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "Records.h"
#include "burst.h"

using namespace orcan::bursts;

EddyRateOutputs runEddyRate(Burst& burst, double height, double fs)
{
    EddyRateOutputs out;
    eddyRate(burst.u.data(), burst.v.data(), burst.w.data(), burst.temp.data(), height, fs,
             &out.Ustar, &out.Epsilon, &out.MeanU, &out.MeanV, &out.MeanW, &out.MeanTemp,
             &out.Anisotropy, &out.Quality, out.Freq.data(), out.Tke.data(),
             static_cast<int32_t>(burst.size()));
    return out;
}

std::string formatShortest(double value)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string nonFiniteName(double value) { return std::string(saltmark::NonFiniteName(value)); }

namespace {

using Json = nlohmann::json;

// One JSON value as text: numbers as the shortest decimal that reads back as the same double.
std::string jsonText(const Json& value) { return value.dump(); }

Json jsonNumber(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

std::string companionName(const char* key)
{
    return std::string(key) + std::string(saltmark::kNonFiniteSuffix);
}

// The value of one JSON element: a number, or null with the companion naming a non-finite.
std::optional<double> readNumber(const Json& value, const Json* companion)
{
    if (value.is_number()) {
        return value.get<double>();
    }
    if (!value.is_null() || companion == nullptr || !companion->is_string()) {
        return std::nullopt;
    }
    const std::string& name = companion->get_ref<const std::string&>();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const double candidate : {std::copysign(nan, 1.0), std::copysign(nan, -1.0), inf, -inf}) {
        if (name == saltmark::NonFiniteName(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

const Json* member(const Json& object, const std::string& key)
{
    const auto found = object.find(key);
    return found != object.end() ? &*found : nullptr;
}

}  // namespace

// One member per line, the bands' arrays each on one line, so that a person can read it too.
std::string outputsToJson(const EddyRateOutputs& outputs)
{
    std::string json = "{";
    const char* separator = "\n  ";
    for (const ScalarOutput& scalar : kScalarOutputs) {
        const double value = outputs.*scalar.field;
        json += separator + jsonText(scalar.name) + ": " + jsonText(jsonNumber(value));
        if (!std::isfinite(value)) {
            json +=
                ", " + jsonText(companionName(scalar.name)) + ": " + jsonText(nonFiniteName(value));
        }
        separator = ",\n  ";
    }
    for (const BandOutput& band : kBandOutputs) {
        const auto& values = outputs.*band.field;
        std::string numbers;
        std::string names;
        bool anyNonFinite = false;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const char* comma = i == 0 ? "" : ", ";
            numbers += comma + jsonText(jsonNumber(values[i]));
            const bool finite = std::isfinite(values[i]);
            names += comma + jsonText(finite ? Json(nullptr) : Json(nonFiniteName(values[i])));
            anyNonFinite = anyNonFinite || !finite;
        }
        json += separator + jsonText(band.name) + ": [" + numbers + "]";
        if (anyNonFinite) {
            json += separator + jsonText(companionName(band.name)) + ": [" + names + "]";
        }
    }
    json += "\n}\n";
    return json;
}

std::optional<EddyRateOutputs> outputsFromJson(std::string_view json, std::string& error)
{
    Json document;
    try {
        document = Json::parse(json);
    } catch (const Json::exception& problem) {
        error = std::string("not JSON: ") + problem.what();
        return std::nullopt;
    }
    if (!document.is_object()) {
        error = "the outputs are not a JSON object";
        return std::nullopt;
    }
    EddyRateOutputs outputs;
    for (const ScalarOutput& scalar : kScalarOutputs) {
        const Json* value = member(document, scalar.name);
        if (value == nullptr) {
            error = std::string("missing output ") + scalar.name;
            return std::nullopt;
        }
        const std::optional<double> number =
            readNumber(*value, member(document, companionName(scalar.name)));
        if (!number) {
            error = std::string("output ") + scalar.name +
                    " is neither a number nor a named non-finite value";
            return std::nullopt;
        }
        outputs.*scalar.field = *number;
    }
    for (const BandOutput& band : kBandOutputs) {
        const Json* elements = member(document, band.name);
        if (elements == nullptr || !elements->is_array() || elements->size() != EDDYRATE_BANDS) {
            error = std::string("output ") + band.name + " must be an array of " +
                    std::to_string(EDDYRATE_BANDS) + " values";
            return std::nullopt;
        }
        const Json* names = member(document, companionName(band.name));
        if (names != nullptr && (!names->is_array() || names->size() != EDDYRATE_BANDS)) {
            names = nullptr;
        }
        for (std::size_t i = 0; i < EDDYRATE_BANDS; ++i) {
            const std::optional<double> number =
                readNumber((*elements)[i], names != nullptr ? &(*names)[i] : nullptr);
            if (!number) {
                error = std::string("output ") + band.name + "[" + std::to_string(i) +
                        "] is neither a number nor a named non-finite value";
                return std::nullopt;
            }
            (outputs.*band.field)[i] = *number;
        }
    }
    return outputs;
}
