#include "Message.h"

#include <algorithm>
#include <utility>

#include "MessageFiles.h"
#include "MessageJson.h"

namespace saltmark {

Message::Message(std::vector<std::uint8_t> bytes) : m_bytes(std::move(bytes))
{
    const auto n = static_cast<std::int32_t>(
        std::min<std::size_t>(m_bytes.size(), static_cast<std::size_t>(kLargestMessageBytes)));
    m_decoded = DecodeMessage(m_bytes.data(), n);
}

std::optional<Message> Message::FromFile(const std::filesystem::path& path, std::string& reason)
{
    auto bytes = ReadMessageFile(path, reason);
    if (!bytes) {
        return std::nullopt;
    }
    return Message(std::move(*bytes));
}

std::optional<Message> Message::FromStream(std::FILE* stream, std::string& reason)
{
    auto bytes = ReadMessageStream(stream, reason);
    if (!bytes) {
        return std::nullopt;
    }
    return Message(std::move(*bytes));
}

ReportText Message::Report() const { return RenderReport(m_decoded); }

CapturedImage Message::Image() const { return CaptureImage(m_bytes.data(), m_decoded); }

std::optional<Y81000Spectrum> Message::Spectrum() const { return SpectrumFromMessage(m_decoded); }

ConvertedMessage Message::Converted() const { return {Report(), Image(), Spectrum()}; }

std::string Message::JsonText(std::string_view fileName, const DirectIpHeader* header,
                              const DirectIpLocation* location) const
{
    return MessageJsonText(m_decoded, fileName, header, location);
}

}  // namespace saltmark
