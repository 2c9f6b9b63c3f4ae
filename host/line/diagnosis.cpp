#include "line/diagnosis.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace xolhost {

namespace {

constexpr uint32_t MAX_TIMEOUT_TICKS = 60000;

// A time-out half as long again as the slowest answer, in 10 ms units, and
// longer than the one that failed.
uint32_t SuggestedTimeout(double slowestMs, uint32_t timeoutTicks) {
    auto ticks = static_cast<uint32_t>(std::ceil(slowestMs * 1.5 / 10.0));
    return std::min(std::max(ticks, timeoutTicks + 1), MAX_TIMEOUT_TICKS);
}

} // namespace

const char* CauseName(Cause cause) {
    switch (cause) {
    case Cause::None:
        return "none";
    case Cause::NoAnswer:
        return "no_answer";
    case Cause::Garbage:
        return "garbage";
    case Cause::Late:
        return "late";
    case Cause::Checksum:
        return "checksum";
    case Cause::UnknownAnswer:
        return "unknown_answer";
    case Cause::PortFailed:
        return "port_failed";
    case Cause::PortMissing:
        return "port_missing";
    case Cause::PortBusy:
        return "port_busy";
    case Cause::PortAccess:
        return "port_access";
    case Cause::PortSetting:
        return "port_setting";
    case Cause::PortNotSerial:
        return "port_not_serial";
    case Cause::PortError:
        return "port_error";
    case Cause::Value:
        return "value";
    case Cause::Panel:
        return "panel";
    case Cause::NotReadable:
        return "not_readable";
    case Cause::NotWritable:
        return "not_writable";
    case Cause::CountReply:
        return "count_reply";
    case Cause::Unwatched:
        return "unwatched";
    }
    return "unknown";
}

namespace {

// What remains once the panel answered in time and bytes came back: noise,
// a cut answer, or silence after some answers.
Diagnosis AfterSomeAnswers(const CallTraffic& t, uint32_t timeoutMs) {
    if (t.malformed > 0) {
        if (t.goodReplies > 0) {
            // Answers came, but bytes around them put the driver's exact-count
            // reads out of step.
            return {Cause::Garbage,
                    fmt::format("bytes that belong to no answer came with the answers (such as "
                                "{}) and put the driver's reading out of step: noise on the line",
                                t.garbageSample),
                    {}};
        }
        return {Cause::Garbage,
                fmt::format("{} byte(s) came back but form no valid answer (such as {}): a wrong "
                            "bit rate or parity, or noise on the line",
                            t.bytesReceived, t.garbageSample),
                {}};
    }
    if (t.cutReplies > 0) {
        return {Cause::NoAnswer,
                fmt::format("an answer stopped in the middle ({}) and nothing followed: the panel "
                            "stopped answering (was it restarted or halted, or the cable pulled?)",
                            t.cutSample),
                {}};
    }
    if (t.unanswered == 0) {
        return {Cause::NoAnswer,
                fmt::format("the panel answered each of {} request(s), but not in a way that "
                            "completed the call (--trace shows the frames)",
                            t.requests),
                {}};
    }
    return {Cause::NoAnswer,
            fmt::format("the panel answered {} request(s), then left the last {} unanswered (each "
                        "waited {} ms): it stopped answering; check that it is still on, its "
                        "serial port enabled, and the cable",
                        t.goodReplies + t.badChecksumReplies, t.unanswered, timeoutMs),
            {}};
}

} // namespace

Diagnosis DiagnoseLine(const CallTraffic& t, uint32_t timeoutTicks) {
    const uint32_t timeoutMs = timeoutTicks * 10;
    if (!t.portError.empty()) {
        return {Cause::PortFailed,
                fmt::format("the port failed while in use ({}): was the adapter unplugged?",
                            t.portError),
                {}};
    }
    // One answer later than the time-out is enough: a panel that turns slow
    // after answering in time is still slow.
    if (t.lateReplies > 0) {
        uint32_t ticks = SuggestedTimeout(t.slowestMs, timeoutTicks);
        return {Cause::Late,
                fmt::format("the panel answers, but up to {:.0f} ms after a request (or with "
                            "gaps that long inside an answer), later than the time-out of {} "
                            "ms: --timeout {} ({} ms) would wait for it",
                            t.slowestMs, timeoutMs, ticks, ticks * 10),
                ticks};
    }
    if (t.bytesReceived == 0) {
        return {Cause::NoAnswer,
                fmt::format("nothing came back from the panel ({} request(s) sent, each waited "
                            "{} ms): check the cable, the port, and that the panel is on with "
                            "its serial port enabled",
                            t.requests, timeoutMs),
                {}};
    }
    if (t.goodReplies > 0 && t.badChecksumReplies == 0 && t.malformed == 0 && t.lastAnswer != 0 &&
        t.lastAnswer != '!' && t.lastAnswer != 'U') {
        return {Cause::UnknownAnswer,
                fmt::format("the panel answered \"@{}\" to each try: it did not understand the "
                            "command",
                            t.lastAnswer),
                {}};
    }
    if (t.badChecksumReplies > 0 && t.badChecksumReplies >= t.malformed) {
        return {Cause::Checksum,
                fmt::format("{} answer(s) failed their checksum: bytes are corrupted on the line "
                            "(noise, a poor cable or earth, or a wrong parity setting)",
                            t.badChecksumReplies),
                {}};
    }
    return AfterSomeAnswers(t, timeoutMs);
}

Diagnosis DiagnoseUnwatched(bool relayAvailable) {
    return {Cause::Unwatched,
            relayAvailable ? "no valid answer from the panel within the driver's three tries (run "
                             "without --direct to see why)"
                           : "no valid answer from the panel within the driver's three tries",
            {}};
}

Diagnosis DiagnosePort(const PortProblem& p, const std::string& given, const std::string& device) {
    std::string name =
        given == device || device.empty() ? given : fmt::format("{} ({})", given, device);
    std::string system = p.system.empty() ? std::string() : ": " + p.system;
    switch (p.fault) {
    case PortFault::Missing:
        return {Cause::PortMissing,
                fmt::format("cannot open the port {}{}: there is no such port (is the adapter "
                            "plugged in? ls /dev/serial/by-id/ lists USB ones)",
                            name, system),
                {}};
    case PortFault::Busy:
        return {Cause::PortBusy,
                fmt::format("cannot open the port {}{}: another program holds it (close it; "
                            "fuser {} shows which)",
                            name, system, device.empty() ? given : device),
                {}};
    case PortFault::Access:
        return {Cause::PortAccess,
                fmt::format("cannot open the port {}{}: no permission (join the group that owns "
                            "it, usually dialout)",
                            name, system),
                {}};
    case PortFault::Setting:
        return {Cause::PortSetting,
                fmt::format("the port {} refuses the line settings ({}){}", name, p.step, system),
                {}};
    case PortFault::NotSerial:
        return {Cause::PortNotSerial,
                fmt::format("cannot use {}{}: it is not a serial port", name, system),
                {}};
    case PortFault::Other:
    case PortFault::None:
        break;
    }
    return {Cause::PortError,
            fmt::format("cannot open the port {} ({}){}", name, p.step.empty() ? "failed" : p.step,
                        system),
            {}};
}

} // namespace xolhost
