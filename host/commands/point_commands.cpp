// scan, read and write: one driver call on the panel (a zone read scans
// first, as this program's context is new), with failures told apart by
// what the line showed.
#include <fmt/format.h>

#include "codec/control_values.h"
#include "commands/command_table.h"
#include "commands/failure.h"
#include "commands/options.h"
#include "line/panel_line.h"
#include "platform/exit_codes.h"
#include "present/output.h"

namespace xolhost {

using nlohmann::json;

namespace {

std::string FiguresText(const LineFigures& f) {
    return fmt::format("{} record(s), {} bad checksum(s), {} filtered, {} illegal zone(s), {} "
                       "restart(s), {} stray byte(s), {} out of step",
                       f.records, f.badChecksums, f.filtered, f.illegalZones, f.restarts,
                       f.strayBytes, f.outOfStep);
}

class PointCommand {
public:
    explicit PointCommand(CommandContext& context)
        : options_(context.options), out_(context.out), line_(*context.line) {}

    int scan();
    int read() { return options_.count ? readBlock() : readPoint(); }
    int write();

private:
    int fail(const std::string& command, int32_t result, const Diagnosis& diagnosis,
             const std::string& subject, json object = json::object()) {
        return ReportFailure(out_, command, result, diagnosis, subject, std::move(object));
    }
    bool ticker(const Point& point) const { return out_.cursor() && point.kind == PK_SCAN; }
    bool scanLostRecords(const LineCall& call, const std::string& command, json& object);
    std::string scanSummary(double seconds, std::size_t zones, bool strictFailure) const;
    std::optional<int> scanForRead(json& object, bool& strictFailure);
    int readBlock();
    int readPoint();
    int readFailed(const Point& point, const LineCall& call, const json& object);
    int writeRefused(const Point& point, uint16_t value, const LineCall& call,
                     const std::string& arrow, json& object);

    const Options& options_;
    Output& out_;
    PanelLine& line_;
    std::string lostRecords_; // what the completed scan attempt lost, when it lost any
};

// After a completed scan: the figures, a warning for lost records, and
// whether --strict makes it a failure. The attempts' records are merged, so
// only the completed attempt's losses can leave a zone out; all attempts'
// figures are shown beside them.
bool PointCommand::scanLostRecords(const LineCall& call, const std::string& command, json& object) {
    if (!call.watched) {
        return false;
    }
    const LineFigures& all = call.traffic.figures;
    const LineFigures& last = call.traffic.lastAttempt;
    object["quality"] = FiguresJson(all);
    object["quality"]["completed_attempt"] = FiguresJson(last);
    bool unusual = !all.clean() || all.restarts > 0 || all.illegalZones > 0 || all.strayBytes > 0;
    if (!out_.jsonMode() && (options_.trace || unusual)) {
        out_.progress("line: " + FiguresText(all));
        if (all.restarts > 0) {
            out_.progress(fmt::format("line: the completed attempt (of {}): {}", all.restarts + 1,
                                      FiguresText(last)));
        }
    }
    if (last.clean()) {
        return false;
    }
    std::string lost = fmt::format("{} of {} status record(s) were lost {}", last.skipped(),
                                   last.records, LossCause(last));
    if (all.restarts > 0) {
        lost += fmt::format(" in the completed attempt ({} of {} over all {} attempts, whose "
                            "records are merged)",
                            all.skipped(), all.records, all.restarts + 1);
    }
    lostRecords_ = lost;
    if (options_.strict) {
        // Reads out of step come of bytes outside the frames.
        object["cause"] =
            CauseName(last.outOfStep > last.badChecksums ? Cause::Garbage : Cause::Checksum);
        object["error"] = "the scan is incomplete: " + lost;
        if (!out_.jsonMode()) {
            out_.error(fmt::format("{}: the scan is incomplete: {}", command, lost));
        }
        return true;
    }
    if (!out_.jsonMode()) {
        out_.warning(lost + ": the zones they carried may be missing" +
                     (options_.trace ? std::string()
                                     : " (--strict makes this a failure; --trace shows the "
                                       "frames)"));
    }
    return false;
}

// The first line of a scan's result: what to do when --strict failed it.
std::string PointCommand::scanSummary(double seconds, std::size_t zones, bool strictFailure) const {
    if (!strictFailure) {
        return fmt::format("Scan done in {:.2f} s: {} zone(s) with a status", seconds, zones);
    }
    return fmt::format("Scan incomplete after {:.2f} s: {} zone(s) with a status, but {}: scan "
                       "again; if records keep being lost, look for the fault on the line{}",
                       seconds, zones, lostRecords_,
                       options_.trace ? std::string() : " (--trace shows the frames)");
}

int PointCommand::scan() {
    ZoneScan scan = line_.scanZones(out_.cursor());
    json object = {{"elapsed_s", scan.seconds}};
    if (scan.call.result != RC_DONE) {
        if (scan.call.watched) {
            object["quality"] = FiguresJson(scan.call.traffic.figures);
        }
        return fail("scan", scan.call.result, line_.whyFailed(scan.call), "the scan failed",
                    object);
    }
    bool strictFailure = scanLostRecords(scan.call, "scan", object);
    const Site* site = out_.site();
    json zones = json::array();
    std::vector<std::string> lines = {
        scanSummary(scan.seconds, scan.statuses.size(), strictFailure)};
    // Every status is confirmed by the scan that just completed.
    const std::string confirmed = out_.now(true);
    for (const auto& [zone, status] : scan.statuses) {
        zones.push_back(ZoneJson(zone, status, site));
        zones.back()["confirmed_at"] = confirmed;
        lines.push_back("  " + ZoneLine(zone, status, site));
    }
    json outcome = {
        {"command", "scan"}, {"result", strictFailure ? "failed" : "done"}, {"zones", zones}};
    outcome.update(object);
    PrintResult(out_, outcome, lines);
    return strictFailure ? EXIT_FAILED : EXIT_DONE;
}

// A zone read answers from the snapshot of the last completed scan; this
// program's context is new, so zone reads scan first. An exit code when the
// scan failed.
std::optional<int> PointCommand::scanForRead(json& object, bool& strictFailure) {
    if (options_.noScan) {
        return std::nullopt;
    }
    ZoneScan scan = line_.scanZones(out_.cursor());
    if (scan.call.result != RC_DONE) {
        return fail("read", scan.call.result, line_.whyFailed(scan.call), "the scan failed",
                    {{"address", options_.address}});
    }
    strictFailure = scanLostRecords(scan.call, "read", object);
    return std::nullopt;
}

int PointCommand::readBlock() {
    const std::string& address = options_.address;
    const Site* site = out_.site();
    json object = json::object();
    bool strictFailure = false;
    Point block = line_.point(address, *options_.count);
    if (auto failed = scanForRead(object, strictFailure)) {
        return *failed;
    }
    std::vector<uint16_t> values;
    int32_t result = line_.after(line_.channel().readBlock(block, *options_.count, values));
    if (result != RC_DONE) {
        return fail("read", result, {Cause::None, "", {}},
                    fmt::format("{}: the block read was {}", address, ResultName(result)));
    }
    const int first = block.number & 0xFFFF;
    json zones = json::array();
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < values.size(); ++i) {
        zones.push_back(ZoneJson(first + static_cast<int>(i), values[i], site));
        lines.push_back(ZoneLine(first + static_cast<int>(i), values[i], site));
    }
    json outcome = {{"command", "read"},           {"result", strictFailure ? "failed" : "done"},
                    {"address", address},          {"count", *options_.count},
                    {"scanned", !options_.noScan}, {"zones", zones}};
    outcome.update(object);
    PrintResult(out_, outcome, lines);
    return strictFailure ? EXIT_FAILED : EXIT_DONE;
}

int PointCommand::readPoint() {
    const std::string& address = options_.address;
    const Site* site = out_.site();
    json object = json::object();
    bool strictFailure = false;
    Point point = line_.point(address);
    if (point.kind == PK_ZONE) {
        if (auto failed = scanForRead(object, strictFailure)) {
            return *failed;
        }
    }
    uint16_t value = 0;
    LineCall call;
    {
        Ticker shown(ticker(point), "scanning the panel:");
        call = line_.call([&] { return line_.channel().read(point, value); });
    }
    line_.after(call.result);
    object.update(PointJson(point, site));
    if (call.result != RC_DONE) {
        return readFailed(point, call, object);
    }
    if (point.kind == PK_SCAN) {
        strictFailure = scanLostRecords(call, "read", object);
    }
    object["value"] = value;
    std::string text = fmt::format("{} = {}", address, value);
    if (point.kind == PK_COUNT_C || point.kind == PK_COUNT_N) {
        object.update(CountJson(value));
        text = fmt::format("{} = {}", address, SignedCount(value));
    } else if (point.kind == PK_ZONE) {
        json zone = ZoneJson(point.number, value, site);
        for (const char* key : {"bits", "location", "meanings"}) {
            if (zone.contains(key)) {
                object[key] = zone[key];
            }
        }
        object["scanned"] = !options_.noScan;
        text = fmt::format("{} = 0x{:02X}  {}{}", address, value, BitsText(value, site),
                           ZoneLocation(point.number, site));
    } else if (point.kind == PK_SCAN) {
        text = strictFailure
                   ? fmt::format("{}: Scan incomplete: {}: scan again", address, lostRecords_)
                   : fmt::format("{}: scan done", address);
    }
    json outcome = {{"command", "read"}, {"result", strictFailure ? "failed" : "done"}};
    outcome.update(object);
    PrintResult(out_, outcome, {text});
    return strictFailure ? EXIT_FAILED : EXIT_DONE;
}

int PointCommand::readFailed(const Point& point, const LineCall& call, const json& object) {
    const std::string& address = options_.address;
    bool count = point.kind == PK_COUNT_C || point.kind == PK_COUNT_N;
    if (count && call.result == RC_REFUSED) {
        // The driver refuses a count whose reply failed its checksum; seen
        // on the line, that is a line fault, or noise that put the read out
        // of step.
        if (call.watched && call.traffic.lastCountReplyOutOfStep) {
            return fail("read", RC_FAILED, DiagnoseLine(call.traffic, line_.timeoutTicks()),
                        address, object);
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
    return fail("read", call.result, line_.whyFailed(call),
                point.kind == PK_SCAN ? address + ": the scan failed" : address + ": failed",
                object);
}

int PointCommand::write() {
    Point point = line_.point(options_.address);
    const auto value = static_cast<uint16_t>(options_.value);
    LineCall call;
    {
        Ticker shown(ticker(point), "scanning the panel:");
        call = line_.call([&] { return line_.channel().write(point, value); });
    }
    line_.after(call.result);
    json object = PointJson(point, out_.site());
    object["value"] = value;
    std::string arrow = fmt::format("{}{} <- {}", options_.address,
                                    PointName(options_.address, out_.site()), value);
    if (call.result == RC_DONE) {
        json outcome = {{"command", "write"}, {"result", "done"}};
        outcome.update(object);
        PrintResult(out_, outcome, {arrow + ": done"});
        return EXIT_DONE;
    }
    if (call.result == RC_FAILED) {
        return fail("write", call.result, line_.whyFailed(call),
                    point.kind == PK_SCAN ? arrow + ": the scan failed" : arrow + ": failed",
                    object);
    }
    return writeRefused(point, value, call, arrow, object);
}

// Refused: by the driver before anything was sent, or by the panel.
int PointCommand::writeRefused(const Point& point, uint16_t value, const LineCall& call,
                               const std::string& arrow, json& object) {
    std::string values = cis::ValuesText(point.kind);
    if (values.empty()) {
        return fail(
            "write", RC_REFUSED,
            {Cause::NotWritable,
             fmt::format("refused: points of kind {} cannot be written", KindText(point.kind)),
             {}},
            arrow, object);
    }
    bool sent = call.watched ? call.traffic.requests > 0 : cis::KindTakesValue(point.kind, value);
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

} // namespace

int RunScan(CommandContext& context) {
    return PointCommand(context).scan();
}

int RunRead(CommandContext& context) {
    return PointCommand(context).read();
}

int RunWrite(CommandContext& context) {
    return PointCommand(context).write();
}

} // namespace xolhost
