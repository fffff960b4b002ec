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

}  // namespace

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

std::optional<std::pair<std::uintmax_t, std::uintmax_t> > IdentityOf(
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
