// Files written whole or not at all, on a file system that runs full part-way through.

#include "whole_file.h"

#include <string>

#include "testing/small_filesystem.h"

namespace orcan {
namespace {

using WholeFileOnSmallDisk = testing::SmallFileSystem;

TEST_F(WholeFileOnSmallDisk, ReplacesTheTargetOnlyWhenWhole)
{
    const std::string earlier = "the earlier report\n";
    const struct {
        const char* name;
        std::size_t size;
        bool fits;
    } cases[] = {
        {"fits in the spare pages", 6000, true},
        {"runs full mid-write", 200000, false},
        {"empty file", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        put("report.txt", earlier);
        std::string reason;
        const bool written = writeWholeFile(path("report.txt"), std::string(c.size, 'x'), reason);
        EXPECT_EQ(written, c.fits) << reason;
        EXPECT_EQ(contents(path("report.txt")), c.fits ? std::string(c.size, 'x') : earlier);
        EXPECT_EQ(names(), std::set<std::string>{"report.txt"});
        if (!c.fits) {
            EXPECT_EQ(reason, "No space left on device");
        }
    }
}

TEST_F(WholeFileOnSmallDisk, UncommittedFileLeavesNothing)
{
    put("burst.csv", "u,v,w,T\n");
    {
        WholeFile file;
        std::string reason;
        ASSERT_TRUE(file.open(path("burst.csv"), reason)) << reason;
        std::fputs("half a burst", file.stream());
    }
    EXPECT_EQ(contents(path("burst.csv")), "u,v,w,T\n");
    EXPECT_EQ(names(), std::set<std::string>{"burst.csv"});
}

TEST_F(WholeFileOnSmallDisk, RefusesAFolderAndAMissingFolder)
{
    std::filesystem::create_directory(path("folder"));
    std::string reason;
    EXPECT_FALSE(writeWholeFile(path("folder"), "x", reason));
    EXPECT_EQ(reason, "Is a directory");
    EXPECT_FALSE(writeWholeFile(path("missing/report.txt"), "x", reason));
    EXPECT_EQ(reason, "No such file or directory");
    EXPECT_EQ(names(), std::set<std::string>{"folder"});
}

TEST(WholeFile, WritesThroughADeviceInPlace)
{
    std::string reason;
    EXPECT_TRUE(writeWholeFile("/dev/null", "discarded", reason)) << reason;
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

}  // namespace
}  // namespace orcan
