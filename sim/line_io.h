// Byte-level helpers for the panel's end of a line: writing whole replies
// and sleeping in a way that a stop request cuts short.
#pragma once

#include <chrono>
#include <stop_token>
#include <string_view>

namespace xolsim {

// Writes every byte, going on after interruptions and a full line; false
// when the descriptor fails.
bool WriteAll(int fd, std::string_view bytes);
// The same, giving up (false) once stop is requested while the line is full.
bool WriteAll(int fd, std::string_view bytes, std::stop_token stop);

// Stop-aware sleep: false when stop was requested before the time was up.
bool SleepFor(std::chrono::nanoseconds duration, std::stop_token stop);

} // namespace xolsim
