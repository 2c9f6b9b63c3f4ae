// What an output's thread works from: the state the supervision core holds
// after each step, and its events, read back from the journal after the last
// one the output delivered or, without a journal, kept in a bounded queue in
// memory that counts what it lets go. The supervising thread only copies
// and notifies: it never waits for an output.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "supervision/events.h"

namespace xolhost {

class Journal;
struct Site;

struct FeedSettings {
    std::string output;      // the output's name in the journal ("mqtt")
    std::string journalPath; // empty: no journal, events kept in memory
    std::size_t capacity = 10000;
    bool events = true; // the output delivers events (else it only needs the state)
    const Site* site = nullptr;
    bool utc = false;
};

// The state after a step, with the zones whose events wait for an operator.
struct FedState {
    SupervisionState state;
    std::set<int> unacknowledgedZones;
};

struct FedEvent {
    uint64_t sequence = 0;
    nlohmann::json body; // the event as the journal holds it
};

class OutputFeed : public EventSink {
public:
    // JournalError when the journal cannot be opened beside the supervisor.
    explicit OutputFeed(FeedSettings settings);
    ~OutputFeed() override;
    OutputFeed(const OutputFeed&) = delete;
    OutputFeed& operator=(const OutputFeed&) = delete;

    void event(const Event& event) override;
    void state(const SupervisionState& state) override;

    // Readable while news waits: for an output that polls sockets too.
    int wakeFd() const { return wake_; }
    // Reads the news off wakeFd().
    void drainWake();
    // On the output's thread. Waits until a step brought news, `until`, or
    // a stop.
    void wait(std::chrono::steady_clock::time_point until);
    void stop();
    bool stopping() const;
    // The newest state, when there is one the caller has not taken yet.
    std::optional<FedState> takeState();
    // Events after `sequence`, oldest first, at most `limit`.
    std::vector<FedEvent> eventsAfter(uint64_t sequence, std::size_t limit);
    // Every event up to `sequence` was delivered; kept in the journal (at
    // most once a second, and at the end).
    void delivered(uint64_t sequence);

    // From any thread.
    uint64_t lastDelivered() const;
    uint64_t newest() const;  // the newest event's sequence number
    uint64_t waiting() const; // events after the last delivered one
    uint64_t dropped() const; // events the memory queue let go unsent

private:
    void keepDelivered(bool now);
    void nudge();

    FeedSettings settings_;
    int wake_ = -1;                    // an eventfd
    std::unique_ptr<Journal> journal_; // the output thread's own connection
    mutable std::mutex mutex_;
    std::condition_variable news_;
    bool stop_ = false;
    bool fresh_ = false;
    FedState latest_;
    std::map<uint64_t, int> zoneOfWaiting_; // unacknowledged zone events
    std::deque<Event> queue_;               // without a journal
    uint64_t newest_ = 0;
    uint64_t delivered_ = 0;
    uint64_t dropped_ = 0;
    uint64_t kept_ = 0; // what the journal holds as delivered
    std::chrono::steady_clock::time_point keptAt_{};
};

} // namespace xolhost
