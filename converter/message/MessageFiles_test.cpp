#include "MessageFiles.h"

#include <gtest/gtest.h>

#include <cerrno>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "ConvertedMessage.h"
#include "Message.h"
#include "MessageJson.h"
#include "testing/EveryRecord.h"
#include "testing/MessageComposer.h"

namespace fs = std::filesystem;

namespace {

class MessageFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = fs::temp_directory_path() /
                   ("saltmark-message-" +
                    std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(m_folder);
        fs::create_directories(m_folder);
    }
    void TearDown() override { fs::remove_all(m_folder); }

    fs::path Write(const char* name, const std::vector<std::uint8_t>& bytes)
    {
        const fs::path path = m_folder / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    static std::vector<std::uint8_t> Contents(const fs::path& path)
    {
        std::ifstream file(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

    fs::path m_folder;
};

TEST(ProposeImageName, ReplacesOnlyTheFileNamesExtension)
{
    const struct {
        const wchar_t* message;
        const wchar_t* proposed;
    } cases[] = {
        {LR"(C:\data\msg01.sbd)", LR"(C:\data\msg01.jpg)"},
        // A '.' in a folder name is not the file's extension.
        {LR"(C:\data.v2\msg01)", LR"(C:\data.v2\msg01)"},
        {LR"(C:\data\msg01)", LR"(C:\data\msg01)"},
        {L"/srv/data/msg01.sbd", L"/srv/data/msg01.jpg"},
        {L"/srv/data.v2/msg01", L"/srv/data.v2/msg01"},
        {L"/srv/msg.2024.sbd", L"/srv/msg.2024.jpg"},
        {L"msg01", L"msg01"},
        {L"msg01.sbd", L"msg01.jpg"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(saltmark::ProposeImageName(c.message), c.proposed);
    }
}

TEST_F(MessageFiles, ReadsWholeFilesUpToTheLargestMessage)
{
    const std::vector<std::uint8_t> sizes[] = {
        {}, {0x37, 0x06, 0x00}, std::vector<std::uint8_t>(saltmark::kLargestMessageFile, 0x37)};
    for (const auto& bytes : sizes) {
        std::string reason;
        const auto read = saltmark::ReadMessageFile(Write("m.sbd", bytes), reason);
        ASSERT_TRUE(read.has_value()) << reason;
        EXPECT_EQ(*read, bytes);
    }
}

TEST_F(MessageFiles, RefusesWhatCannotBeAMessageWithOneReason)
{
    fs::create_directory(m_folder / "folder.sbd");
    const std::vector<std::uint8_t> tooLarge(saltmark::kLargestMessageFile + 1, 0x37);
    const struct {
        fs::path path;
        std::string reason;
    } cases[] = {
        {m_folder / "missing.sbd", std::strerror(ENOENT)},
        {m_folder / "folder.sbd", "is a directory"},
        {Write("huge.sbd", tooLarge),
         "larger than any SBD message can be (more than 1048576 bytes)"},
    };
    for (const auto& c : cases) {
        std::string reason;
        EXPECT_FALSE(saltmark::ReadMessageFile(c.path, reason).has_value()) << c.path;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    }
}

// A stream cannot tell its length: the read itself stops one byte past the limit.
TEST_F(MessageFiles, RefusesAStreamLongerThanAnyMessage)
{
    const fs::path path =
        Write("stream.sbd", std::vector<std::uint8_t>(saltmark::kLargestMessageFile + 1, 0x37));
    std::FILE* stream = std::fopen(path.string().c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    std::string reason;
    EXPECT_FALSE(saltmark::ReadMessageStream(stream, reason).has_value());
    std::fclose(stream);
    EXPECT_NE(reason.find("1048576 bytes"), std::string::npos) << reason;
}

#ifndef _WIN32
// The same for a descriptor; a system error says so through errno, the limit does not.
TEST_F(MessageFiles, ReadsADescriptorUpToTheLimitAndSaysWhyNot)
{
    const std::vector<std::uint8_t> largest(saltmark::kLargestMessageFile, 0x37);
    for (const auto& [bytes, refused] :
         {std::pair{largest, false},
          std::pair{std::vector<std::uint8_t>(largest.size() + 1), true}}) {
        const int fd = ::open(Write("d.sbd", bytes).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::string reason;
        const auto read = saltmark::ReadMessageDescriptor(fd, reason);
        EXPECT_EQ(read.has_value(), !refused) << reason;
        EXPECT_TRUE(read ? *read == bytes : errno == 0) << reason;
        ::close(fd);
    }
    const int folder = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY);
    std::string reason;
    EXPECT_FALSE(saltmark::ReadMessageDescriptor(folder, reason).has_value());
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(reason, std::strerror(EISDIR));
    ::close(folder);
}
#endif

TEST_F(MessageFiles, ImageReplacesAnEarlierFileOnlyWhenWritten)
{
    const fs::path image = Write("image.jpg", {'e', 'a', 'r', 'l', 'i', 'e', 'r'});
    const std::vector<std::uint8_t> jpeg{0xFF, 0xD8, 0x00};
    std::string reason;
    ASSERT_TRUE(saltmark::WriteImageFile(image, jpeg, reason)) << reason;
    EXPECT_EQ(Contents(image), jpeg);
    ASSERT_TRUE(saltmark::WriteImageFile(image, {}, reason)) << reason;
    EXPECT_TRUE(Contents(image).empty());

    const fs::path unwritable = m_folder / "no-such-folder" / "image.jpg";
    EXPECT_FALSE(saltmark::WriteImageFile(unwritable, jpeg, reason));
    EXPECT_NE(reason.find(std::strerror(ENOENT)), std::string::npos) << reason;
    EXPECT_EQ(std::distance(fs::directory_iterator(m_folder), fs::directory_iterator()), 1);
}

// One decode gives what ConvertMessage and the spectrum's own decode give.
TEST(ConvertMessageBytes, HandsOutReportImageAndSpectrumOfOneDecode)
{
    using saltmark::testing::MessageComposer;
    const saltmark::testing::EveryRecordMessage every(false);
    const std::vector<std::uint8_t> messages[] = {
        every.Bytes(),
        saltmark::testing::Message(
            {MessageComposer().Header(7, 3, 5).Raw({0xFF, 0xD8, 0xFF, 0xE0, 0x00}).Bytes()}),
        {0x37, 0x0B, 0x01},  // a Y81000 header cut short: no spectrum
        {},
    };
    for (const auto& message : messages) {
        const saltmark::ConvertedMessage converted = saltmark::ConvertMessageBytes(message);
        saltmark::CapturedImage image;
        const auto n = static_cast<std::int32_t>(message.size());
        EXPECT_EQ(converted.report, saltmark::ConvertMessage(message.data(), n, image));
        EXPECT_EQ(converted.image.bytes, image.bytes);
        const auto spectrum =
            saltmark::SpectrumFromMessage(saltmark::DecodeMessage(message.data(), n));
        ASSERT_EQ(converted.spectrum.has_value(), spectrum.has_value());
        if (spectrum) {
            EXPECT_EQ(converted.spectrum->tke, spectrum->tke);
        }
    }
    EXPECT_TRUE(saltmark::ConvertMessageBytes(every.Bytes()).spectrum.has_value());
}

// The line follows the fit: the level is the mean of f^(5/3) Tke over the bands strictly
// inside the fit band, so a spectrum on the law is its own line; no line where the fit makes
// no estimate.
TEST(InertialLine, IsTheFitsLevelOverTheFitBand)
{
    std::vector<double> freq;
    std::vector<double> tke;
    constexpr double kLevel = 0.03;
    for (int i = 0; i < 116; ++i) {
        freq.push_back(0.0427 * (i + 1));
        tke.push_back(kLevel * std::pow(freq.back(), -5.0 / 3.0));
    }
    freq[46] = 2.0;  // on the band's edge: left out
    tke[46] = 1.0e6;
    tke[0] = 100.0;  // far off the law below the band: left out
    const auto line = saltmark::InertialLineOf(freq, tke);
    ASSERT_TRUE(line.has_value());
    EXPECT_NEAR(line->level, kLevel, 1e-15);
    ASSERT_EQ(line->freq.size(), 67u);  // 2.0 < f < 4.9
    EXPECT_GT(line->freq.front(), saltmark::kFitBandLowHz);
    EXPECT_LT(line->freq.back(), saltmark::kFitBandHighHz);
    for (std::size_t i = 0; i < line->freq.size(); ++i) {
        EXPECT_NEAR(line->tke[i], kLevel * std::pow(line->freq[i], -5.0 / 3.0), 1e-15);
    }

    std::vector<double> rejected = tke;
    rejected[60] = EDDYRATE_MISSING;
    EXPECT_FALSE(saltmark::InertialLineOf(freq, rejected).has_value());
    const std::vector<double> oneBand = {1.0, 3.0, 5.0};
    const std::vector<double> flat = {1.0, 1.0, 1.0};
    EXPECT_FALSE(saltmark::InertialLineOf(oneBand, flat).has_value());
}

// A file read through the message core gives the converter's report, image and JSON.
TEST_F(MessageFiles, MessageFromFileDecodesOnceForEveryOutput)
{
    const saltmark::testing::EveryRecordMessage every(false);
    const std::vector<std::uint8_t> bytes = every.Bytes();
    std::string reason;
    const auto message = saltmark::Message::FromFile(Write("every.sbd", bytes), reason);
    ASSERT_TRUE(message.has_value()) << reason;
    const auto n = static_cast<std::int32_t>(bytes.size());
    saltmark::CapturedImage image;
    EXPECT_EQ(message->Report(), saltmark::ConvertMessage(bytes.data(), n, image));
    EXPECT_EQ(message->Image().bytes, image.bytes);
    EXPECT_EQ(message->JsonText("every.sbd"), saltmark::MessageJsonText(bytes.data(), n, "every.sbd"));
    EXPECT_TRUE(message->Spectrum().has_value());
}

}  // namespace
