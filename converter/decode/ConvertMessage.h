#pragma once
// The SBD message decoder: one message's bytes in, the plain-text report out.
// Platform-free: no GUI, no files, no locale dependence.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace saltmark {

// The report: wide characters, every line ending in CR LF.
using ReportText = std::wstring;

// The image slot a camera record fills. "No image" (nothing held) differs from an
// empty image (a camera record with no bytes), which is still an image to save.
struct CapturedImage {
    std::optional<std::vector<std::uint8_t>> bytes;

    bool held() const { return bytes.has_value(); }
    void release() { bytes.reset(); }
};

// No SBD message comes near this size; readers refuse a larger file instead of reading it whole.
inline constexpr std::int32_t kLargestMessageBytes = 1024 * 1024;

// Decodes the n bytes at `message` (n may be zero or negative: nothing is read then).
// Empties `image` on entry and fills it from the camera records met. Never throws for
// any input; every decoding problem is a line of the report. Numbers read as printf shows
// them in the C locale, whatever locale the process has set.
ReportText ConvertMessage(const std::uint8_t* message, std::int32_t n, CapturedImage& image);

struct DecodedMessage;

// The report of an already decoded message (ConvertMessage without the image slot).
ReportText RenderReport(const DecodedMessage& decoded);

// The image slot as ConvertMessage fills it, from the message `decoded` was decoded from.
CapturedImage CaptureImage(const std::uint8_t* message, const DecodedMessage& decoded);

// The report as well-formed UTF-8 bytes, line endings kept; a value that is no character
// (a lone surrogate, or beyond U+10FFFF) becomes U+FFFD.
std::string ToUtf8(const ReportText& report);

}  // namespace saltmark
