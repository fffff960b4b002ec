#pragma once
// Files in and out for saltmark-convert: message files are read whole but never beyond what an
// SBD message can be, and outputs are written whole or reported.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ConvertMessage.h"

namespace saltmark::cli {

constexpr auto kMaxMessageBytes = static_cast<std::uintmax_t>(kLargestMessageBytes);

// The file's bytes, or nothing with `reason` set to one line saying why not.
std::optional<std::vector<std::uint8_t>> ReadMessageFile(const std::filesystem::path& path,
                                                         std::string& reason);

// Creates or replaces `path` with exactly `bytes`; false with `reason` set when it cannot.
bool WriteWholeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                    std::string& reason);

}  // namespace saltmark::cli
