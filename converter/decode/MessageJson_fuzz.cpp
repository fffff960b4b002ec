// libFuzzer entry for the structured output: any bytes as a message. The JSON text must be
// one line of valid JSON that agrees with the message and with the report: its size, records
// that lie back to back inside the message from the byte after the packet type, an image that
// is exactly the bytes the report's decode captured, and an incomplete outcome exactly when
// the report ends with the stop line.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <algorithm>

#include "ConvertMessage.h"
#include "MessageJson.h"

namespace {

void Check(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > static_cast<std::size_t>(saltmark::kLargestMessageBytes)) {
        return 0;
    }
    const auto n = static_cast<std::int32_t>(size);
    // A name that is not UTF-8, as a file system may hand one over.
    const std::string text = saltmark::MessageJsonText(data, n, "m\xFF.sbd");
    Check(!text.empty() && text.back() == '\n' && text.find('\n') == text.size() - 1,
          "the document is one line ending in a newline");
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    Check(!document.is_discarded(), "the document is valid JSON");
    Check(document.at("size") == size, "the size is the message's");

    std::size_t next = 1;
    for (const nlohmann::json& record : document.at("records")) {
        const std::size_t offset = record.at("offset");
        const std::size_t length = record.at("length");
        Check(offset == next && length >= 4 && offset + length <= size,
              "the records lie back to back inside the message");
        next = offset + length;
    }

    saltmark::CapturedImage image;
    const saltmark::ReportText report = saltmark::ConvertMessage(data, n, image);
    const nlohmann::json& picture = document.at("image");
    Check(picture.is_null() == !image.held(), "an image is given exactly when one is captured");
    if (!picture.is_null()) {
        const std::size_t offset = picture.at("offset");
        const std::size_t length = picture.at("length");
        Check(offset + length <= size && length == image.bytes->size() &&
                  std::equal(image.bytes->begin(), image.bytes->end(), data + offset),
              "the image's place in the message holds the captured bytes");
    }

    const bool stopped = report.ends_with(L"Stopping decode due to error\r\n\r\n");
    Check(document.at("outcome").at("complete") == !stopped,
          "the outcome is incomplete exactly when the report stops");
    return 0;
}
