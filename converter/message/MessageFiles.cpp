#include "MessageFiles.h"

#include <cerrno>
#include <cstring>
#include <memory>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "whole_file.h"

namespace saltmark {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Wide paths on Windows, so that a name outside the ANSI code page opens too.
std::FILE* OpenFile(const std::filesystem::path& path)
{
#ifdef _WIN32
    return _wfopen(path.c_str(), L"rb");
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

std::string SystemReason(const char* otherwise)
{
    return errno != 0 ? std::strerror(errno) : otherwise;
}

std::string TooLarge()
{
    return "larger than any SBD message can be (more than " + std::to_string(kLargestMessageFile) +
           " bytes); not read";
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ReadMessageStream(std::FILE* stream, std::string& reason)
{
    std::vector<std::uint8_t> bytes(kLargestMessageFile + 1);
    std::size_t read = 0;
    errno = 0;
    while (read < bytes.size()) {
        const std::size_t got = std::fread(bytes.data() + read, 1, bytes.size() - read, stream);
        if (got == 0) {
            break;
        }
        read += got;
    }
    if (std::ferror(stream)) {
        reason = SystemReason("read error");
        return std::nullopt;
    }
    if (read > kLargestMessageFile) {
        reason = TooLarge();
        return std::nullopt;
    }
    bytes.resize(read);
    return bytes;
}

#ifndef _WIN32
std::optional<std::vector<std::uint8_t>> ReadMessageDescriptor(int descriptor, std::string& reason)
{
    std::vector<std::uint8_t> bytes(kLargestMessageFile + 1);
    std::size_t read = 0;
    while (read < bytes.size()) {
        const ssize_t got = ::read(descriptor, bytes.data() + read, bytes.size() - read);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            reason = std::strerror(error);
            errno = error;
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        read += static_cast<std::size_t>(got);
    }
    if (read > kLargestMessageFile) {
        reason = TooLarge();
        errno = 0;
        return std::nullopt;
    }
    bytes.resize(read);
    return bytes;
}
#endif

std::optional<std::vector<std::uint8_t>> ReadMessageFile(const std::filesystem::path& path,
                                                         std::string& reason)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        reason = "is a directory";
        return std::nullopt;
    }
    // A first look only, to spare reading a large file: the read itself holds the limit.
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size > kLargestMessageFile) {
        reason = TooLarge();
        return std::nullopt;
    }
    errno = 0;
    const FileHandle file(OpenFile(path));
    if (!file) {
        reason = SystemReason("cannot be opened");
        return std::nullopt;
    }
    return ReadMessageStream(file.get(), reason);
}

std::wstring ProposeImageName(std::wstring_view messagePath)
{
    const std::size_t folderEnd = messagePath.find_last_of(L"/\\");
    const std::size_t nameStart = folderEnd == std::wstring_view::npos ? 0 : folderEnd + 1;
    const std::size_t dot = messagePath.rfind(L'.');
    if (dot == std::wstring_view::npos || dot < nameStart) {
        return std::wstring(messagePath);
    }
    return std::wstring(messagePath.substr(0, dot)) + L".jpg";
}

bool WriteImageFile(const std::filesystem::path& path, std::span<const std::uint8_t> image,
                    std::string& reason)
{
    return orcan::writeWholeFile(path, {reinterpret_cast<const char*>(image.data()), image.size()},
                                 reason);
}

}  // namespace saltmark
