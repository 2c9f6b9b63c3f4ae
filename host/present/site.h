// A site file: what zones, status codes and control points are called at one
// site, so that every command can show "zone 12: stairwell east, 2nd floor"
// rather than a bare number. JSON; its schema is site.schema.json.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace xolhost {

// The classes a site may give its status codes; a status of the first three
// waits for an operator's acknowledgement.
inline constexpr const char* STATUS_CLASSES[] = {"alarm", "fault", "supervisory", "disabled",
                                                 "other"};

struct Site {
    std::string name;
    std::map<int, std::string> zones;          // zone number -> location
    std::map<int, std::string> codes;          // panel status code 0..15 -> meaning here
    std::map<int, std::string> classes;        // status code -> "alarm", "fault", ...
    std::map<std::string, std::string> points; // address, upper case -> name

    // Null where the site names nothing.
    const std::string* zoneName(int zone) const;
    const std::string* codeName(int code) const;
    // "alarm", "fault", "supervisory", "disabled" or "other"; null where the
    // site gives the code no class.
    const std::string* codeClass(int code) const;
    // A point's name; a zone address (P0012) is named by its zone.
    const std::string* pointName(std::string_view address) const;
};

// Throws UsageError naming the file, the place and the problem
// ("site.json: zones.12: must be a text").
Site ParseSite(std::string_view text, const std::string& origin);
Site LoadSite(const std::string& path);

// The panel's status code behind a status bit the driver sets (ZS_CODE7 is
// code 7); 0 for a bit no code sets.
int CodeOfStatusBit(unsigned bit);

} // namespace xolhost
