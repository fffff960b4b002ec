#include "whole_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace orcan {

namespace fs = std::filesystem;

namespace {

std::string systemReason(int error) { return std::strerror(error != 0 ? error : EIO); }

// A name no other writer picks: several programs (or threads) may write beside the same
// target at once. Drawn from the system's random source each time, so nothing is shared.
std::string temporarySuffix()
{
    std::random_device device;
    const std::uint64_t draw = (std::uint64_t{device()} << 32) ^ device();
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(draw));
    return text;
}

// The file the writes are meant for: a symbolic link stays a link to the new content.
fs::path resolvedTarget(const fs::path& path)
{
    std::error_code error;
    if (fs::is_symlink(path, error)) {
        const fs::path resolved = fs::canonical(path, error);
        if (!error) {
            return resolved;
        }
    }
    return path;
}

// Opens a new file that did not exist, for writing only; nullptr with errno set.
std::FILE* createExclusive(const fs::path& path)
{
#ifdef _WIN32
    const int descriptor =
        _wopen(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
               _S_IREAD | _S_IWRITE);
#else
    const int descriptor = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
#endif
    if (descriptor < 0) {
        return nullptr;
    }
#ifdef _WIN32
    std::FILE* file = _fdopen(descriptor, "wb");
#else
    std::FILE* file = ::fdopen(descriptor, "wb");
#endif
    if (file == nullptr) {
        const int failure = errno;
#ifdef _WIN32
        _close(descriptor);
#else
        ::close(descriptor);
#endif
        errno = failure;
    }
    return file;
}

// The data reaches the disk before the rename makes it the target: otherwise a power cut
// could leave the new name on an empty file.
int syncToDisk(std::FILE* file)
{
#ifdef _WIN32
    return _commit(_fileno(file)) == 0 ? 0 : errno;
#else
    return ::fsync(::fileno(file)) == 0 ? 0 : errno;
#endif
}

// Replaces the target in one step; 0 or the reason's error number (or, on Windows, a
// negative system error code).
int replaceTarget(const fs::path& temporary, const fs::path& target)
{
#ifdef _WIN32
    if (MoveFileExW(temporary.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return 0;
    }
    return -static_cast<int>(GetLastError());
#else
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        return errno;
    }
    // The rename itself is a change of the folder; sync it too where the system allows.
    fs::path folder = target.parent_path();
    const int directory = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return 0;
#endif
}

std::string replaceReason(int failure)
{
#ifdef _WIN32
    if (failure < 0) {
        return std::system_category().message(-failure);
    }
#endif
    return systemReason(failure);
}

// Keeps the permissions of the file being replaced, so that rewriting a shared report does
// not make it private.
void keepPermissions(std::FILE* file, const fs::path& target)
{
#ifndef _WIN32
    struct stat status {};
    if (::stat(target.c_str(), &status) == 0) {
        ::fchmod(::fileno(file), status.st_mode & 07777);
    }
#else
    (void)file;
    (void)target;
#endif
}

}  // namespace

bool WholeFile::open(const fs::path& target, std::string& reason)
{
    discard();
    target_ = resolvedTarget(target);
    std::error_code error;
    const fs::file_status status = fs::status(target_, error);
    if (fs::is_directory(status)) {
        reason = systemReason(EISDIR);
        return false;
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        errno = 0;
        file_ = std::fopen(target_.string().c_str(), "wb");
        if (file_ == nullptr) {
            reason = systemReason(errno);
            return false;
        }
        return true;
    }
    const fs::path folder = target_.parent_path();
    const std::string name = "." + target_.filename().string() + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = folder / (name + temporarySuffix() + ".part");
        errno = 0;
        file_ = createExclusive(candidate);
        if (file_ != nullptr) {
            temporary_ = candidate;
            keepPermissions(file_, target_);
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    reason = systemReason(errno);
    return false;
}

bool WholeFile::commit(std::string& reason)
{
    if (file_ == nullptr) {
        reason = systemReason(EBADF);
        return false;
    }
    int failure = 0;
    errno = 0;
    if (std::fflush(file_) != 0 || std::ferror(file_)) {
        failure = errno != 0 ? errno : EIO;
    }
    if (failure == 0 && !temporary_.empty()) {
        failure = syncToDisk(file_);
    }
    errno = 0;
    // Closing may be the first time the system sees the data (a network share).
    if (std::fclose(file_) != 0 && failure == 0) {
        failure = errno != 0 ? errno : EIO;
    }
    file_ = nullptr;
    if (failure == 0 && !temporary_.empty()) {
        failure = replaceTarget(temporary_, target_);
        if (failure == 0) {
            temporary_.clear();
        }
    }
    if (failure != 0) {
        reason = replaceReason(failure);
        discard();
        return false;
    }
    return true;
}

void WholeFile::discard()
{
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temporary_.empty()) {
        std::error_code ignored;
        fs::remove(temporary_, ignored);
        temporary_.clear();
    }
}

bool writeWholeFile(const fs::path& path, std::string_view bytes, std::string& reason)
{
    WholeFile file;
    if (!file.open(path, reason)) {
        return false;
    }
    errno = 0;
    if (!bytes.empty() &&
        std::fwrite(bytes.data(), 1, bytes.size(), file.stream()) != bytes.size()) {
        reason = systemReason(errno != 0 ? errno : EIO);
        return false;
    }
    return file.commit(reason);
}

}  // namespace orcan
