// serve's JSON API as plain functions of a request, with no socket: the
// server hands each request here, and the fuzzer does too.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "serve/board.h"
#include "serve/serve.h"
#include "supervision/command_queue.h"

namespace xolhost {

class Output;
class Journal;

struct ApiRequest {
    std::string method; // "GET", "POST"
    std::string path;
    std::multimap<std::string, std::string> params; // the query string, decoded
    std::string authorization;                      // the Authorization header
    std::string body;
    std::string remote; // the client's address
};

struct ApiReply {
    int status = 200;
    std::string body;         // JSON
    bool askForToken = false; // a 401 that names the Bearer scheme
};

// The largest command body taken; a larger one is refused unread.
constexpr std::size_t MAX_COMMAND_BODY = 4096;
// Events one page of /api/events holds: by default, and at most.
constexpr std::size_t PAGE_EVENTS = 200;
constexpr std::size_t MAX_PAGE_EVENTS = 1000;
// The longest operator's name an acknowledgement takes, in characters.
constexpr std::size_t MAX_OPERATOR_CHARS = 64;

class Api {
public:
    // `token`: the Bearer token of commands and acknowledgements; empty
    // without --token-file, when neither is taken.
    Api(Board& board, const WebSettings& settings, CommandQueue& queue, Output& out,
        std::string token);
    ~Api();
    Api(const Api&) = delete;
    Api& operator=(const Api&) = delete;

    // GET /api/status, /api/zones, /api/events, /healthz; POST /api/command,
    // /api/ack. 404 for any other.
    ApiReply handle(const ApiRequest& request);
    // Pages /api/events through this journal, on a connection of its own
    // (the supervising thread keeps its connection to itself); false, with
    // the board's memory paged instead, when it cannot be opened.
    bool readJournal(const std::string& path, std::string& problem);

private:
    ApiReply zones(const ApiRequest& request);
    ApiReply events(const ApiRequest& request);
    std::optional<nlohmann::json> journalEvents(uint64_t since, std::optional<uint64_t> before,
                                                std::size_t limit);
    ApiReply health();
    ApiReply command(const ApiRequest& request);
    ApiReply acknowledge(const ApiRequest& request);
    bool authorized(const ApiRequest& request) const;

    Board& board_;
    const WebSettings& settings_;
    CommandQueue& queue_;
    Output& out_;
    std::string token_;
    std::mutex journalMutex_; // one server thread at a time on the connection
    std::unique_ptr<Journal> journal_;
};

// The token of --token-file; UsageError when it holds none.
std::string ReadToken(const std::string& path);
// Text from a request made safe for a log line: control bytes, and bytes
// outside ASCII, as escapes ("\n", "\x1b").
std::string LogText(std::string_view text);

} // namespace xolhost
