#include "ConvertMessage.h"

#include "Records.h"
#include "ReportFormat.h"

namespace saltmark {

namespace {

constexpr std::string_view kStopLine = "Stopping decode due to error\r\n\r\n";

// The SDI-12 address shows as itself when printable; anything else (a NUL, a line break)
// would cut or break the report's title line, so it shows as '?'.
char AddressCharacter(std::uint8_t address)
{
    return address >= 32 && address <= 126 ? static_cast<char>(address) : '?';
}

// "\t<label><separator><value>\r\n" for a scalar; the header and one line per element for an
// array ("\t\tE[3] = 0.25\r\n").
void AppendField(std::string& out, const RecordField& field)
{
    const FieldDescription& description = field.Description();
    switch (field.Kind()) {
        case FieldKind::Float32:
        case FieldKind::UInt16:
        case FieldKind::Int32:
            out.push_back('\t');
            AppendAscii(out, description.name);
            AppendAscii(out, description.separator);
            if (field.Kind() == FieldKind::Float32) {
                AppendGeneral(out, field.Real());
            } else {
                AppendInteger(out, field.Integer());
            }
            AppendAscii(out, "\r\n");
            break;
        case FieldKind::Float32Array:
        case FieldKind::Int32Array:
            AppendAscii(out, description.arrayHeader);
            for (int i = 0; i < field.Count(); ++i) {
                out.append(static_cast<std::size_t>(description.elementTabs), '\t');
                AppendAscii(out, description.name);
                out.push_back('[');
                AppendInteger(out, i);
                AppendAscii(out, "] = ");
                if (field.Kind() == FieldKind::Float32Array) {
                    AppendGeneral(out, field.RealAt(i));
                } else {
                    AppendInteger(out, field.IntegerAt(i));
                }
                AppendAscii(out, "\r\n");
            }
            break;
        case FieldKind::Text:
            break;  // the V536 address, shown in its title
    }
}

void AppendRecord(std::string& out, const DecodedRecord& record)
{
    const RecordDescription& description = *record.description;
    switch (description.titlePort) {
        case TitlePort::Number:
            AppendFormat(out, description.title, record.port);
            break;
        case TitlePort::AddressCharacter:
            AppendFormat(out, description.title, AddressCharacter(record.port));
            break;
        case TitlePort::None:
            AppendFormat(out, description.title);
            break;
    }
    if (description.sizeLine) {
        AppendFormat(out, "\tSize = %d\r\n", record.size);
    }
    if (description.reportOrder.empty()) {
        for (const RecordField& field : record.fields) {
            AppendField(out, field);
        }
    } else {
        for (int index : description.reportOrder) {
            AppendField(out, record.fields[static_cast<std::size_t>(index)]);
        }
    }
    AppendAscii(out, "\r\n");
}

// Room for any value a field shows, a float32's "%g" ("-1.17549e-38") or an int32
// ("-2147483648"), and for an element index: an array lies in a record of at most 65535
// bytes, so it has fewer than 100000 elements. Only a hint: more text merely grows the buffer.
constexpr std::size_t kNumberRoom = 12;
constexpr std::size_t kIndexRoom = 5;

// At least the length of the record's block, so that the report is allocated once rather
// than grown (and copied) a dozen times on its way to tens of kilobytes.
std::size_t BlockRoom(const DecodedRecord& record)
{
    const RecordDescription& description = *record.description;
    std::size_t room = description.title.size() + kNumberRoom + 2;
    if (description.sizeLine) {
        room += std::string_view("\tSize = \r\n").size() + kNumberRoom;
    }
    auto fieldRoom = [](const RecordField& field) {
        const FieldDescription& d = field.Description();
        if (!IsArray(field.Kind())) {
            return 1 + d.name.size() + d.separator.size() + kNumberRoom + 2;
        }
        const std::size_t line = static_cast<std::size_t>(d.elementTabs) + d.name.size() +
                                 std::string_view("[] = \r\n").size() + kIndexRoom + kNumberRoom;
        return d.arrayHeader.size() + line * static_cast<std::size_t>(field.Count());
    };
    if (description.reportOrder.empty()) {
        for (const RecordField& field : record.fields) {
            room += fieldRoom(field);
        }
    } else {
        for (int index : description.reportOrder) {
            room += fieldRoom(record.fields[static_cast<std::size_t>(index)]);
        }
    }
    return room;
}

}  // namespace

ReportText RenderReport(const DecodedMessage& decoded)
{
    // The head, the packet type and the closing lines take well under 256 characters.
    std::size_t room = 256;
    for (const DecodedRecord& record : decoded.records) {
        room += BlockRoom(record);
    }
    std::string report;
    report.reserve(room);
    AppendFormat(report, "Converting %d bytes\r\n\r\n", decoded.byteCount);
    AppendFormat(report, "Packet Type:\r\n");
    if (!decoded.packetType) {
        AppendFormat(report, "\tNot enough data to contain packet type\r\n\r\n");
    } else {
        AppendAscii(report,
                    decoded.stop == StopReason::UnknownPacketType ? "\tType " : "\tType = ");
        AppendAscii(report, decoded.PacketTypeName());
        AppendAscii(report, "\r\n\r\n");
    }
    for (const DecodedRecord& record : decoded.records) {
        AppendRecord(report, record);
    }
    if (decoded.stop == StopReason::UnrecognizedSensorType) {
        AppendFormat(report, "Unrecognized sensor type\r\n\r\n");
    }
    if (!decoded.Complete()) {
        AppendFormat(report, kStopLine);
    }
    // Widened in one pass into a string of the exact length: no growth, no zero-filling.
    const auto* first = reinterpret_cast<const unsigned char*>(report.data());
    return ReportText(first, first + report.size());
}

ReportText ConvertMessage(const std::uint8_t* message, std::int32_t n, CapturedImage& image)
{
    image.release();
    const DecodedMessage decoded = DecodeMessage(message, n);
    image = CaptureImage(message, decoded);
    return RenderReport(decoded);
}

CapturedImage CaptureImage(const std::uint8_t* message, const DecodedMessage& decoded)
{
    CapturedImage image;
    // The last camera record of a message is the image; an empty one still counts.
    if (const DecodedRecord* camera = decoded.LastCameraRecord()) {
        const std::uint8_t* first = message + camera->offset + 4;
        image.bytes.emplace(first, first + camera->size);
    }
    return image;
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
