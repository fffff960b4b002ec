// The window's command line, through the built program: help and version without a window,
// and usage on standard error for what it cannot take.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs the window with `arguments` on the offscreen platform; a window left open by a fault
// is ended by the time limit instead of stalling the run.
Outcome RunSaltmark(const std::string& arguments,
                    const std::string& environment = "QT_QPA_PLATFORM=offscreen")
{
    std::string pattern = (fs::temp_directory_path() / "saltmark-args-XXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const std::string command = "cd '" + dir.string() + "' && env " + environment +
                                " timeout 30 '" + SALTMARK + "' " + arguments + " >out 2>err";
    const int raw = std::system(command.c_str());
    Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadText(dir / "out"),
                    ReadText(dir / "err")};
    fs::remove_all(dir);
    return outcome;
}

TEST(SaltmarkCommandLine, HelpAndVersionAnswerWithoutOpeningAFile)
{
    for (const char* help : {"--help", "-h", "a.sbd --help"}) {
        const Outcome run = RunSaltmark(help);
        EXPECT_EQ(run.status, 0) << help;
        EXPECT_TRUE(run.out.starts_with("Usage: saltmark [MESSAGE.sbd]\n")) << run.out;
        EXPECT_EQ(run.err, "") << help;
    }
    const Outcome version = RunSaltmark("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("saltmark (Saltmark) ") + ORCAN_VERSION + "\n");
}

TEST(SaltmarkCommandLine, WhatItCannotTakeGivesUsageOnStandardError)
{
    for (const char* wrong : {"a.sbd b.sbd", "--bogus", "-x a.sbd"}) {
        const Outcome run = RunSaltmark(wrong);
        EXPECT_EQ(run.status, 2) << wrong;
        EXPECT_EQ(run.out, "") << wrong;
        EXPECT_NE(run.err.find("Usage: saltmark [MESSAGE.sbd]\n"), std::string::npos) << run.err;
    }
}

TEST(SaltmarkCommandLine, AnswersWithoutADisplay)
{
    const std::string noDisplay = "-u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb";
    EXPECT_EQ(RunSaltmark("--help", noDisplay).status, 0);
    EXPECT_EQ(RunSaltmark("--version", noDisplay).status, 0);
    const Outcome wrong = RunSaltmark("--bogus", noDisplay);
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("Usage: saltmark [MESSAGE.sbd]\n"), std::string::npos) << wrong.err;
}

}  // namespace
