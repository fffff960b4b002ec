#pragma once
// Files written whole or not at all. Everything the programs write goes to a temporary file
// beside the target, is flushed to the disk and renamed over the target only once complete,
// so that a full disk, a lost connection or a crash leaves either the earlier file or the new
// one, never a file cut short that a later step would take for a whole one.

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace orcan {

// One file being written. Nothing shows at the target until commit() succeeds; a file that is
// not committed (a failure, an early return, an exception) is removed with its temporary.
class WholeFile {
public:
    WholeFile() = default;
    WholeFile(const WholeFile&) = delete;
    WholeFile& operator=(const WholeFile&) = delete;
    ~WholeFile() { discard(); }

    // Creates the temporary file in the target's folder; false with the system's reason.
    // A target that exists and is not a regular file (a device, a pipe) is written in place:
    // it cannot be replaced, and what reads it does not keep what it read.
    bool open(const std::filesystem::path& target, std::string& reason);

    // Where to write; valid between a successful open() and commit() or discard().
    std::FILE* stream() const { return file_; }

    // Flushes, syncs to the disk, closes and renames over the target; false with the
    // system's reason, the target unchanged and the temporary removed.
    bool commit(std::string& reason);

    // Drops what was written; the target keeps its earlier content.
    void discard();

private:
    std::filesystem::path target_;
    std::filesystem::path temporary_;  // empty when writing the target in place
    std::FILE* file_ = nullptr;
};

// Creates or replaces `path` with exactly `bytes`, whole or not at all; false with the
// system's reason. The caller names the file in its message.
bool writeWholeFile(const std::filesystem::path& path, std::string_view bytes, std::string& reason);

}  // namespace orcan
