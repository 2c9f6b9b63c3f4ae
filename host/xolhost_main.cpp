// xolhost: does what a supervision host does with the driver module, on a
// real port or on the built-in panel simulator.
#include <CLI/CLI.hpp>
#include <fmt/chrono.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>

#include "cp437.h"
#include "driver.h"
#include "interrupts.h"
#include "panel.h"
#include "scenario.h"

namespace xolhost {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Exit codes.
constexpr int EXIT_DONE = 0;
constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_FAILED = 2;
constexpr int EXIT_MODULE = 3;
constexpr int EXIT_USAGE = 64;
constexpr int EXIT_INTERNAL = 70;
constexpr int EXIT_INTERRUPTED = 130;

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown after a call has finished when the user asked to stop.
struct Interrupted {};

int ExitCodeOf(int32_t result) {
    switch (result) {
    case RC_DONE:
        return EXIT_DONE;
    case RC_REFUSED:
        return EXIT_REFUSED;
    default:
        return EXIT_FAILED;
    }
}

struct Options {
    std::string module;
    std::string port;
    std::optional<uint32_t> timeout;
    std::optional<uint32_t> baud;
    std::optional<uint16_t> dataBits;
    std::optional<std::string> stopBits;
    std::optional<std::string> parity;
    bool json = false;
    std::optional<std::string> simulate;
    bool tracePanel = false;

    std::vector<std::string> addresses;
    std::string address;
    std::optional<int32_t> count;
    bool noScan = false;
    uint16_t value = 0;
    double interval = 2.0;
    int scans = 0;
    bool counts = false;
};

// ---------------------------------------------------------------------------
// Output

std::string KindText(uint32_t kind) {
    return kind >= 0x20 && kind < 0x7F ? std::string(1, static_cast<char>(kind))
                                       : fmt::format("0x{:X}", kind);
}

// The status bits of a zone by their names; bits the driver never sets are
// shown as bare values.
std::vector<std::string> BitNames(uint16_t status) {
    static const std::pair<uint16_t, const char*> NAMES[] = {{ZS_CODE1, "ZS_CODE1"},
                                                             {ZS_CODE2, "ZS_CODE2"},
                                                             {ZS_CODE3, "ZS_CODE3"},
                                                             {ZS_CODE7, "ZS_CODE7"},
                                                             {ZS_CODE8, "ZS_CODE8"}};
    std::vector<std::string> names;
    uint16_t rest = status;
    for (const auto& [bit, name] : NAMES) {
        if ((status & bit) != 0) {
            names.emplace_back(name);
            rest = static_cast<uint16_t>(rest & ~bit);
        }
    }
    for (uint16_t bit = 1; bit != 0; bit = static_cast<uint16_t>(bit << 1)) {
        if ((rest & bit) != 0) {
            names.push_back(fmt::format("0x{:02X}", bit));
        }
    }
    return names;
}

std::string ZoneAddress(int zone) {
    return fmt::format("P{:04d}", zone);
}

std::string LocalTime(bool forJson) {
    auto now = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    if (forJson) {
        return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03d}{:%z}", local, ms.count(), local);
    }
    return fmt::format("{:%Y-%m-%d %H:%M:%S}.{:03d}", local, ms.count());
}

// Starts a fresh line on stderr when it is a terminal that may show the
// elapsed-time indicator.
const char* FreshLine() {
    return ::isatty(STDERR_FILENO) == 1 ? "\r\033[K" : "";
}

void PrintJson(const json& object) {
    fmt::print("{}\n", object.dump());
    std::fflush(stdout);
}

std::string ParityName(uint16_t code) {
    static const char* NAMES[] = {"none", "odd", "even", "mark", "space"};
    return code < 5 ? NAMES[code] : fmt::format("code {}", code);
}

std::string StopBitsName(uint16_t code) {
    static const char* NAMES[] = {"1", "1.5", "2"};
    return code < 3 ? NAMES[code] : fmt::format("code {}", code);
}

// A live elapsed-time line on a terminal while a long call runs.
class Ticker {
public:
    Ticker(bool enabled, std::string label) : label_(std::move(label)) {
        if (!enabled) {
            return;
        }
        thread_ = std::thread([this] {
            auto start = Clock::now();
            std::unique_lock lock(mutex_);
            // Short calls show nothing.
            if (wake_.wait_for(lock, std::chrono::milliseconds(300), [this] { return done_; })) {
                return;
            }
            shown_ = true;
            do {
                double seconds = std::chrono::duration<double>(Clock::now() - start).count();
                fmt::print(stderr, "\r\033[K{} {:.1f} s", label_, seconds);
                std::fflush(stderr);
            } while (
                !wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return done_; }));
            fmt::print(stderr, "\r\033[K");
            std::fflush(stderr);
        });
    }
    ~Ticker() {
        if (thread_.joinable()) {
            {
                std::lock_guard lock(mutex_);
                done_ = true;
            }
            wake_.notify_all();
            thread_.join();
        }
    }

private:
    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    bool shown_ = false;
    std::thread thread_;
};

// ---------------------------------------------------------------------------
// Running the commands

class Host {
public:
    Host(const Options& options, DriverModule& module, Interrupts& interrupts)
        : options_(options), module_(module), interrupts_(interrupts), channel_(module),
          terminal_(::isatty(STDERR_FILENO) == 1) {}

    int describe();
    int check();
    int scan();
    int read();
    int write();
    int monitor();

    // Opens the channel with the line settings of the options.
    int32_t openChannel(std::string& error);
    // Closes the channel; false (and a message) when the driver could not.
    bool closeChannel();

private:
    // Checks an address; throws nothing, reports through the result.
    int32_t check(const std::string& address, Point& point) {
        return after(channel_.check(address, point));
    }
    int32_t after(int32_t result) const {
        if (interrupts_.requested()) {
            throw Interrupted{};
        }
        return result;
    }
    // Runs !Z and reads every zone's status from the fresh snapshot.
    int32_t scanZones(const Point& scanPoint, std::map<int, uint16_t>& statuses, double& seconds);
    int32_t scanBeforeRead(const std::string& address);
    int32_t readCount(char which, uint16_t& value);
    Point requirePoint(const std::string& address, std::optional<int32_t> count = {});
    void report(const std::string& command, int32_t result, const std::string& message,
                json object = json::object());

    const Options& options_;
    DriverModule& module_;
    Interrupts& interrupts_;
    Channel channel_;
    bool terminal_;
};

// Output of a finished command: the text line, or one JSON object.
void Host::report(const std::string& command, int32_t result, const std::string& message,
                  json object) {
    if (options_.json) {
        json out = {{"command", command}, {"result", ResultName(result)}};
        out.update(object);
        if (result != RC_DONE && !message.empty()) {
            out["error"] = message;
        }
        PrintJson(out);
    } else if (!message.empty()) {
        fmt::print(result == RC_DONE ? stdout : stderr, "{}\n", message);
    }
}

int Host::describe() {
    const DriverInfo& info = module_.info();
    std::string banner = Cp437ToUtf8(info.banner != nullptr ? info.banner : "");
    std::string name = info.shortName != nullptr ? info.shortName : "";
    if (options_.json) {
        PrintJson({{"command", "describe"},
                   {"result", "done"},
                   {"module", module_.path()},
                   {"driver_code", info.driverCode},
                   {"short_name", name},
                   {"context_size", info.contextSize},
                   {"defaults",
                    {{"timeout", info.defaultTimeout},
                     {"baud", info.defaultBaud},
                     {"data_bits", info.defaultDataBits},
                     {"stop_bits", StopBitsName(info.defaultStopBits)},
                     {"parity", ParityName(info.defaultParity)}}},
                   {"info_flags", info.infoFlags},
                   {"banner", banner}});
        return EXIT_DONE;
    }
    fmt::print("{}", banner);
    if (banner.empty() || banner.back() != '\n') {
        fmt::print("\n");
    }
    fmt::print("Driver        {} (driver code {})\n", name, info.driverCode);
    fmt::print("Module        {}\n", module_.path());
    fmt::print("Context size  {} bytes\n", info.contextSize);
    fmt::print("Line defaults {} baud, {} data bits, {} parity, {} stop bit{}\n", info.defaultBaud,
               info.defaultDataBits, ParityName(info.defaultParity),
               StopBitsName(info.defaultStopBits), info.defaultStopBits == 0 ? "" : "s");
    fmt::print("Time-out      {} (units of 10 ms: {} ms)\n", info.defaultTimeout,
               info.defaultTimeout * 10ull);
    fmt::print("Info flags    {}\n", info.infoFlags);
    return EXIT_DONE;
}

json PointJson(const Point& point) {
    json out = {{"address", point.address}, {"kind", KindText(point.kind)}};
    if (point.kind == PK_GROUP_ZONE) {
        out["group"] = (static_cast<uint32_t>(point.number) >> 16) & 0xFF;
        out["zone"] = static_cast<uint32_t>(point.number) & 0xFFFF;
    } else if (point.kind == PK_ZONE ||
               std::string("AQTLX").find(static_cast<char>(point.kind)) != std::string::npos) {
        out["number"] = point.number;
    }
    return out;
}

std::string PointText(const Point& point) {
    switch (point.kind) {
    case PK_GROUP_ZONE:
        return fmt::format("kind O, group {}, zone {}",
                           (static_cast<uint32_t>(point.number) >> 16) & 0xFF,
                           static_cast<uint32_t>(point.number) & 0xFFFF);
    case PK_SCAN:
    case PK_SYSTEM_R:
    case PK_SYSTEM_S:
    case PK_SYSTEM_D:
    case PK_COUNT_N:
    case PK_COUNT_C:
        return fmt::format("kind {}, system point", KindText(point.kind));
    default:
        return fmt::format("kind {}, number {}", KindText(point.kind), point.number);
    }
}

int Host::check() {
    int32_t worst = RC_DONE;
    json points = json::array();
    for (const auto& address : options_.addresses) {
        Point point;
        int32_t result = options_.count
                             ? after(channel_.checkBlock(address, *options_.count, point))
                             : check(address, point);
        worst = std::max(worst, result);
        json entry = {{"address", address}, {"result", ResultName(result)}};
        if (result == RC_DONE) {
            entry = PointJson(point);
            entry["result"] = "done";
        }
        points.push_back(entry);
        if (!options_.json) {
            std::string detail = result == RC_DONE ? PointText(point)
                                 : options_.count
                                     ? fmt::format("not a block of at most 1000 zones from a zone "
                                                   "address (P0001..P6299)")
                                     : std::string("not a valid point address");
            fmt::print("{:<9} {:<8} {}\n", address, ResultName(result), detail);
        }
    }
    if (options_.json) {
        json out = {{"command", "check"}, {"result", ResultName(worst)}, {"points", points}};
        if (options_.count) {
            out["count"] = *options_.count;
        }
        PrintJson(out);
    }
    return ExitCodeOf(worst);
}

Point Host::requirePoint(const std::string& address, std::optional<int32_t> count) {
    Point point;
    int32_t result =
        count ? after(channel_.checkBlock(address, *count, point)) : check(address, point);
    if (result != RC_DONE) {
        throw UsageError(count ? fmt::format("\"{}\" with --count {} is not a valid block: a zone "
                                             "address (P0001..P6299) and at most 1000 zones",
                                             address, *count)
                               : fmt::format("\"{}\" is not a valid point address", address));
    }
    return point;
}

int32_t Host::openChannel(std::string& error) {
    const DriverInfo& info = module_.info();
    LineSettings line;
    line.port = options_.port;
    line.timeout = options_.timeout.value_or(info.defaultTimeout);
    line.settings.baud = static_cast<uint16_t>(options_.baud.value_or(info.defaultBaud));
    line.settings.dataBits = options_.dataBits.value_or(info.defaultDataBits);
    line.settings.stopBits = info.defaultStopBits;
    if (options_.stopBits) {
        line.settings.stopBits = *options_.stopBits == "1"     ? 0
                                 : *options_.stopBits == "1.5" ? 1
                                                               : 2;
    }
    line.settings.parity = info.defaultParity;
    if (options_.parity) {
        static const std::map<std::string, uint16_t> CODES = {
            {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
        line.settings.parity = CODES.at(*options_.parity);
    }
    int32_t result = channel_.open(line);
    if (result != RC_DONE) {
        error = fmt::format("cannot open the port {} ({}: missing, in use, or the line "
                            "settings were refused)",
                            line.port, ResultName(result));
    }
    return result;
}

bool Host::closeChannel() {
    if (!channel_.isOpen()) {
        return true;
    }
    int32_t result = channel_.close();
    if (result != RC_DONE) {
        fmt::print(stderr, "xolhost: the driver could not close the port {} ({})\n", options_.port,
                   ResultName(result));
        return false;
    }
    return true;
}

int32_t Host::scanZones(const Point& scanPoint, std::map<int, uint16_t>& statuses,
                        double& seconds) {
    auto start = Clock::now();
    uint16_t ignored = 0;
    int32_t result;
    {
        Ticker ticker(terminal_, "scanning the panel:");
        result = channel_.read(scanPoint, ignored);
    }
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    after(result);
    if (result != RC_DONE) {
        return result;
    }
    // The fresh snapshot, in blocks of the largest size a block check takes.
    statuses.clear();
    for (int first = 1; first <= ZONE_COUNT; first += 1000) {
        int32_t count = std::min(1000, ZONE_COUNT - first + 1);
        Point block = requirePoint(ZoneAddress(first), count);
        std::vector<uint16_t> values;
        int32_t read = after(channel_.readBlock(block, count, values));
        if (read != RC_DONE) {
            return read;
        }
        for (int i = 0; i < count; ++i) {
            if (values[static_cast<std::size_t>(i)] != 0) {
                statuses[first + i] = values[static_cast<std::size_t>(i)];
            }
        }
    }
    return RC_DONE;
}

json ZoneJson(int zone, uint16_t status) {
    return {{"zone", zone},
            {"address", ZoneAddress(zone)},
            {"status", status},
            {"bits", BitNames(status)}};
}

std::string ZoneLine(int zone, uint16_t status) {
    return fmt::format("{}  0x{:02X}  {}", ZoneAddress(zone), status,
                       fmt::join(BitNames(status), " "));
}

std::string FailedScanText() {
    return "the scan failed: no complete status report from the panel in three attempts";
}

int Host::scan() {
    Point scanPoint = requirePoint("!Z");
    std::map<int, uint16_t> statuses;
    double seconds = 0;
    int32_t result = scanZones(scanPoint, statuses, seconds);
    if (result != RC_DONE) {
        report("scan", result, FailedScanText(), {{"elapsed_s", seconds}});
        return ExitCodeOf(result);
    }
    if (options_.json) {
        json zones = json::array();
        for (const auto& [zone, status] : statuses) {
            zones.push_back(ZoneJson(zone, status));
        }
        PrintJson(
            {{"command", "scan"}, {"result", "done"}, {"elapsed_s", seconds}, {"zones", zones}});
    } else {
        fmt::print("Scan done in {:.2f} s: {} zone(s) with a status\n", seconds, statuses.size());
        for (const auto& [zone, status] : statuses) {
            fmt::print("  {}\n", ZoneLine(zone, status));
        }
    }
    return EXIT_DONE;
}

int32_t Host::readCount(char which, uint16_t& value) {
    Point point = requirePoint(std::string("!") + which);
    return after(channel_.read(point, value));
}

// A zone read answers from the snapshot of the last completed scan; this
// host's context is new, so zone reads scan first. A failed scan is reported.
int32_t Host::scanBeforeRead(const std::string& address) {
    std::map<int, uint16_t> ignored;
    double seconds = 0;
    int32_t scanned = scanZones(requirePoint("!Z"), ignored, seconds);
    if (scanned != RC_DONE) {
        report("read", scanned, FailedScanText(), {{"address", address}});
    }
    return scanned;
}

int Host::read() {
    const std::string& address = options_.address;
    if (options_.count) {
        Point block = requirePoint(address, *options_.count);
        if (!options_.noScan) {
            if (int32_t scanned = scanBeforeRead(address); scanned != RC_DONE) {
                return ExitCodeOf(scanned);
            }
        }
        std::vector<uint16_t> values;
        int32_t result = after(channel_.readBlock(block, *options_.count, values));
        if (result != RC_DONE) {
            report("read", result,
                   fmt::format("{}: the block read was {}", address, ResultName(result)));
            return ExitCodeOf(result);
        }
        int first = block.number & 0xFFFF;
        if (options_.json) {
            json zones = json::array();
            for (std::size_t i = 0; i < values.size(); ++i) {
                zones.push_back(ZoneJson(first + static_cast<int>(i), values[i]));
            }
            PrintJson({{"command", "read"},
                       {"result", "done"},
                       {"address", address},
                       {"count", *options_.count},
                       {"scanned", !options_.noScan},
                       {"zones", zones}});
        } else {
            for (std::size_t i = 0; i < values.size(); ++i) {
                fmt::print("{}\n", ZoneLine(first + static_cast<int>(i), values[i]));
            }
        }
        return EXIT_DONE;
    }

    Point point = requirePoint(address);
    if (point.kind == PK_ZONE && !options_.noScan) {
        if (int32_t scanned = scanBeforeRead(address); scanned != RC_DONE) {
            return ExitCodeOf(scanned);
        }
    }
    uint16_t value = 0;
    int32_t result;
    {
        Ticker ticker(terminal_ && point.kind == PK_SCAN, "scanning the panel:");
        result = after(channel_.read(point, value));
    }
    json object = PointJson(point);
    if (result == RC_DONE) {
        object["value"] = value;
        if (point.kind == PK_ZONE) {
            object["bits"] = BitNames(value);
            object["scanned"] = !options_.noScan;
        }
    }
    std::string message;
    if (result == RC_DONE) {
        message = point.kind == PK_ZONE   ? fmt::format("{} = 0x{:02X}  {}", address, value,
                                                        fmt::join(BitNames(value), " "))
                  : point.kind == PK_SCAN ? fmt::format("{}: scan done", address)
                                          : fmt::format("{} = {}", address, value);
    } else if (result == RC_REFUSED) {
        bool count = point.kind == PK_COUNT_C || point.kind == PK_COUNT_N;
        message =
            count ? fmt::format("{}: refused: the panel's count reply failed its checksum", address)
                  : fmt::format("{}: refused: points of kind {} cannot be read (only zones, "
                                "!Z, !C and !N)",
                                address, KindText(point.kind));
    } else {
        message = point.kind == PK_SCAN
                      ? fmt::format("{}: {}", address, FailedScanText())
                      : fmt::format("{}: failed: no complete answer from the panel in three tries",
                                    address);
    }
    report("read", result, message, object);
    return ExitCodeOf(result);
}

int Host::write() {
    Point point = requirePoint(options_.address);
    int32_t result;
    {
        Ticker ticker(terminal_ && point.kind == PK_SCAN, "scanning the panel:");
        result = after(channel_.write(point, options_.value));
    }
    json object = PointJson(point);
    object["value"] = options_.value;
    std::string arrow = fmt::format("{} <- {}", options_.address, options_.value);
    std::string message;
    if (result == RC_DONE) {
        message = fmt::format("{}: done", arrow);
    } else if (result == RC_REFUSED) {
        switch (point.kind) {
        case PK_SYSTEM_D:
        case PK_SYSTEM_R:
        case PK_SYSTEM_S:
            message = fmt::format("{}: refused by the panel", arrow);
            break;
        case PK_ZONE:
        case PK_COUNT_C:
        case PK_COUNT_N:
            message = fmt::format("{}: refused: points of kind {} cannot be written", arrow,
                                  KindText(point.kind));
            break;
        default:
            message = fmt::format("{}: refused: the value is not one this point takes, or the "
                                  "panel refused the command",
                                  arrow);
        }
    } else {
        message = point.kind == PK_SCAN ? fmt::format("{}: {}", arrow, FailedScanText())
                                        : fmt::format("{}: failed: no valid answer from the "
                                                      "panel in three tries",
                                                      arrow);
    }
    report("write", result, message, object);
    return ExitCodeOf(result);
}

int Host::monitor() {
    Point scanPoint = requirePoint("!Z");
    std::map<int, uint16_t> known;
    std::map<char, uint16_t> knownCounts;
    bool first = true;
    bool failing = false;
    auto interval = std::chrono::milliseconds(static_cast<int64_t>(options_.interval * 1000));
    auto event = [this](json object, const std::string& text) {
        if (options_.json) {
            json out = {{"time", LocalTime(true)}};
            out.update(object);
            PrintJson(out);
        } else {
            fmt::print("{}  {}\n", LocalTime(false), text);
            std::fflush(stdout);
        }
    };
    if (!options_.json) {
        fmt::print("Monitoring {} every {:g} s; Ctrl-C ends\n", options_.port, options_.interval);
        std::fflush(stdout);
    }
    try {
        // Scans start one interval apart; one that takes longer than the
        // interval is followed by the next at once.
        auto due = Clock::now();
        for (int done = 0; options_.scans == 0 || done < options_.scans; ++done) {
            if (done > 0) {
                auto wait =
                    std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
                if (!interrupts_.sleep(std::max(wait, std::chrono::milliseconds::zero()))) {
                    break;
                }
            }
            due = std::max(due + interval, Clock::now());
            std::map<int, uint16_t> now;
            double seconds = 0;
            int32_t result = scanZones(scanPoint, now, seconds);
            if (result != RC_DONE) {
                if (!failing) {
                    event({{"event", "scan_failed"}, {"result", ResultName(result)}},
                          FailedScanText() + "; statuses kept from the last completed scan");
                }
                failing = true;
                continue;
            }
            if (failing) {
                event({{"event", "scan_recovered"}}, "the panel answers again");
                failing = false;
            }
            for (auto& [zone, status] : now) {
                auto was = known.find(zone);
                uint16_t before = was == known.end() ? 0 : was->second;
                if (before != status || first) {
                    json object = ZoneJson(zone, status);
                    object["event"] = first ? "initial" : "change";
                    object["from"] = before;
                    event(object, first ? ZoneLine(zone, status)
                                        : fmt::format("{}  0x{:02X} -> {}", ZoneAddress(zone),
                                                      before, ZoneLine(zone, status).substr(7)));
                }
            }
            for (auto& [zone, before] : known) {
                if (!now.contains(zone)) {
                    json object = ZoneJson(zone, 0);
                    object["event"] = "change";
                    object["from"] = before;
                    event(object, fmt::format("{}  0x{:02X} -> 0x00  (no status)",
                                              ZoneAddress(zone), before));
                }
            }
            if (first && now.empty()) {
                event({{"event", "initial"}, {"zones", 0}}, "no zone has a status");
            }
            known = std::move(now);
            if (options_.counts) {
                for (char which : {'C', 'N'}) {
                    uint16_t value = knownCounts.contains(which) ? knownCounts[which] : 0;
                    int32_t counted = readCount(which, value);
                    if (counted != RC_DONE) {
                        event({{"event", "count_failed"},
                               {"address", std::string("!") + which},
                               {"result", ResultName(counted)}},
                              fmt::format("!{}: the count could not be read ({})", which,
                                          ResultName(counted)));
                        continue;
                    }
                    if (!knownCounts.contains(which) || knownCounts[which] != value) {
                        json object = {
                            {"event", knownCounts.contains(which) ? "count_change" : "count"},
                            {"address", std::string("!") + which},
                            {"value", value}};
                        std::string text = fmt::format("!{} = {}", which, value);
                        if (knownCounts.contains(which)) {
                            object["from"] = knownCounts[which];
                            text = fmt::format("!{}  {} -> {}", which, knownCounts[which], value);
                        }
                        event(object, text);
                        knownCounts[which] = value;
                    }
                }
            }
            first = false;
        }
    } catch (const Interrupted&) {
        // Ctrl-C is how a monitor ends.
    }
    return failing ? EXIT_FAILED : EXIT_DONE;
}

// ---------------------------------------------------------------------------

std::string PortName(std::string port) {
    // The driver's port name field holds 11 characters; device paths are
    // given without their "/dev/" (the port layer adds it back).
    if (port.rfind("/dev/", 0) == 0) {
        port.erase(0, 5);
    }
    if (port.empty() || port.size() >= XOL_PORT_NAME_SIZE) {
        throw UsageError(fmt::format("the port name \"{}\" does not fit the driver's port name "
                                     "(1 to {} characters, without /dev/)",
                                     port, XOL_PORT_NAME_SIZE - 1));
    }
    return port;
}

int Run(Options& options, const std::string& command, Interrupts& interrupts) {
    std::string modulePath = options.module.empty() ? FindDefaultModule() : options.module;
    if (modulePath.empty()) {
        auto tried = DefaultModuleCandidates();
        throw ModuleError(fmt::format("no driver module found (looked for {}); name it with "
                                      "--module PATH",
                                      fmt::join(tried, " and ")));
    }
    DriverModule module(modulePath);
    module.setLogSink([](int, const std::string& text) {
        fmt::print(stderr, "{}xolhost: driver log: {}\n", FreshLine(), text);
        std::fflush(stderr);
    });
    // Declared before the host, so that the channel is closed before the
    // simulated panel goes.
    std::unique_ptr<xolsim::PtyPanel> simulator;
    Host host(options, module, interrupts);
    if (command == "describe") {
        return host.describe();
    }
    if (command == "check") {
        return host.check();
    }

    // Every other command talks to a panel.
    if (options.simulate) {
        xolsim::Scenario scenario;
        try {
            scenario = options.simulate->empty() ? xolsim::DefaultScenario()
                                                 : xolsim::LoadScenario(*options.simulate);
        } catch (const xolsim::ScenarioError& e) {
            throw UsageError(fmt::format("scenario {}", e.what()));
        }
        xolsim::TraceSink trace;
        if (options.tracePanel) {
            trace = [](const std::string& line) {
                fmt::print(stderr, "{}panel {}\n", FreshLine(), line);
                std::fflush(stderr);
            };
        }
        try {
            simulator = std::make_unique<xolsim::PtyPanel>(std::move(scenario),
                                                           xolsim::FaultOptions{}, trace);
        } catch (const std::runtime_error& e) {
            std::string message = fmt::format("the simulator cannot start: {}", e.what());
            if (options.json) {
                PrintJson({{"command", command}, {"result", "failed"}, {"error", message}});
            } else {
                fmt::print(stderr, "xolhost: {}\n", message);
            }
            return EXIT_FAILED;
        }
        options.port = simulator->portName();
        if (!options.json) {
            fmt::print(stderr, "xolhost: simulated panel on {}\n", simulator->devicePath());
        }
    } else if (options.port.empty()) {
        throw UsageError(fmt::format("\"{}\" needs a panel: --port NAME, or --simulate", command));
    }

    std::string error;
    int32_t opened = host.openChannel(error);
    if (opened != RC_DONE) {
        if (options.json) {
            PrintJson({{"command", command}, {"result", ResultName(opened)}, {"error", error}});
        } else {
            fmt::print(stderr, "xolhost: {}\n", error);
        }
        return ExitCodeOf(opened);
    }
    int code = EXIT_DONE;
    try {
        if (command == "scan") {
            code = host.scan();
        } else if (command == "read") {
            code = host.read();
        } else if (command == "write") {
            code = host.write();
        } else {
            code = host.monitor();
        }
    } catch (const Interrupted&) {
        code = EXIT_INTERRUPTED;
    }
    if (!host.closeChannel() && code == EXIT_DONE) {
        code = EXIT_FAILED;
    }
    return code;
}

} // namespace
} // namespace xolhost

int main(int argc, char** argv) {
    using namespace xolhost;
    CLI::App app{"xolhost: drives the EST CM1N driver module as a supervision host does, on a "
                 "serial port or on the built-in panel simulator."};
    app.fallthrough();
    app.require_subcommand(1, 1);
    app.get_formatter()->column_width(36);
    app.footer("Exit codes: 0 done, 1 refused, 2 failed, 3 module not usable, 64 bad usage, "
               "70 internal error, 130 interrupted.");

    Options options;
    app.add_option("--module", options.module,
                   "Driver module to load (default: libxolest.so.1 beside the program)");
    app.add_option("--port", options.port, "Serial port, such as ttyS0 or /dev/ttyUSB0");
    // The driver takes 0 as "wait for ever", which no operator wants from
    // a supervision host.
    app.add_option("--timeout", options.timeout,
                   "Response time-out in units of 10 ms, 1..60000 (default: the driver's)")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                auto value = std::strtoll(text.c_str(), nullptr, 10);
                if (value == 0) {
                    return "a time-out of 0 would make the driver wait for ever; give 1 or more";
                }
                return value < 1 || value > 60000 ? "must be 1..60000 (units of 10 ms)" : "";
            },
            "TICKS"));
    app.add_option("--baud", options.baud, "Bit rate (default: the driver's)")
        ->check(CLI::Range(1u, 65535u));
    app.add_option("--data-bits", options.dataBits, "Data bits (default: the driver's)")
        ->check(CLI::Range(5, 8));
    app.add_option("--stop-bits", options.stopBits, "Stop bits (default: the driver's)")
        ->check(CLI::IsMember({"1", "1.5", "2"}));
    app.add_option("--parity", options.parity, "Parity (default: the driver's)")
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}));
    app.add_flag("--json", options.json, "One JSON object per result (per line for monitor)");
    app.add_option("--simulate", options.simulate,
                   "Start the panel simulator on a pseudo-terminal and use it; an optional "
                   "scenario file (default: the built-in demo)")
        ->expected(0, 1);
    app.add_flag("--trace-panel", options.tracePanel,
                 "With --simulate: show the simulated panel's trace on stderr");

    app.add_subcommand("describe", "Show the driver's description and banner");
    auto* check = app.add_subcommand("check", "Check point addresses");
    check->add_option("address", options.addresses, "Point addresses")->required();
    check->add_option("--count", options.count, "Check as a block of this many zones");
    app.add_subcommand("scan", "Run the status scan (!Z) and list the zones with a status");
    auto* read = app.add_subcommand("read", "Read a point, or a block of zones with --count");
    read->add_option("address", options.address, "Point address")->required();
    read->add_option("--count", options.count, "Read a block of this many zones")
        ->check(CLI::Range(1, 1000));
    read->add_flag("--no-scan", options.noScan,
                   "Zone reads: skip the scan that first fills this new context's snapshot");
    auto* write = app.add_subcommand("write", "Write a value to a point");
    write->add_option("address", options.address, "Point address")->required();
    write->add_option("value", options.value, "Value, 0..65535")->required();
    auto* monitor = app.add_subcommand("monitor", "Scan every interval and print each change");
    monitor->add_option("--interval", options.interval, "Seconds between scans")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    monitor->add_option("--scans", options.scans, "Stop after this many scans (0: never)")
        ->check(CLI::NonNegativeNumber);
    monitor->add_flag("--counts", options.counts, "Also read !C and !N and print their changes");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return EXIT_USAGE;
    }
    std::string command = app.get_subcommands().front()->get_name();

    Interrupts interrupts;
    try {
        if (!options.port.empty()) {
            if (options.simulate) {
                throw UsageError("--port and --simulate exclude each other");
            }
            options.port = PortName(options.port);
        }
        return Run(options, command, interrupts);
    } catch (const UsageError& e) {
        fmt::print(stderr, "xolhost: {}\nRun with --help for more information.\n", e.what());
        return EXIT_USAGE;
    } catch (const ModuleError& e) {
        if (options.json) {
            PrintJson({{"command", command}, {"result", "error"}, {"error", e.what()}});
        }
        fmt::print(stderr, "xolhost: {}\n", e.what());
        return EXIT_MODULE;
    } catch (const Interrupted&) {
        return EXIT_INTERRUPTED;
    } catch (const std::exception& e) {
        fmt::print(stderr, "xolhost: internal error: {}\n", e.what());
        return EXIT_INTERNAL;
    }
}
