// xolhost serve's web side: one page shows every zone's status, the counts,
// the last scan and the channel, with the events pushed live; a JSON API
// gives the same data and takes token-guarded commands. It is a sink of the
// supervision core: the server's threads only read what the core published
// and queue the page's commands to the supervising thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "supervision/command_queue.h"
#include "supervision/events.h"

namespace xolhost {

class Output;

struct WebSettings {
    std::string listen = "127.0.0.1:8080"; // ADDRESS:PORT; port 0: any free one
    bool allowCommands = false;
    std::string tokenFile; // the Bearer token of commands and acknowledgements
    double interval = 2.0; // seconds between scans, for the page and /healthz
    std::string port;      // the panel's port, as the user named it
    bool utc = false;
    // Who may look: the host names requests may name besides the listen
    // address and localhost, the token every read needs (empty: none), the
    // one origin given CORS headers (empty: none), and TLS.
    std::vector<std::string> allowedHosts;
    std::string readTokenFile;
    std::string corsOrigin;
    std::string tlsCert;
    std::string tlsKey;
};

// What an output other than the page tells /metrics about itself.
struct OutputStatus {
    std::string name; // "mqtt"
    bool connected = false;
    uint64_t waiting = 0; // events not yet delivered
};

class WebService {
public:
    virtual ~WebService() = default;
    // The board the page reads: give it the core's events and state.
    virtual EventSink& sink() = 0;
    // The supervisor's journal: waiting events from earlier runs are found
    // in it, and the API pages through its events on a connection of its
    // own.
    virtual void readJournal(const EventJournal& journal) = 0;
    // An output whose state /metrics shows; called on the server's threads.
    virtual void addOutput(std::function<OutputStatus()> status) = 0;
    // Ends the live pages, answers queued commands and stops the server.
    virtual void stop() = 0;
};

// False where xolhost was built without a web server (Windows, or without
// cpp-httplib).
bool ServeAvailable();

// Binds and starts serving; the page's commands and acknowledgements go to
// `queue`. Null, with a message, when it cannot listen. UsageError for a bad
// --listen or token.
std::unique_ptr<WebService> StartWebService(const WebSettings& settings, CommandQueue& queue,
                                            Output& out);

} // namespace xolhost
