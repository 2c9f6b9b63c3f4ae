#include "commands/session.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>

#include "present/cp437.h"
#include "platform/exit_codes.h"
#include "present/site.h"

#ifndef XOLHOST_VERSION
#define XOLHOST_VERSION "unknown"
#endif

namespace xolhost {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const char* SCANNING = "scanning the panel:";

std::string FiguresText(const LineFigures& f) {
    return fmt::format("{} record(s), {} bad checksum(s), {} filtered, {} illegal zone(s), {} "
                       "restart(s), {} stray byte(s)",
                       f.records, f.badChecksums, f.filtered, f.illegalZones, f.restarts,
                       f.strayBytes);
}

// "P0017  0x09 -> 0x08  ZS_CODE7  cleared: ZS_CODE1"; adds "set" and
// "cleared" to the change's JSON object.
std::string ChangeText(int zone, uint16_t before, uint16_t now, const Site* site, json& object) {
    auto set = static_cast<uint16_t>(now & ~before);
    auto cleared = static_cast<uint16_t>(before & ~now);
    object["set"] = BitNames(set);
    object["cleared"] = BitNames(cleared);
    std::string changes;
    if (set != 0) {
        changes += fmt::format("  set: {}", fmt::join(BitNames(set), " "));
    }
    if (cleared != 0) {
        changes += fmt::format("  cleared: {}", fmt::join(BitNames(cleared), " "));
    }
    return fmt::format("{}  0x{:02X} -> 0x{:02X}  {}{}{}", ZoneAddress(zone), before, now,
                       now == 0 ? std::string("(no status)") : BitsText(now, site),
                       ZoneLocation(zone, site), changes);
}

} // namespace

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

std::string ValuesOfKind(uint32_t kind) {
    switch (kind) {
    case PK_CONTROL_L:
    case PK_CONTROL_T:
        return "2 (E) or 3 (D)";
    case PK_CONTROL_Q:
    case PK_CONTROL_A:
        return "0 (R), 1 (A), 2 (E) or 3 (D)";
    case PK_GROUP_ZONE:
        return "0 (R) or 1 (A)";
    case PK_CONTROL_X:
        return "0 (D) or 1 (E)";
    case PK_SYSTEM_D:
    case PK_SYSTEM_R:
    case PK_SYSTEM_S:
    case PK_SCAN:
        return "any value";
    default:
        return {};
    }
}

bool KindTakesValue(uint32_t kind, uint16_t value) {
    switch (kind) {
    case PK_CONTROL_L:
    case PK_CONTROL_T:
        return value == 2 || value == 3;
    case PK_CONTROL_Q:
    case PK_CONTROL_A:
        return value <= 3;
    case PK_GROUP_ZONE:
    case PK_CONTROL_X:
        return value <= 1;
    case PK_SYSTEM_D:
    case PK_SYSTEM_R:
    case PK_SYSTEM_S:
    case PK_SCAN:
        return true;
    default:
        return false;
    }
}

Session::Session(const Options& options, DriverModule& module, Interrupts& interrupts,
                 Output& output, LineTap tap, uint32_t timeoutTicks)
    : options_(options), module_(module), interrupts_(interrupts), out_(output), tap_(tap),
      timeoutTicks_(timeoutTicks), channel_(module) {}

int32_t Session::after(int32_t result) const {
    if (interrupts_.requested()) {
        throw Interrupted{};
    }
    return result;
}

Session::Call Session::lineCall(const std::function<int32_t()>& body) {
    Call call;
    call.watched = tap_.watched();
    if (call.watched) {
        tap_.monitor->beginCall();
    }
    call.result = body();
    if (call.watched) {
        tap_.relay->sync();
        call.traffic = tap_.monitor->endCall(call.result);
    }
    return call;
}

Diagnosis Session::whyFailed(const Call& call) const {
    return call.watched ? DiagnoseLine(call.traffic, timeoutTicks_)
                        : DiagnoseUnwatched(tap_.relayAvailable);
}

int ReportFailure(Output& out, const std::string& command, int32_t result,
                  const Diagnosis& diagnosis, const std::string& subject, json object) {
    std::string message = subject.empty()          ? diagnosis.text
                          : diagnosis.text.empty() ? subject
                                                   : subject + ": " + diagnosis.text;
    if (out.jsonMode()) {
        json outcome = {{"command", command},
                        {"result", ResultName(result)},
                        {"cause", CauseName(diagnosis.cause)},
                        {"error", message}};
        if (diagnosis.suggestedTimeout) {
            outcome["suggested_timeout"] = *diagnosis.suggestedTimeout;
        }
        outcome.update(object);
        out.printJson(outcome);
    } else {
        out.error(message);
    }
    return ExitCodeOf(result);
}

int Session::fail(const std::string& command, int32_t result, const Diagnosis& diagnosis,
                  const std::string& subject, json object) {
    return ReportFailure(out_, command, result, diagnosis, subject, std::move(object));
}

bool Session::closeChannel(const std::string& portName) {
    if (!channel_.isOpen()) {
        return true;
    }
    int32_t result = channel_.close();
    if (result != RC_DONE) {
        out_.error(fmt::format("the driver could not close the port {} ({})", portName,
                               ResultName(result)));
        return false;
    }
    return true;
}

Point Session::requirePoint(const std::string& address, std::optional<int32_t> count) {
    Point point;
    int32_t result =
        after(count ? channel_.checkBlock(address, *count, point) : channel_.check(address, point));
    if (result != RC_DONE) {
        throw UsageError(count ? fmt::format("\"{}\" with --count {} is not a valid block: a zone "
                                             "address (P0001..P6299) and at most 1000 zones",
                                             address, *count)
                               : fmt::format("\"{}\" is not a valid point address", address));
    }
    return point;
}

int Session::describe() {
    const DriverInfo& info = module_.info();
    std::string banner = Cp437ToUtf8(info.banner != nullptr ? info.banner : "");
    std::string name = info.shortName != nullptr ? info.shortName : "";
    if (out_.jsonMode()) {
        out_.printJson({{"command", "describe"},
                        {"result", "done"},
                        {"version", XOLHOST_VERSION},
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
    if (!banner.empty() && banner.back() == '\n') {
        banner.pop_back();
    }
    out_.printLine(banner);
    out_.printLine(fmt::format("Driver        {} (driver code {})", name, info.driverCode));
    out_.printLine(fmt::format("Module        {}", module_.path()));
    out_.printLine(fmt::format("Host          xolhost {}", XOLHOST_VERSION));
    out_.printLine(fmt::format("Context size  {} bytes", info.contextSize));
    out_.printLine(fmt::format("Line defaults {} baud, {} data bits, {} parity, {} stop bit{}",
                               info.defaultBaud, info.defaultDataBits,
                               ParityName(info.defaultParity), StopBitsName(info.defaultStopBits),
                               info.defaultStopBits == 0 ? "" : "s"));
    out_.printLine(fmt::format("Time-out      {} (units of 10 ms: {} ms)", info.defaultTimeout,
                               info.defaultTimeout * 10ull));
    out_.printLine(fmt::format("Info flags    {}", info.infoFlags));
    return EXIT_DONE;
}

int Session::check() {
    int32_t worst = RC_DONE;
    json points = json::array();
    const Site* site = out_.site();
    for (const auto& address : options_.addresses) {
        Point point;
        int32_t result = after(options_.count ? channel_.checkBlock(address, *options_.count, point)
                                              : channel_.check(address, point));
        worst = std::max(worst, result);
        json entry = {{"address", address}, {"result", ResultName(result)}};
        if (result == RC_DONE) {
            entry = PointJson(point, site);
            entry["result"] = "done";
        }
        points.push_back(entry);
        if (!out_.jsonMode()) {
            std::string detail = result == RC_DONE ? PointText(point) + PointName(address, site)
                                 : options_.count
                                     ? std::string("not a block of at most 1000 zones from a zone "
                                                   "address (P0001..P6299)")
                                     : std::string("not a valid point address");
            out_.printLine(fmt::format("{:<9} {:<8} {}", address, ResultName(result), detail));
        }
    }
    if (out_.jsonMode()) {
        json outcome = {{"command", "check"}, {"result", ResultName(worst)}, {"points", points}};
        if (options_.count) {
            outcome["count"] = *options_.count;
        }
        out_.printJson(outcome);
    }
    return ExitCodeOf(worst);
}

Session::Scan Session::scanZones(const Point& scanPoint) {
    Scan scan;
    auto start = Clock::now();
    {
        Ticker ticker(out_.cursor(), SCANNING);
        scan.call = lineCall([&] {
            uint16_t ignored = 0;
            return channel_.read(scanPoint, ignored);
        });
    }
    scan.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    after(scan.call.result);
    if (scan.call.result != RC_DONE) {
        return scan;
    }
    // The fresh snapshot, in blocks of the largest size a block check takes.
    for (int first = 1; first <= ZONE_COUNT; first += 1000) {
        int32_t count = std::min(1000, ZONE_COUNT - first + 1);
        Point block = requirePoint(ZoneAddress(first), count);
        std::vector<uint16_t> values;
        int32_t read = after(channel_.readBlock(block, count, values));
        if (read != RC_DONE) {
            scan.call.result = read;
            return scan;
        }
        for (int i = 0; i < count; ++i) {
            if (values[static_cast<std::size_t>(i)] != 0) {
                scan.statuses[first + i] = values[static_cast<std::size_t>(i)];
            }
        }
    }
    return scan;
}

bool Session::scanLostRecords(const Call& call, const std::string& command, json& object) {
    if (!call.watched) {
        return false;
    }
    const LineFigures& f = call.traffic.figures;
    object["quality"] = FiguresJson(f);
    bool unusual = f.skipped() > 0 || f.restarts > 0 || f.illegalZones > 0 || f.strayBytes > 0;
    if (!out_.jsonMode() && (options_.trace || unusual)) {
        out_.progress("line: " + FiguresText(f));
    }
    if (f.skipped() == 0) {
        return false;
    }
    std::string lost =
        fmt::format("{} of {} status record(s) were lost to bad checksums", f.skipped(), f.records);
    if (options_.strict) {
        object["cause"] = CauseName(Cause::Checksum);
        object["error"] = "the scan is incomplete: " + lost;
        if (!out_.jsonMode()) {
            out_.error(fmt::format("{}: the scan is incomplete: {}", command, lost));
        }
        return true;
    }
    if (!out_.jsonMode()) {
        out_.warning(lost + ": the zones they carried may be missing (--strict makes this a "
                            "failure; --trace shows the frames)");
    }
    return false;
}

int Session::scan() {
    Point scanPoint = requirePoint("!Z");
    Scan scan = scanZones(scanPoint);
    json object = {{"elapsed_s", scan.seconds}};
    if (scan.call.result != RC_DONE) {
        if (scan.call.watched) {
            object["quality"] = FiguresJson(scan.call.traffic.figures);
        }
        return fail("scan", scan.call.result, whyFailed(scan.call), "the scan failed", object);
    }
    bool strictFailure = scanLostRecords(scan.call, "scan", object);
    const Site* site = out_.site();
    if (out_.jsonMode()) {
        json zones = json::array();
        for (const auto& [zone, status] : scan.statuses) {
            zones.push_back(ZoneJson(zone, status, site));
        }
        json outcome = {
            {"command", "scan"}, {"result", strictFailure ? "failed" : "done"}, {"zones", zones}};
        outcome.update(object);
        out_.printJson(outcome);
    } else {
        out_.printLine(fmt::format("Scan done in {:.2f} s: {} zone(s) with a status", scan.seconds,
                                   scan.statuses.size()));
        for (const auto& [zone, status] : scan.statuses) {
            out_.printLine("  " + ZoneLine(zone, status, site));
        }
    }
    return strictFailure ? EXIT_FAILED : EXIT_DONE;
}

// A zone read answers from the snapshot of the last completed scan; this
// program's context is new, so zone reads scan first. An exit code when the
// scan failed.
std::optional<int> Session::scanForRead(json& object, bool& strictFailure) {
    if (options_.noScan) {
        return std::nullopt;
    }
    Scan scan = scanZones(requirePoint("!Z"));
    if (scan.call.result != RC_DONE) {
        return fail("read", scan.call.result, whyFailed(scan.call), "the scan failed",
                    {{"address", options_.address}});
    }
    strictFailure = scanLostRecords(scan.call, "read", object);
    return std::nullopt;
}

int Session::read() {
    return options_.count ? readBlock() : readPoint();
}

int Session::readBlock() {
    const std::string& address = options_.address;
    const Site* site = out_.site();
    json object = json::object();
    bool strictFailure = false;
    Point block = requirePoint(address, *options_.count);
    if (auto failed = scanForRead(object, strictFailure)) {
        return *failed;
    }
    std::vector<uint16_t> values;
    int32_t result = after(channel_.readBlock(block, *options_.count, values));
    if (result != RC_DONE) {
        return fail("read", result, {Cause::None, "", {}},
                    fmt::format("{}: the block read was {}", address, ResultName(result)));
    }
    int first = block.number & 0xFFFF;
    if (out_.jsonMode()) {
        json zones = json::array();
        for (std::size_t i = 0; i < values.size(); ++i) {
            zones.push_back(ZoneJson(first + static_cast<int>(i), values[i], site));
        }
        json outcome = {
            {"command", "read"},           {"result", strictFailure ? "failed" : "done"},
            {"address", address},          {"count", *options_.count},
            {"scanned", !options_.noScan}, {"zones", zones}};
        outcome.update(object);
        out_.printJson(outcome);
    } else {
        for (std::size_t i = 0; i < values.size(); ++i) {
            out_.printLine(ZoneLine(first + static_cast<int>(i), values[i], site));
        }
    }
    return strictFailure ? EXIT_FAILED : EXIT_DONE;
}

int Session::readPoint() {
    const std::string& address = options_.address;
    const Site* site = out_.site();
    json object = json::object();
    bool strictFailure = false;
    Point point = requirePoint(address);
    if (point.kind == PK_ZONE) {
        if (auto failed = scanForRead(object, strictFailure)) {
            return *failed;
        }
    }
    uint16_t value = 0;
    Call call;
    {
        Ticker ticker(out_.cursor() && point.kind == PK_SCAN, SCANNING);
        call = lineCall([&] { return channel_.read(point, value); });
    }
    after(call.result);
    object.update(PointJson(point, site));
    if (call.result != RC_DONE) {
        return readFailed(point, call, object);
    }
    if (point.kind == PK_SCAN) {
        strictFailure = scanLostRecords(call, "read", object);
    }
    object["value"] = value;
    if (point.kind == PK_ZONE) {
        json zone = ZoneJson(point.number, value, site);
        for (const char* key : {"bits", "location", "meanings"}) {
            if (zone.contains(key)) {
                object[key] = zone[key];
            }
        }
        object["scanned"] = !options_.noScan;
    }
    if (out_.jsonMode()) {
        json outcome = {{"command", "read"}, {"result", strictFailure ? "failed" : "done"}};
        outcome.update(object);
        out_.printJson(outcome);
    } else if (point.kind == PK_ZONE) {
        out_.printLine(fmt::format("{} = 0x{:02X}  {}{}", address, value, BitsText(value, site),
                                   ZoneLocation(point.number, site)));
    } else if (point.kind == PK_SCAN) {
        out_.printLine(fmt::format("{}: scan done", address));
    } else {
        out_.printLine(fmt::format("{} = {}", address, value));
    }
    return strictFailure ? EXIT_FAILED : EXIT_DONE;
}

int Session::readFailed(const Point& point, const Call& call, const json& object) {
    const std::string& address = options_.address;
    bool count = point.kind == PK_COUNT_C || point.kind == PK_COUNT_N;
    if (count && call.result == RC_REFUSED) {
        // The driver refuses a count whose reply failed its checksum; seen
        // on the line, that is a line fault, or noise that put the read out
        // of step.
        if (call.watched && call.traffic.lastCountReplyOutOfStep) {
            return fail("read", RC_FAILED, DiagnoseLine(call.traffic, timeoutTicks_), address,
                        object);
        }
        if (call.watched && call.traffic.lastCountReplyBad) {
            return fail("read", RC_FAILED,
                        {Cause::Checksum,
                         "the panel's count reply failed its checksum: bytes are corrupted on "
                         "the line (a line fault, not a refusal)",
                         {}},
                        address, object);
        }
        return fail("read", RC_REFUSED,
                    {Cause::CountReply,
                     call.watched ? "refused: the panel's count reply holds no number"
                                  : "refused: the panel's count reply failed its checksum or "
                                    "held no number",
                     {}},
                    address, object);
    }
    if (call.result == RC_REFUSED) {
        return fail("read", RC_REFUSED,
                    {Cause::NotReadable,
                     fmt::format("refused: points of kind {} cannot be read (only zones, !Z, !C "
                                 "and !N)",
                                 KindText(point.kind)),
                     {}},
                    address, object);
    }
    return fail("read", call.result, whyFailed(call),
                point.kind == PK_SCAN ? address + ": the scan failed" : address + ": failed",
                object);
}

int Session::write() {
    Point point = requirePoint(options_.address);
    const auto value = static_cast<uint16_t>(options_.value);
    Call call;
    {
        Ticker ticker(out_.cursor() && point.kind == PK_SCAN, SCANNING);
        call = lineCall([&] { return channel_.write(point, value); });
    }
    after(call.result);
    json object = PointJson(point, out_.site());
    object["value"] = value;
    std::string arrow = fmt::format("{}{} <- {}", options_.address,
                                    PointName(options_.address, out_.site()), value);
    if (call.result == RC_DONE) {
        if (out_.jsonMode()) {
            json outcome = {{"command", "write"}, {"result", "done"}};
            outcome.update(object);
            out_.printJson(outcome);
        } else {
            out_.printLine(arrow + ": done");
        }
        return EXIT_DONE;
    }
    if (call.result == RC_FAILED) {
        return fail("write", call.result, whyFailed(call),
                    point.kind == PK_SCAN ? arrow + ": the scan failed" : arrow + ": failed",
                    object);
    }
    // Refused: by the driver before anything was sent, or by the panel.
    std::string values = ValuesOfKind(point.kind);
    if (values.empty()) {
        return fail(
            "write", RC_REFUSED,
            {Cause::NotWritable,
             fmt::format("refused: points of kind {} cannot be written", KindText(point.kind)),
             {}},
            arrow, object);
    }
    bool sent = call.watched ? call.traffic.requests > 0 : KindTakesValue(point.kind, value);
    if (!sent) {
        object["values"] = values;
        return fail("write", RC_REFUSED,
                    {Cause::Value,
                     fmt::format("refused by the driver before sending: {} points take {}",
                                 KindText(point.kind), values),
                     {}},
                    arrow, object);
    }
    return fail("write", RC_REFUSED, {Cause::Panel, "refused by the panel", {}}, arrow, object);
}

void Session::event(json object, const std::string& text) {
    if (eventSink_) {
        json sent = {{"time", out_.now(true)}};
        sent.update(object);
        sent["text"] = text;
        eventSink_(sent);
    }
    if (out_.jsonMode()) {
        json line = {{"time", out_.now(true)}};
        line.update(object);
        out_.printJson(line);
    } else {
        out_.printLine(fmt::format("{}  {}", out_.now(false), text));
    }
}

void Session::monitorCounts(std::map<char, uint16_t>& known) {
    for (char which : {'C', 'N'}) {
        std::string address = std::string("!") + which;
        Point point = requirePoint(address);
        uint16_t value = known.contains(which) ? known[which] : 0;
        Call call = lineCall([&] { return channel_.read(point, value); });
        after(call.result);
        if (call.result != RC_DONE) {
            Diagnosis why =
                call.result == RC_REFUSED && call.watched && call.traffic.lastCountReplyBad
                    ? Diagnosis{Cause::Checksum, "the panel's count reply failed its checksum", {}}
                    : whyFailed(call);
            json object = {{"event", "count_failed"},
                           {"address", address},
                           {"result", ResultName(call.result)},
                           {"cause", CauseName(why.cause)}};
            event(object, fmt::format("{}: the count could not be read ({}): {}", address,
                                      ResultName(call.result), why.text));
            continue;
        }
        if (!known.contains(which) || known[which] != value) {
            json object = {{"event", known.contains(which) ? "count_change" : "count"},
                           {"address", address},
                           {"value", value}};
            std::string text = fmt::format("{} = {}", address, value);
            if (known.contains(which)) {
                object["from"] = known[which];
                text = fmt::format("{}  {} -> {}", address, known[which], value);
            }
            event(object, text);
            known[which] = value;
        }
    }
}

// Prints each zone whose status changed since `known`, and keeps `known`.
// After a scan that lost records to the line, a status that ended cannot be
// told from one whose record was lost: bits that vanish wait for a clean
// scan. Returns the zones whose bits were held.
std::vector<int> Session::reportChanges(std::map<int, uint16_t>& known, const Scan& scan,
                                        bool first) {
    const Site* site = out_.site();
    const bool clean = !scan.call.watched || scan.call.traffic.figures.skipped() == 0;
    std::map<int, uint16_t> zones = scan.statuses;
    for (const auto& [zone, status] : known) {
        zones.try_emplace(zone, 0);
    }
    std::vector<int> held;
    for (const auto& [zone, status] : zones) {
        auto was = known.find(zone);
        uint16_t before = was == known.end() ? 0 : was->second;
        uint16_t now = status;
        if (!clean && (before & ~now) != 0) {
            now = static_cast<uint16_t>(now | before);
            held.push_back(zone);
        }
        if (now != before) {
            json object = ZoneJson(zone, now, site);
            object["event"] = first ? "initial" : "change";
            object["from"] = before;
            event(object,
                  first ? ZoneLine(zone, now, site) : ChangeText(zone, before, now, site, object));
        }
        if (now == 0) {
            known.erase(zone);
        } else {
            known[zone] = now;
        }
    }
    return held;
}

// One scan of the monitor and what it reports; false when the scan failed.
bool Session::monitorOnce(const Point& scanPoint, std::map<int, uint16_t>& known,
                          std::map<char, uint16_t>& knownCounts, bool first, bool& failing) {
    Scan scan = scanZones(scanPoint);
    lastScan_ = {scan.call.result, scan.call.watched, scan.call.traffic.figures, scan.seconds};
    if (scan.call.result != RC_DONE) {
        if (!failing) {
            Diagnosis why = whyFailed(scan.call);
            event({{"event", "scan_failed"},
                   {"result", ResultName(scan.call.result)},
                   {"cause", CauseName(why.cause)}},
                  "the scan failed: " + why.text + "; statuses kept from the last completed scan");
        }
        failing = true;
        return false;
    }
    if (failing) {
        event({{"event", "scan_recovered"}}, "the panel answers again");
        failing = false;
    }
    std::vector<int> held = reportChanges(known, scan, first);
    if (const LineFigures& f = scan.call.traffic.figures; scan.call.watched && f.skipped() > 0) {
        event({{"event", "scan_incomplete"}, {"quality", FiguresJson(f)}, {"held", held}},
              fmt::format("the scan lost {} record(s) to bad checksums; statuses that "
                          "disappeared wait for a clean scan",
                          f.skipped()));
    }
    if (first && known.empty()) {
        event({{"event", "initial"}, {"zones", 0}}, "no zone has a status");
    }
    if (options_.counts) {
        monitorCounts(knownCounts);
    }
    return true;
}

Session::ScanReport Session::monitorStep(MonitorState& state) {
    if (monitorOnce(requirePoint("!Z"), state.known, state.counts, state.first, state.failing)) {
        state.first = false;
    }
    return lastScan_;
}

int32_t Session::writePoint(const std::string& address, uint16_t value, std::string& error) {
    Point point;
    if (after(channel_.check(address, point)) != RC_DONE) {
        error = fmt::format("\"{}\" is not a valid point address", address);
        return RC_REFUSED;
    }
    Call call = lineCall([&] { return channel_.write(point, value); });
    after(call.result);
    if (call.result == RC_FAILED) {
        error = whyFailed(call).text;
    } else if (call.result == RC_REFUSED) {
        std::string values = ValuesOfKind(point.kind);
        error = values.empty()
                    ? fmt::format("points of kind {} cannot be written", KindText(point.kind))
                : KindTakesValue(point.kind, value)
                    ? "refused by the panel"
                    : fmt::format("{} points take {}", KindText(point.kind), values);
    }
    return call.result;
}

int Session::monitor() {
    Point scanPoint = requirePoint("!Z");
    std::map<int, uint16_t> known;
    std::map<char, uint16_t> knownCounts;
    bool first = true;
    bool failing = false;
    auto interval = std::chrono::milliseconds(static_cast<int64_t>(options_.interval * 1000));
    if (!out_.jsonMode()) {
        out_.progress(fmt::format("monitoring {} every {:g} s; Ctrl-C ends", options_.port,
                                  options_.interval));
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
            if (monitorOnce(scanPoint, known, knownCounts, first, failing)) {
                first = false;
            }
        }
    } catch (const Interrupted&) {
        // An interrupt is how a monitor ends.
    }
    if (interrupts_.requested()) {
        if (out_.jsonMode()) {
            event({{"event", "interrupted"}, {"signal", interrupts_.name()}}, "");
        } else {
            out_.progress(fmt::format("monitoring ended by {}", interrupts_.name()));
        }
    }
    return failing ? EXIT_FAILED : EXIT_DONE;
}

} // namespace xolhost
