#pragma once
// Expected report texts for tests, rendered by the C library's own printf so that they do not
// share code with the decoder's formatting.

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ConvertMessage.h"

namespace saltmark::testing {

inline constexpr const char* kStopLine = "Stopping decode due to error\r\n\r\n";

// mingw-w64 builds use its C99 printf (__USE_MINGW_ANSI_STDIO), which GCC checks as gnu_printf;
// plain "printf" there would mean the older one of the system DLL.
#if defined(__MINGW32__) && defined(__GNUC__) && !defined(__clang__)
#define SALTMARK_PRINTF_LIKE(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define SALTMARK_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#endif

// printf into a string; the test process stays in the C locale unless a test says otherwise.
SALTMARK_PRINTF_LIKE(1, 2) inline std::string Printf(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(static_cast<std::size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    return text;
}

// The lines every report of a valid packet opens with.
inline std::string Opening(std::size_t n)
{
    return Printf("Converting %zu bytes\r\n\r\n", n) +
           "Packet Type:\r\n\tType = v4.0+ (enhanced Signature)\r\n\r\n";
}

inline std::string Convert(const std::vector<std::uint8_t>& message, CapturedImage& image)
{
    return ToUtf8(ConvertMessage(message.data(), static_cast<std::int32_t>(message.size()), image));
}

inline std::string Convert(const std::vector<std::uint8_t>& message)
{
    CapturedImage image;
    return Convert(message, image);
}

// Distinct, varied float32 values (signs, magnitudes from 1e-6 to 1e6, fractions), so that a
// field read from the wrong offset or printed in the wrong form shows up.
inline std::vector<float> SampleValues(int count, int seed)
{
    std::vector<float> values;
    for (int i = 0; i < count; ++i) {
        const int k = seed * 97 + i;
        const double magnitude = std::ldexp(1.0 + (k % 61) * 0.0173, (k % 41) - 20);
        values.push_back(static_cast<float>(k % 3 == 0 ? -magnitude : magnitude));
    }
    return values;
}

}  // namespace saltmark::testing
