#include "platform/platform.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace xolhost {

bool StderrTakesCursorCodes() {
    const char* term = std::getenv("TERM");
    return ::isatty(STDERR_FILENO) == 1 && term != nullptr && std::strcmp(term, "dumb") != 0;
}

std::tm CalendarTime(std::time_t t, bool utc, long& offsetSeconds) {
    std::tm tm{};
    if (utc) {
        gmtime_r(&t, &tm);
        offsetSeconds = 0;
    } else {
        localtime_r(&t, &tm);
        offsetSeconds = tm.tm_gmtoff;
    }
    return tm;
}

std::string SystemErrorText(int error) {
    return std::strerror(error);
}

} // namespace xolhost
