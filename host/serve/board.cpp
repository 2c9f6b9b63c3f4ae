#include "serve/board.h"

#include <fmt/format.h>

#include <algorithm>

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

} // namespace

Board::Board(const WebSettings& settings, const Site* site) {
    status = {{"channel", "open"},
              {"port", settings.port},
              {"interval", settings.interval},
              {"zone_count", ZONE_COUNT},
              {"commands", settings.allowCommands},
              {"bits", BitsLegend(site)},
              {"last_scan", nullptr},
              {"quality", nullptr},
              {"counts", json::object()}};
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

json Board::eventsAfter(uint64_t since, std::size_t limit) const {
    json list = json::array();
    for (auto it = events.rbegin(); it != events.rend() && list.size() < limit; ++it) {
        if ((*it)["id"].get<uint64_t>() <= since) {
            break;
        }
        list.push_back(*it);
    }
    return list;
}

json Board::zonesWithStatus(const Site* site) const {
    json list = json::array();
    for (int zone = 1; zone <= ZONE_COUNT; ++zone) {
        if (zones[static_cast<std::size_t>(zone)] != 0) {
            list.push_back(ZoneJson(zone, zones[static_cast<std::size_t>(zone)], site));
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
    board_.addEvent(std::move(object));
}

void BoardSink::state(const SupervisionState& state) {
    std::lock_guard lock(board_.mutex);
    board_.lastAttempt = std::chrono::steady_clock::now();
    std::fill(board_.zones.begin(), board_.zones.end(), 0);
    for (const auto& [zone, status] : state.zones) {
        board_.zones[static_cast<std::size_t>(zone)] = status;
    }
    json& s = board_.status;
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
