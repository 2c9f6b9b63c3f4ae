// The supervision core: scans the panel every interval, reads the counts,
// holds the clears that a scan which lost records cannot prove, closes the
// channel after failures in a row and opens it again, and runs the commands
// queued between scans. It tells what it finds to its sinks as typed events
// and never formats anything itself. One thread runs it; it alone calls the
// panel.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "supervision/command_queue.h"
#include "supervision/events.h"
#include "supervision/panel.h"

namespace xolhost {

struct SupervisionSettings {
    std::chrono::milliseconds interval{2000};
    uint64_t steps = 0; // 0: until stopped
    bool counts = false;
    int failuresBeforeReopen = 3; // failed scans in a row before the channel is reopened
    // Whether an event waits for an operator's acknowledgement; none given:
    // every event that sets a status bit does.
    std::function<bool(const EventBody&)> needsAcknowledgement;
};

// Events that set a status bit: what waits for acknowledgement when the
// site says nothing of its codes.
bool SetsStatusBits(const EventBody& body);

class Supervisor {
public:
    using Clock = std::function<WallClock::time_point()>;

    Supervisor(
        SupervisedPanel& panel, SupervisionSettings settings,
        Clock clock = [] { return WallClock::now(); });

    void addSink(EventSink& sink) { sinks_.push_back(&sink); }
    // Called by run() on the supervising thread each time it looks at the
    // clock between steps (every 50 ms at least while it waits): whatever
    // must hear that the loop goes on (a service's watchdog) hears it here.
    void whileWaiting(std::function<void()> waiting) { waiting_ = std::move(waiting); }
    // Events are committed to the journal before the sinks get them.
    void setJournal(EventJournal& journal) { journal_ = &journal; }
    // Goes on from what a journal kept: its statuses and counts are known,
    // so the first scan reports only what differs; sequence numbers go on;
    // a supervision_started event names the gap.
    void resume(const Resumption& from);

    // One step: a scan and the counts, opening the channel first when it is
    // closed. Sinks get the events, then the state.
    void step();
    // Runs a queued command (or acknowledgement) and answers it; an event
    // tells the sinks.
    void runCommand(QueuedCommand& command);
    // Steps every interval, with the queued commands run in between, until
    // `stopRequested` or the settings' number of steps.
    void run(CommandQueue& queue, const std::function<bool()>& stopRequested);
    void interrupted(const std::string& signal);

    // The last scan attempt failed.
    bool failing() const { return failing_; }
    const SupervisionState& state() const { return state_; }

private:
    void emit(EventBody body);
    // Commits the events so far, then hands them and the state to the sinks.
    void publish();
    bool reopen();
    void scanFailed(const ScanResult& scan);
    void reportChanges(const ScanResult& scan);
    void readCounts();
    void confirm(const std::vector<int>& held);
    void acknowledge(QueuedCommand& request);
    void dropUnjournaled();

    SupervisedPanel& panel_;
    SupervisionSettings settings_;
    Clock clock_;
    std::vector<EventSink*> sinks_;
    std::function<void()> waiting_;
    EventJournal* journal_ = nullptr;
    std::vector<Event> pending_;     // emitted, not yet handed to the sinks
    std::vector<Event> unjournaled_; // handed out while the journal failed

    SupervisionState state_;
    uint64_t sequence_ = 0;
    bool first_ = true;
    bool failing_ = false;
    int failuresInARow_ = 0;
};

} // namespace xolhost
