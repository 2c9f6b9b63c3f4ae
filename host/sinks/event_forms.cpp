#include "sinks/event_forms.h"

#include <fmt/format.h>

#include <optional>

#include "present/output.h"
#include "present/timestamps.h"

namespace xolhost {

using nlohmann::json;

namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::string CountAddress(char which) {
    return std::string("!") + which;
}

std::string ChangeText(const event::ZoneChanged& e, const Site* site) {
    std::string changes;
    if (e.set() != 0) {
        changes += fmt::format("  set: {}", fmt::join(BitNames(e.set()), " "));
    }
    if (e.cleared() != 0) {
        changes += fmt::format("  cleared: {}", fmt::join(BitNames(e.cleared()), " "));
    }
    return fmt::format("{}  0x{:02X} -> 0x{:02X}  {}{}{}", ZoneAddress(e.zone), e.before, e.now,
                       e.now == 0 ? std::string("(no status)") : BitsText(e.now, site),
                       ZoneLocation(e.zone, site), changes);
}

std::string CommandText(const event::Command& e) {
    std::string text = fmt::format("{} <- {}: {}", e.address, e.value, ResultName(e.result));
    return e.error.empty() ? text : text + ": " + e.error;
}

json CommandFields(const event::Command& e) {
    json object = {{"address", e.address},
                   {"value", e.value},
                   {"result", ResultName(e.result)},
                   {"from", e.origin}};
    if (!e.error.empty()) {
        object["error"] = e.error;
    }
    return object;
}

// The fields of the events about zones; nothing for the others.
std::optional<json> ZoneFields(const EventBody& body, const Site* site) {
    if (const auto* e = std::get_if<event::ZoneInitial>(&body)) {
        json object = ZoneJson(e->zone, e->status, site);
        object["from"] = 0;
        return object;
    }
    if (const auto* e = std::get_if<event::ZoneChanged>(&body)) {
        json object = ZoneJson(e->zone, e->now, site);
        object["from"] = e->before;
        object["set"] = BitNames(e->set());
        object["cleared"] = BitNames(e->cleared());
        return object;
    }
    if (std::holds_alternative<event::NoZoneStatus>(body)) {
        return json{{"zones", 0}};
    }
    return std::nullopt;
}

json Fields(const EventBody& body, const Site* site, bool utc) {
    if (std::optional<json> zone = ZoneFields(body, site)) {
        return *zone;
    }
    return std::visit(
        Overloaded{
            // Zone events have their fields above; a scan that recovered has none.
            [](const auto&) { return json::object(); },
            [](const event::CountRead& e) {
                json object = CountJson(e.value);
                object["address"] = CountAddress(e.which);
                if (e.before) {
                    object["from"] = SignedCount(*e.before);
                }
                return object;
            },
            [](const event::CountFailed& e) {
                return json{{"address", CountAddress(e.which)},
                            {"result", ResultName(e.result)},
                            {"cause", CauseName(e.why.cause)}};
            },
            [&](const event::ScanFailed& e) {
                json object = {{"result", ResultName(e.result)}, {"cause", CauseName(e.why.cause)}};
                if (e.unconfirmedSince) {
                    object["unconfirmed_since"] = Rfc3339(*e.unconfirmedSince, utc);
                }
                return object;
            },
            [](const event::ScanIncomplete& e) {
                return json{{"quality", FiguresJson(e.figures)}, {"held", e.held}};
            },
            [](const event::ChannelClosed& e) {
                return json{{"failures", e.failures}};
            },
            [](const event::ChannelReopened& e) {
                return json{{"reopens", e.reopens}};
            },
            [](const event::Command& e) { return CommandFields(e); },
            [](const event::Interrupted& e) {
                return json{{"signal", e.signal}};
            },
            [](const event::SupervisionStarted& e) {
                return e.lastSequence ? json{{"last_seq", *e.lastSequence}} : json::object();
            },
            [](const event::Acknowledged& e) {
                return json{{"acknowledged", e.sequences},
                            {"operator", e.operatorName},
                            {"from", e.client}};
            },
            [](const event::JournalDropped& e) {
                return json{{"dropped", e.count}};
            },
        },
        body);
}

// "2 h 5 min", "40 s": how long nothing was supervised.
std::string GapText(WallClock::duration gap) {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(gap).count();
    if (seconds < 120) {
        return fmt::format("{} s", std::max<int64_t>(seconds, 0));
    }
    if (seconds < 7200) {
        return fmt::format("{} min", seconds / 60);
    }
    return fmt::format("{} h {} min", seconds / 3600, seconds / 60 % 60);
}

std::string StartedText(const Event& event, const event::SupervisionStarted& e, bool utc) {
    if (!e.lastSequence || !e.lastEventTime) {
        return "supervision started on a new journal";
    }
    return fmt::format("supervision started: nothing was supervised for {} (the last event was "
                       "#{}; supervision last ran at {})",
                       GapText(event.time - *e.lastEventTime), *e.lastSequence,
                       Rfc3339(*e.lastEventTime, utc, 0, ' '));
}

} // namespace

const char* EventName(const EventBody& body) {
    return std::visit(
        Overloaded{
            [](const event::ZoneInitial&) { return "initial"; },
            [](const event::NoZoneStatus&) { return "initial"; },
            [](const event::ZoneChanged&) { return "change"; },
            [](const event::CountRead& e) { return e.before ? "count_change" : "count"; },
            [](const event::CountFailed&) { return "count_failed"; },
            [](const event::ScanFailed&) { return "scan_failed"; },
            [](const event::ScanRecovered&) { return "scan_recovered"; },
            [](const event::ScanIncomplete&) { return "scan_incomplete"; },
            [](const event::ChannelClosed&) { return "channel_closed"; },
            [](const event::ChannelReopened&) { return "channel_reopened"; },
            [](const event::Command&) { return "command"; },
            [](const event::Interrupted&) { return "interrupted"; },
            [](const event::SupervisionStarted&) { return "supervision_started"; },
            [](const event::Acknowledged&) { return "acknowledged"; },
            [](const event::JournalDropped&) { return "journal_dropped"; },
        },
        body);
}

json EventJson(const Event& event, const Site* site, bool utc) {
    json object = Fields(event.body, site, utc);
    object["event"] = EventName(event.body);
    object["seq"] = event.sequence;
    object["time"] = Rfc3339(event.time, utc);
    if (const auto* started = std::get_if<event::SupervisionStarted>(&event.body);
        started != nullptr && started->lastEventTime) {
        object["last_time"] = Rfc3339(*started->lastEventTime, utc);
        object["gap_s"] =
            std::chrono::duration<double>(event.time - *started->lastEventTime).count();
    }
    return object;
}

std::string EventText(const Event& event, const Site* site, bool utc) {
    return std::visit(
        Overloaded{
            [&](const event::ZoneInitial& e) { return ZoneLine(e.zone, e.status, site); },
            [](const event::NoZoneStatus&) { return std::string("no zone has a status"); },
            [&](const event::ZoneChanged& e) { return ChangeText(e, site); },
            [](const event::CountRead& e) {
                return e.before
                           ? fmt::format("{}  {} -> {}", CountAddress(e.which),
                                         SignedCount(*e.before), SignedCount(e.value))
                           : fmt::format("{} = {}", CountAddress(e.which), SignedCount(e.value));
            },
            [](const event::CountFailed& e) {
                return fmt::format("{}: the count could not be read ({}): {}",
                                   CountAddress(e.which), ResultName(e.result), e.why.text);
            },
            [&](const event::ScanFailed& e) {
                return "the scan failed: " + e.why.text +
                       (e.unconfirmedSince ? "; statuses shown are not confirmed since " +
                                                 Rfc3339(*e.unconfirmedSince, utc, 0, ' ')
                                           : std::string("; no completed scan yet"));
            },
            [](const event::ScanRecovered&) { return std::string("the panel answers again"); },
            [](const event::ScanIncomplete& e) {
                return fmt::format("the scan lost {} record(s) {}; statuses that disappeared "
                                   "wait for a clean scan",
                                   e.figures.skipped(), LossCause(e.figures));
            },
            [](const event::ChannelClosed& e) {
                return fmt::format(
                    "{} scans failed in a row: the channel is closed and will be opened again",
                    e.failures);
            },
            [](const event::ChannelReopened&) { return std::string("the channel is open again"); },
            [](const event::Command& e) {
                return fmt::format("command from {}: {}", e.origin, CommandText(e));
            },
            [](const event::Interrupted& e) { return "interrupted by " + e.signal; },
            [&](const event::SupervisionStarted& e) { return StartedText(event, e, utc); },
            [](const event::Acknowledged& e) {
                return fmt::format("{} acknowledged by {} from {}: event{} {}", e.sequences.size(),
                                   e.operatorName, e.client, e.sequences.size() == 1 ? "" : "s",
                                   fmt::join(e.sequences, ", "));
            },
            [](const event::JournalDropped& e) {
                return fmt::format("the journal has failed so long that {} event(s) it never "
                                   "took were let go (none that waits for acknowledgement)",
                                   e.count);
            },
        },
        event.body);
}

} // namespace xolhost
