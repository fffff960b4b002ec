// The record types of packet type 55: each one's fields as the record stores them and its
// block as the report shows it. Field names are the report's own labels, so the data and the
// text never disagree about what a value is called.

#include <array>
#include <cctype>
#include <charconv>

#include "Records.h"
#include "eddyrate.h"

namespace saltmark {

namespace {

using enum FieldKind;

constexpr int kBands = 42;          // wave spectra of the IMU and the Ellipse
constexpr int kHistogramBins = 32;  // the IMU's acceleration and velocity histograms
// The Y81000's frequency axis and spectrum: the library's bands.
constexpr int kSpectrumBands = EDDYRATE_BANDS;
constexpr std::size_t kBandBytes = 4 * kBands;
constexpr std::size_t kHistogramBytes = 4 * kHistogramBins;

// Float32 scalar at `offset`.
constexpr FieldDescription Scalar(std::string_view name, std::size_t offset)
{
    return {name, Float32, offset};
}

constexpr FieldDescription Count(std::string_view name, std::size_t offset)
{
    return {name, Int32, offset};
}

constexpr FieldDescription Array(std::string_view name, FieldKind kind, std::size_t offset,
                                 int count, std::string_view header, int tabs)
{
    return {name, kind, offset, count, header, tabs};
}

// Wave and motion sensors. Both carry Hs, Tp, Dp and a 42-band spectrum with its directional
// moments; the IMU adds three histograms, the Ellipse a CF band array. Their blocks differ
// visibly (size line, array headers, indentation) and readers of old reports know them so.
constexpr std::size_t kFirstBand = 16;
constexpr FieldDescription kImuFields[] = {
    Scalar("Hs", 4),
    Scalar("Tp", 8),
    Scalar("Dp", 12),
    Array("E", Float32Array, kFirstBand, kBands, "\tE array values:\r\n", 2),
    Array("f", Float32Array, kFirstBand + kBandBytes, kBands, "\tF array values:\r\n", 2),
    Array("A1", Float32Array, kFirstBand + 2 * kBandBytes, kBands, "\tA1 array values:\r\n", 2),
    Array("B1", Float32Array, kFirstBand + 3 * kBandBytes, kBands, "\tB1 array values:\r\n", 2),
    Array("A2", Float32Array, kFirstBand + 4 * kBandBytes, kBands, "\tA2 array values:\r\n", 2),
    Array("B2", Float32Array, kFirstBand + 5 * kBandBytes, kBands, "\tB2 array values:\r\n", 2),
    Scalar("Lat", 1024),
    Scalar("Lon", 1028),
    // Histograms alternate: counts (int32), then their bin centres (float32).
    Array("ihAz", Int32Array, 1032, kHistogramBins, "\tVertical acceleration histogram:\r\n", 2),
    Array("ibcAz", Float32Array, 1032 + kHistogramBytes, kHistogramBins,
          "\tBin centers of vertical acceleration histogram:\r\n", 2),
    Array("ihAh", Int32Array, 1032 + 2 * kHistogramBytes, kHistogramBins,
          "\tHorizontal acceleration histogram:\r\n", 2),
    Array("fbcAh", Float32Array, 1032 + 3 * kHistogramBytes, kHistogramBins,
          "\tBin centers of horizontal acceleration histogram:\r\n", 2),
    Array("ihVh", Int32Array, 1032 + 4 * kHistogramBytes, kHistogramBins,
          "\tHorizontal velocity histogram:\r\n", 2),
    Array("fbcVh", Float32Array, 1032 + 5 * kHistogramBytes, kHistogramBins,
          "\tBin centers of horizontal velocity histogram:\r\n", 2),
};

constexpr FieldDescription kEllipseFields[] = {
    Scalar("Hs", 4),
    Scalar("Tp", 8),
    Scalar("Dp", 12),
    Array("E", Float32Array, kFirstBand, kBands, "\tEllipse E[i] values:\r\n", 1),
    Array("F", Float32Array, kFirstBand + kBandBytes, kBands, "\tEllipse F[i] values:\r\n", 1),
    Array("A1", Float32Array, kFirstBand + 2 * kBandBytes, kBands, "\tEllipse A1[i] values:\r\n",
          1),
    Array("B1", Float32Array, kFirstBand + 3 * kBandBytes, kBands, "\tEllipse B1[i] values:\r\n",
          1),
    Array("A2", Float32Array, kFirstBand + 4 * kBandBytes, kBands, "\tEllipse A2[i] values:\r\n",
          1),
    Array("B2", Float32Array, kFirstBand + 5 * kBandBytes, kBands, "\tEllipse B2[i] values:\r\n",
          1),
    Array("CF", Float32Array, kFirstBand + 6 * kBandBytes, kBands, "\tEllipse CF[i] values:\r\n",
          1),
    Scalar("Lat", 1192),
    Scalar("Lon", 1196),
};

// Current profilers: two fixed arrays, and the Signature's counted arrays whose offsets follow
// from its counts (N at 4, N burst values from 6, M after them, then M east and M north means).
constexpr FieldDescription kAquaDoppHRFields[] = {
    Array("A", Float32Array, 4, 16, "\tAquaDoppHR array values:\r\n", 1),
};
constexpr FieldDescription kAquaDoppFields[] = {
    Array("Means", Float32Array, 4, 40, "\tAquaDopp array values:\r\n", 1),
};
constexpr FieldDescription kSignatureFields[] = {
    {"Burst cells", UInt16, 4, 1, {}, 1, ": "},
    Array("A", Float32Array, 6, 0, "\tSignature A[i] values:\r\n", 1),
    {"Avg cells", UInt16, 0, 1, {}, 1, ": "},
    Array("EastMeans", Float32Array, 0, 0, "\tSignature East mean values:\r\n", 1),
    Array("NorthMeans", Float32Array, 0, 0, "\tSignature North mean values:\r\n", 1),
};
constexpr int kSignatureOrder[] = {0, 2, 1, 3, 4};

// Weather stations. Bytes 68 to 75 of the PB200 have never been named by the station's
// reports, so they are no field; the report shows the wind-speed pair once more in their
// place, and the course-over-ground pair before the position, unlike its storage order.
constexpr FieldDescription kPb200Fields[] = {
    Scalar("WDMean", 4),  Scalar("WDSTD", 8),   Scalar("WSMean", 12),  Scalar("WSSTD", 16),
    Scalar("Lat", 20),    Scalar("Lon", 24),    Count("Year", 28),     Count("Month", 32),
    Count("Day", 36),     Count("Seconds", 40), Scalar("ATMean", 44),  Scalar("ATSTD", 48),
    Scalar("BPMean", 52), Scalar("BPSTD", 56),  Scalar("COGMean", 60), Scalar("COGSTD", 64),
};
constexpr int kPb200Order[] = {0, 1, 2, 3, 14, 15, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};

// The V536 is an SDI-12 instrument: the header's port byte is its address character, which
// the title shows.
constexpr FieldDescription kV536Fields[] = {
    {"Address", Text, 1},  Scalar("WDMean", 4),  Scalar("WDSTD", 8),  Scalar("WSMean", 12),
    Scalar("WSSTD", 16),   Scalar("ATMean", 20), Scalar("ATSTD", 24), Scalar("RHMean", 28),
    Scalar("RHSTD", 32),   Scalar("BPMean", 36), Scalar("BPSTD", 40), Scalar("RainAcc", 44),
    Scalar("RainInt", 48),
};
constexpr int kV536Order[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

// The turbulence library's eight outputs in the order it returns them, then its 116-band
// frequency axis and kinetic-energy spectrum, all narrowed to float32 by the logger.
constexpr FieldDescription kY81000Fields[] = {
    Scalar("Ustar", 4),
    Scalar("Epsilon", 8),
    Scalar("MeanU", 12),
    Scalar("MeanV", 16),
    Scalar("MeanW", 20),
    Scalar("MeanTemp", 24),
    Scalar("Anisotropy", 28),
    Scalar("Quality", 32),
    Array("Freq", Float32Array, 36, kSpectrumBands, "\tY81000 Freq[i] values:\r\n", 1),
    Array("Tke", Float32Array, 36 + 4 * kSpectrumBands, kSpectrumBands,
          "\tY81000 Tke[i] values:\r\n", 1),
};
// The record carries the library's outputs under the library's own names, in its order.
constexpr std::string_view kEddyRateOutputNames[] = {EDDYRATE_OUTPUT_NAMES};
static_assert(std::size(kY81000Fields) == std::size(kEddyRateOutputNames));
static_assert([] {
    for (std::size_t i = 0; i < std::size(kY81000Fields); ++i) {
        if (kY81000Fields[i].name != kEddyRateOutputNames[i]) {
            return false;
        }
    }
    return true;
}());

// Water quality and the logger's own values: up to three float32 means from offset 4.
constexpr FieldDescription kAcsFields[] = {Scalar("Conductivity mean", 4), Scalar("Temp mean", 8),
                                           Scalar("Salinity mean", 12)};
constexpr FieldDescription kEcoFields[] = {Scalar("Column 2 mean", 4), Scalar("Column 4 mean", 8),
                                           Scalar("Column 6 mean", 12)};
constexpr FieldDescription kAcoFields[] = {Scalar("O2 Concentration mean", 4)};
constexpr FieldDescription kSwlFields[] = {Scalar("O2 FDOM mean", 4)};
constexpr FieldDescription kMiscellaneousFields[] = {Scalar("Battery voltage", 4)};

// The camera record's image is its size field's count of bytes after the header; the data
// gives where they lie in the message, not the bytes themselves.
constexpr FieldDescription kCameraFields[] = {
    {"Image size", UInt16, 2},
    {"Image offset", Int32, 4},
};
constexpr int kCameraOrder[] = {0};

constexpr RecordDescription kDescriptions[] = {
    {"AquaDoppHR",
     0,
     68,
     kAquaDoppHRFields,
     "AquaDoppHR on COM%d:\r\n",
     TitlePort::Number,
     false,
     {}},
    {"AquaDopp", 1, 164, kAquaDoppFields, "AquaDopp on COM%d:\r\n", TitlePort::Number, false, {}},
    {"PB200", 2, 76, kPb200Fields, "PB200 on COM%d:\r\n", TitlePort::Number, true, kPb200Order},
    {"IMU", 3, 1800, kImuFields, "IMU on COM%d:\r\n", TitlePort::Number, true, {}},
    {"ACS", 4, 16, kAcsFields, "ACS on COM%d:\r\n", TitlePort::Number, true, {}},
    {"ECO", 5, 16, kEcoFields, "ECO on COM%d:\r\n", TitlePort::Number, true, {}},
    // The logger's own values are not tied to a port, so the title shows none.
    {"Miscellaneous values",
     6,
     8,
     kMiscellaneousFields,
     "Miscellaneous values:\r\n",
     TitlePort::None,
     true,
     {}},
    {"Camera", 7, 0, kCameraFields, "Camera on COM%d:\r\n", TitlePort::Number, false, kCameraOrder},
    {"V536", 8, 52, kV536Fields, "V536 at SDI-12 addr %c:\r\n", TitlePort::AddressCharacter, true,
     kV536Order},
    {"Signature", 9, 0, kSignatureFields, "Signature on COM%d:\r\n", TitlePort::Number, false,
     kSignatureOrder},
    {"Ellipse", 10, 1200, kEllipseFields, "Ellipse on COM%d:\r\n", TitlePort::Number, false, {}},
    {"Y81000", 11, 964, kY81000Fields, "Y81000 on COM%d:\r\n", TitlePort::Number, false, {}},
    {"ACO", 12, 8, kAcoFields, "ACO on COM%d:\r\n", TitlePort::Number, true, {}},
    {"SWL", 13, 8, kSwlFields, "SWL on COM%d:\r\n", TitlePort::Number, true, {}},
};

}  // namespace

bool SameTypeName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    const auto folded = [](char c) {
        return c == '_' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (folded(a[i]) != folded(b[i])) {
            return false;
        }
    }
    return true;
}

std::span<const RecordDescription> RecordDescriptions() { return kDescriptions; }

const RecordDescription* FindRecordDescription(std::string_view name)
{
    for (const RecordDescription& description : kDescriptions) {
        if (SameTypeName(description.typeName, name)) {
            return &description;
        }
    }
    unsigned code = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), code);
    if (error == std::errc() && end == name.data() + name.size() && !name.empty() &&
        code < std::size(kDescriptions)) {
        return &kDescriptions[code];
    }
    return nullptr;
}

}  // namespace saltmark
