// What xolhost prints: results on standard output (text, or one JSON object
// per result), messages for people on standard error, every one of them
// prefixed with the program's name. Zones, bits and points are shown with
// the names a site file gives them.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "module/driver.h"

namespace xolhost {

struct Site;

struct OutputStyle {
    bool json = false;
    bool utc = false;
    bool cursor = false; // standard error takes cursor codes
    const Site* site = nullptr;
    // Standard error goes to the journal: each line starts with its syslog
    // priority ("<3>" for errors), which the journal takes as the level.
    bool syslogPrefixes = false;
};

class Output {
public:
    explicit Output(OutputStyle style) : style_(style) {}

    bool jsonMode() const { return style_.json; }
    bool cursor() const { return style_.cursor; }
    const Site* site() const { return style_.site; }
    void setSite(const Site* site) { style_.site = site; }

    // One JSON object on one line; bytes that are not UTF-8 are replaced.
    void printJson(const nlohmann::json& object);
    void printLine(const std::string& text);
    // "xolhost: ..." on standard error, on a fresh line.
    void error(const std::string& text);
    void warning(const std::string& text);
    // A line for people (progress, "Monitoring ...") on standard error.
    void progress(const std::string& text);
    // A line that belongs to the trace, on standard error.
    void traceLine(const std::string& text);

    // Now, as RFC 3339: for JSON with a 'T', for text with a space.
    std::string now(bool forJson) const;

    // Standard output could not be written (a closed pipe, a full disk): a
    // command that would go on printing ends instead.
    bool stdoutFailed();
    // Flushes standard output; false, with the system's words, when the
    // results could not be written.
    bool finish(std::string& problem);

private:
    // `priority`: the line's syslog priority (3 error .. 7 debug).
    void toStderr(int priority, const std::string& text);

    OutputStyle style_;
    std::mutex mutex_;
    int writeError_ = 0; // the first error writing standard output
};

std::string JsonText(const nlohmann::json& object);

// The text of a point kind: its letter, or its code in hex.
std::string KindText(uint32_t kind);
std::string ZoneAddress(int zone);

// The status bits by their names; bits the driver never sets as bare values.
std::vector<std::string> BitNames(uint16_t status);
// "ZS_CODE1 ZS_CODE7", each followed by the site's meaning where it gives one.
std::string BitsText(uint16_t status, const Site* site);
// "P0012  0x09  ZS_CODE1 ZS_CODE7", and the zone's location where the site
// names it.
std::string ZoneLine(int zone, uint16_t status, const Site* site);
// " [Zone 12: stairwell east]" or nothing.
std::string ZoneLocation(int zone, const Site* site);
// A zone with its status as JSON: zone, address, status, bits, and location
// and meanings where the site gives them.
nlohmann::json ZoneJson(int zone, uint16_t status, const Site* site);

// A count as the panel wrote it: the driver hands the count's low 16 bits,
// so "-005" arrives as 65531; shown as the signed 16-bit number -5.
int16_t SignedCount(uint16_t raw);
// A count's JSON fields: {"value": -5, "raw": 65531}.
nlohmann::json CountJson(uint16_t raw);

nlohmann::json PointJson(const Point& point, const Site* site);
std::string PointText(const Point& point);
// " (sounders east)" where the site names the point, or nothing.
std::string PointName(const std::string& address, const Site* site);

std::string ParityName(uint16_t code);
std::string StopBitsName(uint16_t code);

// A live elapsed-time line on standard error while a long call runs, where
// standard error takes cursor codes.
class Ticker {
public:
    Ticker(bool enabled, std::string label);
    ~Ticker();
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace xolhost
