#pragma once
// One message decoded once, handed out as everything a front end shows: the report, the
// camera image and the Y81000 spectrum.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "ConvertMessage.h"
#include "Y81000Spectrum.h"

namespace saltmark {

struct ConvertedMessage {
    ReportText report;  // exactly ConvertMessage's
    CapturedImage image;
    std::optional<Y81000Spectrum> spectrum;
};

// The message's bytes, at most kLargestMessageBytes (what the file readers hand out). A front
// end that also renders the records (the dashboard's JSON) passes `decoded` to get the decode
// the rest was made from; it borrows `message`'s bytes.
ConvertedMessage ConvertMessageBytes(std::span<const std::uint8_t> message,
                                     DecodedMessage* decoded = nullptr);

// The one line a window shows instead of a report when the chosen file cannot be read.
ReportText UnreadableFileReport(std::wstring_view shownPath, std::wstring_view reason);

}  // namespace saltmark
