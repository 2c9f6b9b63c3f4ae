// The driver's two log messages, sent to the host's err with class 32.
#pragma once

#include <cstdint>

namespace xol {

constexpr int LOG_CLASS = 32;
// The driver's short name: reported by the description and named in the open-failure line.
inline constexpr char SHORT_NAME[] = "EST";

// "XOLEST : Fail to open <name>"; name must be NUL-terminated.
void LogOpenFailure(const char* portName);
// "XolES : Got Illegal zone address (<zone>)".
void LogIllegalZone(uint16_t zone);

} // namespace xol
