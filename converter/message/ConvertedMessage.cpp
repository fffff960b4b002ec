#include "ConvertedMessage.h"

#include <algorithm>
#include <utility>

#include "Records.h"

namespace saltmark {

ConvertedMessage ConvertMessageBytes(std::span<const std::uint8_t> message, DecodedMessage* decoded)
{
    const auto n = static_cast<std::int32_t>(
        std::min<std::size_t>(message.size(), static_cast<std::size_t>(kLargestMessageBytes)));
    DecodedMessage walk = DecodeMessage(message.data(), n);
    ConvertedMessage converted{RenderReport(walk), CaptureImage(message.data(), walk),
                               SpectrumFromMessage(walk)};
    if (decoded) {
        *decoded = std::move(walk);
    }
    return converted;
}

ReportText UnreadableFileReport(std::wstring_view shownPath, std::wstring_view reason)
{
    ReportText line = L"Could not read ";
    line.append(shownPath).append(L": ").append(reason).append(L"\r\n");
    return line;
}

}  // namespace saltmark
