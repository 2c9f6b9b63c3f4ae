#include "journal/journal_forms.h"

#include <fmt/format.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "present/output.h"

namespace xolhost {

namespace {

std::string CsvField(const std::string& text) {
    std::string field = text;
    if (!field.empty() && std::strchr("=+-@\t\r", field.front()) != nullptr) {
        field.insert(0, 1, '\'');
    }
    if (field.find_first_of(",\"\n\r") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (char c : field) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string Optional(const std::optional<int>& value) {
    return value ? std::to_string(*value) : std::string();
}

} // namespace

const char* const EVENT_CSV_HEADER =
    "seq,time,event,zone,point,before,after,set,cleared,cause,origin,text";

std::optional<WallClock::time_point> ParseTimeArgument(const std::string& text,
                                                       std::string& problem) {
    static const std::pair<const char*, int64_t> UNITS[] = {
        {"min", 60}, {"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}};
    for (const auto& [unit, seconds] : UNITS) {
        std::string number = text.substr(0, text.size() - std::strlen(unit));
        if (text.size() > std::strlen(unit) && text.size() <= std::strlen(unit) + 9 &&
            text.ends_with(unit) && number.find_first_not_of("0123456789") == std::string::npos) {
            return WallClock::now() - std::chrono::seconds(std::stoll(number) * seconds);
        }
    }
    std::tm tm{};
    int offsetHours = 0, offsetMinutes = 0;
    char sign = 'Z';
    double seconds = 0;
    int consumed = 0;
    int n = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%c%2d:%2d%n", &tm.tm_year, &tm.tm_mon,
                        &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &seconds, &sign, &offsetHours,
                        &offsetMinutes, &consumed);
    bool utc =
        n == 7 && (sign == 'Z' || sign == 'z') && text.size() == text.find_first_of("Zz") + 1;
    bool offset =
        n == 9 && (sign == '+' || sign == '-') && static_cast<std::size_t>(consumed) == text.size();
    bool sane = tm.tm_mon >= 1 && tm.tm_mon <= 12 && tm.tm_mday >= 1 && tm.tm_mday <= 31 &&
                tm.tm_hour <= 23 && tm.tm_min <= 59 && seconds >= 0 && seconds < 61 &&
                offsetHours <= 23 && offsetMinutes <= 59;
    if ((!utc && !offset) || !sane) {
        problem = "give an RFC 3339 time (2026-12-09T03:00:00Z) or a time ago (30min, 2h, 7d)";
        return std::nullopt;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_sec = 0;
    auto at = WallClock::from_time_t(timegm(&tm)) +
              std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    auto shift = std::chrono::minutes(offsetHours * 60 + offsetMinutes);
    return sign == '-' ? at + shift : at - shift;
}

std::string CsvLine(const StoredEvent& e) {
    // A count is kept as the driver hands it, 16 bits, and shown signed, as
    // everywhere else ("-005" is -5, not 65531).
    auto value = [&](const std::optional<int>& v) {
        return e.point.starts_with('!') && v
                   ? std::optional<int>(SignedCount(static_cast<uint16_t>(*v)))
                   : v;
    };
    return fmt::format("{},{},{},{},{},{},{},{},{},{},{},{}", e.sequence, e.time, e.kind,
                       Optional(e.zone), CsvField(e.point), Optional(value(e.before)),
                       Optional(value(e.after)), Optional(e.setBits), Optional(e.clearedBits),
                       CsvField(e.cause), CsvField(e.origin), CsvField(e.text));
}

} // namespace xolhost
