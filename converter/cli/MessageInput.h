#pragma once
// Where saltmark-convert takes a message from: a file, or standard input for "-".

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace saltmark::cli {

// The name that stands for standard input.
inline constexpr const char* kStandardInput = "-";

// The message's bytes, or nothing with `reason` set to one line saying why not. Standard input
// is read to its end, but never beyond what an SBD message can be.
std::optional<std::vector<std::uint8_t>> ReadMessageInput(const std::filesystem::path& path,
                                                          std::string& reason);

}  // namespace saltmark::cli
