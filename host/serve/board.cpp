#include "serve/board.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "journal/journal.h"
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

const char* ChannelName(ChannelState state) {
    switch (state) {
    case ChannelState::Open:
        return "open";
    case ChannelState::Failing:
        return "failing";
    default:
        return "closed";
    }
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
              {"journal", "none"},
              {"unacknowledged", json::array()},
              {"unacknowledged_count", 0},
              {"unacknowledged_alarms", 0}};
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

void Board::stop() {
    std::lock_guard lock(mutex);
    stopping = true;
    changed.notify_all();
}

void BoardSink::event(const Event& event) {
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

void BoardSink::state(const SupervisionState& state) {
    std::size_t alarms = 0;
    json waiting = unacknowledged(state.unacknowledged, alarms); // may read the journal: unlocked
    std::lock_guard lock(board_.mutex);
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
    s["journal"] = state.journal;
    s["unacknowledged"] = std::move(waiting);
    s["unacknowledged_count"] = state.unacknowledged.size();
    s["unacknowledged_alarms"] = alarms;
    s["channel"] = ChannelName(state.channel);
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
