#include "MessageJson.h"

#include <cmath>

namespace saltmark {

namespace {

using Json = nlohmann::ordered_json;

Json Number(float value)
{
    if (!std::isfinite(value)) {
        return nullptr;
    }
    return ShortestFloat32AsDouble(value);
}

void AddField(Json& fields, const RecordField& field)
{
    const std::string name(field.Name());
    switch (field.Kind()) {
        case FieldKind::Float32:
            fields[name] = Number(field.Real());
            if (!std::isfinite(field.Real())) {
                fields[name + std::string(kNonFiniteSuffix)] = NonFiniteName(field.Real());
            }
            break;
        case FieldKind::UInt16:
        case FieldKind::Int32:
            fields[name] = field.Integer();
            break;
        case FieldKind::Float32Array: {
            Json values = Json::array();
            Json names = Json::array();
            bool anyNonFinite = false;
            for (int i = 0; i < field.Count(); ++i) {
                const float value = field.RealAt(i);
                values.push_back(Number(value));
                if (std::isfinite(value)) {
                    names.push_back(nullptr);
                } else {
                    names.push_back(NonFiniteName(value));
                    anyNonFinite = true;
                }
            }
            fields[name] = std::move(values);
            if (anyNonFinite) {
                fields[name + std::string(kNonFiniteSuffix)] = std::move(names);
            }
            break;
        }
        case FieldKind::Int32Array: {
            Json values = Json::array();
            for (int i = 0; i < field.Count(); ++i) {
                values.push_back(field.IntegerAt(i));
            }
            fields[name] = std::move(values);
            break;
        }
        case FieldKind::Text:
            fields[name] = field.TextUtf8();
            break;
    }
}

Json RecordJson(const DecodedRecord& record, std::size_t index)
{
    Json fields = Json::object();
    for (const RecordField& field : record.fields) {
        AddField(fields, field);
    }
    return Json{{"index", index},      {"type", record.TypeName()},  {"code", record.Code()},
                {"port", record.port}, {"offset", record.offset},    {"length", record.length},
                {"size", record.size}, {"fields", std::move(fields)}};
}

}  // namespace

nlohmann::ordered_json MessageJson(const DecodedMessage& decoded, std::string_view fileName)
{
    Json records = Json::array();
    for (std::size_t i = 0; i < decoded.records.size(); ++i) {
        records.push_back(RecordJson(decoded.records[i], i));
    }
    Json image = nullptr;
    if (const DecodedRecord* camera = decoded.LastCameraRecord()) {
        image = Json{{"offset", camera->Find("Image offset")->Integer()},
                     {"length", camera->Find("Image size")->Integer()}};
    }
    Json outcome = decoded.Complete()
                       ? Json{{"complete", true}, {"reason", nullptr}, {"offset", nullptr}}
                       : Json{{"complete", false},
                              {"reason", decoded.StopReasonLine()},
                              {"offset", decoded.stopOffset}};
    Json packetType = nullptr;
    Json packetTypeName = nullptr;
    if (decoded.packetType) {
        packetType = *decoded.packetType;
        packetTypeName = decoded.PacketTypeName();
    }
    return Json{
        {"file", std::string(fileName)},       {"size", decoded.byteCount},
        {"packetType", std::move(packetType)}, {"packetTypeName", std::move(packetTypeName)},
        {"records", std::move(records)},       {"image", std::move(image)},
        {"outcome", std::move(outcome)}};
}

nlohmann::ordered_json DirectIpJson(const DirectIpHeader& header, const DirectIpLocation* location)
{
    Json where = nullptr;
    if (location != nullptr) {
        where = Json{{"latitude", location->latitude},
                     {"longitude", location->longitude},
                     {"cepKm", location->cepKm}};
    }
    return Json{{"imei", header.imei},
                {"momsn", header.momsn},
                {"mtmsn", header.mtmsn},
                {"cdrReference", header.cdrReference},
                {"sessionStatus", header.sessionStatus},
                {"sessionTime", IsoUtc(header.sessionTime)},
                {"location", std::move(where)}};
}

std::string MessageJsonText(const DecodedMessage& decoded, std::string_view fileName,
                            const DirectIpHeader* header, const DirectIpLocation* location)
{
    Json document = MessageJson(decoded, fileName);
    if (header != nullptr) {
        document["directip"] = DirectIpJson(*header, location);
    }
    return DumpJsonLine(document);
}

std::string DumpJsonLine(const nlohmann::ordered_json& document)
{
    // A file name need not be UTF-8; its stray bytes become U+FFFD rather than an exception.
    return document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string MessageJsonText(const std::uint8_t* message, std::int32_t n, std::string_view fileName,
                            const DirectIpHeader* header, const DirectIpLocation* location)
{
    return MessageJsonText(DecodeMessage(message, n), fileName, header, location);
}

}  // namespace saltmark
