// The API's read endpoints: zones and one zone, events (JSON pages and the
// CSV export), the health check and the metrics. Every parameter is checked:
// an unknown one or a malformed value is a 400 that says why, never a
// listing that silently ignores the filter.
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <charconv>
#include <set>

#include "journal/journal.h"
#include "journal/journal_forms.h"
#include "present/output.h"
#include "present/site.h"
#include "present/timestamps.h"
#include "serve/api.h"

namespace xolhost {

using nlohmann::json;

namespace {

// A request's parameters, each taken once: an error names the first one
// that is unknown or given twice.
class Params {
public:
    Params(const ApiRequest& request, std::initializer_list<std::string_view> known)
        : request_(request) {
        for (const auto& [key, value] : request.params) {
            if (std::find(known.begin(), known.end(), key) == known.end()) {
                std::vector<std::string_view> names(known.begin(), known.end());
                fail(fmt::format("{}: unknown parameter ({} takes {})", LogText(key), request.path,
                                 names.empty() ? "none"
                                               : fmt::format("{}", fmt::join(names, ", "))));
                return;
            }
            if (request.params.count(key) > 1) {
                fail(fmt::format("{}: given more than once", LogText(key)));
                return;
            }
        }
    }

    const std::string* text(const char* name) const {
        auto given = request_.params.find(name);
        return given != request_.params.end() ? &given->second : nullptr;
    }

    std::optional<uint64_t> number(const char* name, uint64_t low, uint64_t high) {
        const std::string* given = text(name);
        if (given == nullptr) {
            return std::nullopt;
        }
        uint64_t value = 0;
        auto [end, error] = std::from_chars(given->data(), given->data() + given->size(), value);
        if (given->empty() || error != std::errc() || end != given->data() + given->size() ||
            value < low || value > high) {
            fail(fmt::format("{}: must be a whole number {}..{}", name, low, high));
            return std::nullopt;
        }
        return value;
    }

    std::optional<bool> flag(const char* name) {
        const std::string* given = text(name);
        if (given == nullptr) {
            return std::nullopt;
        }
        if (*given == "1" || *given == "true") {
            return true;
        }
        if (*given == "0" || *given == "false") {
            return false;
        }
        fail(fmt::format("{}: must be true or false (1 or 0)", name));
        return std::nullopt;
    }

    // status=ZS_CODE1, a bit's name; or a number, the bits (0: no status).
    std::optional<uint16_t> bits(const char* name) {
        const std::string* given = text(name);
        if (given == nullptr) {
            return std::nullopt;
        }
        for (unsigned bit = 1; bit <= 0x8000; bit <<= 1) {
            if (BitNames(static_cast<uint16_t>(bit)).front() == *given) {
                return static_cast<uint16_t>(bit);
            }
        }
        uint32_t value = 0;
        auto [end, error] = std::from_chars(given->data(), given->data() + given->size(), value);
        if (given->empty() || error != std::errc() || end != given->data() + given->size() ||
            value > 0xFFFF) {
            fail(fmt::format("{}: must be a status bit's name (ZS_CODE1) or a number 0..65535",
                             name));
            return std::nullopt;
        }
        return static_cast<uint16_t>(value);
    }

    // class=alarm: the bits the site gives that class.
    std::optional<uint16_t> classBits(const Site* site) {
        const std::string* given = text("class");
        if (given == nullptr) {
            return std::nullopt;
        }
        const bool known = std::any_of(std::begin(BAND_CLASSES), std::end(BAND_CLASSES),
                                       [&](const char* name) { return *given == name; }) ||
                           *given == "other";
        if (!known) {
            fail("class: must be alarm, fault, supervisory, disabled, other or unclassified");
            return std::nullopt;
        }
        if (site == nullptr && *given != "unclassified") {
            fail("class: the status classes come from the site file (start xolhost with --site)");
            return std::nullopt;
        }
        return ClassBits(*given, site);
    }

    std::optional<WallClock::time_point> time(const char* name) {
        const std::string* given = text(name);
        if (given == nullptr) {
            return std::nullopt;
        }
        std::string why;
        std::optional<WallClock::time_point> at = ParseTimeArgument(*given, why);
        if (!at) {
            fail(fmt::format("{}: {}", name, why));
        }
        return at;
    }

    void fail(std::string why) {
        if (problem_.empty()) {
            problem_ = std::move(why);
        }
    }
    const std::string& problem() const { return problem_; }

private:
    const ApiRequest& request_;
    std::string problem_;
};

ApiReply BadRequest(const std::string& why) {
    return JsonReply({{"error", why}}, 400);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// What /api/zones lists.
struct ZoneFilter {
    std::optional<uint16_t> bits;  // 0: zones with no status
    std::optional<uint16_t> klass; // bits of the class
    std::optional<int> zone;
    std::string name; // part of the address or location, any case
    std::optional<bool> stale;

    // Zones with no status are listed only when asked for by number, name
    // or status 0; otherwise the listing is of the zones with a status.
    bool listsNormal() const { return zone || !name.empty() || bits == 0; }

    bool matches(const Board& board, int z, const Site* site) const {
        const uint16_t status = board.zones[static_cast<std::size_t>(z)];
        if ((zone && *zone != z) || (status == 0 && !listsNormal())) {
            return false;
        }
        if (bits && (*bits == 0 ? status != 0 : (status & *bits) == 0)) {
            return false;
        }
        if (klass && (status & *klass) == 0) {
            return false;
        }
        if (stale && board.zoneStale(z) != *stale) {
            return false;
        }
        if (!name.empty()) {
            const std::string* location = site != nullptr ? site->zoneName(z) : nullptr;
            return Lower(ZoneAddress(z)).find(name) != std::string::npos ||
                   (location != nullptr && Lower(*location).find(name) != std::string::npos);
        }
        return true;
    }
};

// The zone and status fields of an event the board holds, as the journal's
// columns have them.
StoredEvent StoredOf(const json& e) {
    StoredEvent stored;
    stored.sequence = e.value("id", uint64_t{0});
    stored.time = e.value("time", "");
    stored.kind = e.value("event", "");
    if (e.contains("zone") && e["zone"].is_number_integer()) {
        stored.zone = e["zone"].get<int>();
    }
    stored.point = e.value("address", "");
    if (e.contains("status") && e["status"].is_number_integer()) {
        const int now = e["status"].get<int>();
        const int before =
            e.contains("from") && e["from"].is_number_integer() ? e["from"].get<int>() : 0;
        stored.before = before;
        stored.after = now;
        stored.setBits = now & ~before;
        stored.clearedBits = before & ~now;
    } else if (e.contains("from") && e["from"].is_string()) {
        stored.origin = e["from"].get<std::string>();
    }
    stored.cause = e.value("cause", "");
    stored.text = e.value("text", "");
    return stored;
}

// The board's events that a query chooses, newest first (when serve keeps
// no journal).
std::vector<StoredEvent> BoardEvents(const Board& board, const JournalQuery& query,
                                     std::vector<json>& bodies) {
    std::vector<StoredEvent> found;
    for (auto it = board.events.rbegin(); it != board.events.rend(); ++it) {
        if (query.limit > 0 && found.size() >= query.limit) {
            break;
        }
        StoredEvent e = StoredOf(*it);
        std::string ignored;
        std::optional<WallClock::time_point> at = ParseTimeArgument(e.time, ignored);
        if ((query.before && e.sequence >= *query.before) || (query.zone && e.zone != query.zone) ||
            (query.kind && e.kind != *query.kind) ||
            (query.bits &&
             ((e.setBits.value_or(0) | e.clearedBits.value_or(0)) & *query.bits) == 0) ||
            (query.since && (!at || *at < *query.since)) ||
            (query.until && (!at || *at > *query.until))) {
            continue;
        }
        found.push_back(std::move(e));
        bodies.push_back(*it);
    }
    return found;
}

std::string EventsCsv(const std::vector<StoredEvent>& newestFirst) {
    std::string csv = std::string(EVENT_CSV_HEADER) + "\r\n";
    for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it) {
        csv += CsvLine(*it) + "\r\n";
    }
    return csv;
}

} // namespace

ApiReply Api::zones(const ApiRequest& request) {
    const Site* site = out_.site();
    Params params(request, {"status", "class", "zone", "name", "stale", "names"});
    ZoneFilter filter;
    filter.bits = params.bits("status");
    filter.klass = params.classBits(site);
    if (auto zone = params.number("zone", 1, ZONE_COUNT)) {
        filter.zone = static_cast<int>(*zone);
    }
    if (const std::string* name = params.text("name")) {
        filter.name = Lower(*name);
        if (filter.name.empty() || filter.name.size() > 64) {
            params.fail("name: must be 1..64 characters");
        }
    }
    filter.stale = params.flag("stale");
    const std::optional<bool> withNames = params.flag("names");
    if (!params.problem().empty()) {
        return BadRequest(params.problem());
    }
    json list = json::array();
    json body;
    {
        std::lock_guard lock(board_.mutex);
        for (int z = 1; z <= ZONE_COUNT; ++z) {
            if (filter.matches(board_, z, site)) {
                list.push_back(board_.zoneEntry(z, site));
            }
        }
        body = {{"zone_count", ZONE_COUNT},
                {"zones", std::move(list)},
                {"stale", board_.stale},
                {"last_scan", board_.status["last_scan"]}};
    }
    if (withNames.value_or(false) && site != nullptr) {
        json names = json::object();
        for (const auto& [zone, name] : site->zones) {
            names[std::to_string(zone)] = name;
        }
        body["names"] = names;
    }
    return JsonReply(body);
}

ApiReply Api::zone(const ApiRequest& request) {
    const std::string number = request.path.substr(std::string("/api/zones/").size());
    int zone = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), zone);
    if (number.empty() || error != std::errc() || end != number.data() + number.size() ||
        zone < 1 || zone > ZONE_COUNT) {
        return JsonReply({{"error", fmt::format("zone: must be a zone number 1..{}", ZONE_COUNT)}},
                         404);
    }
    Params params(request, {});
    if (!params.problem().empty()) {
        return BadRequest(params.problem());
    }
    std::lock_guard lock(board_.mutex);
    return JsonReply(board_.zoneEntry(zone, out_.site()));
}

// Newest first: a page of at most `limit` events below `before`, only
// those after `since` and chosen by zone, class, status bits, kind and
// time. From the journal when serve keeps one, else from the events the
// board holds. The CSV export takes the same filters.
ApiReply Api::events(const ApiRequest& request, bool csv) {
    Params params(
        request, {"since", "before", "limit", "zone", "class", "status", "event", "from", "until"});
    JournalQuery query;
    query.newestFirst = true;
    const uint64_t since = params.number("since", 0, INT64_MAX).value_or(0);
    query.before = params.number("before", 1, INT64_MAX);
    const std::size_t most = csv ? MAX_CSV_EVENTS : MAX_PAGE_EVENTS;
    query.limit = static_cast<std::size_t>(
        params.number("limit", 1, most).value_or(csv ? CSV_EVENTS : PAGE_EVENTS));
    if (auto zone = params.number("zone", 1, ZONE_COUNT)) {
        query.zone = static_cast<int>(*zone);
    }
    std::optional<uint16_t> klass = params.classBits(out_.site());
    std::optional<uint16_t> bits = params.bits("status");
    if (klass || bits) {
        query.bits = static_cast<uint16_t>(klass.value_or(0xFFFF) & bits.value_or(0xFFFF));
    }
    if (const std::string* kind = params.text("event")) {
        if (kind->empty() || kind->size() > 32 ||
            kind->find_first_not_of("abcdefghijklmnopqrstuvwxyz_") != std::string::npos) {
            params.fail("event: must be an event's name, for instance change or scan_failed");
        }
        query.kind = *kind;
    }
    query.since = params.time("from");
    query.until = params.time("until");
    if (!params.problem().empty()) {
        return BadRequest(params.problem());
    }
    std::vector<json> bodies;
    std::optional<std::vector<StoredEvent>> found = journalEvents(query);
    if (!found) {
        std::lock_guard lock(board_.mutex);
        found = BoardEvents(board_, query, bodies);
    }
    std::erase_if(*found, [&](const StoredEvent& e) { return e.sequence <= since; });
    if (csv) {
        return {200, EventsCsv(*found), false, "text/csv; charset=utf-8"};
    }
    json list = json::array();
    for (std::size_t i = 0; i < found->size(); ++i) {
        StoredEvent& e = (*found)[i];
        json body = i < bodies.size()    ? std::move(bodies[i])
                    : e.body.is_object() ? std::move(e.body)
                                         : json::object();
        body["id"] = e.sequence;
        body["text"] = e.text;
        list.push_back(std::move(body));
    }
    return JsonReply({{"events", std::move(list)}});
}

// Nothing when there is no journal to read, or it cannot be read now.
std::optional<std::vector<StoredEvent>> Api::journalEvents(const JournalQuery& query) {
    std::lock_guard lock(journalMutex_);
    if (!journal_) {
        return std::nullopt;
    }
    try {
        return journal_->events(query);
    } catch (const std::exception& e) {
        out_.error(fmt::format("serve: the journal cannot be read: {}", e.what()));
        return std::nullopt;
    }
}

// The process is healthy while the supervising thread keeps trying scans
// and the journal takes the events: 503 only for those faults. The panel
// line's state is in the body, and with ?line=1 a stale line is a 503 too,
// for monitors that alarm on lost communication.
ApiReply Api::health(const ApiRequest& request) {
    Params params(request, {"line"});
    const bool askLine = params.flag("line").value_or(false);
    if (!params.problem().empty()) {
        return BadRequest(params.problem());
    }
    auto limit = std::chrono::duration<double>(std::max(3 * settings_.interval, 30.0));
    std::lock_guard lock(board_.mutex);
    const json& status = board_.status;
    const bool alive = std::chrono::steady_clock::now() - board_.lastAttempt < limit;
    const bool journaling = status.value("journal", "none") != "failing";
    const std::string channel = status.value("channel", "opening");
    const bool lineOk = channel == "open" && !board_.stale && board_.lastCompletedScan;
    json body = {{"status", !alive       ? "stalled"
                            : journaling ? "ok"
                                         : "journal_failing"},
                 {"channel", channel},
                 {"line", lineOk ? "ok" : "failing"},
                 {"stale", board_.stale},
                 {"last_scan", status.value("last_scan", json(nullptr))},
                 {"journal", status.value("journal", "none")}};
    return JsonReply(body, alive && journaling && (!askLine || lineOk) ? 200 : 503);
}

namespace {

// One metric in the text exposition format: its help, type and samples.
void Metric(std::string& text, const char* name, const char* type, const char* help,
            const std::vector<std::pair<std::string, double>>& samples) {
    if (samples.empty()) {
        return;
    }
    text += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
    for (const auto& [labels, value] : samples) {
        text += fmt::format("{}{} {}\n", name, labels, value);
    }
}

// The scans' running totals.
void ScanMetrics(std::string& text, const json& s, const ScanTotals& t) {
    const auto scans = s.value("scans", uint64_t{0});
    const auto failed = s.value("failed_scans", uint64_t{0});
    Metric(text, "xolest_scans_total", "counter", "Scan attempts by result.",
           {{"{result=\"done\"}", static_cast<double>(scans - std::min(failed, scans))},
            {"{result=\"failed\"}", static_cast<double>(failed)}});
    Metric(text, "xolest_scans_incomplete_total", "counter",
           "Completed scans that lost records (their clears held).",
           {{"", static_cast<double>(t.incomplete)}});
    Metric(text, "xolest_scan_records_total", "counter", "Status records read whole.",
           {{"", static_cast<double>(t.records)}});
    Metric(text, "xolest_scan_bad_checksums_total", "counter",
           "Status records that failed their checksum.",
           {{"", static_cast<double>(t.badChecksums)}});
    Metric(text, "xolest_scan_restarts_total", "counter", "Scan attempts begun again.",
           {{"", static_cast<double>(t.restarts)}});
    Metric(text, "xolest_stray_bytes_total", "counter", "Panel bytes outside any frame.",
           {{"", static_cast<double>(t.strayBytes)}});
}

} // namespace

ApiReply Api::metrics(const ApiRequest& request) {
    Params params(request, {});
    if (!params.problem().empty()) {
        return BadRequest(params.problem());
    }
    std::vector<OutputStatus> outputs;
    {
        std::lock_guard lock(outputsMutex_);
        for (const auto& status : outputs_) {
            outputs.push_back(status());
        }
    }
    std::string text;
    std::lock_guard lock(board_.mutex);
    const json& s = board_.status;
    const ScanTotals& t = board_.totals;
    ScanMetrics(text, s, t);
    if (board_.lastCompletedScan) {
        Metric(text, "xolest_last_completed_scan_timestamp_seconds", "gauge",
               "When the last completed scan ended (Unix time).",
               {{"", std::chrono::duration<double>(board_.lastCompletedScan->time_since_epoch())
                         .count()}});
    }
    if (s.contains("scan_seconds")) {
        Metric(text, "xolest_last_completed_scan_duration_seconds", "gauge",
               "How long the last completed scan took.", {{"", s["scan_seconds"].get<double>()}});
    }
    Metric(text, "xolest_zones_with_status", "gauge", "Zones in a status.",
           {{"", s.value("zones_with_status", 0.0)}});
    Metric(text, "xolest_unacknowledged_events", "gauge", "Events waiting for acknowledgement.",
           {{"", s.value("unacknowledged_count", 0.0)}});
    const std::string channel = s.value("channel", "open");
    std::vector<std::pair<std::string, double>> states;
    for (const char* state : {"open", "failing", "closed"}) {
        states.emplace_back(fmt::format("{{state=\"{}\"}}", state), channel == state ? 1 : 0);
    }
    Metric(text, "xolest_channel_state", "gauge", "The serial channel's state (1: current).",
           states);
    Metric(text, "xolest_statuses_stale", "gauge",
           "1 while the statuses are not confirmed by the last scan attempt.",
           {{"", board_.stale ? 1.0 : 0.0}});
    Metric(text, "xolest_journal_failures_total", "counter",
           "Steps whose events the journal could not take.",
           {{"", static_cast<double>(t.journalFailures)}});
    std::vector<std::pair<std::string, double>> counts;
    for (const auto& [which, value] : s["counts"].items()) {
        counts.emplace_back(fmt::format("{{count=\"{}\"}}", which), value.get<double>());
    }
    Metric(text, "xolest_panel_count_value", "gauge", "The panel's counts as last read.", counts);
    std::vector<std::pair<std::string, double>> connected, waiting;
    for (const OutputStatus& output : outputs) {
        const std::string label = fmt::format("{{output=\"{}\"}}", output.name);
        connected.emplace_back(label, output.connected ? 1 : 0);
        waiting.emplace_back(label, static_cast<double>(output.waiting));
    }
    Metric(text, "xolest_output_connected", "gauge", "1 while the output is connected.", connected);
    Metric(text, "xolest_output_waiting_events", "gauge", "Events not yet delivered.", waiting);
    return {200, text, false, "text/plain; version=0.0.4; charset=utf-8"};
}

} // namespace xolhost
