#include "supervision/supervisor.h"

#include <algorithm>

namespace xolhost {

namespace {

using Steady = std::chrono::steady_clock;

// How long the supervising thread waits for a command before it looks at
// the clock and the stop request again.
constexpr auto COMMAND_POLL = std::chrono::milliseconds(50);

// Events kept in memory while the journal fails; past it the oldest go.
constexpr std::size_t MAX_UNJOURNALED = 10000;

std::string NotWaiting(uint64_t sequence) {
    return "event " + std::to_string(sequence) + " does not wait for acknowledgement";
}

} // namespace

Supervisor::Supervisor(SupervisedPanel& panel, SupervisionSettings settings, Clock clock)
    : panel_(panel), settings_(settings), clock_(std::move(clock)) {
    state_.channel = panel_.channelOpen() ? ChannelState::Open : ChannelState::Closed;
}

bool SetsStatusBits(const EventBody& body) {
    if (const auto* initial = std::get_if<event::ZoneInitial>(&body)) {
        return initial->status != 0;
    }
    const auto* change = std::get_if<event::ZoneChanged>(&body);
    return change != nullptr && change->set() != 0;
}

void Supervisor::emit(EventBody body) {
    Event event{++sequence_, clock_(), std::move(body), false};
    event.waitsForAcknowledgement = settings_.needsAcknowledgement
                                        ? settings_.needsAcknowledgement(event.body)
                                        : SetsStatusBits(event.body);
    if (event.waitsForAcknowledgement) {
        state_.unacknowledged.push_back(event.sequence);
    }
    pending_.push_back(std::move(event));
}

void Supervisor::publish() {
    if (journal_ != nullptr) {
        // What the journal could not take waits, in order, and goes first.
        unjournaled_.insert(unjournaled_.end(), pending_.begin(), pending_.end());
        bool committed = journal_->commit(unjournaled_, state_);
        state_.journalFailing = !committed;
        state_.journal = committed ? "ok" : "failing";
        if (committed) {
            unjournaled_.clear();
        } else if (unjournaled_.size() > MAX_UNJOURNALED) {
            dropUnjournaled();
        }
    }
    // A failing journal never holds an alarm back from the sinks.
    std::vector<Event> events = std::move(pending_);
    pending_.clear();
    for (const Event& event : events) {
        for (EventSink* sink : sinks_) {
            sink->event(event);
        }
    }
    for (EventSink* sink : sinks_) {
        sink->state(state_);
    }
}

// Lets go of the oldest events the journal never took, keeping those that
// wait for acknowledgement, and says how many went.
void Supervisor::dropUnjournaled() {
    uint64_t dropped = 0;
    std::vector<Event> kept;
    for (Event& event : unjournaled_) {
        if (!event.waitsForAcknowledgement && unjournaled_.size() - dropped > MAX_UNJOURNALED / 2) {
            ++dropped;
        } else {
            kept.push_back(std::move(event));
        }
    }
    unjournaled_ = std::move(kept);
    if (dropped > 0) {
        Event note{++sequence_, clock_(), event::JournalDropped{dropped}, false};
        unjournaled_.push_back(note);
        pending_.push_back(std::move(note));
    }
}

void Supervisor::resume(const Resumption& from) {
    sequence_ = std::max(sequence_, from.lastSequence);
    state_.zones = from.zones;
    state_.counts = from.counts;
    state_.unacknowledged = from.unacknowledged;
    state_.lastCompletedScan = from.lastCompletedScan;
    state_.confirmedAt = from.confirmedAt;
    // Nothing is confirmed until this run's first completed scan.
    state_.stale = true;
    first_ = false;
    // Supervision last ran at its last event or its last completed scan,
    // whichever came later: a quiet panel gives no events but is scanned.
    std::optional<WallClock::time_point> lastSupervised = from.lastEventTime;
    if (from.lastCompletedScan && (!lastSupervised || *from.lastCompletedScan > *lastSupervised)) {
        lastSupervised = from.lastCompletedScan;
    }
    emit(event::SupervisionStarted{
        from.lastSequence == 0 ? std::nullopt : std::optional(from.lastSequence), lastSupervised});
    publish();
}

bool Supervisor::reopen() {
    if (!panel_.openChannel()) {
        return false;
    }
    ++state_.reopens;
    failuresInARow_ = 0;
    state_.channel = ChannelState::Open;
    emit(event::ChannelReopened{state_.reopens});
    return true;
}

void Supervisor::step() {
    if (!panel_.channelOpen() && !reopen()) {
        state_.stale = true;
        publish();
        return;
    }
    ScanResult scan = panel_.scan();
    ++state_.scans;
    state_.lastScan = ScanFigures{scan.result, scan.watched, scan.figures, scan.seconds};
    if (scan.result != RC_DONE) {
        scanFailed(scan);
        publish();
        return;
    }
    failuresInARow_ = 0;
    state_.channel = ChannelState::Open;
    state_.lastCompletedScan = clock_();
    state_.stale = false;
    if (failing_) {
        failing_ = false;
        emit(event::ScanRecovered{});
    }
    reportChanges(scan);
    first_ = false;
    if (settings_.counts) {
        readCounts();
    }
    publish();
}

void Supervisor::scanFailed(const ScanResult& scan) {
    ++state_.failedScans;
    if (!failing_) {
        emit(event::ScanFailed{scan.result, scan.why, state_.lastCompletedScan});
    }
    failing_ = true;
    state_.stale = true;
    state_.channel = ChannelState::Failing;
    if (++failuresInARow_ >= settings_.failuresBeforeReopen) {
        panel_.closeChannel();
        state_.channel = ChannelState::Closed;
        emit(event::ChannelClosed{failuresInARow_});
    }
}

// After a scan that lost records to the line, a status that ended cannot
// be told from one whose record was lost: bits that vanish wait for a
// clean scan.
void Supervisor::reportChanges(const ScanResult& scan) {
    const bool clean = !scan.watched || scan.figures.clean();
    std::map<int, uint16_t> zones = scan.statuses;
    for (const auto& [zone, status] : state_.zones) {
        zones.try_emplace(zone, 0);
    }
    std::vector<int> held;
    for (const auto& [zone, reported] : zones) {
        auto known = state_.zones.find(zone);
        const uint16_t before = known == state_.zones.end() ? 0 : known->second;
        uint16_t now = reported;
        if (!clean && (before & ~now) != 0) {
            now = static_cast<uint16_t>(now | before);
            held.push_back(zone);
        }
        if (now != before) {
            if (first_) {
                emit(event::ZoneInitial{zone, now});
            } else {
                emit(event::ZoneChanged{zone, before, now});
            }
        }
        if (now == 0) {
            state_.zones.erase(zone);
        } else {
            state_.zones[zone] = now;
        }
    }
    confirm(held);
    if (!clean) {
        emit(event::ScanIncomplete{scan.figures, held});
    }
    if (first_ && state_.zones.empty()) {
        emit(event::NoZoneStatus{});
    }
}

// A completed scan confirms every status it reported; a held one keeps the
// time it was last confirmed.
void Supervisor::confirm(const std::vector<int>& held) {
    std::map<int, WallClock::time_point> confirmed;
    for (const auto& [zone, status] : state_.zones) {
        auto before = state_.confirmedAt.find(zone);
        bool kept = std::find(held.begin(), held.end(), zone) != held.end() &&
                    before != state_.confirmedAt.end();
        confirmed[zone] = kept ? before->second : *state_.lastCompletedScan;
    }
    state_.confirmedAt = std::move(confirmed);
}

void Supervisor::readCounts() {
    for (char which : {'C', 'N'}) {
        CountResult count = panel_.readCount(which);
        if (count.result != RC_DONE) {
            emit(event::CountFailed{which, count.result, count.why});
            continue;
        }
        auto known = state_.counts.find(which);
        if (known == state_.counts.end()) {
            state_.counts[which] = count.value;
            emit(event::CountRead{which, count.value, std::nullopt});
        } else if (known->second != count.value) {
            uint16_t before = known->second;
            known->second = count.value;
            emit(event::CountRead{which, count.value, before});
        }
    }
}

void Supervisor::acknowledge(QueuedCommand& request) {
    std::vector<uint64_t>& waiting = state_.unacknowledged;
    std::vector<uint64_t> acknowledged;
    if (!request.sequence) {
        acknowledged.swap(waiting);
    } else if (auto it = std::find(waiting.begin(), waiting.end(), *request.sequence);
               it != waiting.end()) {
        acknowledged.push_back(*it);
        waiting.erase(it);
    } else {
        request.acknowledged.set_value({false, NotWaiting(*request.sequence), {}});
        return;
    }
    if (!acknowledged.empty()) {
        emit(event::Acknowledged{acknowledged, request.operatorName, request.origin});
        publish();
    }
    request.acknowledged.set_value({true, {}, acknowledged});
}

void Supervisor::runCommand(QueuedCommand& command) {
    if (command.acknowledgement) {
        acknowledge(command);
        return;
    }
    CommandResult result;
    if (panel_.channelOpen()) {
        result = panel_.write(command.address, command.value);
    } else {
        result = {RC_FAILED, "the channel is closed"};
    }
    emit(event::Command{command.address, command.value, command.origin, result.result,
                        result.error});
    publish();
    command.outcome.set_value(result);
}

void Supervisor::run(CommandQueue& queue, const std::function<bool()>& stopRequested) {
    // Steps start one interval apart; one that takes longer than the
    // interval is followed by the next at once.
    auto due = Steady::now();
    uint64_t done = 0;
    while (!stopRequested() && (settings_.steps == 0 || done < settings_.steps)) {
        if (waiting_) {
            waiting_();
        }
        if (Steady::now() >= due) {
            due = std::max(due + settings_.interval, Steady::now());
            step();
            ++done;
            continue;
        }
        if (auto command = queue.next(std::min(due, Steady::now() + COMMAND_POLL))) {
            runCommand(*command);
        }
    }
}

void Supervisor::interrupted(const std::string& signal) {
    emit(event::Interrupted{signal});
    publish();
}

} // namespace xolhost
