#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <io.h>

namespace xolhost {

bool StderrTakesCursorCodes() {
    // A console that takes VT codes; redirected output and older consoles
    // get plain lines.
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (_isatty(_fileno(stderr)) == 0 || err == INVALID_HANDLE_VALUE ||
        GetConsoleMode(err, &mode) == 0) {
        return false;
    }
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::tm CalendarTime(std::time_t t, bool utc, long& offsetSeconds) {
    std::tm tm{};
    if (utc) {
        gmtime_s(&tm, &t);
        offsetSeconds = 0;
        return tm;
    }
    localtime_s(&tm, &t);
    // The offset is the local time read back as if it were UTC, less t.
    std::tm asUtc = tm;
    asUtc.tm_isdst = 0;
    offsetSeconds = static_cast<long>(_mkgmtime(&asUtc) - t);
    return tm;
}

std::string SystemErrorText(int error) {
    return std::strerror(error);
}

} // namespace xolhost
