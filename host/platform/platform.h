// The few things this program asks of the system that differ between
// platforms. platform_posix.cpp answers them on Linux; a Windows build
// brings its own file.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace xolhost {

// Standard error is a terminal that takes cursor codes: not redirected, and
// TERM is not "dumb".
bool StderrTakesCursorCodes();

// The calendar time of `t`, local or UTC, and the local offset from UTC in
// seconds (0 for UTC).
std::tm CalendarTime(std::time_t t, bool utc, long& offsetSeconds);

// The system's own text for an error number ("No such file or directory").
std::string SystemErrorText(int error);

} // namespace xolhost
