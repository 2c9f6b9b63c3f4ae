#include "serve/api.h"

#include <fmt/format.h>

#include <algorithm>

#include "codec/input_file.h"
#include "codec/json_input.h"
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

ApiReply Api::handle(const ApiRequest& request) {
    if (request.method == "POST" && request.path == "/api/command") {
        return command(request);
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
        body = {{"zone_count", ZONE_COUNT}, {"zones", board_.zonesWithStatus(site)}};
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

ApiReply Api::events(const ApiRequest& request) {
    uint64_t since = 0;
    if (auto given = request.params.find("since"); given != request.params.end()) {
        since = std::strtoull(given->second.c_str(), nullptr, 10);
    }
    std::lock_guard lock(board_.mutex);
    return Reply({{"events", board_.eventsAfter(since, KEPT_EVENTS)}});
}

// Healthy while the supervising thread keeps its rhythm; the panel's own
// state is in the body, not the code.
ApiReply Api::health() {
    auto limit = std::chrono::duration<double>(std::max(3 * settings_.interval, 30.0));
    std::lock_guard lock(board_.mutex);
    bool alive = std::chrono::steady_clock::now() - board_.lastAttempt < limit;
    return Reply({{"status", alive ? "ok" : "stalled"},
                  {"channel", board_.status.value("channel", "opening")}},
                 alive ? 200 : 503);
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
    const std::string& header = request.authorization;
    if (header.rfind("Bearer ", 0) != 0 || !SameToken(header.substr(7), token_)) {
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

} // namespace xolhost
