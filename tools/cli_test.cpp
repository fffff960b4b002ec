// The tools' command lines through the built programs: every failure to read or write is one
// line naming the file and the system's reason, and input the library cannot use is refused.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "testing/small_filesystem.h"

namespace {

namespace fs = std::filesystem;

const std::string kRun = EDDYRATE_RUN;
const std::string kGen = BURST_GEN;
const std::string kCompose = SBD_COMPOSE;

class ToolCommandLine : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "orcan-cli-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        write("good.csv", "u,v,w,T\n2,1,3,4\n");
        write("afile", "not a folder");
        fs::create_directory(dir_ / "folder");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    void write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

    // Runs a shell command line with standard output discarded unless it redirects it itself.
    int run(const std::string& command, std::string& err) const
    {
        const std::string errPath = path("err");
        const std::string redirect = command.find('>') == std::string::npos ? " >/dev/null" : "";
        const int status = std::system((command + redirect + " 2>" + errPath).c_str());
        std::ifstream in(errPath, std::ios::binary);
        err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path dir_;
};

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

TEST_F(ToolCommandLine, ReadAndWriteFailuresAreOneLineNamingTheFileAndReason)
{
    if (!fs::exists("/proc/self/mem") || !fs::exists("/dev/full")) {
        GTEST_SKIP() << "needs /proc/self/mem (unreadable even for root) and /dev/full";
    }
    const std::string folder = path("folder");
    const std::string missing = path("missing");
    const std::string notDir = path("afile") + "/x";
    const std::string good = path("good.csv");
    const std::string out = " -o " + path("x.sbd");
    const struct {
        std::string command;
        std::string file;
        const char* reason;
    } cases[] = {
        {kRun + " " + folder, folder, "is a directory"},
        {kRun + " " + missing, missing, "No such file or directory"},
        {kRun + " /proc/self/mem", "/proc/self/mem", "Input/output error"},
        {kRun + " " + good + " >/dev/full", "standard output", "No space left on device"},
        {kGen + " --samples 10 -o " + folder, folder, "Is a directory"},
        {kGen + " --samples 10 -o " + missing + "/x.csv", missing + "/x.csv",
         "No such file or directory"},
        {kGen + " --samples 10 -o " + notDir, notDir, "Not a directory"},
        {kGen + " --samples 10 >/dev/full", "standard output", "No space left on device"},
        {kCompose + " --y81000 " + folder + out, folder, "is a directory"},
        {kCompose + " --camera " + missing + out, missing, "No such file or directory"},
        {kCompose + " --record /proc/self/mem" + out, "/proc/self/mem", "Input/output error"},
        {kCompose + " --record " + good + " -o /dev/full", "/dev/full", "No space left on device"},
        {kCompose + " --record " + good + " -o " + notDir, notDir, "Not a directory"},
    };
    for (const auto& c : cases) {
        std::string err;
        EXPECT_EQ(run(c.command, err), 1) << c.command << "\n" << err;
        const std::vector<std::string> said = lines(err);
        ASSERT_EQ(said.size(), 1u) << c.command << "\n" << err;
        EXPECT_NE(said[0].find(c.file + ": " + c.reason), std::string::npos) << c.command << "\n"
                                                                             << err;
    }
}

TEST_F(ToolCommandLine, RefusesWhatTheLibraryCannotUseAndSaysWhy)
{
    write("empty.csv", "");
    write("header.csv", "u,v,w,T\n# nothing measured\n");
    write("huge.csv", "1,2,1e400,4\n");
    write("long.csv", "1,2,3," + std::string(2'000'000, '7') + "\n");
    write("junk.csv", std::string(100'000, 'x') + ",2,3,4\n1,2,3," + std::string(50'000, 'y'));
    write("stated.csv", "# burst-gen --seed 1 --fs 20 --decimals 4\nu,v,w,T\n2,1,3,4\n");
    const std::string good = path("good.csv");
    const struct {
        std::string command;
        int status;
        const char* said;
    } cases[] = {
        {kRun + " " + path("empty.csv"), 1, "empty.csv: no samples"},
        {kRun + " " + path("header.csv"), 1, "header.csv: no samples"},
        {kRun + " --height -4 " + good, 2, "--height must be finite and above zero"},
        {kRun + " --height 0 " + good, 2, "--height must be finite and above zero"},
        {kRun + " --fs 0 " + good, 2, "--fs must be finite and above zero"},
        {kRun + " --fs nan " + good, 2, "--fs must be finite and above zero"},
        {kRun + " --fs=inf " + good, 2, "--fs must be finite and above zero"},
        {kRun + " --fs 1e400 " + good, 2, "'1e400' is out of range"},
        {kRun + " " + path("huge.csv"), 1, "huge.csv:1: '1e400' in column w is out of range"},
        {kRun + " " + path("long.csv"), 1, "in column T is out of range"},
        {kRun + " " + path("junk.csv"), 1, "junk.csv:2: 'yyyy"},
        {kRun + " --fs 10 " + path("stated.csv"), 1,
         "states 20 Hz (its burst-gen line), not the 10"},
        {kRun + " --rotate north " + good, 2, "--rotate takes none, mean-wind or double"},
        {kRun + " --columns Ux,Uy " + good, 2, "four columns are needed"},
        {kGen + " --samples -5", 2, "--samples must be positive"},
        {kGen + " --samples 0", 2, "burst length must be positive"},
        {kGen + " --minutes -1", 2, "--minutes must be positive"},
        {kGen + " --seed -1", 2, "'-1' must be zero or more"},
        {kGen + " --zeros 2.5", 2, "'2.5' is not a whole number"},
        {kGen + " --seed 99999999999999999999", 2, "is out of range"},
        {kGen + " --" + std::string(5000, 'z'), 2, "unknown option '--zzz"},
        {kCompose + " --port 1e400 --record " + good + " -o x", 2, "'1e400' is out of range"},
        {kCompose + " --record " + path("m.SBD") + " -o x", 2,
         "is a whole message, not records: give it with --message"},
        {kCompose + " --message " + good + " -o x", 1,
         "good.csv: not an SBD message (it does not open with packet type 55)"},
        {kCompose + " --message " + path("m.SBD") + " --record " + good + " -o x", 2,
         "records cannot be added"},
    };
    for (const auto& c : cases) {
        std::string err;
        EXPECT_EQ(run(c.command, err), c.status) << c.command.substr(0, 200) << "\n" << err;
        EXPECT_NE(err.find(c.said), std::string::npos) << c.command.substr(0, 200) << "\n" << err;
        // A field or argument is quoted in at most 40 characters, whatever its length.
        for (const std::string& line : lines(err)) {
            EXPECT_LT(line.size(), 120u) << line.substr(0, 200);
        }
    }
}

// A message made elsewhere is carried byte for byte, as it is or in the gateway's framing.
TEST_F(ToolCommandLine, ComposeTakesAWholeMessage)
{
    const std::string message("\x37\x06\x01\x04\x00\x00\x00\x48\x41", 9);
    write("m.sbd", message);
    std::string err;
    ASSERT_EQ(run(kCompose + " --message " + path("m.sbd") + " -o " + path("copy.sbd"), err), 0)
        << err;
    ASSERT_EQ(run(kCompose + " --message " + path("m.sbd") + " -o " + path("framed.sbd") +
                      " --directip 300234010753370,17,2025-12-07T09:33:20Z",
                  err),
              0)
        << err;
    const auto read = [this](const std::string& name) {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(read("copy.sbd"), message);
    const std::string framed = read("framed.sbd");
    ASSERT_GT(framed.size(), message.size());
    EXPECT_EQ(framed.substr(framed.size() - message.size()), message);
}

TEST_F(ToolCommandLine, EveryToolAnswersHelpAndVersion)
{
    for (const std::string& tool : {kRun, kGen, kCompose}) {
        const std::string name = fs::path(tool).filename().string();
        std::string err;
        EXPECT_EQ(run(tool + " --help >" + path("out"), err), 0) << name;
        std::ifstream help(path("out"));
        std::string first;
        std::getline(help, first);
        EXPECT_TRUE(first.starts_with("Usage: " + name + " ")) << first;
        EXPECT_NE(std::string(std::istreambuf_iterator<char>(help), {}).find("--version"),
                  std::string::npos)
            << name;

        EXPECT_EQ(run(tool + " --version >" + path("out"), err), 0) << name;
        std::ifstream version(path("out"));
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(version), {}),
                  name + " (Orcan) " + ORCAN_VERSION + "\n");
    }
}

using ToolsOnFullDisk = orcan::testing::SmallFileSystem;

// A disk that runs full mid-write leaves the earlier file as it was and no temporary beside
// it, and the tool fails naming the file: a cut burst would otherwise pass for a whole one.
TEST_F(ToolsOnFullDisk, KeepTheEarlierFileAndNameTheOneNotWritten)
{
    std::string pattern = (fs::temp_directory_path() / "orcan-cli-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path scratch = pattern;
    const std::string burst = (scratch / "burst.csv").string();
    ASSERT_EQ(std::system((kGen + " --samples 3000 -o " + burst).c_str()), 0);
    struct Case {
        std::string command;
        std::string target;
        std::size_t spare;  // free bytes left, so that the write stops part-way
    };
    std::vector<Case> cases = {
        {kGen + " --samples 36000 -o " + path("burst.csv").string(), "burst.csv", 8192},
        {kCompose + " --record " + burst + " -o " + path("m.sbd").string(), "m.sbd", 0},
    };
#ifdef ORCAN_PLOTS
    cases.push_back({kRun + " --plot " + path("fig.png").string() + " " + burst, "fig.png", 4096});
#endif
    for (const Case& c : cases) {
        expectEarlierFileKept(c.command, c.target, c.spare, (scratch / "err").string());
    }
    fs::remove_all(scratch);
}

}  // namespace
