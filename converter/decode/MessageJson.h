#pragma once
// A decoded message as one JSON document: the file's name and size, the packet type, every
// record in order with its fields, and whether the decode completed.
//
// Numbers: float32 values are written as the shortest decimal that reads back as the same
// float32 after a reader parses it as a double and narrows it. JSON has no NaN or infinity,
// so a non-finite value is written as null and named in a companion member "<Field>_nonfinite"
// ("nan", "-nan", "inf" or "-inf"; for an array, an array holding the name at each non-finite
// position and null elsewhere, present only when the array has one). The camera image is
// given as its offset and length in the message, never as bytes.
//
// A message that came in DirectIP framing also carries its envelope, last, as "directip":
// imei, momsn, mtmsn, cdrReference, sessionStatus, sessionTime (UTC ISO 8601) and location
// (latitude and longitude in decimal degrees, south and west negative, and cepKm; or null).

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "DirectIp.h"
#include "Records.h"

namespace saltmark {

nlohmann::ordered_json MessageJson(const DecodedMessage& decoded, std::string_view fileName);

// Decodes the n bytes at `message` and gives the document as one line of UTF-8 text ending in
// "\n", with the envelope when one is given. Valid JSON for any input; never throws.
std::string MessageJsonText(const std::uint8_t* message, std::int32_t n, std::string_view fileName,
                            const DirectIpHeader* header = nullptr,
                            const DirectIpLocation* location = nullptr);

// The same for a message decoded already.
std::string MessageJsonText(const DecodedMessage& decoded, std::string_view fileName,
                            const DirectIpHeader* header = nullptr,
                            const DirectIpLocation* location = nullptr);

// A document as one line of UTF-8 text ending in "\n", as MessageJsonText writes it.
std::string DumpJsonLine(const nlohmann::ordered_json& document);

nlohmann::ordered_json DirectIpJson(const DirectIpHeader& header, const DirectIpLocation* location);

}  // namespace saltmark
