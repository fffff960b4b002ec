#pragma once
// What a converter window holds between the user's actions, apart from its widgets: the last
// report, the camera image and spectrum of the last message converted, its path and the image
// name proposed beside it. The Qt window and the Windows dialog are views of it: they ask for
// file names, show the report and enable "Save Image..." by what it holds.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "ConvertMessage.h"
#include "Y81000Spectrum.h"

namespace saltmark {

class MessagePresenter {
public:
    // How the platform turns the system's reasons (the C library's narrow text, in the locale's
    // or the ANSI code page's characters) into a report's wide text.
    using Widen = std::function<std::wstring(const std::string&)>;
    explicit MessagePresenter(Widen widen) : m_widen(std::move(widen)) {}

    // Reads and converts the message file at `file`, a full path, which the window shows as
    // `shown`. A file that cannot be read gives a one-line report and leaves the image, the
    // spectrum and the input path those of the last conversion.
    void Open(const std::filesystem::path& file, std::wstring shown);

    // An empty report while the user chooses a file; nothing else changes.
    void BlankReport() { m_report.clear(); }

    const ReportText& Report() const { return m_report; }
    bool HasImage() const { return m_image.held(); }
    const std::optional<Y81000Spectrum>& Spectrum() const { return m_spectrum; }
    // The last message converted, as the window showed its path; empty before the first.
    const std::wstring& InputPath() const { return m_inputPath; }
    // The name "Save Image..." proposes: the input path with ".jpg" for its extension.
    std::wstring ProposedImageName() const;

    // Writes the image (an empty file for a camera record without bytes); false with
    // `reason` set when it cannot.
    bool SaveImage(const std::filesystem::path& path, std::string& reason) const;

private:
    Widen m_widen;
    ReportText m_report;
    CapturedImage m_image;
    std::optional<Y81000Spectrum> m_spectrum;
    std::wstring m_inputPath;
};

}  // namespace saltmark
