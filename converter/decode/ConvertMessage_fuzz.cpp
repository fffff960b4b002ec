// libFuzzer entry: any bytes as a message. The decoder must neither crash nor read outside the
// message, and its report must be made of whole lines.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ConvertMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > static_cast<std::size_t>(saltmark::kLargestMessageBytes)) {
        return 0;
    }
    saltmark::CapturedImage image;
    const saltmark::ReportText report =
        saltmark::ConvertMessage(data, static_cast<std::int32_t>(size), image);
    if (report.size() < 2 || report.compare(report.size() - 2, 2, L"\r\n") != 0) {
        std::abort();
    }
    return 0;
}
