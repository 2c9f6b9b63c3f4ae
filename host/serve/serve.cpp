#include "serve/serve.h"

#include <fmt/format.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/exit_codes.h"
#include "present/output.h"
#include "present/site.h"
#include "present/timestamps.h"
#include "sinks/event_forms.h"

namespace xolhost {

std::string_view ServePage(); // generated from web/page.html

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr std::size_t KEPT_EVENTS = 1000;
constexpr std::size_t SNAPSHOT_EVENTS = 200;

std::string Dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Message(const char* type, const json& data) {
    return fmt::format("event: {}\ndata: {}\n\n", type, Dump(data));
}

// What the supervising thread publishes for the server's threads.
// Everything here is under `mutex`.
struct Board {
    std::mutex mutex;
    std::condition_variable changed; // a new version for the live pages
    uint64_t version = 0;
    std::vector<uint16_t> zones = std::vector<uint16_t>(ZONE_COUNT + 1, 0);
    json status = json::object();
    std::deque<json> events; // oldest first
    uint64_t nextEventId = 1;
    Clock::time_point lastAttempt = Clock::now();
    bool stopping = false;

    // Events keep the core's sequence numbers as their ids.
    void addEvent(json event) {
        std::lock_guard lock(mutex);
        nextEventId = event["id"].get<uint64_t>() + 1;
        events.push_back(std::move(event));
        if (events.size() > KEPT_EVENTS) {
            events.pop_front();
        }
        ++version;
        changed.notify_all();
    }

    // Newest first, at most `limit`, only those after `since`.
    json eventsAfter(uint64_t since, std::size_t limit) const {
        json list = json::array();
        for (auto it = events.rbegin(); it != events.rend() && list.size() < limit; ++it) {
            if ((*it)["id"].get<uint64_t>() <= since) {
                break;
            }
            list.push_back(*it);
        }
        return list;
    }

    json zonesWithStatus(const Site* site) const {
        json list = json::array();
        for (int zone = 1; zone <= ZONE_COUNT; ++zone) {
            if (zones[static_cast<std::size_t>(zone)] != 0) {
                list.push_back(ZoneJson(zone, zones[static_cast<std::size_t>(zone)], site));
            }
        }
        return list;
    }
};

struct ListenAddress {
    std::string host;
    int port = 0;
};

ListenAddress ParseListen(const std::string& text) {
    auto colon = text.rfind(':');
    ListenAddress at;
    int port = -1;
    if (colon != std::string::npos && colon > 0) {
        at.host = text.substr(0, colon);
        if (at.host.size() > 2 && at.host.front() == '[' && at.host.back() == ']') {
            at.host = at.host.substr(1, at.host.size() - 2);
        }
        std::string digits = text.substr(colon + 1);
        if (!digits.empty() && digits.size() <= 5 &&
            std::all_of(digits.begin(), digits.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            port = std::stoi(digits);
        }
    }
    if (port < 0 || port > 65535) {
        throw UsageError(fmt::format(
            "--listen {}: give ADDRESS:PORT, for instance 127.0.0.1:8080 (port 0: any free one)",
            text));
    }
    at.port = port;
    return at;
}

std::string ReadToken(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::string token = text.str();
    token.erase(token.find_last_not_of(" \t\r\n") + 1);
    token.erase(0, token.find_first_not_of(" \t\r\n"));
    if (!file || token.empty()) {
        throw UsageError(fmt::format("--token-file {}: holds no token", path));
    }
    return token;
}

// Compares in time independent of where the texts differ.
bool SameToken(const std::string& given, const std::string& token) {
    unsigned char difference = given.size() == token.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ token[i % token.size()]);
    }
    return difference == 0;
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

// One live page's stream: a snapshot first, then what changed since.
struct Stream {
    bool started = false;
    uint64_t version = 0;
    uint64_t lastEvent = 0;
    std::vector<uint16_t> zones;
};

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

void SetJson(httplib::Response& res, const json& body, int code = 200) {
    res.status = code;
    res.set_content(Dump(body), "application/json");
}

class Server {
public:
    Server(Board& board, const WebSettings& settings, CommandQueue& queue, Output& out,
           std::string token)
        : board_(board), settings_(settings), queue_(queue), out_(out), token_(std::move(token)) {
        server_.new_task_queue = [] { return new httplib::ThreadPool(16); };
        routes();
    }

    int bind(const ListenAddress& at) {
        if (at.port == 0) {
            return server_.bind_to_any_port(at.host);
        }
        return server_.bind_to_port(at.host, at.port) ? at.port : -1;
    }
    void start() {
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    void stop() {
        server_.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    void routes() {
        server_.Get("/", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(ServePage()), "text/html; charset=utf-8");
        });
        server_.Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard lock(board_.mutex);
            SetJson(res, board_.status);
        });
        server_.Get("/api/zones", [this](const httplib::Request& req, httplib::Response& res) {
            const Site* site = out_.site();
            json body;
            {
                std::lock_guard lock(board_.mutex);
                body = {{"zone_count", ZONE_COUNT}, {"zones", board_.zonesWithStatus(site)}};
            }
            if (req.has_param("names") && site != nullptr) {
                json names = json::object();
                for (const auto& [zone, name] : site->zones) {
                    names[std::to_string(zone)] = name;
                }
                body["names"] = names;
            }
            SetJson(res, body);
        });
        server_.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
            uint64_t since = 0;
            if (req.has_param("since")) {
                since = std::strtoull(req.get_param_value("since").c_str(), nullptr, 10);
            }
            std::lock_guard lock(board_.mutex);
            SetJson(res, {{"events", board_.eventsAfter(since, KEPT_EVENTS)}});
        });
        server_.Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
            // Healthy while the supervising thread keeps its rhythm; the
            // panel's own state is in the body, not the code.
            auto limit = std::chrono::duration<double>(std::max(3 * settings_.interval, 30.0));
            std::lock_guard lock(board_.mutex);
            bool alive = Clock::now() - board_.lastAttempt < limit;
            SetJson(res,
                    {{"status", alive ? "ok" : "stalled"},
                     {"channel", board_.status.value("channel", "opening")}},
                    alive ? 200 : 503);
        });
        server_.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
            auto stream = std::make_shared<Stream>();
            res.set_header("Cache-Control", "no-cache");
            res.set_chunked_content_provider(
                "text/event-stream", [this, stream](std::size_t, httplib::DataSink& sink) {
                    bool stop = false;
                    std::string chunk = NextChunk(board_, *stream, stop);
                    return !stop && sink.write(chunk.data(), chunk.size());
                });
        });
        server_.Post("/api/command", [this](const httplib::Request& req, httplib::Response& res) {
            command(req, res);
        });
    }

    void command(const httplib::Request& req, httplib::Response& res) {
        std::string what = "(no valid body)";
        std::string address;
        int64_t value = -1;
        try {
            json body = json::parse(req.body);
            address = body.at("address").get<std::string>();
            value = body.at("value").get<int64_t>();
            what = fmt::format("{} <- {}", address, value);
        } catch (const json::exception&) {
        }
        auto refuse = [&](int code, const std::string& why) {
            out_.progress(
                fmt::format("command from {}: {}: refused: {}", req.remote_addr, what, why));
            SetJson(res, {{"result", "refused"}, {"error", why}}, code);
        };
        if (!settings_.allowCommands) {
            return refuse(403, "commands are off (start serve with --allow-commands)");
        }
        const std::string header = req.get_header_value("Authorization");
        if (header.rfind("Bearer ", 0) != 0 || !SameToken(header.substr(7), token_)) {
            res.set_header("WWW-Authenticate", "Bearer");
            return refuse(401, "no valid token");
        }
        if (address.empty() || value < 0 || value > 65535) {
            return refuse(400, "the body must be {\"address\": \"L0012\", \"value\": 0..65535}");
        }
        out_.progress(fmt::format("command from {}: {}: queued", req.remote_addr, what));
        auto outcome = queue_.push(address, static_cast<uint16_t>(value), req.remote_addr);
        if (!outcome) {
            return refuse(503, "xolhost is stopping");
        }
        CommandResult result = outcome->get();
        json body = {{"result", ResultName(result.result)}};
        if (!result.error.empty()) {
            body["error"] = result.error;
        }
        SetJson(res, body, result.result == RC_DONE ? 200 : 409);
    }

    Board& board_;
    const WebSettings& settings_;
    CommandQueue& queue_;
    Output& out_;
    std::string token_;
    httplib::Server server_;
    std::thread thread_;
};

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

// The board as a sink: events with their text, and after every step the
// zones, counts and figures the core holds.
class BoardSink : public EventSink {
public:
    BoardSink(Board& board, const WebSettings& settings, const Site* site)
        : board_(board), settings_(settings), site_(site) {}

    void event(const Event& event) override {
        json object = EventJson(event, site_, settings_.utc);
        object["id"] = event.sequence;
        object["text"] = EventText(event, site_);
        board_.addEvent(std::move(object));
    }

    void state(const SupervisionState& state) override {
        std::lock_guard lock(board_.mutex);
        board_.lastAttempt = Clock::now();
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
        s["last_scan"] = state.lastCompletedScan
                             ? json(Rfc3339(*state.lastCompletedScan, settings_.utc))
                             : json(nullptr);
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

private:
    Board& board_;
    const WebSettings& settings_;
    const Site* site_;
};

class Service : public WebService {
public:
    Service(const WebSettings& settings, CommandQueue& queue, Output& out, std::string token)
        : settings_(settings), queue_(queue), sink_(board_, settings_, out.site()),
          server_(board_, settings_, queue, out, std::move(token)) {
        board_.status = {{"channel", "open"},
                         {"port", settings.port},
                         {"interval", settings.interval},
                         {"zone_count", ZONE_COUNT},
                         {"commands", settings.allowCommands},
                         {"bits", BitsLegend(out.site())},
                         {"last_scan", nullptr},
                         {"quality", nullptr},
                         {"counts", json::object()}};
        if (const Site* site = out.site(); site != nullptr && !site->name.empty()) {
            board_.status["site"] = site->name;
        }
    }
    ~Service() override { stop(); }

    int bind(const ListenAddress& at) { return server_.bind(at); }
    void start() { server_.start(); }
    EventSink& sink() override { return sink_; }
    void stop() override {
        {
            std::lock_guard lock(board_.mutex);
            board_.stopping = true;
            board_.changed.notify_all();
        }
        queue_.close("xolhost is stopping");
        server_.stop();
    }

private:
    WebSettings settings_;
    CommandQueue& queue_;
    Board board_;
    BoardSink sink_;
    Server server_;
};

} // namespace

bool ServeAvailable() {
    return true;
}

std::unique_ptr<WebService> StartWebService(const WebSettings& settings, CommandQueue& queue,
                                            Output& out) {
    ListenAddress at = ParseListen(settings.listen);
    std::string token = settings.allowCommands ? ReadToken(settings.tokenFile) : std::string();
    auto service = std::make_unique<Service>(settings, queue, out, token);
    int port = service->bind(at);
    if (port < 0) {
        out.error(fmt::format("serve: cannot listen on {}", settings.listen));
        return nullptr;
    }
    service->start();
    bool v6 = at.host.find(':') != std::string::npos;
    out.progress(fmt::format("serving http://{}{}{}:{}/ every {:g} s; Ctrl-C ends", v6 ? "[" : "",
                             at.host, v6 ? "]" : "", port, settings.interval));
    return service;
}

} // namespace xolhost
