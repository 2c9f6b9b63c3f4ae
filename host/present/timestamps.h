// RFC 3339 time stamps: 2026-12-08T17:49:30.856+05:30, or ...Z with --utc.
#pragma once

#include <chrono>
#include <string>

namespace xolhost {

// `decimals` digits of the second (0..6); `separator` between date and time
// ('T' for JSON, a space for text lines people read).
std::string Rfc3339(std::chrono::system_clock::time_point at, bool utc, int decimals = 3,
                    char separator = 'T');

} // namespace xolhost
