// serve's JSON API as plain functions of a request, with no socket: the
// server hands each request here, and the fuzzer does too.
#pragma once

#include <map>
#include <string>

#include "serve/board.h"
#include "serve/serve.h"
#include "supervision/command_queue.h"

namespace xolhost {

class Output;

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

class Api {
public:
    Api(Board& board, const WebSettings& settings, CommandQueue& queue, Output& out,
        std::string token);

    // GET /api/status, /api/zones, /api/events, /healthz; POST /api/command.
    // 404 for any other.
    ApiReply handle(const ApiRequest& request);

private:
    ApiReply zones(const ApiRequest& request);
    ApiReply events(const ApiRequest& request);
    ApiReply health();
    ApiReply command(const ApiRequest& request);

    Board& board_;
    const WebSettings& settings_;
    CommandQueue& queue_;
    Output& out_;
    std::string token_;
};

// The token of --token-file; UsageError when it holds none.
std::string ReadToken(const std::string& path);
// Text from a request made safe for a log line: control bytes, and bytes
// outside ASCII, as escapes ("\n", "\x1b").
std::string LogText(std::string_view text);

} // namespace xolhost
