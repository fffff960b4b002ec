#pragma once
// A file system of a few pages mounted for one test, so that a program's write runs out of
// space part-way as it would on a full disk. Mounting needs root, which the tests have; a run
// without it skips and says why.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace orcan::testing {

class SmallFileSystem : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "mounting a small file system needs root";
        }
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orcan-full-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        mountPoint_ = pattern;
        // 16 pages: room for the earlier file and a few pages of the new one.
        ASSERT_EQ(::mount("tmpfs", mountPoint_.c_str(), "tmpfs", 0, "size=64k"), 0)
            << "cannot mount a tmpfs on " << mountPoint_;
        mounted_ = true;
    }

    void TearDown() override
    {
        if (mounted_) {
            ::umount(mountPoint_.c_str());
        }
        if (!mountPoint_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(mountPoint_, ignored);
        }
    }

    std::filesystem::path path(const std::string& name) const { return mountPoint_ / name; }

    static std::string contents(const std::filesystem::path& file)
    {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    void put(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

    // Takes all free space but `spare` bytes, so that the next write larger than that stops
    // part-way (a tmpfs hands out whole pages).
    void fillLeaving(std::size_t spare) const
    {
        std::ofstream filler(path("filler"), std::ios::binary);
        const std::string page(4096, 'f');
        const auto free = std::filesystem::space(mountPoint_).available;
        for (std::size_t used = 0; used + spare + page.size() <= free; used += page.size()) {
            filler << page;
        }
    }

    // Runs a program's shell command that writes `target` on this file system, with an earlier
    // whole file there and `spare` bytes free, its messages going to `errPath` elsewhere. The
    // program must fail with status 1 naming the file, and leave the earlier file as it was
    // and no temporary beside it.
    void expectEarlierFileKept(const std::string& command, const std::string& target,
                               std::size_t spare, const std::string& errPath)
    {
        SCOPED_TRACE(command);
        const std::string earlier = "the earlier, whole file\n";
        put(target, earlier);
        fillLeaving(spare);
        const int status = std::system((command + " >/dev/null 2>" + errPath).c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
        EXPECT_NE(contents(errPath).find(path(target).string()), std::string::npos)
            << contents(errPath);
        EXPECT_EQ(contents(path(target)), earlier);
        EXPECT_EQ(names(), (std::set<std::string>{target, "filler"}));
        std::filesystem::remove(path("filler"));
        std::filesystem::remove(path(target));
    }

    // The names in the folder, to see that no temporary file was left behind.
    std::set<std::string> names() const
    {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(mountPoint_)) {
            found.insert(entry.path().filename().string());
        }
        return found;
    }

private:
    std::filesystem::path mountPoint_;
    bool mounted_ = false;
};

}  // namespace orcan::testing
