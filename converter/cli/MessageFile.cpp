#include "MessageFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "whole_file.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace saltmark::cli {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

std::string TooLarge() { return "larger than 1 MiB, so not an SBD message; not read"; }

}  // namespace

std::optional<std::vector<std::uint8_t>> ReadMessageFile(const std::filesystem::path& path,
                                                         std::string& reason)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        reason = "is a directory";
        return std::nullopt;
    }
    // The size is only a first look: the read below stops at the limit whatever the file is
    // (a device, a pipe, a file still growing).
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size > kMaxMessageBytes) {
        reason = TooLarge();
        return std::nullopt;
    }
    errno = 0;
    FileHandle file(std::fopen(path.string().c_str(), "rb"));
    if (!file) {
        reason = errno != 0 ? std::strerror(errno) : "cannot be opened";
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(kMaxMessageBytes + 1);
    const std::size_t read = std::fread(bytes.data(), 1, bytes.size(), file.get());
    if (std::ferror(file.get())) {
        reason = errno != 0 ? std::strerror(errno) : "read error";
        return std::nullopt;
    }
    if (read > kMaxMessageBytes) {
        reason = TooLarge();
        return std::nullopt;
    }
    bytes.resize(read);
    return bytes;
}

bool WriteWholeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                    std::string& reason)
{
    return orcan::writeWholeFile(path, {reinterpret_cast<const char*>(bytes.data()), bytes.size()},
                                 reason);
}

#ifdef _WIN32

void CFileIdentities::Add(const std::filesystem::path& path)
{
    std::error_code error;
    if (std::filesystem::exists(path, error)) {
        m_paths.push_back(path);
    }
}

std::optional<std::filesystem::path> CFileIdentities::Find(const std::filesystem::path& path) const
{
    for (const std::filesystem::path& known : m_paths) {
        std::error_code error;
        if (std::filesystem::equivalent(known, path, error)) {
            return known;
        }
    }
    return std::nullopt;
}

#else

namespace {

std::optional<std::pair<std::uintmax_t, std::uintmax_t>> IdentityOf(
    const std::filesystem::path& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return std::pair<std::uintmax_t, std::uintmax_t>(status.st_dev, status.st_ino);
}

}  // namespace

void CFileIdentities::Add(const std::filesystem::path& path)
{
    if (const auto identity = IdentityOf(path)) {
        m_files.emplace(*identity, path);
    }
}

std::optional<std::filesystem::path> CFileIdentities::Find(const std::filesystem::path& path) const
{
    const auto identity = IdentityOf(path);
    if (!identity) {
        return std::nullopt;
    }
    const auto known = m_files.find(*identity);
    if (known == m_files.end()) {
        return std::nullopt;
    }
    return known->second;
}

#endif

}  // namespace saltmark::cli
