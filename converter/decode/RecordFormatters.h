#pragma once
// One formatting routine per record type: the record's first byte (header included) in, the
// record's text block out. The record walk calls a fixed-length routine only when the whole
// record lies inside the message, so the routines read their fields without checks.

#include <cstddef>
#include <cstdint>

#include "ConvertMessage.h"
#include "SignatureRecord.h"

namespace saltmark {

// Every record opens with type (uint8), port (uint8) and size (uint16).
constexpr std::size_t kRecordHeaderLength = 4;

// Record lengths, header included, of the fixed-length types.
constexpr std::size_t kAquaDoppHRLength = 68;
constexpr std::size_t kAquaDoppLength = 164;
constexpr std::size_t kPb200Length = 76;
constexpr std::size_t kImuLength = 1800;
constexpr std::size_t kAcsLength = 16;
constexpr std::size_t kEcoLength = 16;
constexpr std::size_t kMiscellaneousLength = 8;
constexpr std::size_t kV536Length = 52;
constexpr std::size_t kEllipseLength = 1200;
constexpr std::size_t kY81000Length = 964;
constexpr std::size_t kAcoLength = 8;
constexpr std::size_t kSwlLength = 8;

// Wave and motion sensors.
ReportText FormatImu(const std::uint8_t* record);
ReportText FormatEllipse(const std::uint8_t* record);

// Current profilers.
ReportText FormatAquaDoppHR(const std::uint8_t* record);
ReportText FormatAquaDopp(const std::uint8_t* record);
ReportText FormatSignature(const CSignatureRecord& record);

// Weather stations, the turbulence summary, water quality and the logger's own values.
ReportText FormatPb200(const std::uint8_t* record);
ReportText FormatV536(const std::uint8_t* record);
ReportText FormatY81000(const std::uint8_t* record);
ReportText FormatAcs(const std::uint8_t* record);
ReportText FormatEco(const std::uint8_t* record);
ReportText FormatMiscellaneous(const std::uint8_t* record);
ReportText FormatAco(const std::uint8_t* record);
ReportText FormatSwl(const std::uint8_t* record);

// The camera block; the image bytes themselves are captured by the walk.
ReportText FormatCamera(const std::uint8_t* record);

}  // namespace saltmark
