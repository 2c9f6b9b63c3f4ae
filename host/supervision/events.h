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
// Supervision began on a journal that holds earlier events: the last of
// them, and so the gap in which nothing was supervised.
struct SupervisionStarted {
    std::optional<uint64_t> lastSequence;
    std::optional<WallClock::time_point> lastEventTime;
};

} // namespace event

using EventBody =
    std::variant<event::ZoneInitial, event::NoZoneStatus, event::ZoneChanged, event::CountRead,
                 event::CountFailed, event::ScanFailed, event::ScanRecovered, event::ScanIncomplete,
                 event::ChannelClosed, event::ChannelReopened, event::Command, event::Interrupted,
                 event::SupervisionStarted>;

struct Event {
    uint64_t sequence = 0;
    WallClock::time_point time;
    EventBody body;
};

enum class ChannelState { Open, Failing, Closed };

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
    bool journalFailing = false; // events wait in memory for the journal
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
