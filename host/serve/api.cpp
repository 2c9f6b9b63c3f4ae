#include "serve/api.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <future>

#include "codec/input_file.h"
#include "codec/json_input.h"
#include "journal/journal.h"
#include "platform/exit_codes.h"
#include "present/output.h"
#include "present/site.h"

namespace xolhost {

using nlohmann::json;

namespace {

std::string Dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

ApiReply Reply(const json& body, int status = 200) {
    return {status, Dump(body), false};
}

// Compares in time independent of where the texts differ.
bool SameToken(const std::string& given, const std::string& token) {
    if (token.empty()) {
        return false; // no token: nothing matches
    }
    unsigned char difference = given.size() == token.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ token[i % token.size()]);
    }
    return difference == 0;
}

// A command's body: {"address": "L0012", "value": 2}. The address is a text
// without control bytes; the value a JSON integer 0..65535 (never a
// fraction or a text the driver would round or read otherwise). An error
// naming the field, or nothing.
std::optional<std::string> ParseCommand(const std::string& text, std::string& address,
                                        uint16_t& value) {
    json body;
    try {
        body = cis::ParseJsonInput(text);
    } catch (const cis::DuplicateKey& e) {
        return LogText(e.what());
    } catch (const json::exception&) {
        // Not JSON: the same answer as JSON that is no object.
    }
    if (!body.is_object()) {
        return "the body must be a JSON object {\"address\": \"L0012\", \"value\": 0..65535}";
    }
    auto a = body.find("address");
    if (a == body.end() || !a->is_string() || a->get_ref<const std::string&>().empty() ||
        a->get_ref<const std::string&>().size() > 32) {
        return "address: must be a point address as text, for instance \"L0012\"";
    }
    const std::string& given = a->get_ref<const std::string&>();
    if (std::any_of(given.begin(), given.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        return "address: must not hold control characters";
    }
    auto v = body.find("value");
    if (v == body.end() || !v->is_number_integer() || v->get<int64_t>() < 0 ||
        v->get<int64_t>() > 65535) {
        return "value: must be a whole number 0..65535";
    }
    for (const auto& item : body.items()) {
        if (item.key() != "address" && item.key() != "value") {
            return fmt::format("{}: unknown field (the body takes address and value)",
                               LogText(item.key()));
        }
    }
    address = given;
    value = static_cast<uint16_t>(v->get<int64_t>());
    return std::nullopt;
}

// Characters of a UTF-8 text (the JSON reader has checked its encoding):
// every byte that does not continue a character.
std::size_t Characters(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// C0 controls, DEL, and the C1 controls as UTF-8 writes them (C2 80..9F).
bool HoldsControl(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7F || (byte == 0xC2 && next >= 0x80 && next <= 0x9F)) {
            return true;
        }
    }
    return false;
}

// An acknowledgement's body: {"seq": 12, "operator": "name"}, or
// {"all": true, "operator": "name"} for every waiting event. The operator
// is a text of 1..64 characters without control characters. An error
// naming the field, or nothing.
std::optional<std::string> ParseAck(const std::string& text, std::optional<uint64_t>& sequence,
                                    std::string& operatorName) {
    json body;
    try {
        body = cis::ParseJsonInput(text);
    } catch (const cis::DuplicateKey& e) {
        return LogText(e.what());
    } catch (const json::exception&) {
        // Not JSON: the same answer as JSON that is no object.
    }
    if (!body.is_object()) {
        return "the body must be a JSON object {\"seq\": 12, \"operator\": \"name\"} or "
               "{\"all\": true, \"operator\": \"name\"}";
    }
    for (const auto& item : body.items()) {
        if (item.key() != "seq" && item.key() != "all" && item.key() != "operator") {
            return fmt::format("{}: unknown field (the body takes seq or all, and operator)",
                               LogText(item.key()));
        }
    }
    auto seq = body.find("seq");
    auto all = body.find("all");
    if (seq != body.end() && all != body.end()) {
        return "seq, all: give one of them";
    }
    if (seq != body.end() && (!seq->is_number_unsigned() || seq->get<uint64_t>() == 0)) {
        return "seq: must be an event's sequence number, a whole number from 1";
    }
    if (seq == body.end() && (all == body.end() || *all != true)) {
        return all == body.end() ? "seq: give the event's sequence number (or all: true)"
                                 : "all: must be true";
    }
    auto name = body.find("operator");
    if (name == body.end() || !name->is_string() || name->get_ref<const std::string&>().empty() ||
        Characters(name->get_ref<const std::string&>()) > MAX_OPERATOR_CHARS) {
        return fmt::format("operator: must be the operator's name, 1..{} characters",
                           MAX_OPERATOR_CHARS);
    }
    if (HoldsControl(name->get_ref<const std::string&>())) {
        return "operator: must not hold control characters";
    }
    sequence = seq != body.end() ? std::optional(seq->get<uint64_t>()) : std::nullopt;
    operatorName = name->get_ref<const std::string&>();
    return std::nullopt;
}

// A query parameter that must be a whole number, when given: an error
// naming it when it is not one.
std::optional<std::string> NumberParam(const ApiRequest& request, const char* name,
                                       std::optional<uint64_t>& value) {
    auto given = request.params.find(name);
    if (given == request.params.end()) {
        return std::nullopt;
    }
    const std::string& text = given->second;
    uint64_t number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return fmt::format("{}: must be a whole number", name);
    }
    value = number;
    return std::nullopt;
}

} // namespace

std::string LogText(std::string_view text) {
    std::string shown;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c == '\\') {
            shown += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7F) {
            shown += fmt::format("\\x{:02x}", byte);
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string ReadToken(const std::string& path) {
    // A token is a line of text; a file much larger is not one.
    constexpr uint64_t MAX_TOKEN_BYTES = 4 * cis::KIB;
    std::string problem;
    std::optional<std::string> text = cis::ReadInputFile(path, MAX_TOKEN_BYTES, problem);
    if (!text) {
        throw UsageError(fmt::format("--token-file {}: {}", path, problem));
    }
    std::string token = std::move(*text);
    token.erase(token.find_last_not_of(" \t\r\n") + 1);
    token.erase(0, token.find_first_not_of(" \t\r\n"));
    if (token.empty()) {
        throw UsageError(fmt::format("--token-file {}: holds no token", path));
    }
    return token;
}

Api::Api(Board& board, const WebSettings& settings, CommandQueue& queue, Output& out,
         std::string token)
    : board_(board), settings_(settings), queue_(queue), out_(out), token_(std::move(token)) {}

Api::~Api() = default;

bool Api::readJournal(const std::string& path, std::string& problem) {
    try {
        std::unique_ptr<Journal> journal = Journal::OpenToRead(path);
        std::lock_guard lock(journalMutex_);
        journal_ = std::move(journal);
        return true;
    } catch (const JournalError& e) {
        problem = e.what();
        return false;
    }
}

ApiReply Api::handle(const ApiRequest& request) {
    if (request.method == "POST" && request.path == "/api/command") {
        return command(request);
    }
    if (request.method == "POST" && request.path == "/api/ack") {
        return acknowledge(request);
    }
    if (request.method != "GET") {
        return Reply({{"error", "not found"}}, 404);
    }
    if (request.path == "/api/status") {
        std::lock_guard lock(board_.mutex);
        return Reply(board_.status);
    }
    if (request.path == "/api/zones") {
        return zones(request);
    }
    if (request.path == "/api/events") {
        return events(request);
    }
    if (request.path == "/healthz") {
        return health();
    }
    return Reply({{"error", "not found"}}, 404);
}

ApiReply Api::zones(const ApiRequest& request) {
    const Site* site = out_.site();
    json body;
    {
        std::lock_guard lock(board_.mutex);
        body = {{"zone_count", ZONE_COUNT},
                {"zones", board_.zonesWithStatus(site)},
                {"stale", board_.status.value("stale", false)}};
    }
    if (request.params.contains("names") && site != nullptr) {
        json names = json::object();
        for (const auto& [zone, name] : site->zones) {
            names[std::to_string(zone)] = name;
        }
        body["names"] = names;
    }
    return Reply(body);
}

// Newest first: a page of at most `limit` events below `before`, only
// those after `since`. From the journal when serve keeps one, else from
// the events the board holds.
ApiReply Api::events(const ApiRequest& request) {
    uint64_t since = 0;
    if (auto given = request.params.find("since"); given != request.params.end()) {
        since = std::strtoull(given->second.c_str(), nullptr, 10);
    }
    std::optional<uint64_t> before;
    std::optional<uint64_t> limit;
    for (auto bad :
         {NumberParam(request, "before", before), NumberParam(request, "limit", limit)}) {
        if (bad) {
            return Reply({{"error", *bad}}, 400);
        }
    }
    if (limit && (*limit < 1 || *limit > MAX_PAGE_EVENTS)) {
        return Reply({{"error", fmt::format("limit: must be 1..{}", MAX_PAGE_EVENTS)}}, 400);
    }
    const std::size_t count = limit ? static_cast<std::size_t>(*limit) : PAGE_EVENTS;
    if (std::optional<json> stored = journalEvents(since, before, count)) {
        return Reply({{"events", std::move(*stored)}});
    }
    std::lock_guard lock(board_.mutex);
    return Reply({{"events", board_.eventsAfter(since, count, before.value_or(UINT64_MAX))}});
}

// Nothing when there is no journal to read, or it cannot be read now.
std::optional<json> Api::journalEvents(uint64_t since, std::optional<uint64_t> before,
                                       std::size_t limit) {
    JournalQuery query;
    query.before = before;
    query.limit = limit;
    query.newestFirst = true;
    std::vector<StoredEvent> stored;
    {
        std::lock_guard lock(journalMutex_);
        if (!journal_) {
            return std::nullopt;
        }
        try {
            stored = journal_->events(query);
        } catch (const std::exception& e) {
            out_.error(fmt::format("serve: the journal cannot be read: {}", e.what()));
            return std::nullopt;
        }
    }
    json list = json::array();
    for (StoredEvent& e : stored) {
        if (e.sequence <= since) {
            break; // newest first: the rest are older still
        }
        json body = e.body.is_object() ? std::move(e.body) : json::object();
        body["id"] = e.sequence;
        body["text"] = e.text;
        list.push_back(std::move(body));
    }
    return list;
}

// Healthy while the supervising thread keeps its rhythm and the journal
// takes the events; a failing panel line is the panel's state, in the body.
ApiReply Api::health() {
    auto limit = std::chrono::duration<double>(std::max(3 * settings_.interval, 30.0));
    std::lock_guard lock(board_.mutex);
    const json& status = board_.status;
    bool alive = std::chrono::steady_clock::now() - board_.lastAttempt < limit;
    bool journaling = status.value("journal", "none") != "failing";
    std::string channel = status.value("channel", "opening");
    return Reply({{"status", !alive       ? "stalled"
                             : journaling ? "ok"
                                          : "journal_failing"},
                  {"channel", channel},
                  {"line", channel == "open" ? "ok" : "failing"}},
                 alive && journaling ? 200 : 503);
}

bool Api::authorized(const ApiRequest& request) const {
    const std::string& header = request.authorization;
    return !token_.empty() && header.rfind("Bearer ", 0) == 0 &&
           SameToken(header.substr(7), token_);
}

ApiReply Api::command(const ApiRequest& request) {
    std::string address;
    uint16_t value = 0;
    std::optional<std::string> bad = request.body.size() > MAX_COMMAND_BODY
                                         ? std::optional<std::string>("the body is too large")
                                         : ParseCommand(request.body, address, value);
    std::string what =
        bad ? std::string("(no valid body)") : fmt::format("{} <- {}", address, value);
    const std::string from = LogText(request.remote);
    auto refuse = [&](int status, const std::string& why) {
        out_.progress(fmt::format("command from {}: {}: refused: {}", from, LogText(what), why));
        ApiReply reply = Reply({{"result", "refused"}, {"error", why}}, status);
        reply.askForToken = status == 401;
        return reply;
    };
    if (!settings_.allowCommands) {
        return refuse(403, "commands are off (start serve with --allow-commands)");
    }
    if (!authorized(request)) {
        return refuse(401, "no valid token");
    }
    if (bad) {
        return refuse(request.body.size() > MAX_COMMAND_BODY ? 413 : 400, *bad);
    }
    out_.progress(fmt::format("command from {}: {}: queued", from, LogText(what)));
    auto outcome = queue_.push(address, value, request.remote);
    if (!outcome) {
        return refuse(503, "xolhost is stopping");
    }
    CommandResult result = outcome->get();
    json body = {{"result", ResultName(result.result)}};
    if (!result.error.empty()) {
        body["error"] = result.error;
    }
    return Reply(body, result.result == RC_DONE ? 200 : 409);
}

// Acknowledging sends nothing to the panel: it needs the token, not
// --allow-commands.
ApiReply Api::acknowledge(const ApiRequest& request) {
    std::optional<uint64_t> sequence;
    std::string operatorName;
    std::optional<std::string> bad = request.body.size() > MAX_COMMAND_BODY
                                         ? std::optional<std::string>("the body is too large")
                                         : ParseAck(request.body, sequence, operatorName);
    const std::string what = bad        ? std::string("(no valid body)")
                             : sequence ? fmt::format("event {} by {}", *sequence, operatorName)
                                        : fmt::format("all waiting events by {}", operatorName);
    const std::string from = LogText(request.remote);
    auto answer = [&](int status, const std::string& outcome, json body) {
        out_.progress(
            fmt::format("acknowledgement from {}: {}: {}", from, LogText(what), LogText(outcome)));
        ApiReply reply = Reply(body, status);
        reply.askForToken = status == 401;
        return reply;
    };
    auto refuse = [&](int status, const std::string& why) {
        return answer(status, "refused: " + why, {{"result", "refused"}, {"error", why}});
    };
    if (token_.empty()) {
        return refuse(403, "acknowledging needs a token (start serve with --token-file)");
    }
    if (!authorized(request)) {
        return refuse(401, "no valid token");
    }
    if (bad) {
        return refuse(request.body.size() > MAX_COMMAND_BODY ? 413 : 400, *bad);
    }
    auto outcome = queue_.pushAcknowledgement(sequence, operatorName, request.remote);
    if (!outcome) {
        return refuse(503, "xolhost is stopping");
    }
    AckResult result;
    try {
        result = outcome->get();
    } catch (const std::future_error&) {
        return refuse(503, "xolhost is stopping");
    }
    if (!result.done) {
        std::unique_lock lock(board_.mutex);
        const bool stopping = board_.stopping;
        lock.unlock();
        return refuse(stopping ? 503 : 404, result.error);
    }
    return answer(200, fmt::format("done ({} acknowledged)", result.acknowledged.size()),
                  {{"result", "done"}, {"acknowledged", result.acknowledged}});
}

} // namespace xolhost
