// What the supervision core tells its sinks: typed events, each with a
// sequence number that only grows and the wall-clock time it happened, and
// the state the core holds after each step.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "line/diagnosis.h"
#include "line/line_decoder.h"

namespace xolhost {

using WallClock = std::chrono::system_clock;

namespace event {

// A zone in a status on the first completed scan.
struct ZoneInitial {
    int zone = 0;
    uint16_t status = 0;
};
// The first completed scan found no zone in a status.
struct NoZoneStatus {};
struct ZoneChanged {
    int zone = 0;
    uint16_t before = 0;
    uint16_t now = 0;
    uint16_t set() const { return static_cast<uint16_t>(now & ~before); }
    uint16_t cleared() const { return static_cast<uint16_t>(before & ~now); }
};
// A count read for the first time (no `before`) or changed.
struct CountRead {
    char which = 'C';
    uint16_t value = 0;
    std::optional<uint16_t> before;
};
struct CountFailed {
    char which = 'C';
    int32_t result = 0;
    Diagnosis why;
};
// The first of a run of failed scans; the statuses stay as they were.
struct ScanFailed {
    int32_t result = 0;
    Diagnosis why;
    // The statuses shown from now on are those of the last completed scan.
    std::optional<WallClock::time_point> unconfirmedSince;
};
struct ScanRecovered {};
// A completed scan that lost records: statuses that vanished are held.
struct ScanIncomplete {
    LineFigures figures;
    std::vector<int> held;
};
struct ChannelClosed {
    int failures = 0;
};
struct ChannelReopened {
    uint64_t reopens = 0;
};
// A control command carried out between scans.
struct Command {
    std::string address;
    uint16_t value = 0;
    std::string origin;
    int32_t result = 0;
    std::string error;
};
struct Interrupted {
    std::string signal;
};
// Operators acknowledged events that waited for it.
struct Acknowledged {
    std::vector<uint64_t> sequences;
    std::string operatorName;
    std::string client; // the address it came from
};
// The journal failed for so long that events it never took were let go:
// the oldest of those that waited for no acknowledgement.
struct JournalDropped {
    uint64_t count = 0;
};
// Supervision began on a journal that holds earlier events: the last of
// them, and when supervision last ran (its last event or completed scan),
// and so the gap in which nothing was supervised.
struct SupervisionStarted {
    std::optional<uint64_t> lastSequence;
    std::optional<WallClock::time_point> lastEventTime; // when supervision last ran
};

} // namespace event

using EventBody =
    std::variant<event::ZoneInitial, event::NoZoneStatus, event::ZoneChanged, event::CountRead,
                 event::CountFailed, event::ScanFailed, event::ScanRecovered, event::ScanIncomplete,
                 event::ChannelClosed, event::ChannelReopened, event::Command, event::Interrupted,
                 event::SupervisionStarted, event::Acknowledged, event::JournalDropped>;

struct Event {
    uint64_t sequence = 0;
    WallClock::time_point time;
    EventBody body;
    bool waitsForAcknowledgement = false; // it set a status an operator must see
};

enum class ChannelState { Open, Failing, Closed };

// "open", "failing", "closed": the channel's state as pages and outputs name it.
inline const char* ChannelStateName(ChannelState state) {
    switch (state) {
    case ChannelState::Open:
        return "open";
    case ChannelState::Failing:
        return "failing";
    default:
        return "closed";
    }
}

// The last scan attempt's figures.
struct ScanFigures {
    int32_t result = 0;
    bool watched = false;
    LineFigures figures;
    double seconds = 0;
};

// What the core holds after a step.
struct SupervisionState {
    ChannelState channel = ChannelState::Open;
    std::map<int, uint16_t> zones; // zones in a status; held clears included
    std::map<char, uint16_t> counts;
    std::optional<WallClock::time_point> lastCompletedScan;
    std::optional<ScanFigures> lastScan;
    uint64_t scans = 0;
    uint64_t failedScans = 0;
    uint64_t reopens = 0;
    bool journalFailing = false;  // events wait in memory for the journal
    std::string journal = "none"; // "none", "ok", "failing"
    // The statuses are not confirmed by the last scan attempt: it failed, or
    // the channel is closed.
    bool stale = false;
    // When a completed scan last confirmed each zone in `zones` (a held
    // status keeps its older time).
    std::map<int, WallClock::time_point> confirmedAt;
    // Events waiting for acknowledgement, oldest first.
    std::vector<uint64_t> unacknowledged;
};

// Where events are kept before anyone is shown them: each step's events are
// committed in one go, with the state they leave, before any sink gets them.
class EventJournal {
public:
    virtual ~EventJournal() = default;
    // False when they could not be written; they are offered again, in
    // order, with the next step's.
    virtual bool commit(const std::vector<Event>& events, const SupervisionState& state) = 0;
};

// What a journal knew when supervision stopped: where a new run resumes.
struct Resumption {
    uint64_t lastSequence = 0;
    std::optional<WallClock::time_point> lastEventTime;
    std::map<int, uint16_t> zones;
    std::map<char, uint16_t> counts;
    std::vector<uint64_t> unacknowledged;
    std::optional<WallClock::time_point> lastCompletedScan;
    std::map<int, WallClock::time_point> confirmedAt;
};

// Where events go: printers, the web board, and later outputs.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void event(const Event& event) = 0;
    // After every step, with what the core now holds.
    virtual void state(const SupervisionState&) {}
};

} // namespace xolhost
