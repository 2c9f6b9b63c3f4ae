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

} // namespace

Supervisor::Supervisor(SupervisedPanel& panel, SupervisionSettings settings, Clock clock)
    : panel_(panel), settings_(settings), clock_(std::move(clock)) {
    state_.channel = panel_.channelOpen() ? ChannelState::Open : ChannelState::Closed;
}

void Supervisor::emit(EventBody body) {
    pending_.push_back(Event{++sequence_, clock_(), std::move(body)});
}

void Supervisor::publish() {
    if (journal_ != nullptr) {
        // What the journal could not take waits, in order, and goes first.
        unjournaled_.insert(unjournaled_.end(), pending_.begin(), pending_.end());
        bool committed = journal_->commit(unjournaled_, state_);
        state_.journalFailing = !committed;
        if (committed) {
            unjournaled_.clear();
        } else if (unjournaled_.size() > MAX_UNJOURNALED) {
            unjournaled_.erase(unjournaled_.begin(),
                               unjournaled_.begin() + static_cast<std::ptrdiff_t>(
                                                          unjournaled_.size() - MAX_UNJOURNALED));
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

void Supervisor::resume(const Resumption& from) {
    sequence_ = std::max(sequence_, from.lastSequence);
    state_.zones = from.zones;
    state_.counts = from.counts;
    first_ = false;
    emit(event::SupervisionStarted{from.lastSequence == 0 ? std::nullopt
                                                          : std::optional(from.lastSequence),
                                   from.lastEventTime});
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
        emit(event::ScanFailed{scan.result, scan.why});
    }
    failing_ = true;
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
    if (!clean) {
        emit(event::ScanIncomplete{scan.figures, held});
    }
    if (first_ && state_.zones.empty()) {
        emit(event::NoZoneStatus{});
    }
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

void Supervisor::runCommand(QueuedCommand& command) {
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
