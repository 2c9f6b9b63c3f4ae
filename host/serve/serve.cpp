#include "serve/serve.h"

#include <fmt/format.h>
#include <httplib.h>
#include <sys/socket.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "codec/input_file.h"
#include "journal/journal.h"
#include "platform/exit_codes.h"
#include "present/output.h"
#include "serve/api.h"
#include "serve/board.h"

namespace xolhost {

std::string_view ServePage(); // generated from web/page.html

namespace {

// Limits that keep the page and the health check answered whatever clients
// do: a worker thread per connection up to a bound, short time-outs for
// slow or idle clients, a small socket send buffer so that a stream nobody
// reads fills up and is dropped soon, and bounded live streams.
constexpr std::size_t MAX_WORKERS = 256;
constexpr std::size_t MAX_STREAMS = 64;
constexpr std::size_t MAX_STREAMS_PER_CLIENT = 16;
constexpr std::size_t MAX_REQUESTS_PER_CLIENT = 32;
constexpr time_t CLIENT_TIMEOUT_S = 3;
constexpr int SEND_BUFFER_BYTES = 64 * 1024;

// Starts a thread for a connection when none is free, up to a bound; past
// it, connections wait for the next free thread.
class WorkerPool : public httplib::TaskQueue {
public:
    explicit WorkerPool(std::size_t max) : max_(max) {}

    void enqueue(std::function<void()> job) override {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        if (idle_ == 0 && threads_.size() < max_) {
            threads_.emplace_back([this] { work(); });
        }
        ready_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (auto& thread : threads_) {
            thread.join();
        }
    }

private:
    void work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                ++idle_;
                ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
                --idle_;
                if (jobs_.empty()) {
                    return;
                }
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    std::size_t max_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

// Counts what each client address holds, under a bound per client and in
// all.
class Tally {
public:
    bool take(const std::string& client, std::size_t perClient, std::size_t total) {
        std::lock_guard lock(mutex_);
        std::size_t& mine = held_[client];
        if (mine >= perClient || all_ >= total) {
            if (mine == 0) {
                held_.erase(client);
            }
            return false;
        }
        ++mine;
        ++all_;
        return true;
    }
    void give(const std::string& client) {
        std::lock_guard lock(mutex_);
        if (auto it = held_.find(client); it != held_.end()) {
            --all_;
            if (--it->second == 0) {
                held_.erase(it);
            }
        }
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::size_t> held_;
    std::size_t all_ = 0;
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

std::string Nonce() {
    static std::mutex mutex;
    static std::mt19937_64 random{std::random_device{}()};
    std::lock_guard lock(mutex);
    return fmt::format("{:016x}{:016x}", random(), random());
}

// The page with a fresh nonce on its script and style, which its content
// security policy names: nothing else runs or styles it.
void ServePageTo(httplib::Response& res) {
    const std::string nonce = Nonce();
    std::string page(ServePage());
    for (const char* tag : {"<script>", "<style>"}) {
        std::string tagged =
            std::string(tag).insert(std::string(tag).size() - 1, " nonce=\"" + nonce + "\"");
        if (auto at = page.find(tag); at != std::string::npos) {
            page.replace(at, std::string(tag).size(), tagged);
        }
    }
    res.set_header("Content-Security-Policy",
                   fmt::format("default-src 'none'; script-src 'nonce-{0}'; style-src "
                               "'nonce-{0}'; connect-src 'self'; img-src 'self' data:; "
                               "base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
                               nonce));
    res.set_content(page, "text/html; charset=utf-8");
}

ApiRequest ToApi(const httplib::Request& req) {
    ApiRequest request{req.method,
                       req.path,
                       {},
                       req.get_header_value("Authorization"),
                       req.body,
                       req.remote_addr,
                       req.get_header_value("Host"),
                       req.get_header_value("Cookie"),
                       req.get_header_value("Origin")};
    for (const auto& [key, value] : req.params) {
        request.params.emplace(key, value);
    }
    return request;
}

std::unique_ptr<httplib::Server> MakeServer(const WebSettings& settings) {
    if (settings.tlsCert.empty()) {
        return std::make_unique<httplib::Server>();
    }
    if (std::string problem = cis::SecretFileProblem(settings.tlsKey); !problem.empty()) {
        throw UsageError(fmt::format("--tls-key {}: {}", settings.tlsKey, problem));
    }
    return std::make_unique<httplib::SSLServer>(settings.tlsCert.c_str(), settings.tlsKey.c_str());
}

class Server {
public:
    Server(Board& board, const WebSettings& settings, CommandQueue& queue, Output& out,
           ApiTokens tokens)
        : board_(board), api_(board, settings, queue, out, std::move(tokens)),
          server_(MakeServer(settings)) {
        if (!server_->is_valid()) {
            throw UsageError(fmt::format("--tls-cert {}, --tls-key {}: not a certificate and its "
                                         "key in PEM form that this user may read",
                                         settings.tlsCert, settings.tlsKey));
        }
        server_->new_task_queue = [] { return new WorkerPool(MAX_WORKERS); };
        limits();
        routes();
    }

    int bind(const ListenAddress& at) {
        if (at.port == 0) {
            return server_->bind_to_any_port(at.host);
        }
        return server_->bind_to_port(at.host, at.port) ? at.port : -1;
    }
    void start() {
        thread_ = std::thread([this] { server_->listen_after_bind(); });
    }
    Api& api() { return api_; }
    void stop() {
        server_->stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    void limits() {
        server_->set_read_timeout(CLIENT_TIMEOUT_S);
        server_->set_write_timeout(CLIENT_TIMEOUT_S);
        server_->set_keep_alive_timeout(CLIENT_TIMEOUT_S);
        server_->set_payload_max_length(MAX_COMMAND_BODY);
        // Accepted sockets take the listening socket's send buffer.
        server_->set_socket_options([](socket_t sock) {
            httplib::default_socket_options(sock);
            int size = SEND_BUFFER_BYTES;
            setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        });
        server_->set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                      {"X-Frame-Options", "DENY"},
                                      {"Referrer-Policy", "no-referrer"},
                                      {"Cache-Control", "no-store"}});
        // A body too large for any request is refused before it is read.
        server_->set_pre_routing_handler(
            [this](const httplib::Request& req, httplib::Response& res) {
                if (req.get_header_value_count("Content-Length") > 0 &&
                    std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) >
                        MAX_COMMAND_BODY) {
                    Refuse(res, 413, "the body is too large");
                    return httplib::Server::HandlerResponse::Handled;
                }
                if (!requests_.take(req.remote_addr, MAX_REQUESTS_PER_CLIENT, MAX_WORKERS)) {
                    Refuse(res, 429, "too many requests from this address");
                    return httplib::Server::HandlerResponse::Handled;
                }
                const ApiRequest request = ToApi(req);
                for (const auto& [name, value] : api_.corsHeaders(request)) {
                    res.set_header(name, value);
                }
                if (std::optional<ApiReply> refused = api_.admit(request)) {
                    Answer(res, *refused);
                    if (refused->status == 401 && req.method == "GET" && req.path == "/") {
                        ServePageTo(res); // the page asks for the token itself
                        res.status = 401;
                    }
                    return httplib::Server::HandlerResponse::Handled;
                }
                return httplib::Server::HandlerResponse::Unhandled;
            });
        server_->set_post_routing_handler([this](const httplib::Request& req, httplib::Response&) {
            requests_.give(req.remote_addr);
        });
    }

    static void Answer(httplib::Response& res, const ApiReply& reply) {
        res.status = reply.status;
        if (reply.askForToken) {
            res.set_header("WWW-Authenticate", "Bearer");
        }
        res.set_content(reply.body, reply.contentType);
    }

    static void Refuse(httplib::Response& res, int status, const char* why) {
        res.status = status;
        res.set_header("Connection", "close");
        res.set_content(fmt::format("{{\"result\":\"refused\",\"error\":\"{}\"}}", why),
                        "application/json");
    }

    void routes() {
        server_->Get("/",
                     [](const httplib::Request&, httplib::Response& res) { ServePageTo(res); });
        server_->Get("/events", [this](const httplib::Request& req, httplib::Response& res) {
            stream(req, res);
        });
        auto api = [this](const httplib::Request& req, httplib::Response& res) {
            Answer(res, api_.handle(ToApi(req)));
        };
        for (const char* path : {"/api/status", "/api/zones", R"(/api/zones/[^/]*)", "/api/events",
                                 "/api/events.csv", "/healthz", "/metrics"}) {
            server_->Get(path, api);
        }
        server_->Options(R"(/.*)", [](const httplib::Request&, httplib::Response& res) {
            res.status = 204; // a preflight: the CORS headers, when any, are set already
        });
        server_->Post("/api/command", api);
        server_->Post("/api/ack", api);
    }

    void stream(const httplib::Request& req, httplib::Response& res) {
        const std::string client = req.remote_addr;
        if (!streams_.take(client, MAX_STREAMS_PER_CLIENT, MAX_STREAMS)) {
            Refuse(res, 503, "too many live pages");
            return;
        }
        auto state = std::make_shared<Stream>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, state](std::size_t, httplib::DataSink& sink) {
                bool stop = false;
                std::string chunk = NextChunk(board_, *state, stop);
                return !stop && sink.write(chunk.data(), chunk.size());
            },
            [this, client](bool) { streams_.give(client); });
    }

    Board& board_;
    Api api_;
    Tally requests_;
    Tally streams_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
};

class Service : public WebService {
public:
    Service(const WebSettings& settings, CommandQueue& queue, Output& out, ApiTokens tokens)
        : settings_(settings), queue_(queue), out_(out), board_(settings_, out.site()),
          sink_(board_, settings_.utc, out.site()),
          server_(board_, settings_, queue, out, std::move(tokens)) {}
    ~Service() override { stop(); }

    int bind(const ListenAddress& at) { return server_.bind(at); }
    void start() { server_.start(); }
    EventSink& sink() override { return sink_; }
    void readJournal(const EventJournal& journal) override {
        const auto* kept = dynamic_cast<const Journal*>(&journal);
        if (kept == nullptr) {
            return;
        }
        sink_.setJournal(kept);
        if (std::string problem; !server_.api().readJournal(kept->path(), problem)) {
            out_.error(fmt::format("serve: the events are paged from memory only: {}", problem));
        }
    }
    void addOutput(std::function<OutputStatus()> status) override {
        server_.api().addOutput(std::move(status));
    }
    void stop() override {
        board_.stop();
        queue_.close("xolhost is stopping");
        server_.stop();
    }

private:
    WebSettings settings_;
    CommandQueue& queue_;
    Output& out_;
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
    if ((at.host == "0.0.0.0" || at.host == "::") && settings.allowedHosts.empty()) {
        throw UsageError(fmt::format("--listen {} answers on every address: name the host names "
                                     "clients use with --allowed-host NAME",
                                     settings.listen));
    }
    if (settings.tlsCert.empty() != settings.tlsKey.empty()) {
        throw UsageError("TLS takes both --tls-cert FILE and --tls-key FILE");
    }
    ApiTokens tokens;
    if (!settings.tokenFile.empty()) {
        tokens.command = ReadToken(settings.tokenFile);
    }
    if (!settings.readTokenFile.empty()) {
        tokens.read = ReadToken(settings.readTokenFile, "--read-token-file");
    }
    auto service = std::make_unique<Service>(settings, queue, out, std::move(tokens));
    int port = service->bind(at);
    if (port < 0) {
        out.error(fmt::format("serve: cannot listen on {}", settings.listen));
        return nullptr;
    }
    service->start();
    bool v6 = at.host.find(':') != std::string::npos;
    out.progress(fmt::format("serving {}://{}{}{}:{}/ every {:g} s; Ctrl-C ends",
                             settings.tlsCert.empty() ? "http" : "https", v6 ? "[" : "", at.host,
                             v6 ? "]" : "", port, settings.interval));
    return service;
}

} // namespace xolhost
