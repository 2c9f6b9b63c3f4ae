#include "present/timestamps.h"

#include <fmt/format.h>

#include <cstdlib>

#include "platform/platform.h"

namespace xolhost {

std::string Rfc3339(std::chrono::system_clock::time_point at, bool utc, int decimals,
                    char separator) {
    using namespace std::chrono;
    auto micros = duration_cast<microseconds>(at.time_since_epoch());
    auto seconds = floor<std::chrono::seconds>(micros);
    auto fraction = (micros - seconds).count();
    long offset = 0;
    std::tm tm = CalendarTime(static_cast<std::time_t>(seconds.count()), utc, offset);
    std::string text =
        fmt::format("{:04d}-{:02d}-{:02d}{}{:02d}:{:02d}:{:02d}", tm.tm_year + 1900, tm.tm_mon + 1,
                    tm.tm_mday, separator, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (decimals > 0) {
        static constexpr long SCALE[] = {1, 100000, 10000, 1000, 100, 10, 1};
        int digits = decimals > 6 ? 6 : decimals;
        text += fmt::format(".{:0{}d}", fraction / SCALE[digits], digits);
    }
    if (utc) {
        return text + "Z";
    }
    long minutes = std::labs(offset) / 60;
    return text +
           fmt::format("{}{:02d}:{:02d}", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

} // namespace xolhost
