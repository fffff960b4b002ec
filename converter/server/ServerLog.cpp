#include "ServerLog.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "DirectIp.h"

namespace saltmark::server {

void LogLine(std::string_view text)
{
    static std::mutex mutex;
    const auto now = std::chrono::system_clock::now();
    std::string line =
        IsoUtc(std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
    line += ' ';
    line += text;
    line += '\n';
    const std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace saltmark::server
