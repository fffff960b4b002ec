// saltmark-convert as operators run it: the built program on files in a scratch folder.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testing/MessageComposer.h"
#include "testing/small_filesystem.h"

namespace saltmark::testing {
namespace {

namespace fs = std::filesystem;

const std::string kWorkedExampleReport =
    "Converting 9 bytes\r\n\r\nPacket Type:\r\n\tType = v4.0+ (enhanced Signature)\r\n\r\n"
    "Miscellaneous values:\r\n\tSize = 4\r\n\tBattery voltage = 8\r\n\r\n";

std::vector<std::uint8_t> BatteryMessage() { return Message({{6, 0, 4, 0, 0, 0, 0, 0x41}}); }

std::vector<std::uint8_t> CameraMessage(const std::vector<std::uint8_t>& image)
{
    return Message({MessageComposer()
                        .Header(7, 3, static_cast<std::uint16_t>(image.size()))
                        .Raw(image)
                        .Bytes()});
}

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> ReadBytes(const fs::path& path)
{
    const std::string text = ReadText(path);
    return {text.begin(), text.end()};
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

class SaltmarkConvert : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "saltmark-convert-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path Path(const std::string& name) const { return m_dir / name; }

    fs::path Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const
    {
        WriteBytes(Path(name), bytes);
        return Path(name);
    }

    // Runs the program with the given arguments, each quoted for the shell.
    Outcome Run(const std::vector<std::string>& args, std::string standardOutput = "",
                const std::string& standardInput = "/dev/null") const
    {
        if (standardOutput.empty()) {
            standardOutput = Path("stdout").string();
        }
        std::string command = Quote(SALTMARK_CONVERT);
        for (const std::string& arg : args) {
            command += " " + Quote(arg);
        }
        command += " <" + Quote(standardInput) + " >" + Quote(standardOutput) + " 2>" +
                   Quote(Path("stderr").string());
        const int raw = std::system(command.c_str());
        Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadText(Path("stdout")),
                        ReadText(Path("stderr"))};
        fs::remove(Path("stdout"));
        fs::remove(Path("stderr"));
        return outcome;
    }

private:
    static std::string Quote(const std::string& text)
    {
        std::string quoted = "'";
        for (char c : text) {
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        return quoted + "'";
    }

    fs::path m_dir;
};

int LineCount(const std::string& text)
{
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(SaltmarkConvert, WritesTheReportToStandardOutputWithItsOwnLineEndings)
{
    const Outcome run = Run({Write("m.sbd", BatteryMessage()).string()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kWorkedExampleReport);
    EXPECT_EQ(run.err, "");
}

TEST_F(SaltmarkConvert, DecodeProblemsArePartOfTheReportNotTheStatus)
{
    const Outcome run = Run({Write("m.sbd", {200, 1, 2, 3}).string()});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(
        run.out.ends_with("\tType UNKNOWN (-56)\r\n\r\nStopping decode due to error\r\n\r\n"))
        << run.out;
}

TEST_F(SaltmarkConvert, ImageOptionWritesTheCapturedBytesReplacingAnyFile)
{
    const std::vector<std::uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00};
    for (const auto& image : {jpeg, std::vector<std::uint8_t>{}}) {
        WriteBytes(Path("out.jpg"), std::vector<std::uint8_t>(100, 'x'));
        const Outcome run = Run(
            {"--image", Path("out.jpg").string(), Write("m.sbd", CameraMessage(image)).string()});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(run.out.ends_with(
            "Camera on COM3:\r\n\tImage size = " + std::to_string(image.size()) + "\r\n\r\n"));
        EXPECT_EQ(ReadBytes(Path("out.jpg")), image);
    }
}

TEST_F(SaltmarkConvert, ImageOptionWithoutImageCreatesNoFileAndSaysSo)
{
    const Outcome run =
        Run({"--image=" + Path("out.jpg").string(), Write("m.sbd", BatteryMessage()).string()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kWorkedExampleReport);
    EXPECT_FALSE(fs::exists(Path("out.jpg")));
    EXPECT_EQ(LineCount(run.err), 1);
    EXPECT_NE(run.err.find("no camera image"), std::string::npos) << run.err;
}

TEST_F(SaltmarkConvert, UnreadableMessageFailsWithOneLineNamingFileAndReason)
{
    fs::create_directory(Path("folder.sbd"));
    const struct {
        fs::path path;
        const char* reason;
    } cases[] = {{Path("missing.sbd"), "No such file or directory"},
                 {Path("folder.sbd"), "is a directory"}};
    for (const auto& c : cases) {
        const Outcome run = Run({c.path.string()});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(LineCount(run.err), 1) << run.err;
        EXPECT_NE(run.err.find(c.path.string()), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    }
}

TEST_F(SaltmarkConvert, UnreadableInputsAndUnwritableOutputsFailWithTheSystemsReason)
{
    if (!fs::exists("/proc/self/mem") || !fs::exists("/dev/full")) {
        GTEST_SKIP() << "needs /proc/self/mem (unreadable even for root) and /dev/full";
    }
    const std::string m = Write("m.sbd", CameraMessage({1, 2})).string();
    const struct {
        std::vector<std::string> args;
        std::string standardOutput;
        const char* said;
    } cases[] = {
        {{"/proc/self/mem"}, "", "/proc/self/mem: Input/output error"},
        {{"--out-dir", Path("out").string(), "/proc/self/mem"}, "", "Input/output error"},
        {{"--image", "/dev/full", m}, "", "/dev/full: cannot be written: No space left on device"},
        {{m}, "/dev/full", "standard output: cannot be written: No space left on device"},
    };
    for (const auto& c : cases) {
        const Outcome run = Run(c.args, c.standardOutput);
        EXPECT_EQ(run.status, 1) << ::testing::PrintToString(c.args);
        EXPECT_EQ(LineCount(run.err), 1) << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    }
}

TEST_F(SaltmarkConvert, RefusesFilesOverOneMebibyte)
{
    std::vector<std::uint8_t> bytes(1024 * 1024, 0);
    bytes[0] = 55;  // then 0 type codes: a long run of AquaDoppHR records of zeros
    const Outcome atLimit = Run({Write("limit.sbd", bytes).string()});
    EXPECT_EQ(atLimit.status, 0);
    EXPECT_TRUE(atLimit.out.starts_with("Converting 1048576 bytes\r\n"));

    bytes.push_back(0);
    const Outcome over = Run({Write("big.sbd", bytes).string()});
    EXPECT_EQ(over.status, 1);
    EXPECT_EQ(over.out, "");
    EXPECT_NE(over.err.find("larger than any SBD message can be"), std::string::npos) << over.err;
}

TEST_F(SaltmarkConvert, WrongUsageExitsWithTwo)
{
    const std::string m = Write("m.sbd", BatteryMessage()).string();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--bogus", m},
        {m, m},
        {"--image"},
        {m, "--image"},
        {"--image", "a.jpg", "--image", "b.jpg", m},
        {"--image", "a.jpg", "--out-dir", "out", m},
        {"--out-dir", "out"},
        {"--image=", m},
        {"--" + std::string(100000, 'x'), m},
        {"--file-time", "mtime", m},
        {"--db", "a.sqlite", "--file-time", "ctime", m},
    };
    for (const auto& args : cases) {
        const Outcome run = Run(args);
        EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args).substr(0, 200);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err, "");
        EXPECT_LT(run.err.size(), 200u) << "an argument is quoted in at most 40 characters";
    }
}

TEST_F(SaltmarkConvert, CsvTakesTheArchivesSpellingAndListsTheTypesOnAWrongOne)
{
    const std::string m = Write("m.sbd", BatteryMessage()).string();
    const Outcome archiveSpelling = Run({"--csv", "miscellaneous_VALUES", m});
    EXPECT_EQ(archiveSpelling.status, 0) << archiveSpelling.err;
    const Outcome wrong = Run({"--csv", "FOO", m});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("no record type 'FOO'; the types are AquaDoppHR, AquaDopp, PB200"),
              std::string::npos)
        << wrong.err;
    EXPECT_NE(wrong.err.find("Miscellaneous_values"), std::string::npos);
}

TEST_F(SaltmarkConvert, StandardInputInABatchIsNamedStdin)
{
    const std::string m = Write("m.sbd", BatteryMessage()).string();
    const Outcome run = Run({"--out-dir", Path("out").string(), "-"}, "", m);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::exists(Path("out/stdin.txt")));
    EXPECT_FALSE(fs::exists(Path("out/-.txt")));
}

TEST_F(SaltmarkConvert, HelpAndVersionGoToStandardOutput)
{
    const Outcome help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: saltmark-convert [--image FILE] MESSAGE.sbd\n"));
    EXPECT_NE(help.out.find("--out-dir DIR"), std::string::npos);
    const Outcome version = Run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.starts_with("saltmark-convert ")) << version.out;
    EXPECT_EQ(LineCount(version.out), 1);
}

TEST_F(SaltmarkConvert, BatchWritesReportsAndImagesAndContinuesPastFailures)
{
    const std::vector<std::uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xD9};
    const fs::path outDir = Path("reports/today");
    const Outcome run =
        Run({"--out-dir", outDir.string(), Write("a.sbd", CameraMessage(jpeg)).string(),
             Path("missing.sbd").string(), Write("b.sbd", BatteryMessage()).string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(LineCount(run.err), 1) << run.err;
    EXPECT_NE(run.err.find("missing.sbd"), std::string::npos) << run.err;
    EXPECT_TRUE(
        ReadText(outDir / "a.txt").ends_with("Camera on COM3:\r\n\tImage size = 4\r\n\r\n"));
    EXPECT_EQ(ReadBytes(outDir / "a.jpg"), jpeg);
    EXPECT_EQ(ReadText(outDir / "b.txt"), kWorkedExampleReport);
    EXPECT_FALSE(fs::exists(outDir / "b.jpg"));
    EXPECT_FALSE(fs::exists(outDir / "missing.txt"));
}

TEST_F(SaltmarkConvert, BatchRefusesToOverwriteAReportOfTheSameName)
{
    fs::create_directory(Path("one"));
    fs::create_directory(Path("two"));
    const Outcome run =
        Run({"--out-dir", Path("out").string(), Write("one/m.sbd", BatteryMessage()).string(),
             Write("two/m.sbd", CameraMessage({1})).string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ReadText(Path("out/m.txt")), kWorkedExampleReport);
    EXPECT_FALSE(fs::exists(Path("out/m.jpg")));
}

TEST_F(SaltmarkConvert, RefusesAnOutputThatIsOneOfItsMessagesAndTouchesNothing)
{
    fs::create_directories(Path("d"));
    fs::create_directories(Path("other"));
    const std::vector<std::uint8_t> message = CameraMessage({0xFF, 0xD8});
    const std::string m = Write("m.sbd", message).string();
    const std::string asReport = Write("d/m.txt", message).string();
    const std::string asImage = Write("d/n.jpg", message).string();
    const std::string other = Write("other/n.sbd", message).string();
    const std::string earlier = Write("other/a.sbd", message).string();
    fs::create_symlink(m, Path("link.jpg"));
    fs::create_hard_link(m, Path("hard.jpg"));
    const std::string d = Path("d").string();
    const struct {
        std::vector<std::string> args;
        std::string output;
        std::string input;
    } cases[] = {
        {{"--image", m, m}, m, m},
        {{"--image", Path("d/../m.sbd").string(), m}, Path("d/../m.sbd").string(), m},
        {{"--image", Path("link.jpg").string(), m}, Path("link.jpg").string(), m},
        {{"--image", Path("hard.jpg").string(), m}, Path("hard.jpg").string(), m},
        {{"--out-dir", d, asReport}, asReport, asReport},
        {{"--out-dir", d, asImage}, asImage, asImage},
        // A clash anywhere in the batch stops it before the first report is written.
        {{"--out-dir", d, earlier, asImage}, asImage, asImage},
        // The image of one message would replace the next message.
        {{"--out-dir", d, other, asImage}, asImage, asImage},
    };
    for (const auto& c : cases) {
        const auto before = fs::recursive_directory_iterator(Path(""));
        const std::size_t files = static_cast<std::size_t>(std::distance(before, {}));
        const Outcome run = Run(c.args);
        EXPECT_EQ(run.status, 1) << ::testing::PrintToString(c.args);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(LineCount(run.err), 1) << run.err;
        EXPECT_NE(run.err.find(c.output + " would replace the message " + c.input),
                  std::string::npos)
            << run.err;
        for (const std::string& input : {m, asReport, asImage, other, earlier}) {
            EXPECT_EQ(ReadBytes(input), message) << input;
        }
        EXPECT_EQ(
            static_cast<std::size_t>(std::distance(fs::recursive_directory_iterator(Path("")), {})),
            files)
            << ::testing::PrintToString(c.args);
    }
}

TEST_F(SaltmarkConvert, BatchRemovesAnImageOfTheSameNameLeftByAnEarlierRun)
{
    fs::create_directory(Path("a"));
    fs::create_directory(Path("b"));
    const std::string withImage = Write("a/x.sbd", CameraMessage({0xFF, 0xD8})).string();
    const std::string without = Write("b/x.sbd", BatteryMessage()).string();
    ASSERT_EQ(Run({"--out-dir", Path("o").string(), withImage}).status, 0);
    ASSERT_TRUE(fs::exists(Path("o/x.jpg")));

    const Outcome run = Run({"--out-dir", Path("o").string(), without});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ReadText(Path("o/x.txt")), kWorkedExampleReport);
    EXPECT_FALSE(fs::exists(Path("o/x.jpg")));
    EXPECT_EQ(LineCount(run.err), 1) << run.err;
    EXPECT_NE(run.err.find(Path("o/x.jpg").string() + ": removed"), std::string::npos) << run.err;
}

TEST_F(SaltmarkConvert, BundledExamplesConvertWithoutError)
{
    int examples = 0;
    for (const auto& entry : fs::directory_iterator(SALTMARK_EXAMPLES)) {
        if (entry.path().extension() != ".sbd") {
            continue;
        }
        ++examples;
        const Outcome run = Run({"--image", Path("image.jpg").string(), entry.path().string()});
        EXPECT_EQ(run.status, 0) << entry.path();
        EXPECT_EQ(run.out.find("Stopping decode"), std::string::npos) << entry.path();
    }
    EXPECT_GT(examples, 0);
}

using SaltmarkConvertOnFullDisk = orcan::testing::SmallFileSystem;

// A disk that runs full mid-write leaves the earlier report or image as it was and no
// temporary file beside it, and the run fails naming the file it could not write.
TEST_F(SaltmarkConvertOnFullDisk, KeepsTheEarlierFileAndNamesTheOneNotWritten)
{
    std::string pattern = (fs::temp_directory_path() / "saltmark-convert-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path scratch = pattern;
    const fs::path camera = scratch / "camera.sbd";
    WriteBytes(camera, CameraMessage(std::vector<std::uint8_t>(20000, 0xAB)));
    const std::string examples = SALTMARK_EXAMPLES;
    const struct {
        std::string arguments;
        std::string target;
    } cases[] = {
        {"--out-dir " + path("").string() + " " + examples + "/waves-currents.sbd",
         "waves-currents.txt"},
        {"--image " + path("camera.jpg").string() + " " + camera.string(), "camera.jpg"},
    };
    for (const auto& c : cases) {
        expectEarlierFileKept(std::string(SALTMARK_CONVERT) + " " + c.arguments, c.target, 4096,
                              (scratch / "err").string());
    }
    fs::remove_all(scratch);
}

}  // namespace
}  // namespace saltmark::testing
