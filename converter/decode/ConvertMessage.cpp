#include "ConvertMessage.h"

namespace saltmark {

// Placeholder until the record walk lands: the report's opening line only.
ReportText ConvertMessage(const std::uint8_t* /*message*/, std::int32_t n, CapturedImage& image)
{
    image.release();
    return L"Converting " + std::to_wstring(n) + L" bytes\r\n\r\n";
}

std::string ToUtf8(const ReportText& report)
{
    std::string out;
    out.reserve(report.size());
    for (wchar_t c : report) {
        auto cp = static_cast<std::uint32_t>(c);
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

}  // namespace saltmark
