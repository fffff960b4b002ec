// The record walk: framing, packet type, the bounds gate, and each record's fields as data.

#include <cassert>
#include <charconv>
#include <cmath>
#include <optional>
#include <span>

#include "ByteOrder.h"
#include "Records.h"
#include "SignatureRecord.h"

namespace saltmark {

namespace {

// The one packet type this decoder knows: its record set includes the variable-length
// Signature record.
constexpr std::uint8_t kEnhancedSignaturePacket = 55;

// Every record opens with type (uint8), port (uint8) and size (uint16).
constexpr std::size_t kRecordHeaderLength = 4;

constexpr std::uint8_t kCameraCode = 7;
constexpr std::uint8_t kSignatureCode = 9;

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

// Every field at its described offset; the walk has checked that the whole record is there.
void ReadFixedFields(const RecordDescription& description, const std::uint8_t* record,
                     std::vector<RecordField>& fields)
{
    for (const FieldDescription& field : description.fields) {
        const std::uint8_t* at = record + field.offset;
        switch (field.kind) {
            case FieldKind::Float32:
                fields.emplace_back(field, LoadF32(at));
                break;
            case FieldKind::UInt16:
                fields.emplace_back(field, std::int64_t{LoadU16(at)});
                break;
            case FieldKind::Int32:
                fields.emplace_back(field, std::int64_t{LoadI32(at)});
                break;
            case FieldKind::Float32Array:
            case FieldKind::Int32Array:
                fields.emplace_back(field, at, field.count);
                break;
            case FieldKind::Text:
                fields.emplace_back(field, at, 1);
                break;
        }
    }
}

void ReadSignatureFields(const RecordDescription& description, const CSignatureRecord& signature,
                         std::vector<RecordField>& fields)
{
    const std::span<const FieldDescription> f = description.fields;
    fields.emplace_back(f[0], std::int64_t{signature.BurstCount()});
    fields.emplace_back(f[1], signature.BurstValues(), signature.BurstCount());
    fields.emplace_back(f[2], std::int64_t{signature.AvgCount()});
    fields.emplace_back(f[3], signature.EastMeans(), signature.AvgCount());
    fields.emplace_back(f[4], signature.NorthMeans(), signature.AvgCount());
}

// Decodes records until they run out (up to three trailing bytes are never examined) or one
// cannot be decoded; a record that fails adds nothing.
void WalkRecords(RecordCursor& cursor, DecodedMessage& decoded)
{
    const std::span<const RecordDescription> descriptions = RecordDescriptions();
    std::size_t offset = 1;
    while (cursor.HeaderLeft()) {
        const std::uint8_t code = cursor.Type();
        if (code >= descriptions.size()) {
            decoded.stop = StopReason::UnrecognizedSensorType;
            decoded.stopOffset = offset;
            return;
        }
        const RecordDescription& description = descriptions[code];
        const std::size_t length = description.length != 0
                                       ? description.length
                                       : kRecordHeaderLength + std::size_t{cursor.Size()};
        // A camera record too long for the message stops the walk like any other: its image
        // is never read, and an earlier camera record's image stays the message's image.
        const std::optional<std::span<const std::uint8_t>> record = cursor.Take(length);
        if (!record) {
            decoded.stop = StopReason::RecordOverrun;
            decoded.stopOffset = offset;
            return;
        }
        DecodedRecord& out = decoded.records.emplace_back(DecodedRecord{
            &description, (*record)[1], LoadU16(record->data() + 2), offset, length, {}});
        out.fields.reserve(description.fields.size());
        if (code == kSignatureCode) {
            const std::optional<CSignatureRecord> signature = CSignatureRecord::Parse(*record);
            if (!signature) {
                decoded.records.pop_back();
                decoded.stop = StopReason::SignatureCountsOverrun;
                decoded.stopOffset = offset;
                return;
            }
            ReadSignatureFields(description, *signature, out.fields);
        } else if (code == kCameraCode) {
            out.fields.emplace_back(description.fields[0], std::int64_t{out.size});
            out.fields.emplace_back(description.fields[1],
                                    static_cast<std::int64_t>(offset + kRecordHeaderLength));
        } else {
            ReadFixedFields(description, record->data(), out.fields);
        }
        offset += length;
    }
}

}  // namespace

RecordField::RecordField(const FieldDescription& description, float real)
    : m_pDescription(&description), m_fReal(real)
{
}

RecordField::RecordField(const FieldDescription& description, std::int64_t integer)
    : m_pDescription(&description), m_nInteger(integer)
{
}

RecordField::RecordField(const FieldDescription& description, const std::uint8_t* first, int count)
    : m_pDescription(&description), m_pFirst(first), m_nCount(count)
{
}

float RecordField::RealAt(int i) const
{
    assert(Kind() == FieldKind::Float32Array && i >= 0 && i < m_nCount);
    return LoadF32(m_pFirst + 4 * i);
}

std::int32_t RecordField::IntegerAt(int i) const
{
    assert(Kind() == FieldKind::Int32Array && i >= 0 && i < m_nCount);
    return LoadI32(m_pFirst + 4 * i);
}

std::string_view RecordField::Text() const
{
    return {reinterpret_cast<const char*>(m_pFirst), static_cast<std::size_t>(m_nCount)};
}

std::string RecordField::TextUtf8() const
{
    std::string out;
    for (char c : Text()) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out.push_back(c);
        } else {
            out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return out;
}

const RecordField* DecodedRecord::Find(std::string_view name) const
{
    for (const RecordField& field : fields) {
        if (field.Name() == name) {
            return &field;
        }
    }
    return nullptr;
}

std::string DecodedMessage::PacketTypeName() const
{
    if (!packetType) {
        return {};
    }
    if (*packetType == kEnhancedSignaturePacket) {
        return "v4.0+ (enhanced Signature)";
    }
    return "UNKNOWN (" + std::to_string(static_cast<std::int8_t>(*packetType)) + ")";
}

std::string DecodedMessage::StopReasonLine() const
{
    switch (stop) {
        case StopReason::None:
            return {};
        case StopReason::NoPacketType:
            return "Not enough data to contain packet type";
        case StopReason::UnknownPacketType:
            return "Type " + PacketTypeName();
        case StopReason::UnrecognizedSensorType:
            return "Unrecognized sensor type";
        case StopReason::RecordOverrun:
            return "Record runs past the end of the message";
        case StopReason::SignatureCountsOverrun:
            return "Signature counts need more bytes than the record's size";
    }
    return {};
}

const DecodedRecord* DecodedMessage::LastCameraRecord() const
{
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        if (record->Code() == kCameraCode) {
            return &*record;
        }
    }
    return nullptr;
}

DecodedMessage DecodeMessage(const std::uint8_t* message, std::int32_t n)
{
    DecodedMessage decoded;
    decoded.byteCount = n;
    if (n <= 0 || message == nullptr) {
        decoded.stop = StopReason::NoPacketType;
        return decoded;
    }
    decoded.packetType = message[0];
    if (message[0] != kEnhancedSignaturePacket) {
        decoded.stop = StopReason::UnknownPacketType;
        return decoded;
    }
    RecordCursor cursor(std::span(message + 1, static_cast<std::size_t>(n) - 1));
    WalkRecords(cursor, decoded);
    return decoded;
}

std::string ShortestFloat32(float value)
{
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    double parsed = 0.0;
    std::from_chars(buffer, result.ptr, parsed);
    // Readers parse to double and narrow. The shortest float32 text almost always survives
    // that double rounding; where it would not, the widened value's own text is exact.
    if (static_cast<float>(parsed) != value) {
        result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value));
    }
    return std::string(buffer, result.ptr);
}

double ShortestFloat32AsDouble(float value)
{
    const std::string text = ShortestFloat32(value);
    double parsed = 0.0;
    std::from_chars(text.data(), text.data() + text.size(), parsed);
    return parsed;
}

std::string_view NonFiniteName(double value)
{
    if (std::isnan(value)) {
        return std::signbit(value) ? "-nan" : "nan";
    }
    return value < 0 ? "-inf" : "inf";
}

}  // namespace saltmark
