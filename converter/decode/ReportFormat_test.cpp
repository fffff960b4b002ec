// Numbers in the report: "%g" as the C library prints it in the C locale, whatever locale the
// process has switched to.

#include "ReportFormat.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "testing/MessageComposer.h"
#include "testing/ReportExpect.h"

namespace saltmark::testing {
namespace {

// Through the template a report line is built with, a float32 field widened as printf's
// varargs would widen it.
TEST(ReportNumbers, MatchPrintfOverManyFloat32Patterns)
{
    // Random bit patterns cover every exponent, subnormals, infinities and NaNs of both signs.
    std::mt19937 random(7);
    std::vector<std::uint32_t> patterns = {0x00000000, 0x80000000, 0x7F800000, 0xFF800000,
                                           0x7FC00000, 0xFFC00000, 0x7F800001, 0x497423FE,
                                           0x497423FF, 0x38D1B717, 0x38D1B716};
    for (int i = 0; i < 200000; ++i) {
        patterns.push_back(static_cast<std::uint32_t>(random()));
    }
    for (std::uint32_t bits : patterns) {
        const float field = std::bit_cast<float>(bits);
        const double value = field;
        // A NaN's sign is written as glibc writes it; mingw-w64's printf leaves it out.
        const std::string expected = std::isnan(value) && std::signbit(value)
                                         ? "-" + Printf("%g", -value)
                                         : Printf("%g", value);
        std::string line;
        AppendFormat(line, "%g", field);
        ASSERT_EQ(line, expected) << std::hex << bits;
    }
}

// Switches the process to a locale whose decimal point is a comma, as a desktop session in
// Germany does; builds one with localedef into a scratch folder when none is installed.
class CommaDecimalLocale : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The last name is Windows's own.
        for (const char* name :
             {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8", "de-DE"}) {
            if (Use(name)) {
                return;
            }
        }
#ifdef _WIN32
        GTEST_SKIP() << "Windows knows no locale with a decimal comma by the names tried";
#else
        m_scratch = std::filesystem::temp_directory_path() /
                    ("saltmark-locale-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_scratch);
        const std::string command = "localedef -i de_DE -f UTF-8 '" +
                                    (m_scratch / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != -1) {
            ::setenv("LOCPATH", m_scratch.c_str(), 1);
            if (Use("de_DE.UTF-8")) {
                return;
            }
        }
        GTEST_SKIP() << "no locale with a decimal comma can be had on this machine";
#endif
    }

    void TearDown() override
    {
        std::setlocale(LC_ALL, "C");
#ifndef _WIN32
        if (!m_scratch.empty()) {
            ::unsetenv("LOCPATH");
            std::error_code ignored;
            std::filesystem::remove_all(m_scratch, ignored);
        }
#endif
    }

private:
    static bool Use(const char* name)
    {
        return std::setlocale(LC_ALL, name) != nullptr &&
               std::localeconv()->decimal_point == std::string(",");
    }

    std::filesystem::path m_scratch;
};

TEST_F(CommaDecimalLocale, ReportKeepsTheDecimalPoint)
{
    ASSERT_EQ(Printf("%g", 8.5), "8,5") << "the locale is not in force";
    const auto message = Message({MessageComposer().Header(6, 0, 4).F32(8.5f).Bytes(),
                                  MessageComposer().Header(13, 1, 4).F32(-1.25e-7f).Bytes()});
    const std::string report = Convert(message);
    EXPECT_NE(report.find("\tBattery voltage = 8.5\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\tO2 FDOM mean = -1.25e-07\r\n"), std::string::npos) << report;
}

}  // namespace
}  // namespace saltmark::testing
