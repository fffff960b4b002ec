#include "Y81000Spectrum.h"

#include <cmath>

namespace saltmark {

namespace {

// The doubles nearest 5/3 and -5/3, the exponents the library's fit uses.
constexpr double kFiveThirds = 1.6666666666666667;
constexpr double kMinusFiveThirds = -1.6666666666666667;
// Below two bands a slope cannot be judged; the library gives no estimate either.
constexpr std::size_t kLeastFitBands = 2;

// A float32 array field widened to double, value by value.
std::vector<double> Widened(const RecordField& field)
{
    std::vector<double> values;
    values.reserve(static_cast<std::size_t>(field.Count()));
    for (int i = 0; i < field.Count(); ++i) {
        values.push_back(static_cast<double>(field.RealAt(i)));
    }
    return values;
}

bool Usable(double value)
{
    return std::isfinite(value) && value > 0.0 && value != EDDYRATE_MISSING;
}

}  // namespace

std::optional<InertialLine> InertialLineOf(std::span<const double> freq,
                                           std::span<const double> tke)
{
    InertialLine line;
    double sum = 0.0;
    for (std::size_t i = 0; i < freq.size() && i < tke.size(); ++i) {
        if (!(freq[i] > kFitBandLowHz && freq[i] < kFitBandHighHz)) {
            continue;
        }
        if (!Usable(tke[i])) {
            return std::nullopt;
        }
        sum += std::pow(freq[i], kFiveThirds) * tke[i];
        line.bands.push_back(static_cast<int>(i));
        line.freq.push_back(freq[i]);
    }
    if (line.freq.size() < kLeastFitBands) {
        return std::nullopt;
    }
    line.level = sum / static_cast<double>(line.freq.size());
    for (const double f : line.freq) {
        line.tke.push_back(line.level * std::pow(f, kMinusFiveThirds));
    }
    return line;
}

std::optional<Y81000Spectrum> SpectrumOfRecord(const DecodedRecord& record)
{
    if (record.TypeName() != "Y81000") {
        return std::nullopt;
    }
    const RecordField* freq = record.Find("Freq");
    const RecordField* tke = record.Find("Tke");
    const RecordField* epsilon = record.Find("Epsilon");
    const RecordField* ustar = record.Find("Ustar");
    if (freq == nullptr || tke == nullptr || epsilon == nullptr || ustar == nullptr) {
        return std::nullopt;
    }
    Y81000Spectrum spectrum{record.port, Widened(*freq), Widened(*tke),
                            static_cast<double>(epsilon->Real()),
                            static_cast<double>(ustar->Real()), std::nullopt};
    spectrum.line = InertialLineOf(spectrum.freq, spectrum.tke);
    return spectrum;
}

std::optional<Y81000Spectrum> SpectrumFromMessage(const DecodedMessage& decoded)
{
    for (auto record = decoded.records.rbegin(); record != decoded.records.rend(); ++record) {
        if (record->TypeName() == "Y81000") {
            return SpectrumOfRecord(*record);
        }
    }
    return std::nullopt;
}

}  // namespace saltmark
