#include "outputs/output_feed.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "journal/journal.h"
#include "sinks/event_forms.h"

namespace xolhost {

namespace {

// The zone an event is about, or 0.
int ZoneOf(const EventBody& body) {
    if (const auto* initial = std::get_if<event::ZoneInitial>(&body)) {
        return initial->zone;
    }
    const auto* change = std::get_if<event::ZoneChanged>(&body);
    return change != nullptr ? change->zone : 0;
}

} // namespace

OutputFeed::OutputFeed(FeedSettings settings)
    : settings_(std::move(settings)), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (settings_.journalPath.empty()) {
        return;
    }
    journal_ = Journal::OpenForOutput(settings_.journalPath);
    JournalQuery last;
    last.newestFirst = true;
    last.limit = 1;
    for (const StoredEvent& e : journal_->events(last)) {
        newest_ = e.sequence;
    }
    // Never delivered from this journal: from this run's events on, and
    // from here after a restart.
    std::optional<uint64_t> kept = journal_->delivered(settings_.output);
    delivered_ = kept.value_or(newest_);
    kept_ = delivered_;
    if (!kept && settings_.events) {
        journal_->setDelivered(settings_.output, delivered_);
    }
    JournalQuery waiting;
    waiting.unacknowledged = true;
    for (const StoredEvent& e : journal_->events(waiting)) {
        if (e.zone) {
            zoneOfWaiting_[e.sequence] = *e.zone;
        }
    }
}

OutputFeed::~OutputFeed() {
    keepDelivered(true);
    ::close(wake_);
}

void OutputFeed::nudge() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wake_, &one, sizeof one);
}

void OutputFeed::drainWake() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t ignored = ::read(wake_, &count, sizeof count);
}

uint64_t OutputFeed::newest() const {
    std::lock_guard lock(mutex_);
    return newest_;
}

void OutputFeed::event(const Event& event) {
    std::lock_guard lock(mutex_);
    newest_ = std::max(newest_, event.sequence);
    if (event.waitsForAcknowledgement && ZoneOf(event.body) != 0) {
        zoneOfWaiting_[event.sequence] = ZoneOf(event.body);
    }
    if (journal_ || !settings_.events) {
        return;
    }
    queue_.push_back(event);
    if (queue_.size() > settings_.capacity) {
        queue_.pop_front();
        ++dropped_;
    }
    news_.notify_all();
    nudge();
}

void OutputFeed::state(const SupervisionState& state) {
    std::lock_guard lock(mutex_);
    latest_.state = state;
    latest_.unacknowledgedZones.clear();
    std::map<uint64_t, int> still;
    for (uint64_t sequence : state.unacknowledged) {
        if (auto zone = zoneOfWaiting_.find(sequence); zone != zoneOfWaiting_.end()) {
            still.insert(*zone);
            latest_.unacknowledgedZones.insert(zone->second);
        }
    }
    zoneOfWaiting_ = std::move(still);
    fresh_ = true;
    news_.notify_all();
    nudge();
}

void OutputFeed::wait(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mutex_);
    news_.wait_until(lock, until, [&] { return stop_ || fresh_; });
}

void OutputFeed::stop() {
    std::lock_guard lock(mutex_);
    stop_ = true;
    news_.notify_all();
    nudge();
}

bool OutputFeed::stopping() const {
    std::lock_guard lock(mutex_);
    return stop_;
}

std::optional<FedState> OutputFeed::takeState() {
    std::lock_guard lock(mutex_);
    if (!fresh_) {
        return std::nullopt;
    }
    fresh_ = false;
    return latest_;
}

std::vector<FedEvent> OutputFeed::eventsAfter(uint64_t sequence, std::size_t limit) {
    std::vector<FedEvent> found;
    if (journal_) {
        JournalQuery query;
        query.after = sequence;
        query.limit = limit;
        try {
            for (StoredEvent& e : journal_->events(query)) {
                found.push_back({e.sequence, std::move(e.body)});
            }
        } catch (const JournalError&) {
            // Busy or failing: the next round asks again.
        }
        return found;
    }
    std::vector<Event> picked;
    {
        std::lock_guard lock(mutex_);
        for (const Event& e : queue_) {
            if (e.sequence > sequence && picked.size() < limit) {
                picked.push_back(e);
            }
        }
    }
    for (const Event& e : picked) { // formed outside the lock
        found.push_back({e.sequence, EventJson(e, settings_.site, settings_.utc)});
    }
    return found;
}

void OutputFeed::delivered(uint64_t sequence) {
    {
        std::lock_guard lock(mutex_);
        delivered_ = std::max(delivered_, sequence);
        while (!queue_.empty() && queue_.front().sequence <= delivered_) {
            queue_.pop_front();
        }
    }
    keepDelivered(false);
}

void OutputFeed::keepDelivered(bool now) {
    if (!journal_) {
        return;
    }
    const auto at = std::chrono::steady_clock::now();
    const uint64_t sequence = lastDelivered();
    if (sequence == kept_ || (!now && at - keptAt_ < std::chrono::seconds(1))) {
        return;
    }
    try {
        journal_->setDelivered(settings_.output, sequence);
        kept_ = sequence;
        keptAt_ = at;
    } catch (const JournalError&) {
        // The supervisor holds the file for a moment: kept on a later round.
    }
}

uint64_t OutputFeed::lastDelivered() const {
    std::lock_guard lock(mutex_);
    return delivered_;
}

uint64_t OutputFeed::waiting() const {
    std::lock_guard lock(mutex_);
    if (journal_) {
        return newest_ > delivered_ ? newest_ - delivered_ : 0;
    }
    return queue_.size();
}

uint64_t OutputFeed::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

} // namespace xolhost
