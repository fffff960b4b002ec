#include "outputs.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "burst.h"
#include "json.h"

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

std::string nonFiniteName(double value)
{
    if (std::isnan(value)) {
        return std::signbit(value) ? "-nan" : "nan";
    }
    return value < 0 ? "-inf" : "inf";
}

namespace {

std::string jsonNumber(double value)
{
    return std::isfinite(value) ? formatShortest(value) : "null";
}

std::string companionName(const char* key) { return std::string(key) + "_nonfinite"; }

// The value of one JSON element: a number, or null with the companion naming a non-finite.
std::optional<double> readNumber(const JsonValue& value, const JsonValue* companion)
{
    if (const double* number = value.number()) {
        return *number;
    }
    if (!value.isNull() || companion == nullptr || companion->string() == nullptr) {
        return std::nullopt;
    }
    const std::string& name = *companion->string();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    if (name == "nan") {
        return std::copysign(nan, 1.0);
    }
    if (name == "-nan") {
        return std::copysign(nan, -1.0);
    }
    if (name == "inf") {
        return inf;
    }
    if (name == "-inf") {
        return -inf;
    }
    return std::nullopt;
}

}  // namespace

std::string outputsToJson(const EddyRateOutputs& outputs)
{
    std::string json = "{";
    const char* separator = "\n  ";
    for (const ScalarOutput& scalar : kScalarOutputs) {
        const double value = outputs.*scalar.field;
        json += separator + jsonQuote(scalar.name) + ": " + jsonNumber(value);
        if (!std::isfinite(value)) {
            json += ", " + jsonQuote(companionName(scalar.name)) + ": " +
                    jsonQuote(nonFiniteName(value));
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
            numbers += comma + jsonNumber(values[i]);
            const bool finite = std::isfinite(values[i]);
            names += comma + (finite ? std::string("null") : jsonQuote(nonFiniteName(values[i])));
            anyNonFinite = anyNonFinite || !finite;
        }
        json += separator + jsonQuote(band.name) + ": [" + numbers + "]";
        if (anyNonFinite) {
            json += separator + jsonQuote(companionName(band.name)) + ": [" + names + "]";
        }
    }
    json += "\n}\n";
    return json;
}

std::optional<EddyRateOutputs> outputsFromJson(std::string_view json, std::string& error)
{
    const std::optional<JsonValue> document = parseJson(json, error);
    if (!document) {
        return std::nullopt;
    }
    if (document->object() == nullptr) {
        error = "the outputs are not a JSON object";
        return std::nullopt;
    }
    EddyRateOutputs outputs;
    for (const ScalarOutput& scalar : kScalarOutputs) {
        const JsonValue* value = document->member(scalar.name);
        if (value == nullptr) {
            error = std::string("missing output ") + scalar.name;
            return std::nullopt;
        }
        const std::optional<double> number =
            readNumber(*value, document->member(companionName(scalar.name)));
        if (!number) {
            error = std::string("output ") + scalar.name +
                    " is neither a number nor a named non-finite value";
            return std::nullopt;
        }
        outputs.*scalar.field = *number;
    }
    for (const BandOutput& band : kBandOutputs) {
        const JsonValue* value = document->member(band.name);
        const JsonArray* elements = value != nullptr ? value->array() : nullptr;
        if (elements == nullptr || elements->size() != EDDYRATE_BANDS) {
            error = std::string("output ") + band.name + " must be an array of " +
                    std::to_string(EDDYRATE_BANDS) + " values";
            return std::nullopt;
        }
        const JsonValue* companion = document->member(companionName(band.name));
        const JsonArray* names = companion != nullptr ? companion->array() : nullptr;
        if (names != nullptr && names->size() != EDDYRATE_BANDS) {
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
