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

    Board& board_;
    bool utc_;
    const Site* site_;
    const Journal* journal_ = nullptr;
    // The events waiting for acknowledgement, by sequence number; each
    // with "alarm".
    std::map<uint64_t, nlohmann::json> waiting_;
    std::set<uint64_t> unknown_; // those listed by number only
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
