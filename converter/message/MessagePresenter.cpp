#include "MessagePresenter.h"

#include <utility>
#include <vector>

#include "ConvertedMessage.h"
#include "Message.h"
#include "MessageFiles.h"

namespace saltmark {

void MessagePresenter::Open(const std::filesystem::path& file, std::wstring shown)
{
    std::string reason;
    std::optional<Message> message = Message::FromFile(file, reason);
    if (!message) {
        m_report = UnreadableFileReport(shown, m_widen(reason));
        return;
    }
    ConvertedMessage converted = message->Converted();
    m_report = std::move(converted.report);
    m_image = std::move(converted.image);
    m_spectrum = std::move(converted.spectrum);
    m_inputPath = std::move(shown);
}

std::wstring MessagePresenter::ProposedImageName() const { return ProposeImageName(m_inputPath); }

bool MessagePresenter::SaveImage(const std::filesystem::path& path, std::string& reason) const
{
    const std::vector<std::uint8_t> none;
    return WriteImageFile(path, m_image.bytes.value_or(none), reason);
}

}  // namespace saltmark
