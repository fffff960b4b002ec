#pragma once
// A decoded message as data: the walk's records with their fields, each under the name the
// report gives it. The report, JSON, CSV and the SQLite archive are renderings of these.
// Platform-free: no GUI, no files.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace saltmark {

// How a field is stored in the record.
enum class FieldKind {
    Float32,       // one IEEE-754 single-precision value
    UInt16,        // one unsigned 16-bit count
    Int32,         // one signed 32-bit value
    Float32Array,  // consecutive float32 values
    Int32Array,    // consecutive int32 counts
    Text,          // characters (the V536's SDI-12 address)
};

constexpr bool IsArray(FieldKind kind)
{
    return kind == FieldKind::Float32Array || kind == FieldKind::Int32Array;
}

// One field of a record type, as the record stores it and the report shows it.
struct FieldDescription {
    std::string_view name;  // the report's label; arrays also name their elements "E[3]"
    FieldKind kind;
    std::size_t offset = 0;  // from the record's first byte (fixed layouts only)
    int count = 1;           // array elements; 0 when the record's own counts decide
    // Report text: the line above an array's elements, the tabs before each element, and
    // what separates a scalar's label from its value.
    std::string_view arrayHeader = {};
    int elementTabs = 1;
    std::string_view separator = " = ";
};

// How a title line shows the header's port byte.
enum class TitlePort { Number, AddressCharacter, None };

// One record type: its name and code, its fields in storage order, and its report block.
struct RecordDescription {
    std::string_view typeName;  // "PB200", "Miscellaneous values", ...
    std::uint8_t code;
    std::size_t length;  // whole record, header included; 0 when the size field decides
    std::span<const FieldDescription> fields;
    std::string_view title;  // "PB200 on COM%d:\r\n"
    TitlePort titlePort;
    bool sizeLine;  // "\tSize = %d\r\n" after the title
    // Field indices in the order the report prints them (a field may appear twice, another
    // not at all); empty means every field in storage order.
    std::span<const int> reportOrder;
};

// The record types, indexed by their code (0 to 13).
std::span<const RecordDescription> RecordDescriptions();

// The type whose name matches `name` ignoring case, or whose code `name` spells.
const RecordDescription* FindRecordDescription(std::string_view name);

// Whether two type or field names are the same, in any case and with an underscore for a
// space, as the archive's tables and columns spell them ("Miscellaneous_values").
bool SameTypeName(std::string_view a, std::string_view b);

// One field's value in one record. Arrays and text borrow the message's bytes.
class RecordField {
public:
    RecordField(const FieldDescription& description, float real);
    RecordField(const FieldDescription& description, std::int64_t integer);
    RecordField(const FieldDescription& description, const std::uint8_t* first, int count);

    const FieldDescription& Description() const { return *m_pDescription; }
    std::string_view Name() const { return m_pDescription->name; }
    FieldKind Kind() const { return m_pDescription->kind; }

    float Real() const { return m_fReal; }               // Float32
    std::int64_t Integer() const { return m_nInteger; }  // UInt16, Int32
    int Count() const { return m_nCount; }               // arrays and text
    float RealAt(int i) const;                           // Float32Array
    std::int32_t IntegerAt(int i) const;                 // Int32Array
    std::string_view Text() const;                       // Text, the raw bytes
    std::string TextUtf8() const;  // Text with each byte read as Latin-1, so always valid UTF-8

private:
    const FieldDescription* m_pDescription;
    float m_fReal = 0.0f;
    std::int64_t m_nInteger = 0;
    const std::uint8_t* m_pFirst = nullptr;
    int m_nCount = 0;
};

// One record the walk decoded.
struct DecodedRecord {
    const RecordDescription* description;
    std::uint8_t port;
    std::uint16_t size;  // the header's size field, as stored
    std::size_t offset;  // of the record's first byte in the message
    std::size_t length;  // bytes the record takes in the message
    std::vector<RecordField> fields;

    std::string_view TypeName() const { return description->typeName; }
    std::uint8_t Code() const { return description->code; }
    const RecordField* Find(std::string_view name) const;
};

// Why a decode stopped before the end of the message.
enum class StopReason {
    None,                    // complete: every record decoded, up to three trailing bytes left
    NoPacketType,            // an empty message
    UnknownPacketType,       // not packet type 55
    UnrecognizedSensorType,  // a record type code above 13
    RecordOverrun,           // a record runs past the end of the message
    SignatureCountsOverrun,  // a Signature record's counts need more than its size gives
};

// Everything one message decodes to. Borrows the message's bytes: keep them alive as long.
struct DecodedMessage {
    std::int32_t byteCount = 0;
    std::optional<std::uint8_t> packetType;  // none for an empty message
    std::vector<DecodedRecord> records;
    StopReason stop = StopReason::None;
    std::size_t stopOffset = 0;  // where the decode stopped: 0, or the failing record's offset

    bool Complete() const { return stop == StopReason::None; }
    // "v4.0+ (enhanced Signature)", "UNKNOWN (-56)", or empty without a packet type.
    std::string PacketTypeName() const;
    // One line saying why the decode stopped; empty when it is complete.
    std::string StopReasonLine() const;
    // The last camera record, whose image the report's image slot holds.
    const DecodedRecord* LastCameraRecord() const;
};

// Walks the n bytes at `message` exactly as the report does (n may be zero or negative).
// Never throws for any input.
DecodedMessage DecodeMessage(const std::uint8_t* message, std::int32_t n);

// The shortest decimal text that reads back as the same float32, also when a reader parses
// it as a double first and narrows that (the way JSON and CSV readers do). Finite values only.
std::string ShortestFloat32(float value);

// The value ShortestFloat32's text parses to as a double.
double ShortestFloat32AsDouble(float value);

// "nan", "-nan" (by the sign bit), "inf" or "-inf".
std::string_view NonFiniteName(double value);

// JSON has no number for a non-finite value: it is written as null and named in a companion
// member, the field's name followed by this suffix. eddyrate-run's JSON does the same.
inline constexpr std::string_view kNonFiniteSuffix = "_nonfinite";

}  // namespace saltmark
