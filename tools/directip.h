#pragma once
// The gateway's side of a message: an SBD payload wrapped as Iridium's DirectIP pushes it.

#include <optional>
#include <string>
#include <string_view>

#include "message.h"

// The envelope "IMEI,MOMSN,TIME[,LAT,LON,CEP]": 15 digits, MOMSN 0 to 65535, TIME as seconds
// since 1970 or as "2025-12-07T09:33:20Z", and optionally the gateway's position estimate in
// decimal degrees (south and west negative) with its CEP radius in km. Nothing with `error`
// set when the text is no such envelope or the payload cannot be carried (1 to 1960 bytes).
std::optional<Bytes> directIpMessage(std::string_view envelope, const Bytes& payload,
                                     std::string& error);
