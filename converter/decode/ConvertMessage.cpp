#include "ConvertMessage.h"

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "ByteOrder.h"
#include "RecordFormatters.h"
#include "ReportFormat.h"
#include "SignatureRecord.h"

namespace saltmark {

namespace {

// The one packet type this decoder knows: its record set includes the variable-length
// Signature record.
constexpr std::uint8_t kEnhancedSignaturePacket = 55;

constexpr std::string_view kStopLine = "Stopping decode due to error\r\n\r\n";

// How a record's length is found: from the type alone, or from the header's size field.
enum class Layout { Fixed, Signature, Camera };

struct RecordKind {
    Layout layout;
    std::size_t length;  // whole record, header included; fixed layouts only
    ReportText (*format)(const std::uint8_t* record);
};

// Indexed by the record type code.
constexpr std::array<RecordKind, 14> kRecordKinds = {{
    {Layout::Fixed, kAquaDoppHRLength, FormatAquaDoppHR},        // 0
    {Layout::Fixed, kAquaDoppLength, FormatAquaDopp},            // 1
    {Layout::Fixed, kPb200Length, FormatPb200},                  // 2
    {Layout::Fixed, kImuLength, FormatImu},                      // 3
    {Layout::Fixed, kAcsLength, FormatAcs},                      // 4
    {Layout::Fixed, kEcoLength, FormatEco},                      // 5
    {Layout::Fixed, kMiscellaneousLength, FormatMiscellaneous},  // 6
    {Layout::Camera, 0, FormatCamera},                           // 7
    {Layout::Fixed, kV536Length, FormatV536},                    // 8
    {Layout::Signature, 0, nullptr},                             // 9
    {Layout::Fixed, kEllipseLength, FormatEllipse},              // 10
    {Layout::Fixed, kY81000Length, FormatY81000},                // 11
    {Layout::Fixed, kAcoLength, FormatAco},                      // 12
    {Layout::Fixed, kSwlLength, FormatSwl},                      // 13
}};

// The bytes of the message not yet walked. Take is the one gate every record passes: it alone
// decides whether a record fits in what is left.
class RecordCursor {
public:
    explicit RecordCursor(std::span<const std::uint8_t> records) : m_rest(records) {}

    // A whole header is left, so its type and size can be read.
    bool HeaderLeft() const { return m_rest.size() >= kRecordHeaderLength; }
    std::uint8_t Type() const { return m_rest[0]; }
    std::uint16_t Size() const { return LoadU16(m_rest.data() + 2); }

    // The next `length` bytes as one record, or nothing when fewer are left.
    std::optional<std::span<const std::uint8_t>> Take(std::size_t length)
    {
        if (length > m_rest.size()) {
            return std::nullopt;
        }
        std::span<const std::uint8_t> record = m_rest.first(length);
        m_rest = m_rest.subspan(length);
        return record;
    }

private:
    std::span<const std::uint8_t> m_rest;
};

// Appends one block per record until the records run out (true; up to three trailing bytes
// are never examined) or a record cannot be decoded (false; nothing of it was appended).
bool WalkRecords(RecordCursor& cursor, ReportText& report, CapturedImage& image)
{
    while (cursor.HeaderLeft()) {
        const std::uint8_t code = cursor.Type();
        if (code >= kRecordKinds.size()) {
            AppendFormat(report, "Unrecognized sensor type\r\n\r\n");
            return false;
        }
        const RecordKind& kind = kRecordKinds[code];
        const std::size_t length = kind.layout == Layout::Fixed
                                       ? kind.length
                                       : kRecordHeaderLength + std::size_t{cursor.Size()};
        // A camera record too long for the message shows nothing either, and its image is
        // never read: the slot keeps what an earlier camera record put there.
        std::optional<std::span<const std::uint8_t>> record = cursor.Take(length);
        if (!record) {
            return false;
        }
        switch (kind.layout) {
            case Layout::Fixed:
                report += kind.format(record->data());
                break;
            case Layout::Signature: {
                std::optional<CSignatureRecord> signature = CSignatureRecord::Parse(*record);
                if (!signature) {
                    return false;
                }
                report += FormatSignature(*signature);
                break;
            }
            case Layout::Camera:
                report += kind.format(record->data());
                // The last camera record of a message is the image; an empty one still counts.
                image.bytes.emplace(record->begin() + kRecordHeaderLength, record->end());
                break;
        }
    }
    return true;
}

// The packet-type lines; true when the records that follow can be walked.
bool AppendPacketType(ReportText& report, std::uint8_t packetType)
{
    if (packetType == kEnhancedSignaturePacket) {
        AppendFormat(report, "\tType = v4.0+ (enhanced Signature)");
    } else {
        AppendFormat(report, "\tType UNKNOWN (%d)", static_cast<std::int8_t>(packetType));
    }
    AppendFormat(report, "\r\n\r\n");
    return packetType == kEnhancedSignaturePacket;
}

}  // namespace

ReportText FormatCamera(const std::uint8_t* record)
{
    ReportText out;
    AppendFormat(out, "Camera on COM%d:\r\n", record[1]);
    AppendFormat(out, "\tImage size = %d\r\n", LoadU16(record + 2));
    AppendFormat(out, "\r\n");
    return out;
}

ReportText ConvertMessage(const std::uint8_t* message, std::int32_t n, CapturedImage& image)
{
    image.release();
    ReportText report;
    AppendFormat(report, "Converting %d bytes\r\n\r\n", n);
    AppendFormat(report, "Packet Type:\r\n");

    bool complete = false;
    if (n <= 0 || message == nullptr) {
        AppendFormat(report, "\tNot enough data to contain packet type\r\n\r\n");
    } else if (AppendPacketType(report, message[0])) {
        RecordCursor cursor(std::span(message + 1, static_cast<std::size_t>(n) - 1));
        complete = WalkRecords(cursor, report, image);
    }
    if (!complete) {
        AppendFormat(report, kStopLine);
    }
    return report;
}

std::string ToUtf8(const ReportText& report)
{
    // Written for every value a wide string can hold, although a report holds only ASCII:
    // what is no character (a surrogate, or beyond U+10FFFF) becomes U+FFFD, so the output
    // is always well-formed UTF-8. Where wchar_t has 16 bits, a surrogate pair is one character.
    constexpr std::uint32_t kReplacement = 0xFFFD;
    std::string out;
    out.reserve(report.size());
    for (std::size_t i = 0; i < report.size(); ++i) {
        auto cp = static_cast<std::uint32_t>(report[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            cp &= 0xFFFF;
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < report.size()) {
                const auto low = static_cast<std::uint32_t>(report[i + 1]) & 0xFFFF;
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            cp = kReplacement;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

}  // namespace saltmark
