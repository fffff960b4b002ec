#pragma once
// The server's log: one line per message and per refused connection on standard error,
// each starting with the UTC time, written whole even when many connections finish at once.

#include <string_view>

namespace saltmark::server {

void LogLine(std::string_view text);

}  // namespace saltmark::server
