#include "burst_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "rotation.h"

namespace orcan::bursts {
namespace {

constexpr const char* kToa5 =
    "\"TOA5\",\"mast\",\"CR3000\",\"1\",\"CR3000.Std\",\"CPU:ec.CR3\",\"1\",\"ts\"\r\n"
    "\"TIMESTAMP\",\"RECORD\",\"Ts\",\"Ux\",\"Uy\",\"Uz\",\"diag\"\r\n"
    "\"TS\",\"RN\",\"C\",\"m/s\",\"m/s\",\"m/s\",\"\"\r\n"
    "\"\",\"\",\"Smp\",\"Smp\",\"Smp\",\"Smp\",\"Smp\"\r\n"
    "\"2026-06-01 12:00:00.05\",0,20.5,1.5,-0.25,0.125,0\r\n"
    "\"2026-06-01 12:00:00.1\",1,20.5,\"NAN\",-0.25,0.125,0\r\n"
    "\"2026-06-01 12:00:00.15\",2,NAN,1.5,NAN,0.125,0\r\n"
    // a lost record: the gap leaves the logging interval alone
    "\"2026-06-01 12:00:00.3\",5,20.25,1.75,-0.5,0.25,0\r\n";

TEST(Toa5, ReadsChosenColumnsMissingValuesAndTheRateFromTimestamps)
{
    BurstFile file;
    ASSERT_FALSE(parseBurstText(kToa5, {}, file));
    EXPECT_EQ(file.format, "toa5");
    ASSERT_EQ(file.burst.size(), 4u);
    EXPECT_EQ(file.burst.u[3], 1.75);
    EXPECT_EQ(file.burst.v[0], -0.25);
    EXPECT_EQ(file.burst.w[2], 0.125);
    EXPECT_EQ(file.burst.temp[3], 20.25);
    // NAN is the logger's missing value: the dropout marker, counted.
    EXPECT_EQ(file.burst.u[1], 0.0);
    EXPECT_EQ(file.burst.temp[2], 0.0);
    EXPECT_EQ(file.missingValues, 3u);
    EXPECT_EQ(countDropouts(file.burst), 2u);
    ASSERT_TRUE(file.statedRate);
    EXPECT_EQ(*file.statedRate, 20.0);
    // 2026-06-01T12:00:00.05Z
    EXPECT_DOUBLE_EQ(*file.startTime, 1780315200.05);

    BurstFile swapped;
    ASSERT_FALSE(parseBurstText(kToa5, {{"Uy", "Ux", "Uz", "Ts"}}, swapped));
    EXPECT_EQ(swapped.burst.u[0], -0.25);
}

TEST(Toa5, NamesWhatIsWrong)
{
    struct Case {
        const char* text;
        std::vector<std::string> columns;
        std::size_t line;
        const char* part;
    } cases[] = {
        {kToa5, {"Ux", "Uy", "Uz", "Tc"}, 2, "no column 'Tc' (the file has TIMESTAMP,RECORD"},
        {"\"TOA5\"\n\"TIMESTAMP\",\"Ux\"\n", kDefaultToa5Columns, 3, "header ends early"},
        {"\"TOA5\"\n\"TIMESTAMP\",\"Ux\",\"Uy\",\"Uz\",\"Ts\"\n\n\n\"2026-06-01 12:00\",1,2,3,4\n",
         kDefaultToa5Columns, 5, "'2026-06-01 12:00' is not a timestamp"},
        {"\"TOA5\"\n\"TIMESTAMP\",\"Ux\",\"Uy\",\"Uz\",\"Ts\"\n\n\n\"2026-06-01 "
         "12:00:00\",1,x,3,4\n",
         kDefaultToa5Columns, 5, "'x' in column Uy is not a number"},
        {"\"TOA5\"\n\"TIMESTAMP\",\"Ux\",\"Uy\",\"Uz\",\"Ts\"\n\n\n\"2026-06-01 12:00:00\",1,2,3\n",
         kDefaultToa5Columns, 5, "expected 5 fields, found 4"},
    };
    for (const Case& c : cases) {
        BurstFile file;
        const std::optional<CsvError> error = parseBurstText(c.text, {c.columns}, file);
        ASSERT_TRUE(error) << c.part;
        EXPECT_EQ(error->line, c.line) << c.part;
        EXPECT_NE(error->message.find(c.part), std::string::npos) << error->message;
    }
}

TEST(BurstRate, TheStatedRateWinsUnlessAnotherIsAskedForWhichIsRefused)
{
    BurstFile generated;
    ASSERT_FALSE(parseBurstText("# burst-gen --seed 1 --fs 20 --epsilon 0.005\nu,v,w,T\n1,2,3,4\n",
                                {}, generated));
    EXPECT_EQ(*generated.statedRate, 20.0);
    EXPECT_EQ(chooseRate(generated, std::nullopt, 10.0).rate, 20.0);
    EXPECT_FALSE(chooseRate(generated, 20.0, 10.0).error);
    const RateChoice refused = chooseRate(generated, 10.0, 10.0);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(*refused.error,
              "the file states 20 Hz (its burst-gen line), not the 10 Hz asked for");

    BurstFile plain;  // a comment after the first data line states nothing
    ASSERT_FALSE(parseBurstText("1,2,3,4\n# burst-gen --fs 20\n", {}, plain));
    EXPECT_FALSE(plain.statedRate);
    EXPECT_EQ(chooseRate(plain, std::nullopt, 10.0).rate, 10.0);
}

// A burst with a steady wind and some turbulence, the same whatever the anemometer's heading.
Burst windAlong(double headingDegrees)
{
    Burst burst;
    const double angle = headingDegrees * std::numbers::pi / 180.0;
    for (int i = 0; i < 400; ++i) {
        const double along = 5.0 + std::sin(i * 0.37);
        const double across = 0.3 * std::cos(i * 0.91);
        const double w = 0.2 + 0.1 * std::sin(i * 1.3);
        burst.append(along * std::cos(angle) - across * std::sin(angle),
                     along * std::sin(angle) + across * std::cos(angle), w, 15.0);
    }
    return burst;
}

TEST(Rotation, TurnsIntoTheMeanWindAndLeavesDropoutsAlone)
{
    for (const Rotation rotation : {Rotation::meanWind, Rotation::twoAxis}) {
        for (double heading = -165.0; heading <= 180.0; heading += 15.0) {
            Burst burst = windAlong(heading);
            burst.v[7] = 0.0;  // a dropout, with a wind sample beside it
            const double keptU = burst.u[7];
            rotateBurst(burst, rotation);
            EXPECT_EQ(burst.u[7], keptU);
            EXPECT_EQ(burst.v[7], 0.0);
            double meanV = 0.0, meanW = 0.0, meanU = 0.0;
            for (std::size_t i = 0; i < burst.size(); ++i) {
                if (i != 7) {
                    meanU += burst.u[i];
                    meanV += burst.v[i];
                    meanW += burst.w[i];
                }
            }
            EXPECT_GT(meanU, 0.0);
            EXPECT_NEAR(meanV / meanU, 0.0, 1e-12) << heading;
            if (rotation == Rotation::twoAxis) {
                EXPECT_NEAR(meanW / meanU, 0.0, 1e-12) << heading;
            }
        }
    }
    EXPECT_NEAR(*meanWindAngleDegrees(windAlong(80.0)), 80.0, 1.0);
    EXPECT_EQ(parseRotation("double"), Rotation::twoAxis);
    EXPECT_FALSE(parseRotation("mean_wind"));
}

}  // namespace
}  // namespace orcan::bursts
