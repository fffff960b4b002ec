#include "burst.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "burst_files.h"

namespace orcan::bursts {
namespace {

std::optional<CsvError> readBurstCsv(const std::string& text, Burst& burst)
{
    BurstFile file;
    const std::optional<CsvError> error = parseBurstText(text, {}, file);
    burst = std::move(file.burst);
    return error;
}

struct CsvCase {
    const char* name;
    const char* text;
    std::size_t samples;    // when the file is good
    std::size_t errorLine;  // 0 for a good file
    const char* errorPart;
};

void PrintTo(const CsvCase& c, std::ostream* os) { *os << c.name; }

class ReadBurstCsv : public testing::TestWithParam<CsvCase> {};

TEST_P(ReadBurstCsv, ReadsGoodFilesAndNamesTheFirstBadLine)
{
    const CsvCase& c = GetParam();
    Burst burst;
    const std::optional<CsvError> error = readBurstCsv(c.text, burst);
    if (c.errorLine == 0) {
        ASSERT_FALSE(error) << error->line << ": " << error->message;
        EXPECT_EQ(burst.size(), c.samples);
        EXPECT_EQ(burst.temp.size(), c.samples);
    } else {
        ASSERT_TRUE(error);
        EXPECT_EQ(error->line, c.errorLine);
        EXPECT_NE(error->message.find(c.errorPart), std::string::npos) << error->message;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadBurstCsv,
    testing::Values(
        CsvCase{"Plain", "1,2,3,4\n5,6,7,8\n", 2, 0, ""},
        CsvCase{"Header", "u,v,w,T\n1,2,3,4\n", 1, 0, ""},
        CsvCase{"HeaderAfterComments", "# made by hand\n\nu,v,w,T\n1,2,3,4\n", 1, 0, ""},
        CsvCase{"CrLfAndSpaces", "u, v, w, T\r\n 1 ,\t2, 3 ,4 \r\n\r\n", 1, 0, ""},
        CsvCase{"NoFinalNewline", "1,2,3,4\n5,6,7,8", 2, 0, ""}, CsvCase{"Empty", "", 0, 0, ""},
        CsvCase{"SignsExponentsAndNonFinite", "+1.5,-2e-3,nan,inf\n-0,1E2,-inf,.5\n", 2, 0, ""},
        CsvCase{"TextAfterTheFirstLine", "1,2,3,4\nu,v,w,T\n", 0, 2, "'u' in column u"},
        CsvCase{"BadValueNamesColumn", "u,v,w,T\n1,2,3,4\n1,2,x,4\n", 0, 3, "'x' in column w"},
        CsvCase{"TooFewValues", "1,2,3\n", 0, 1, "found 3"},
        CsvCase{"TrailingComma", "1,2,3,4,\n", 0, 1, "found 5"},
        CsvCase{"EmptyField", "1,,3,4\n", 0, 1, "an empty field in column v"},
        CsvCase{"NumberWithJunk", "1,2,3,4.0.1\n", 0, 1, "column T"},
        CsvCase{"ByteOrderMark", "\xEF\xBB\xBFu,v,w,T\n1,2,3,4\n", 1, 0, ""},
        CsvCase{"OutOfRangeIsRefused", "1,2,3,1e400\n", 0, 1,
                "'1e400' in column T is out of range"},
        CsvCase{"LineCountIncludesSkippedLines", "# c\n\n1,2,3,4\n\n1;2;3;4\n", 0, 5, "found 1"}),
    [](const testing::TestParamInfo<CsvCase>& info) { return info.param.name; });

TEST(ReadBurstCsv, KeepsValuesExactlyAndInColumnOrder)
{
    Burst burst;
    ASSERT_FALSE(readBurstCsv("0.1,-2.5e-7,1e300,-0\n", burst));
    EXPECT_EQ(burst.u[0], 0.1);
    EXPECT_EQ(burst.v[0], -2.5e-7);
    EXPECT_EQ(burst.w[0], 1e300);
    EXPECT_TRUE(burst.temp[0] == 0.0 && std::signbit(burst.temp[0]));
}

TEST(WriteBurstCsv, WritesAZeroOnlyWhereTheBurstHoldsOne)
{
    Burst burst;
    burst.append(0.00004, -0.00004, 0.0, 12.34567);
    burst.append(0.00005, 1.5, 2.0, 3.0);
    std::ostringstream out;
    writeBurstCsv(out, burst, 4);
    EXPECT_EQ(out.str(), "u,v,w,T\n0.0001,-0.0001,0.0000,12.3457\n0.0001,1.5000,2.0000,3.0000\n");

    Burst back;
    ASSERT_FALSE(readBurstCsv(out.str(), back));
    EXPECT_EQ(back.size(), 2u);
    EXPECT_EQ(back.w[0], 0.0);
    EXPECT_EQ(back.temp[0], 12.3457);
}

}  // namespace
}  // namespace orcan::bursts
