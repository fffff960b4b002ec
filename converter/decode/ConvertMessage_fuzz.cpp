// libFuzzer entry: any bytes as a message, and the same bytes as a report for the UTF-8
// conversion. A check that fails names itself on standard error and aborts, so the fuzzer
// keeps the input.
//
// For every message: the report opens with the converting and packet-type lines, is made of
// whole CR LF lines only, and ends after a complete block (an empty line) or with the stop
// line, which appears nowhere else; a captured image is a byte-for-byte copy of the body of a
// camera record inside the message. For every report: its UTF-8 form is well formed and reads
// back as the same characters (anything that is not a character becomes U+FFFD).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ConvertMessage.h"

namespace {

void Check(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

std::string Narrow(const saltmark::ReportText& report)
{
    std::string text;
    text.reserve(report.size());
    for (wchar_t c : report) {
        Check(c > 0 && c < 0x80, "the report holds only ASCII");
        text.push_back(static_cast<char>(c));
    }
    return text;
}

void CheckReport(const std::uint8_t* data, std::size_t size, const std::string& report)
{
    constexpr std::string_view kStopLine = "Stopping decode due to error\r\n\r\n";
    const std::string opening =
        "Converting " + std::to_string(size) + " bytes\r\n\r\nPacket Type:\r\n";
    Check(report.starts_with(opening), "the report opens with the converting lines");
    const std::string_view rest = std::string_view(report).substr(opening.size());
    if (size == 0) {
        Check(rest == std::string("\tNot enough data to contain packet type\r\n\r\n") +
                          std::string(kStopLine),
              "an empty message has only the missing packet type and the stop line");
        return;
    }
    const std::string unknown =
        "\tType UNKNOWN (" + std::to_string(static_cast<std::int8_t>(data[0])) + ")\r\n\r\n";
    if (data[0] == 55) {
        Check(rest.starts_with("\tType = v4.0+ (enhanced Signature)\r\n\r\n"),
              "packet type 55 is named");
    } else {
        Check(rest == unknown + std::string(kStopLine),
              "an unknown packet type is shown and stops the decode");
    }

    for (std::size_t i = 0; i < report.size(); ++i) {
        if (report[i] == '\r') {
            Check(i + 1 < report.size() && report[i + 1] == '\n', "every CR starts a CR LF");
        } else if (report[i] == '\n') {
            Check(i > 0 && report[i - 1] == '\r', "every LF ends a CR LF");
        }
    }
    Check(report.ends_with("\r\n\r\n"), "the report ends after a complete block");
    const std::size_t stop = report.find(kStopLine);
    Check(stop == std::string::npos || stop + kStopLine.size() == report.size(),
          "the stop line comes last");
}

// The image must be the body of some camera record: type 7 and a size equal to its length
// in the header just before it.
void CheckImage(const std::uint8_t* data, std::size_t size, const saltmark::CapturedImage& image)
{
    if (!image.held()) {
        return;
    }
    const std::vector<std::uint8_t>& bytes = *image.bytes;
    bool found = false;
    for (std::size_t header = 1; !found && header + 4 + bytes.size() <= size; ++header) {
        found = data[header] == 7 &&
                (data[header + 2] | (data[header + 3] << 8)) == static_cast<int>(bytes.size()) &&
                (bytes.empty() || std::memcmp(data + header + 4, bytes.data(), bytes.size()) == 0);
    }
    Check(found, "the captured image is the body of a camera record of the message");
}

// Reads UTF-8 back; false when the bytes are not well formed (overlong forms, surrogates and
// values above U+10FFFF included).
bool DecodeUtf8(const std::string& text, std::u32string& decoded)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3
                                                           : lead < 0xF5 ? 4 : 0;
        if (length == 0 || i + static_cast<std::size_t>(length) > text.size()) {
            return false;
        }
        char32_t value = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            value = (value << 6) | (next & 0x3F);
        }
        const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        decoded.push_back(value);
        i += static_cast<std::size_t>(length);
    }
    return true;
}

// Three bytes per character reach every width of the encoding and values past U+10FFFF.
void CheckUtf8(const std::uint8_t* data, std::size_t size)
{
    saltmark::ReportText text;
    for (std::size_t i = 0; i + 3 <= size; i += 3) {
        text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8) | (data[i + 2] << 16)));
    }
    std::u32string decoded;
    Check(DecodeUtf8(saltmark::ToUtf8(text), decoded), "the UTF-8 form is well formed");
    Check(decoded.size() == text.size(), "one character read back per character");
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto value = static_cast<char32_t>(text[i]);
        const bool character = value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
        Check(decoded[i] == (character ? value : U'\uFFFD'), "every character reads back");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > static_cast<std::size_t>(saltmark::kLargestMessageBytes)) {
        return 0;
    }
    saltmark::CapturedImage image;
    const saltmark::ReportText report =
        saltmark::ConvertMessage(data, static_cast<std::int32_t>(size), image);
    CheckReport(data, size, Narrow(report));
    CheckImage(data, size, image);
    CheckUtf8(data, size);
    return 0;
}
