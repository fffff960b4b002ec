#pragma once
// Message files in and camera images out, for every front end (the converter, the Qt window,
// the Windows dialog, the server): one size limit and one set of reasons why not.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ConvertMessage.h"

namespace saltmark {

// No SBD message comes near this size: a longer file is refused rather than read whole.
inline constexpr std::uintmax_t kLargestMessageFile = kLargestMessageBytes;

// The file's bytes, or nothing with `reason` set to one line saying why not (the system's
// reason, "is a directory", or the size limit). The read stops one byte past the limit
// whatever the file is (a device, a pipe, a file still growing), and a file that shrinks or
// grows meanwhile gives exactly the bytes that were read.
std::optional<std::vector<std::uint8_t>> ReadMessageFile(const std::filesystem::path& path,
                                                         std::string& reason);

// The same for an open stream (standard input), read to its end or past the limit.
std::optional<std::vector<std::uint8_t>> ReadMessageStream(std::FILE* stream, std::string& reason);

#ifndef _WIN32
// The same for a file the caller opened and checked itself (a server that must not follow a
// link or block on a pipe opens with O_NOFOLLOW | O_NONBLOCK and looks at fstat). Read from
// the descriptor's position; the descriptor stays open. On failure errno is the system's
// error number, or 0 when the limit was passed.
std::optional<std::vector<std::uint8_t>> ReadMessageDescriptor(int descriptor, std::string& reason);
#endif

// The image name proposed next to a message file: the file name's last extension replaced by
// ".jpg". Only the file name is searched for its '.', never a folder name; a file name without
// one is proposed unchanged. Both '/' and '\' end a folder name, so that Windows paths read the
// same on every platform.
std::wstring ProposeImageName(std::wstring_view messagePath);

// Writes the image through a temporary file beside `path` that replaces it only once complete,
// so that a failed save leaves any earlier file at `path` as it was. False with `reason` set
// when it cannot.
bool WriteImageFile(const std::filesystem::path& path, std::span<const std::uint8_t> image,
                    std::string& reason);

}  // namespace saltmark
