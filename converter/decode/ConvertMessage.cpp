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
void AppendField(ReportText& out, const RecordField& field)
{
    const FieldDescription& description = field.Description();
    switch (field.Kind()) {
        case FieldKind::Float32:
        case FieldKind::UInt16:
        case FieldKind::Int32:
            out.push_back(L'\t');
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
                out.append(static_cast<std::size_t>(description.elementTabs), L'\t');
                AppendAscii(out, description.name);
                out.push_back(L'[');
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

void AppendRecord(ReportText& out, const DecodedRecord& record)
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

}  // namespace

ReportText RenderReport(const DecodedMessage& decoded)
{
    ReportText report;
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
    return report;
}

ReportText ConvertMessage(const std::uint8_t* message, std::int32_t n, CapturedImage& image)
{
    image.release();
    const DecodedMessage decoded = DecodeMessage(message, n);
    // The last camera record of a message is the image; an empty one still counts.
    if (const DecodedRecord* camera = decoded.LastCameraRecord()) {
        const std::uint8_t* first = message + camera->offset + 4;
        image.bytes.emplace(first, first + camera->size);
    }
    return RenderReport(decoded);
}

std::string ToUtf8(const ReportText& report)
{
    std::string out;
    out.reserve(report.size());
    for (wchar_t c : report) {
        auto cp = static_cast<std::uint32_t>(c);
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
