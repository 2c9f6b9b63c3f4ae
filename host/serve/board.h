// What serve's page and API read: the board the supervising thread
// publishes to (as a sink of the supervision core) and the server's threads
// read under its lock, and the live stream of one page.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <xolest/xolest.h>

#include "serve/serve.h"
#include "supervision/events.h"

namespace xolhost {

struct Site;
class Journal;

constexpr std::size_t KEPT_EVENTS = 1000;    // events the board keeps, newest
constexpr std::size_t SNAPSHOT_EVENTS = 200; // events a page gets when it connects
// Waiting events the status lists (alarms first); the counts give them all.
constexpr std::size_t SHOWN_UNACKNOWLEDGED = 100;
// Zones the alarm band lists per class; the counts give them all.
constexpr std::size_t SHOWN_PER_CLASS = 100;

// The classes the alarm band lists, most urgent first; "unclassified" is a
// status whose code the site gives no class (it may be an alarm).
inline constexpr const char* BAND_CLASSES[] = {"alarm", "fault", "supervisory", "disabled",
                                               "unclassified"};

// The classes of a status's bits, in BAND_CLASSES order ("other" last);
// every bit without a class is "unclassified".
std::vector<std::string> StatusClasses(uint16_t status, const Site* site);
// The status bits whose code the site gives this class.
uint16_t ClassBits(const std::string& name, const Site* site);

// Running totals for /metrics.
struct ScanTotals {
    uint64_t incomplete = 0;
    uint64_t records = 0;
    uint64_t badChecksums = 0;
    uint64_t restarts = 0;
    uint64_t strayBytes = 0;
    uint64_t journalFailures = 0; // steps whose events the journal did not take
};

// Everything here is under `mutex`.
struct Board {
    std::mutex mutex;
    std::condition_variable changed; // a new version for the live pages
    uint64_t version = 0;
    std::vector<uint16_t> zones = std::vector<uint16_t>(ZONE_COUNT + 1, 0);
    std::map<int, WallClock::time_point> confirmedAt; // zones with a status
    bool utc = false;
    nlohmann::json status = nlohmann::json::object();
    std::deque<nlohmann::json> events; // oldest first
    uint64_t nextEventId = 1;
    std::chrono::steady_clock::time_point lastAttempt = std::chrono::steady_clock::now();
    bool stopping = false;
    std::optional<WallClock::time_point> lastCompletedScan;
    bool stale = false;
    ScanTotals totals;

    Board(const WebSettings& settings, const Site* site);

    // Events keep the core's sequence numbers as their ids.
    void addEvent(nlohmann::json event);
    // Newest first, at most `limit`, only those after `since` and before
    // `before`.
    nlohmann::json eventsAfter(uint64_t since, std::size_t limit,
                               uint64_t before = UINT64_MAX) const;
    // Each zone with a status as scan --json lists it, with the time a
    // completed scan last confirmed it.
    nlohmann::json zonesWithStatus(const Site* site) const;
    // One zone as the API gives it: status (0 too), bits, location,
    // classes, when confirmed and whether stale.
    nlohmann::json zoneEntry(int zone, const Site* site) const;
    // Not confirmed by the last scan attempt: the line is stale, or the zone
    // holds a status a completed scan did not confirm.
    bool zoneStale(int zone) const;
    void stop();
};

// The board as a sink: events with their text, and after every step the
// zones, counts, figures and waiting events the core holds.
class BoardSink : public EventSink {
public:
    BoardSink(Board& board, bool utc, const Site* site) : board_(board), utc_(utc), site_(site) {}
    void event(const Event& event) override;
    void state(const SupervisionState& state) override;
    // Where waiting events from before this run are found: the
    // supervisor's own journal, read on the supervising thread that calls
    // this sink.
    void setJournal(const Journal* journal);

private:
    // The waiting events' bodies, in the state's order, alarms first.
    nlohmann::json unacknowledged(const std::vector<uint64_t>& sequences, std::size_t& alarms);
    void lookUp(const std::vector<uint64_t>& sequences);
    // The zones in a status the band lists, by class.
    nlohmann::json band(const SupervisionState& state);
    void lookUpSince(const SupervisionState& state);
    void totals(const SupervisionState& state);

    Board& board_;
    bool utc_;
    const Site* site_;
    const Journal* journal_ = nullptr;
    // The events waiting for acknowledgement, by sequence number; each
    // with "alarm".
    std::map<uint64_t, nlohmann::json> waiting_;
    std::set<uint64_t> unknown_; // those listed by number only
    // When each zone took its status, and the event that set it.
    std::map<int, WallClock::time_point> since_;
    std::map<int, uint64_t> setBy_;
    uint64_t scansSeen_ = 0;
    bool sinceLookedUp_ = false;
    // When the panel stopped answering: the first step of this run of
    // failed scans or failed opens; cleared by a completed scan.
    std::optional<WallClock::time_point> noAnswerSince_;
};

// One live page's stream: a snapshot first, then what changed since.
struct Stream {
    bool started = false;
    uint64_t version = 0;
    uint64_t lastEvent = 0;
    std::vector<uint16_t> zones;
};

// The next chunk of server-sent events for the stream, waiting up to 15 s
// for a change; `stop` when the board stops.
std::string NextChunk(Board& board, Stream& stream, bool& stop);

} // namespace xolhost
