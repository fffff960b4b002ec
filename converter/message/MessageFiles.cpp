#include "MessageFiles.h"

#include <algorithm>
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

// An SBD message is a few hundred bytes: one piece reads most of them whole.
constexpr std::size_t kReadPiece = 16 * 1024;

// No more than one byte past the limit is ever read.
std::size_t NextPiece(std::size_t held)
{
    return std::min(kReadPiece, static_cast<std::size_t>(kLargestMessageFile) + 1 - held);
}

std::string TooLarge()
{
    return "larger than any SBD message can be (more than " + std::to_string(kLargestMessageFile) +
           " bytes); not read";
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ReadMessageStream(std::FILE* stream, std::string& reason)
{
    // Read in pieces so that a message holds what it is, not the limit: a run keeps thousands.
    std::vector<std::uint8_t> bytes;
    std::uint8_t piece[kReadPiece];
    errno = 0;
    while (bytes.size() <= kLargestMessageFile) {
        const std::size_t got = std::fread(piece, 1, NextPiece(bytes.size()), stream);
        if (got == 0) {
            break;
        }
        bytes.insert(bytes.end(), piece, piece + got);
    }
    if (std::ferror(stream)) {
        reason = SystemReason("read error");
        return std::nullopt;
    }
    if (bytes.size() > kLargestMessageFile) {
        reason = TooLarge();
        return std::nullopt;
    }
    bytes.shrink_to_fit();
    return bytes;
}

#ifndef _WIN32
std::optional<std::vector<std::uint8_t>> ReadMessageDescriptor(int descriptor, std::string& reason)
{
    std::vector<std::uint8_t> bytes;
    std::uint8_t piece[kReadPiece];
    while (bytes.size() <= kLargestMessageFile) {
        const ssize_t got = ::read(descriptor, piece, NextPiece(bytes.size()));
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
        bytes.insert(bytes.end(), piece, piece + got);
    }
    if (bytes.size() > kLargestMessageFile) {
        reason = TooLarge();
        errno = 0;
        return std::nullopt;
    }
    bytes.shrink_to_fit();
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
