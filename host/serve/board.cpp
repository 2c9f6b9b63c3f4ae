#include "serve/board.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "journal/journal.h"
#include "journal/journal_forms.h"
#include "present/output.h"
#include "present/site.h"
#include "present/timestamps.h"
#include "sinks/event_forms.h"

namespace xolhost {

using nlohmann::json;

namespace {

std::string Dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Message(const char* type, const json& data) {
    return fmt::format("event: {}\ndata: {}\n\n", type, Dump(data));
}

json BitsLegend(const Site* site) {
    json legend = json::array();
    for (unsigned bit : {ZS_CODE1, ZS_CODE2, ZS_CODE3, ZS_CODE7, ZS_CODE8}) {
        json entry = {{"value", bit}, {"name", BitNames(static_cast<uint16_t>(bit)).front()}};
        entry["class"] = StatusClasses(static_cast<uint16_t>(bit), site).front();
        int code = CodeOfStatusBit(bit);
        if (site != nullptr && code != 0) {
            if (const std::string* meaning = site->codeName(code)) {
                entry["meaning"] = *meaning;
            }
        }
        legend.push_back(entry);
    }
    return legend;
}

uint16_t SetBits(const EventBody& body) {
    if (const auto* initial = std::get_if<event::ZoneInitial>(&body)) {
        return initial->status;
    }
    const auto* change = std::get_if<event::ZoneChanged>(&body);
    return change != nullptr ? change->set() : 0;
}

// An alarm is an event that set a bit whose status code the site classes
// as "alarm"; without a site nothing is one.
bool IsAlarm(uint16_t set, const Site* site) {
    for (unsigned bit = 1; site != nullptr && bit <= 0x8000; bit <<= 1) {
        const int code = (set & bit) != 0 ? CodeOfStatusBit(bit) : 0;
        const std::string* kind = code != 0 ? site->codeClass(code) : nullptr;
        if (kind != nullptr && *kind == "alarm") {
            return true;
        }
    }
    return false;
}

} // namespace

std::vector<std::string> StatusClasses(uint16_t status, const Site* site) {
    std::set<std::string> found;
    for (unsigned bit = 1; bit <= 0x8000; bit <<= 1) {
        if ((status & bit) != 0) {
            const int code = CodeOfStatusBit(bit);
            const std::string* kind =
                site != nullptr && code != 0 ? site->codeClass(code) : nullptr;
            found.insert(kind != nullptr ? *kind : "unclassified");
        }
    }
    std::vector<std::string> ordered;
    for (const char* name : BAND_CLASSES) {
        if (found.erase(name) > 0) {
            ordered.emplace_back(name);
        }
    }
    ordered.insert(ordered.end(), found.begin(), found.end()); // "other"
    return ordered;
}

uint16_t ClassBits(const std::string& name, const Site* site) {
    uint16_t bits = 0;
    for (unsigned bit = 1; bit <= 0x8000; bit <<= 1) {
        const std::vector<std::string> classes = StatusClasses(static_cast<uint16_t>(bit), site);
        if (classes.front() == name) {
            bits |= static_cast<uint16_t>(bit);
        }
    }
    return bits;
}

Board::Board(const WebSettings& settings, const Site* site) : utc(settings.utc) {
    status = {{"channel", "open"},
              {"port", settings.port},
              {"interval", settings.interval},
              {"zone_count", ZONE_COUNT},
              {"commands", settings.allowCommands},
              {"acknowledgements", !settings.tokenFile.empty()},
              {"bits", BitsLegend(site)},
              {"last_scan", nullptr},
              {"quality", nullptr},
              {"counts", json::object()},
              {"stale", false},
              {"unconfirmed_since", nullptr},
              {"no_answer_since", nullptr},
              {"journal", "none"},
              {"unacknowledged", json::array()},
              {"unacknowledged_count", 0},
              {"unacknowledged_alarms", 0},
              {"band", nullptr}};
    if (site != nullptr && !site->name.empty()) {
        status["site"] = site->name;
    }
}

void Board::addEvent(json event) {
    std::lock_guard lock(mutex);
    nextEventId = event["id"].get<uint64_t>() + 1;
    events.push_back(std::move(event));
    if (events.size() > KEPT_EVENTS) {
        events.pop_front();
    }
    ++version;
    changed.notify_all();
}

json Board::eventsAfter(uint64_t since, std::size_t limit, uint64_t before) const {
    json list = json::array();
    for (auto it = events.rbegin(); it != events.rend() && list.size() < limit; ++it) {
        const auto id = (*it)["id"].get<uint64_t>();
        if (id <= since) {
            break;
        }
        if (id < before) {
            list.push_back(*it);
        }
    }
    return list;
}

json Board::zonesWithStatus(const Site* site) const {
    json list = json::array();
    for (int zone = 1; zone <= ZONE_COUNT; ++zone) {
        if (zones[static_cast<std::size_t>(zone)] != 0) {
            json entry = ZoneJson(zone, zones[static_cast<std::size_t>(zone)], site);
            if (auto at = confirmedAt.find(zone); at != confirmedAt.end()) {
                entry["confirmed_at"] = Rfc3339(at->second, utc);
            }
            list.push_back(std::move(entry));
        }
    }
    return list;
}

bool Board::zoneStale(int zone) const {
    auto at = confirmedAt.find(zone);
    return stale ||
           (at != confirmedAt.end() && lastCompletedScan && at->second < *lastCompletedScan);
}

json Board::zoneEntry(int zone, const Site* site) const {
    const uint16_t status = zones[static_cast<std::size_t>(zone)];
    json entry = ZoneJson(zone, status, site);
    entry["classes"] = status != 0 ? json(StatusClasses(status, site)) : json::array();
    if (auto at = confirmedAt.find(zone); at != confirmedAt.end()) {
        entry["confirmed_at"] = Rfc3339(at->second, utc);
    } else if (lastCompletedScan) {
        entry["confirmed_at"] = Rfc3339(*lastCompletedScan, utc);
    } else {
        entry["confirmed_at"] = nullptr;
    }
    entry["stale"] = zoneStale(zone);
    return entry;
}

void Board::stop() {
    std::lock_guard lock(mutex);
    stopping = true;
    changed.notify_all();
}

void BoardSink::event(const Event& event) {
    if (const auto* initial = std::get_if<event::ZoneInitial>(&event.body)) {
        since_[initial->zone] = event.time;
        setBy_[initial->zone] = event.sequence;
    } else if (const auto* change = std::get_if<event::ZoneChanged>(&event.body)) {
        if (change->now == 0) {
            since_.erase(change->zone);
            setBy_.erase(change->zone);
        } else if (change->set() != 0) {
            since_[change->zone] = event.time;
            setBy_[change->zone] = event.sequence;
        }
    } else if (std::holds_alternative<event::ScanIncomplete>(event.body)) {
        std::lock_guard lock(board_.mutex);
        ++board_.totals.incomplete;
    }
    json object = EventJson(event, site_, utc_);
    object["id"] = event.sequence;
    object["text"] = EventText(event, site_, utc_);
    if (event.waitsForAcknowledgement) {
        json waiting = object;
        waiting["alarm"] = IsAlarm(SetBits(event.body), site_);
        waiting_[event.sequence] = std::move(waiting);
    }
    board_.addEvent(std::move(object));
}

void BoardSink::setJournal(const Journal* journal) {
    journal_ = journal;
    // Those not found before are looked for in it.
    for (uint64_t sequence : unknown_) {
        waiting_.erase(sequence);
    }
    unknown_.clear();
}

// Waiting events this board never saw, kept by an earlier run: from the
// journal, in one query; one it does not hold either is listed by number.
void BoardSink::lookUp(const std::vector<uint64_t>& sequences) {
    std::set<uint64_t> missing;
    for (uint64_t sequence : sequences) {
        if (!waiting_.contains(sequence)) {
            missing.insert(sequence);
        }
    }
    if (!missing.empty() && journal_ != nullptr) {
        JournalQuery query;
        query.unacknowledged = true;
        try {
            for (const StoredEvent& e : journal_->events(query)) {
                if (missing.contains(e.sequence)) {
                    json body = e.body.is_object() ? e.body : json::object();
                    body["id"] = e.sequence;
                    body["text"] = e.text;
                    body["alarm"] = IsAlarm(static_cast<uint16_t>(e.setBits.value_or(0)), site_);
                    waiting_[e.sequence] = std::move(body);
                }
            }
        } catch (const std::exception&) {
            // A journal that cannot be read now leaves them listed by number.
        }
    }
    for (uint64_t sequence : missing) {
        if (waiting_.contains(sequence)) {
            continue;
        }
        unknown_.insert(sequence);
        waiting_.emplace(sequence, json{{"id", sequence},
                                        {"seq", sequence},
                                        {"event", "unknown"},
                                        {"text", fmt::format("event #{}", sequence)},
                                        {"alarm", false}});
    }
}

json BoardSink::unacknowledged(const std::vector<uint64_t>& sequences, std::size_t& alarms) {
    const std::set<uint64_t> wanted(sequences.begin(), sequences.end());
    std::erase_if(waiting_, [&](const auto& entry) { return !wanted.contains(entry.first); });
    std::erase_if(unknown_, [&](uint64_t sequence) { return !wanted.contains(sequence); });
    lookUp(sequences);
    json first = json::array();
    json rest = json::array();
    alarms = 0;
    for (uint64_t sequence : sequences) {
        const json& body = waiting_.at(sequence);
        const bool alarm = body.value("alarm", false);
        alarms += alarm ? 1 : 0;
        json& list = alarm ? first : rest;
        if (list.size() < SHOWN_UNACKNOWLEDGED) {
            list.push_back(body);
        }
    }
    for (json& body : rest) {
        if (first.size() >= SHOWN_UNACKNOWLEDGED) {
            break;
        }
        first.push_back(std::move(body));
    }
    return first;
}

// When the zones an earlier run found took their status: from the
// journal's newest event of each zone, in one query, once.
void BoardSink::lookUpSince(const SupervisionState& state) {
    if (journal_ == nullptr || sinceLookedUp_) {
        return;
    }
    sinceLookedUp_ = true;
    std::set<int> missing;
    for (const auto& [zone, status] : state.zones) {
        if (!since_.contains(zone)) {
            missing.insert(zone);
        }
    }
    if (missing.empty()) {
        return;
    }
    JournalQuery query;
    query.newestFirst = true;
    query.limit = 100000; // bounded: a journal's last days of zone events
    try {
        for (const StoredEvent& e : journal_->events(query)) {
            if (e.zone && missing.contains(*e.zone) && e.setBits.value_or(0) != 0) {
                std::string ignored;
                if (auto at = ParseTimeArgument(e.time, ignored)) {
                    since_[*e.zone] = *at;
                    setBy_[*e.zone] = e.sequence;
                }
                missing.erase(*e.zone);
            }
            if (missing.empty()) {
                break;
            }
        }
    } catch (const std::exception&) {
        // Not readable now: those zones show no time.
    }
}

json BoardSink::band(const SupervisionState& state) {
    lookUpSince(state);
    const std::set<uint64_t> waiting(state.unacknowledged.begin(), state.unacknowledged.end());
    json lists = json::object();
    json counts = json::object();
    for (const char* name : BAND_CLASSES) {
        lists[name] = json::array();
        counts[name] = 0;
    }
    for (const auto& [zone, status] : state.zones) {
        const std::vector<std::string> classes = StatusClasses(status, site_);
        const std::string& first = classes.front();
        if (!lists.contains(first)) {
            continue; // "other": on the grid only
        }
        counts[first] = counts[first].get<int>() + 1;
        if (lists[first].size() >= SHOWN_PER_CLASS) {
            continue;
        }
        json entry = ZoneJson(zone, status, site_);
        entry["classes"] = classes;
        auto since = since_.find(zone);
        entry["since"] = since != since_.end() ? json(Rfc3339(since->second, utc_)) : json(nullptr);
        auto by = setBy_.find(zone);
        entry["seq"] = by != setBy_.end() ? json(by->second) : json(nullptr);
        entry["acknowledged"] =
            by != setBy_.end() ? json(!waiting.contains(by->second)) : json(nullptr);
        lists[first].push_back(std::move(entry));
    }
    return {{"zones", lists}, {"counts", counts}};
}

void BoardSink::totals(const SupervisionState& state) {
    ScanTotals& t = board_.totals;
    if (state.scans != scansSeen_ && state.lastScan && state.lastScan->watched) {
        t.records += state.lastScan->figures.records;
        t.badChecksums += state.lastScan->figures.badChecksums;
        t.restarts += state.lastScan->figures.restarts;
        t.strayBytes += state.lastScan->figures.strayBytes;
    }
    scansSeen_ = state.scans;
    t.journalFailures += state.journalFailing ? 1 : 0;
}

void BoardSink::state(const SupervisionState& state) {
    std::size_t alarms = 0;
    json waiting = unacknowledged(state.unacknowledged, alarms); // may read the journal: unlocked
    json active = band(state);
    // A failed scan leaves the channel failing or closed; only a completed
    // scan ends the silence.
    if (!state.stale) {
        noAnswerSince_.reset();
    } else if (state.channel != ChannelState::Open && !noAnswerSince_) {
        noAnswerSince_ = WallClock::now();
    }
    std::lock_guard lock(board_.mutex);
    totals(state);
    board_.stale = state.stale;
    board_.lastCompletedScan = state.lastCompletedScan;
    board_.lastAttempt = std::chrono::steady_clock::now();
    std::fill(board_.zones.begin(), board_.zones.end(), 0);
    for (const auto& [zone, status] : state.zones) {
        if (zone >= 1 && zone <= ZONE_COUNT) {
            board_.zones[static_cast<std::size_t>(zone)] = status;
        }
    }
    board_.confirmedAt = state.confirmedAt;
    json& s = board_.status;
    s["stale"] = state.stale;
    s["unconfirmed_since"] = state.stale && state.lastCompletedScan
                                 ? json(Rfc3339(*state.lastCompletedScan, utc_))
                                 : json(nullptr);
    s["no_answer_since"] = noAnswerSince_ ? json(Rfc3339(*noAnswerSince_, utc_)) : json(nullptr);
    s["journal"] = state.journal;
    s["unacknowledged"] = std::move(waiting);
    s["unacknowledged_count"] = state.unacknowledged.size();
    s["unacknowledged_alarms"] = alarms;
    s["band"] = std::move(active);
    s["channel"] = ChannelStateName(state.channel);
    s["reopens"] = state.reopens;
    s["scans"] = state.scans;
    s["failed_scans"] = state.failedScans;
    s["zones_with_status"] = state.zones.size();
    s["last_scan"] =
        state.lastCompletedScan ? json(Rfc3339(*state.lastCompletedScan, utc_)) : json(nullptr);
    json counts = json::object();
    for (const auto& [which, value] : state.counts) {
        counts[std::string(1, which)] = value;
    }
    s["counts"] = counts;
    if (state.lastScan && state.lastScan->result == RC_DONE) {
        s["scan_seconds"] = state.lastScan->seconds;
        s["quality"] =
            state.lastScan->watched ? FiguresJson(state.lastScan->figures) : json(nullptr);
    }
    ++board_.version;
    board_.changed.notify_all();
}

std::string NextChunk(Board& board, Stream& stream, bool& stop) {
    std::unique_lock lock(board.mutex);
    if (!stream.started) {
        stream.started = true;
        stream.version = board.version;
        stream.lastEvent = board.nextEventId - 1;
        stream.zones = board.zones;
        json zones = json::object();
        for (int zone = 1; zone <= ZONE_COUNT; ++zone) {
            if (uint16_t status = board.zones[static_cast<std::size_t>(zone)]; status != 0) {
                zones[std::to_string(zone)] = status;
            }
        }
        return Message("snapshot", {{"status", board.status},
                                    {"zones", zones},
                                    {"events", board.eventsAfter(0, SNAPSHOT_EVENTS)}});
    }
    board.changed.wait_for(lock, std::chrono::seconds(15),
                           [&] { return board.stopping || board.version != stream.version; });
    if (board.stopping) {
        stop = true;
        return {};
    }
    if (board.version == stream.version) {
        return ": still here\n\n"; // finds pages that went away
    }
    stream.version = board.version;
    std::string chunk;
    json fresh = board.eventsAfter(stream.lastEvent, KEPT_EVENTS);
    for (auto it = fresh.rbegin(); it != fresh.rend(); ++it) {
        chunk += Message("event", *it);
    }
    stream.lastEvent = board.nextEventId - 1;
    json zones = json::object();
    for (int zone = 1; zone <= ZONE_COUNT; ++zone) {
        auto i = static_cast<std::size_t>(zone);
        if (board.zones[i] != stream.zones[i]) {
            zones[std::to_string(zone)] = board.zones[i];
        }
    }
    stream.zones = board.zones;
    if (!zones.empty()) {
        chunk += Message("zones", zones);
    }
    chunk += Message("status", board.status);
    return chunk;
}

} // namespace xolhost
