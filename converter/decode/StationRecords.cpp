// Short summaries: the two weather stations (PB200, V536), the sonic anemometer's turbulence
// summary (Y81000), the water-quality sensors (ACS, ECO, ACO, SWL) and the logger's own
// battery voltage.

#include <cstddef>
#include <span>

#include "ByteOrder.h"
#include "RecordFormatters.h"
#include "ReportFormat.h"

namespace saltmark {

namespace {

// A float32 field at `offset` of the record, widened by AppendFormat.
float Real(const std::uint8_t* record, std::size_t offset) { return LoadF32(record + offset); }

void AppendSizeLine(ReportText& out, const std::uint8_t* record)
{
    AppendFormat(out, "\tSize = %d\r\n", LoadU16(record + 2));
}

// One "%g" line per float32 field, the fields back to back from `offset`.
void AppendValueLines(ReportText& out, const std::uint8_t* record, std::size_t offset,
                      std::span<const char* const> lines)
{
    for (const char* line : lines) {
        AppendFormat(out, line, Real(record, offset));
        offset += 4;
    }
}

// The water-quality records: a title with the port, the size, then up to three float32 means
// at offsets 4, 8 and 12.
ReportText FormatQualityRecord(const std::uint8_t* record, const char* title,
                               std::span<const char* const> valueLines)
{
    ReportText out;
    AppendFormat(out, title, record[1]);
    AppendSizeLine(out, record);
    AppendValueLines(out, record, 4, valueLines);
    AppendFormat(out, "\r\n");
    return out;
}

// The SDI-12 address shows as itself when printable; anything else (a NUL, a line break)
// would cut or break the report's title line, so it shows as '?'.
char AddressCharacter(std::uint8_t address)
{
    return address >= 32 && address <= 126 ? static_cast<char>(address) : '?';
}

}  // namespace

ReportText FormatPb200(const std::uint8_t* record)
{
    ReportText out;
    AppendFormat(out, "PB200 on COM%d:\r\n", record[1]);
    AppendSizeLine(out, record);
    AppendFormat(out, "\tWDMean = %g\r\n", Real(record, 4));
    AppendFormat(out, "\tWDSTD = %g\r\n", Real(record, 8));
    AppendFormat(out, "\tWSMean = %g\r\n", Real(record, 12));
    AppendFormat(out, "\tWSSTD = %g\r\n", Real(record, 16));
    // The course-over-ground pair is shown before the position, unlike its storage order.
    AppendFormat(out, "\tCOGMean = %g\r\n", Real(record, 60));
    AppendFormat(out, "\tCOGSTD = %g\r\n", Real(record, 64));
    // The wind-speed pair once more in place of bytes 68 to 75, whose meaning the station's
    // reports have never given; readers of existing reports expect these two lines here.
    AppendFormat(out, "\tWSMean = %g\r\n", Real(record, 12));
    AppendFormat(out, "\tWSSTD = %g\r\n", Real(record, 16));
    AppendFormat(out, "\tLat = %g\r\n", Real(record, 20));
    AppendFormat(out, "\tLon = %g\r\n", Real(record, 24));
    AppendFormat(out, "\tYear = %d\r\n", LoadI32(record + 28));
    AppendFormat(out, "\tMonth = %d\r\n", LoadI32(record + 32));
    AppendFormat(out, "\tDay = %d\r\n", LoadI32(record + 36));
    AppendFormat(out, "\tSeconds = %d\r\n", LoadI32(record + 40));
    AppendFormat(out, "\tATMean = %g\r\n", Real(record, 44));
    AppendFormat(out, "\tATSTD = %g\r\n", Real(record, 48));
    AppendFormat(out, "\tBPMean = %g\r\n", Real(record, 52));
    AppendFormat(out, "\tBPSTD = %g\r\n", Real(record, 56));
    AppendFormat(out, "\r\n");
    return out;
}

ReportText FormatV536(const std::uint8_t* record)
{
    // Twelve float32 values in storage order from offset 4.
    static constexpr const char* kValueLines[] = {
        "\tWDMean = %g\r\n", "\tWDSTD = %g\r\n", "\tWSMean = %g\r\n",  "\tWSSTD = %g\r\n",
        "\tATMean = %g\r\n", "\tATSTD = %g\r\n", "\tRHMean = %g\r\n",  "\tRHSTD = %g\r\n",
        "\tBPMean = %g\r\n", "\tBPSTD = %g\r\n", "\tRainAcc = %g\r\n", "\tRainInt = %g\r\n",
    };
    ReportText out;
    AppendFormat(out, "V536 at SDI-12 addr %c:\r\n", AddressCharacter(record[1]));
    AppendSizeLine(out, record);
    AppendValueLines(out, record, 4, kValueLines);
    AppendFormat(out, "\r\n");
    return out;
}

ReportText FormatY81000(const std::uint8_t* record)
{
    // The turbulence library's eight outputs in the order it returns them, then its 116-band
    // frequency axis and kinetic-energy spectrum, all narrowed to float32 by the logger.
    static constexpr const char* kScalarLines[] = {
        "\tUstar = %g\r\n", "\tEpsilon = %g\r\n",  "\tMeanU = %g\r\n",      "\tMeanV = %g\r\n",
        "\tMeanW = %g\r\n", "\tMeanTemp = %g\r\n", "\tAnisotropy = %g\r\n", "\tQuality = %g\r\n",
    };
    constexpr int kSpectrumBands = 116;
    constexpr std::size_t kFreqOffset = 36;
    constexpr std::size_t kTkeOffset = kFreqOffset + 4 * kSpectrumBands;

    ReportText out;
    AppendFormat(out, "Y81000 on COM%d:\r\n", record[1]);
    AppendValueLines(out, record, 4, kScalarLines);
    AppendFloatArray(out, "\tY81000 Freq[i] values:\r\n", "\tFreq[%d] = %g\r\n",
                     record + kFreqOffset, kSpectrumBands);
    AppendFloatArray(out, "\tY81000 Tke[i] values:\r\n", "\tTke[%d] = %g\r\n", record + kTkeOffset,
                     kSpectrumBands);
    AppendFormat(out, "\r\n");
    return out;
}

ReportText FormatAcs(const std::uint8_t* record)
{
    static constexpr const char* kLines[] = {"\tConductivity mean = %g\r\n", "\tTemp mean = %g\r\n",
                                             "\tSalinity mean = %g\r\n"};
    return FormatQualityRecord(record, "ACS on COM%d:\r\n", kLines);
}

ReportText FormatEco(const std::uint8_t* record)
{
    static constexpr const char* kLines[] = {"\tColumn 2 mean = %g\r\n", "\tColumn 4 mean = %g\r\n",
                                             "\tColumn 6 mean = %g\r\n"};
    return FormatQualityRecord(record, "ECO on COM%d:\r\n", kLines);
}

ReportText FormatAco(const std::uint8_t* record)
{
    static constexpr const char* kLines[] = {"\tO2 Concentration mean = %g\r\n"};
    return FormatQualityRecord(record, "ACO on COM%d:\r\n", kLines);
}

ReportText FormatSwl(const std::uint8_t* record)
{
    static constexpr const char* kLines[] = {"\tO2 FDOM mean = %g\r\n"};
    return FormatQualityRecord(record, "SWL on COM%d:\r\n", kLines);
}

ReportText FormatMiscellaneous(const std::uint8_t* record)
{
    // The logger's own values are not tied to a port, so the title shows none.
    ReportText out;
    AppendFormat(out, "Miscellaneous values:\r\n");
    AppendSizeLine(out, record);
    AppendFormat(out, "\tBattery voltage = %g\r\n", Real(record, 4));
    AppendFormat(out, "\r\n");
    return out;
}

}  // namespace saltmark
