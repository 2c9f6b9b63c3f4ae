// serve's JSON API as plain functions of a request, with no socket: the
// server hands each request here, and the fuzzer does too.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "serve/board.h"
#include "serve/serve.h"
#include "supervision/command_queue.h"

namespace xolhost {

class Output;
class Journal;
struct JournalQuery;
struct StoredEvent;

struct ApiRequest {
    std::string method; // "GET", "POST"
    std::string path;
    std::multimap<std::string, std::string> params; // the query string, decoded
    std::string authorization;                      // the Authorization header
    std::string body;
    std::string remote; // the client's address
    std::string host;   // the Host header
    std::string cookie; // the Cookie header
    std::string origin; // the Origin header
};

struct ApiReply {
    int status = 200;
    std::string body;         // JSON, unless `contentType` says otherwise
    bool askForToken = false; // a 401 that names the Bearer scheme
    std::string contentType = "application/json";
};

// The largest command body taken; a larger one is refused unread.
constexpr std::size_t MAX_COMMAND_BODY = 4096;
// Events one page of /api/events holds: by default, and at most.
constexpr std::size_t PAGE_EVENTS = 200;
constexpr std::size_t MAX_PAGE_EVENTS = 1000;
// Events one CSV export holds (the newest): by default, and at most.
constexpr std::size_t CSV_EVENTS = 10000;
constexpr std::size_t MAX_CSV_EVENTS = 100000;
// The longest operator's name an acknowledgement takes, in characters.
constexpr std::size_t MAX_OPERATOR_CHARS = 64;

// The tokens serve checks: `command` guards commands and
// acknowledgements, `read` every other request but /healthz. Empty: not
// taken.
struct ApiTokens {
    std::string command;
    std::string read;
};

class Api {
public:
    Api(Board& board, const WebSettings& settings, CommandQueue& queue, Output& out,
        ApiTokens tokens);
    ~Api();
    Api(const Api&) = delete;
    Api& operator=(const Api&) = delete;

    // Whether the request may be served at all: a Host header that names
    // this server (against DNS rebinding), and the read token where one is
    // set. The refusal, logged with the client's address, or nothing.
    std::optional<ApiReply> admit(const ApiRequest& request);
    // The CORS headers for the request's origin: none unless it is the one
    // --cors-origin names.
    std::vector<std::pair<std::string, std::string>> corsHeaders(const ApiRequest& request) const;

    // GET /api/status, /api/zones, /api/zones/N, /api/events,
    // /api/events.csv, /healthz, /metrics; POST /api/command, /api/ack.
    // 404 for any other.
    ApiReply handle(const ApiRequest& request);
    // Pages /api/events through this journal, on a connection of its own
    // (the supervising thread keeps its connection to itself); false, with
    // the board's memory paged instead, when it cannot be opened.
    bool readJournal(const std::string& path, std::string& problem);
    void addOutput(std::function<OutputStatus()> status);

private:
    ApiReply zones(const ApiRequest& request);
    ApiReply zone(const ApiRequest& request);
    ApiReply events(const ApiRequest& request, bool csv);
    std::optional<std::vector<StoredEvent>> journalEvents(const JournalQuery& query);
    ApiReply health(const ApiRequest& request);
    ApiReply metrics(const ApiRequest& request);
    ApiReply command(const ApiRequest& request);
    ApiReply acknowledge(const ApiRequest& request);
    bool authorized(const ApiRequest& request) const;
    ApiReply refuse(const ApiRequest& request, int status, const std::string& why);

    Board& board_;
    const WebSettings& settings_;
    CommandQueue& queue_;
    Output& out_;
    ApiTokens tokens_;
    std::mutex journalMutex_; // one server thread at a time on the connection
    std::unique_ptr<Journal> journal_;
    std::mutex outputsMutex_;
    std::vector<std::function<OutputStatus()>> outputs_;
};

// A JSON reply; texts not valid UTF-8 are replaced, never thrown on.
ApiReply JsonReply(const nlohmann::json& body, int status = 200);

// The token of --token-file or --read-token-file; UsageError when it holds
// none.
std::string ReadToken(const std::string& path, const char* option = "--token-file");
// Text from a request made safe for a log line: control bytes, and bytes
// outside ASCII, as escapes ("\n", "\x1b").
std::string LogText(std::string_view text);
// The host name of a Host header, lower case, without its port or the
// brackets of an IPv6 address.
std::string HostName(const std::string& header);

} // namespace xolhost
