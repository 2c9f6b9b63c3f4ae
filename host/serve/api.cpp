#include "serve/api.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <future>

#include "codec/input_file.h"
#include "codec/json_input.h"
#include "codec/text.h"
#include "journal/journal.h"
#include "platform/exit_codes.h"
#include "present/output.h"
#include "present/site.h"

namespace xolhost {

using nlohmann::json;

namespace {

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

} // namespace

ApiReply JsonReply(const json& body, int status) {
    return {status, body.dump(-1, ' ', false, json::error_handler_t::replace), false,
            "application/json"};
}

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

std::string ReadToken(const std::string& path, const char* option) {
    // A token is a line of text; a file much larger is not one.
    constexpr uint64_t MAX_TOKEN_BYTES = 4 * cis::KIB;
    std::string problem;
    std::optional<std::string> text = cis::ReadInputFile(path, MAX_TOKEN_BYTES, problem);
    if (!text) {
        throw UsageError(fmt::format("{} {}: {}", option, path, problem));
    }
    if (problem = cis::SecretFileProblem(path); !problem.empty()) {
        throw UsageError(fmt::format("{} {}: {}", option, path, problem));
    }
    std::string token = std::move(*text);
    token.erase(token.find_last_not_of(" \t\r\n") + 1);
    token.erase(0, token.find_first_not_of(" \t\r\n"));
    if (token.empty()) {
        throw UsageError(fmt::format("{} {}: holds no token", option, path));
    }
    return token;
}

Api::Api(Board& board, const WebSettings& settings, CommandQueue& queue, Output& out,
         ApiTokens tokens)
    : board_(board), settings_(settings), queue_(queue), out_(out), tokens_(std::move(tokens)) {}

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

void Api::addOutput(std::function<OutputStatus()> status) {
    std::lock_guard lock(outputsMutex_);
    outputs_.push_back(std::move(status));
}

std::string HostName(const std::string& header) {
    std::string host = header;
    if (!host.empty() && host.front() == '[') {
        host = host.substr(1, host.find(']') == std::string::npos ? std::string::npos
                                                                  : host.find(']') - 1);
    } else if (host.find(':') == host.rfind(':')) {
        host = host.substr(0, host.find(':')); // a name or IPv4 address, with its port
    }
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return host;
}

namespace {

std::string PercentDecoded(std::string_view coded) {
    std::string value;
    for (std::size_t i = 0; i < coded.size(); ++i) {
        if (coded[i] == '%' && i + 2 < coded.size() && cis::HexDigit(coded[i + 1]) >= 0 &&
            cis::HexDigit(coded[i + 2]) >= 0) {
            value +=
                static_cast<char>(cis::HexDigit(coded[i + 1]) * 16 + cis::HexDigit(coded[i + 2]));
            i += 2;
        } else {
            value += coded[i];
        }
    }
    return value;
}

// A cookie's value, percent-decoding undone; empty when the header has
// none of that name.
std::string CookieValue(const std::string& header, std::string_view name) {
    for (std::size_t at = 0; at < header.size();) {
        std::size_t end = std::min(header.find(';', at), header.size());
        std::string_view pair(header.data() + at, end - at);
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        if (pair.size() > name.size() && pair.starts_with(name) && pair[name.size()] == '=') {
            return PercentDecoded(pair.substr(name.size() + 1));
        }
        at = end + 1;
    }
    return {};
}

// Whether an Authorization header carries `token` as its Bearer token. A
// token sent as it stands may arrive percent-decoded (see below), so a
// token holding '%' is also taken in that form.
bool BearerHolds(const std::string& header, const std::string& token) {
    if (header.rfind("Bearer ", 0) != 0) {
        return false;
    }
    const std::string bearer = header.substr(7);
    return SameToken(bearer, token) ||
           (token.find('%') != std::string::npos && SameToken(bearer, PercentDecoded(token)));
}

// cpp-httplib before 0.44 percent-decodes every header value itself, so a
// cookie the page set as encodeURIComponent(token) may arrive decoded, and
// cut at a ';' the token holds: the token is also looked for as it stands,
// a whole cookie value.
bool CookieHoldsToken(const std::string& header, std::string_view name, const std::string& token) {
    const std::string key = std::string(name) + "=";
    for (std::size_t at = header.find(key); at != std::string::npos && !token.empty();
         at = header.find(key, at + 1)) {
        const std::size_t from = at + key.size();
        const std::size_t end = from + token.size();
        if ((at == 0 || header[at - 1] == ' ' || header[at - 1] == ';') && end <= header.size() &&
            (end == header.size() || header[end] == ';') &&
            SameToken(header.substr(from, token.size()), token)) {
            return true;
        }
    }
    return false;
}

bool IsWildcard(const std::string& host) {
    return host.empty() || host == "0.0.0.0" || host == "::" || host == "*";
}

} // namespace

ApiReply Api::refuse(const ApiRequest& request, int status, const std::string& why) {
    out_.progress(fmt::format("refused {} {} from {}: {}", LogText(request.method),
                              LogText(request.path), LogText(request.remote), why));
    ApiReply reply = JsonReply({{"result", "refused"}, {"error", why}}, status);
    reply.askForToken = status == 401;
    return reply;
}

std::optional<ApiReply> Api::admit(const ApiRequest& request) {
    const std::string host = HostName(request.host);
    const std::string listening = HostName(settings_.listen.substr(0, settings_.listen.rfind(':')));
    const bool known =
        host == "localhost" || host == "127.0.0.1" || host == "::1" ||
        (!IsWildcard(listening) && host == listening) ||
        std::any_of(settings_.allowedHosts.begin(), settings_.allowedHosts.end(),
                    [&](const std::string& allowed) { return HostName(allowed) == host; });
    if (!known) {
        return refuse(request, 421,
                      fmt::format("this server does not answer for the host \"{}\" (give it "
                                  "with --allowed-host)",
                                  LogText(host)));
    }
    if (tokens_.read.empty() || request.path == "/healthz") {
        return std::nullopt;
    }
    if (BearerHolds(request.authorization, tokens_.read) ||
        BearerHolds(request.authorization, tokens_.command) ||
        SameToken(CookieValue(request.cookie, "xol_read"), tokens_.read) ||
        CookieHoldsToken(request.cookie, "xol_read", tokens_.read)) {
        return std::nullopt;
    }
    ApiReply reply = refuse(request, 401, "reading needs the read token");
    return reply;
}

std::vector<std::pair<std::string, std::string>> Api::corsHeaders(const ApiRequest& request) const {
    if (settings_.corsOrigin.empty() || request.origin != settings_.corsOrigin) {
        return {};
    }
    return {{"Access-Control-Allow-Origin", settings_.corsOrigin},
            {"Access-Control-Allow-Headers", "Authorization, Content-Type"},
            {"Access-Control-Allow-Methods", "GET, POST"},
            {"Vary", "Origin"}};
}

ApiReply Api::handle(const ApiRequest& request) {
    if (request.method == "POST" && request.path == "/api/command") {
        return command(request);
    }
    if (request.method == "POST" && request.path == "/api/ack") {
        return acknowledge(request);
    }
    if (request.method != "GET") {
        return JsonReply({{"error", "not found"}}, 404);
    }
    if (request.path == "/api/status") {
        if (!request.params.empty()) {
            return JsonReply(
                {{"error", fmt::format("{}: unknown parameter (/api/status takes none)",
                                       LogText(request.params.begin()->first))}},
                400);
        }
        std::lock_guard lock(board_.mutex);
        return JsonReply(board_.status);
    }
    if (request.path == "/api/zones") {
        return zones(request);
    }
    if (request.path.starts_with("/api/zones/")) {
        return zone(request);
    }
    if (request.path == "/api/events" || request.path == "/api/events.csv") {
        return events(request, request.path.ends_with(".csv"));
    }
    if (request.path == "/healthz") {
        return health(request);
    }
    if (request.path == "/metrics") {
        return metrics(request);
    }
    return JsonReply({{"error", "not found"}}, 404);
}

bool Api::authorized(const ApiRequest& request) const {
    return BearerHolds(request.authorization, tokens_.command);
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
        ApiReply reply = JsonReply({{"result", "refused"}, {"error", why}}, status);
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
    return JsonReply(body, result.result == RC_DONE ? 200 : 409);
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
        ApiReply reply = JsonReply(body, status);
        reply.askForToken = status == 401;
        return reply;
    };
    auto refuse = [&](int status, const std::string& why) {
        return answer(status, "refused: " + why, {{"result", "refused"}, {"error", why}});
    };
    if (tokens_.command.empty()) {
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
