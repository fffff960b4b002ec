#pragma once
// One message, read once and decoded once, and everything a front end makes of it: the report,
// the camera image, the records as a JSON document, the Y81000 spectrum with its f^-5/3 line.
// Every front end (saltmark-convert, the windows, the server, Python) comes in here.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ConvertMessage.h"
#include "ConvertedMessage.h"
#include "DirectIp.h"
#include "Records.h"
#include "Y81000Spectrum.h"

namespace saltmark {

class Message {
public:
    // Decodes `bytes` once; only the first kLargestMessageBytes are read, as the file readers
    // never hand out more.
    explicit Message(std::vector<std::uint8_t> bytes);

    // The decode borrows the bytes: a move keeps them where they are, a copy would not.
    Message(Message&&) noexcept = default;
    Message& operator=(Message&&) noexcept = default;
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    // The file's bytes, or nothing with `reason` set (MessageFiles.h gives the reasons).
    static std::optional<Message> FromFile(const std::filesystem::path& path, std::string& reason);
    // The same for an open stream (standard input), read to its end or past the limit.
    static std::optional<Message> FromStream(std::FILE* stream, std::string& reason);

    std::span<const std::uint8_t> Bytes() const { return m_bytes; }
    const DecodedMessage& Decoded() const { return m_decoded; }

    ReportText Report() const;
    CapturedImage Image() const;
    std::optional<Y81000Spectrum> Spectrum() const;
    // Report, image and spectrum together, as a window shows them.
    ConvertedMessage Converted() const;
    // The records as one line of JSON ending in "\n" (MessageJson.h), with the DirectIP
    // envelope when one is given.
    std::string JsonText(std::string_view fileName, const DirectIpHeader* header = nullptr,
                         const DirectIpLocation* location = nullptr) const;

private:
    std::vector<std::uint8_t> m_bytes;
    DecodedMessage m_decoded;
};

}  // namespace saltmark
