#include "ReportFormat.h"

#include <array>
#include <cassert>
#include <charconv>

#include "ByteOrder.h"

namespace saltmark {

namespace {

// Room for the longest "%g" text, "-1.17549e-308", and any 64-bit integer.
using NumberBuffer = std::array<char, 32>;

}  // namespace

void AppendAscii(std::string& out, std::string_view text) { out.append(text); }

void AppendInteger(std::string& out, std::int64_t value)
{
    NumberBuffer buffer;
    auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out.append(buffer.data(), result.ptr);
}

void AppendGeneral(std::string& out, double value)
{
    // to_chars in general format with precision 6 is specified as printf's "%g" in the C
    // locale, infinities and NaNs included, and it never consults the process's locale: a
    // window that follows a German desktop still shows "8.5", not "8,5".
    NumberBuffer buffer;
    auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                std::chars_format::general, 6);
    out.append(buffer.data(), result.ptr);
}

void AppendFormatted(std::string& out, std::string_view format,
                     std::initializer_list<FormatArg> args)
{
    const FormatArg* next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 == format.size()) {
            out.push_back(format[i]);
            continue;
        }
        char conversion = format[++i];
        assert(next != args.end() && "report template has more placeholders than values");
        if (next == args.end()) {
            return;
        }
        const FormatArg& arg = *next++;
        switch (conversion) {
            case 'd':
                assert(arg.IsInteger());
                AppendInteger(out, arg.Integer());
                break;
            case 'c':
                assert(arg.IsInteger());
                out.push_back(static_cast<char>(arg.Integer()));
                break;
            case 'g':
                assert(!arg.IsInteger());
                AppendGeneral(out, arg.Real());
                break;
            default:
                assert(false && "unknown placeholder in a report template");
        }
    }
    assert(next == args.end() && "report template has fewer placeholders than values");
}

}  // namespace saltmark
