#pragma once
// Report lines from printf-style templates ("\tA[%d] = %g\r\n"), rendered the way the C
// library's printf renders them in the C locale, whatever locale the process has set.

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "ConvertMessage.h"

namespace saltmark {

// One value for a template placeholder: an integer for %d and %c, a real for %g.
class FormatArg {
public:
    template <std::integral T>
    FormatArg(T value) : m_nInteger(static_cast<std::int64_t>(value)), m_bInteger(true)
    {
    }
    template <std::floating_point T>
    FormatArg(T value) : m_dReal(static_cast<double>(value)), m_bInteger(false)
    {
    }

    bool IsInteger() const { return m_bInteger; }
    std::int64_t Integer() const { return m_nInteger; }
    double Real() const { return m_dReal; }

private:
    std::int64_t m_nInteger = 0;
    double m_dReal = 0.0;
    bool m_bInteger;
};

// Every template and every number is plain ASCII, so a report is built as narrow text and
// widened once, a character for a character, when it is whole.

// Plain ASCII text, a "%g" number and a "%d" number, appended without a template. "%g" of a
// double: six significant digits, trailing zeros dropped, exponent form with at least two
// exponent digits, "inf"/"-inf", and "nan"/"-nan" after the sign bit.
void AppendAscii(std::string& out, std::string_view text);
void AppendGeneral(std::string& out, double value);
void AppendInteger(std::string& out, std::int64_t value);

// Appends `format` to `out` with each placeholder (%d, %g, %c) replaced by the next argument.
// A float32 field is widened to double before it is shown, as printf's varargs would.
void AppendFormatted(std::string& out, std::string_view format,
                     std::initializer_list<FormatArg> args);

template <typename... Args>
void AppendFormat(std::string& out, std::string_view format, const Args&... args)
{
    AppendFormatted(out, format, {FormatArg(args)...});
}

}  // namespace saltmark
