#include "Y81000Spectrum.h"

namespace saltmark {

namespace {

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

}  // namespace

std::optional<Y81000Spectrum> SpectrumFromMessage(const DecodedMessage& decoded)
{
    for (auto record = decoded.records.rbegin(); record != decoded.records.rend(); ++record) {
        if (record->TypeName() != "Y81000") {
            continue;
        }
        const RecordField* freq = record->Find("Freq");
        const RecordField* tke = record->Find("Tke");
        const RecordField* epsilon = record->Find("Epsilon");
        const RecordField* ustar = record->Find("Ustar");
        if (freq == nullptr || tke == nullptr || epsilon == nullptr || ustar == nullptr) {
            return std::nullopt;
        }
        return Y81000Spectrum{record->port, Widened(*freq), Widened(*tke),
                              static_cast<double>(epsilon->Real()),
                              static_cast<double>(ustar->Real())};
    }
    return std::nullopt;
}

}  // namespace saltmark
