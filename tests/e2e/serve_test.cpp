// xolhost serve against clients that misbehave: bodies that would make the
// driver send what nobody asked for, bodies too large to read, texts meant to
// forge log lines, and (label load) many live pages and slow clients at
// once while the health check must keep answering. Acknowledgements with and
// without the token, and the journal paged across a restart.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

const char* TOKEN = "s3cret-token";

// What serve is started with: commands on with the token, the token alone
// (acknowledgements but no commands), or neither.
enum class Access { Commands, TokenOnly, None };

// xolhost --simulate serve, listening on a free port; with a journal when
// one is named.
struct Served {
    std::filesystem::path dir;
    int port = xoltest::FreePort();
    std::unique_ptr<xoltest::Process> host;
    httplib::Client api{"127.0.0.1", port};

    explicit Served(const char* interval = "0.5", Access access = Access::Commands,
                    const std::string& journal = "", const std::vector<std::string>& extra = {}) {
        dir = std::filesystem::temp_directory_path() /
              ("xol_serve_" + std::to_string(::getpid()) + "_" + std::to_string(port));
        std::filesystem::create_directories(dir);
        xoltest::WriteSecret(dir / "token", std::string(TOKEN) + "\n");
        std::vector<std::string> argv{XOLHOST_PATH,
                                      "--simulate",
                                      "--timeout",
                                      "1s",
                                      "serve",
                                      "--listen",
                                      "127.0.0.1:" + std::to_string(port),
                                      "--interval",
                                      interval};
        if (access == Access::Commands) {
            argv.emplace_back("--allow-commands");
        }
        if (access != Access::None) {
            argv.insert(argv.end(), {"--token-file", (dir / "token").string()});
        }
        if (!journal.empty()) {
            argv.insert(argv.end(), {"--journal", journal});
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        host = std::make_unique<xoltest::Process>(argv);
        api.set_read_timeout(5, 0);
        EXPECT_TRUE(xoltest::WaitUntil(
            [&] {
                auto health = api.Get("/healthz");
                return health && health->status == 200;
            },
            30s))
            << host->errSoFar();
    }
    ~Served() { std::filesystem::remove_all(dir); }

    httplib::Result command(const std::string& body) {
        return api.Post("/api/command", {{"Authorization", std::string("Bearer ") + TOKEN}}, body,
                        "application/json");
    }
    httplib::Result ack(const std::string& body, const std::string& token = TOKEN) {
        return api.Post("/api/ack", {{"Authorization", "Bearer " + token}}, body,
                        "application/json");
    }
    json get(const std::string& path) {
        auto reply = api.Get(path);
        EXPECT_TRUE(reply && reply->status == 200) << path;
        return reply ? xoltest::ParseJson(reply->body) : json::object();
    }
    std::vector<uint64_t> ids(const std::string& path) {
        std::vector<uint64_t> found;
        const json page = get(path);
        for (const json& event : page["events"]) {
            found.push_back(event["id"].get<uint64_t>());
        }
        return found;
    }
    pid_t pid() const { return host->pid(); }
};

// A connected socket to the server; closed when it goes.
struct RawClient {
    int fd = -1;
    explicit RawClient(int port) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(static_cast<uint16_t>(port));
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~RawClient() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    // What arrives until the server closes or `limit` passes.
    std::string receive(std::chrono::milliseconds limit) const {
        std::string text;
        timeval wait{static_cast<time_t>(limit.count() / 1000),
                     static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char buffer[4096];
        for (ssize_t n; fd >= 0 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }
    void send(const std::string& text) const {
        if (fd >= 0) {
            (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        }
    }
};

int OpenDescriptors(pid_t pid) {
    int count = 0;
    if (DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (::readdir(dir) != nullptr) {
            ++count;
        }
        ::closedir(dir);
    }
    return count;
}

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

TEST(Serve, RefusesWhatItDoesNotUnderstand) {
    Served served;
    struct Case {
        const char* body;
        int status;
        const char* error; // part of the error text
    };
    const Case cases[] = {
        {R"({"address":"L0012","value":2.9})", 400, "value"},
        {R"({"address":"Q0007","value":0.7})", 400, "value"},
        {R"({"address":"L0012","value":"2"})", 400, "value"},
        {R"({"address":"L0012","value":true})", 400, "value"},
        {R"({"address":"L0012","value":70000})", 400, "value"},
        {R"({"address":"L0012\u0000X","value":2})", 400, "control"},
        {R"({"address":"L0012\n10.0.0.9: L0012 <- 3: done","value":2})", 400, "control"},
        {R"({"address":12,"value":2})", 400, "address"},
        {R"({"address":"L0012","value":2,"also":1})", 400, "unknown"},
        {R"({"address":"L0012","value":2,"value":3})", 400, "duplicate key \"value\""},
        {R"([1,2])", 400, "object"},
        {R"({"address":"L0012","value":2})", 200, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        auto reply = served.command(c.body);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status) << reply->body;
        EXPECT_TRUE(xoltest::Contains(xoltest::ParseJson(reply->body).value("error", ""), c.error))
            << reply->body;
    }

    // A body too large is refused before it is read, token or not: the
    // answer comes while the client has sent only its headers.
    const long before = ResidentKiB(served.pid());
    for (bool token : {false, true}) {
        RawClient client(served.port);
        client.send(std::string("POST /api/command HTTP/1.1\r\nHost: 127.0.0.1\r\n") +
                    (token ? std::string("Authorization: Bearer ") + TOKEN + "\r\n" : "") +
                    "Content-Type: application/json\r\nContent-Length: 104857600\r\n\r\n{");
        EXPECT_TRUE(xoltest::Contains(client.receive(10s), "HTTP/1.1 413")) << token;
    }
    EXPECT_LT(ResidentKiB(served.pid()) - before, 8 * 1024);

    // The page says where it may run and what it may load.
    auto page = served.api.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
    EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_TRUE(xoltest::Contains(page->get_header_value("Content-Security-Policy"),
                                  "frame-ancestors 'none'"));

    served.host->signal(SIGINT);
    xoltest::Finished done = served.host->wait();
    EXPECT_EQ(done.exitCode, xoltest::EXIT_DONE) << done.err;
    // Texts from requests never reach the log raw: no forged line, no
    // terminal codes.
    EXPECT_FALSE(xoltest::Contains(done.err, "\n10.0.0.9")) << done.err;
    EXPECT_EQ(done.err.find('\x1b'), std::string::npos);
    EXPECT_TRUE(xoltest::Contains(done.err, "L0012 <- 2: done")) << done.err;
}

// The read endpoints refuse what they do not understand, with the reason,
// rather than answer as if it were not there; they filter as asked; a Host
// that names another server is refused (DNS rebinding); /metrics passes
// promtool.
TEST(Serve, ReadEndpointsSayNoAndFilter) {
    Served served;
    ASSERT_TRUE(xoltest::WaitUntil([&] { return served.get("/healthz")["line"] == "ok"; }, 10s));
    struct Case {
        const char* path;
        int status;
        const char* error;
    };
    const Case cases[] = {
        {"/api/zones?bogus=1", 400, "bogus: unknown parameter"},
        {"/api/zones?bits=ZS_CODE1", 400, "bits: unknown parameter"},
        {"/api/zones?status=ZS_CODE99", 400, "status"},
        {"/api/zones?zone=0", 400, "zone"},
        {"/api/zones?stale=maybe", 400, "stale"},
        {"/api/zones?class=alarm", 400, "site file"},
        {"/api/events?since=abc", 400, "since"},
        {"/api/events?from=yesterday", 400, "from"},
        {"/api/events?limit=5&limit=6", 400, "more than once"},
        {"/api/events.csv?event=DROP%20TABLE", 400, "event"},
        {"/api/zones/6300", 404, "1..6299"},
        {"/healthz?verbose=1", 400, "verbose"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        auto reply = served.api.Get(c.path);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status) << reply->body;
        EXPECT_TRUE(xoltest::Contains(reply->body, c.error)) << reply->body;
    }

    // A normal zone answers with status 0; filters narrow the listing.
    const json normal = served.get("/api/zones/44");
    EXPECT_EQ(normal["status"], 0);
    EXPECT_FALSE(normal["stale"].get<bool>());
    EXPECT_EQ(served.get("/api/zones?zone=44")["zones"].size(), 1U);
    const json alarmed = served.get("/api/zones?status=ZS_CODE1");
    ASSERT_FALSE(alarmed["zones"].empty());
    for (const json& zone : alarmed["zones"]) {
        EXPECT_NE(zone["status"].get<int>() & 1, 0) << zone;
    }
    const std::vector<uint64_t> ofZone = served.ids("/api/events?zone=1204");
    ASSERT_FALSE(ofZone.empty());
    const json events = served.get("/api/events?zone=1204");
    for (const json& event : events["events"]) {
        EXPECT_EQ(event["zone"], 1204);
    }
    // The export holds the same events, oldest first.
    auto csv = served.api.Get("/api/events.csv?zone=1204");
    ASSERT_TRUE(csv && csv->status == 200);
    std::vector<uint64_t> exported;
    std::istringstream lines(csv->body);
    std::string line;
    std::getline(lines, line);
    EXPECT_TRUE(line.starts_with("seq,time,event,zone,")) << line;
    while (std::getline(lines, line)) {
        exported.insert(exported.begin(), std::stoull(line));
    }
    EXPECT_EQ(exported, ofZone);

    httplib::Headers evil{{"Host", "evil.example"}};
    auto rebound = served.api.Get("/api/zones", evil);
    ASSERT_TRUE(rebound);
    EXPECT_EQ(rebound->status, 421);
    auto local = served.api.Get("/api/status", {{"Host", "localhost:8080"}});
    ASSERT_TRUE(local);
    EXPECT_EQ(local->status, 200);

    auto metrics = served.api.Get("/metrics");
    ASSERT_TRUE(metrics && metrics->status == 200);
    EXPECT_TRUE(xoltest::Contains(metrics->body, "xolest_scans_total{result=\"done\"}"));
    if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
        std::cout << "[ SKIPPED  ] promtool check metrics: promtool is not installed\n";
    } else {
        std::ofstream(served.dir / "metrics.txt") << metrics->body;
        const std::string check =
            "promtool check metrics < " + (served.dir / "metrics.txt").string();
        EXPECT_EQ(std::system(check.c_str()), 0) << metrics->body;
    }
    served.host->signal(SIGINT);
    const xoltest::Finished done = served.host->wait();
    EXPECT_TRUE(xoltest::Contains(done.err, "refused GET /api/zones from 127.0.0.1")) << done.err;
}

// With --read-token-file every request but /healthz needs the read token
// (as a Bearer token, or the page's cookie), over TLS with a certificate
// made here; the page itself says it needs it.
TEST(Serve, ReadTokenAndTls) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("xol_tls_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost"
                             " -keyout " +
                             key + " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    std::filesystem::permissions(key, std::filesystem::perms::owner_read);
    // A token holding '%', sent as it stands and as the page's cookie.
    xoltest::WriteSecret(dir / "read", "look-%41only\n");
    const int port = xoltest::FreePort();
    xoltest::Process host({XOLHOST_PATH, "--simulate", "serve", "--listen",
                           "127.0.0.1:" + std::to_string(port), "--interval", "0.5",
                           "--read-token-file", (dir / "read").string(), "--tls-cert", cert,
                           "--tls-key", key});
    httplib::Client api("https://127.0.0.1:" + std::to_string(port));
    api.enable_server_certificate_verification(false);
    ASSERT_TRUE(xoltest::WaitUntil(
        [&] {
            auto health = api.Get("/healthz"); // no token needed
            return health && health->status == 200;
        },
        30s))
        << host.errSoFar();
    struct Case {
        const char* path;
        httplib::Headers headers;
        int status;
    };
    const Case cases[] = {
        {"/api/status", {}, 401},
        {"/metrics", {}, 401},
        {"/api/status", {{"Authorization", "Bearer wrong"}}, 401},
        {"/api/status", {{"Authorization", "Bearer look-%41only"}}, 200},
        {"/metrics", {{"Authorization", "Bearer look-%41only"}}, 200},
        {"/api/zones", {{"Cookie", "a=b; xol_read=look%2D%2541only"}}, 200},
        {"/", {}, 401},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        auto reply = api.Get(c.path, c.headers);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status) << reply->body;
    }
    EXPECT_TRUE(xoltest::Contains(api.Get("/")->body, "<!DOCTYPE html>"));
    // Plain HTTP on the TLS port gets nothing.
    httplib::Client plain("127.0.0.1", port);
    plain.set_read_timeout(3, 0);
    auto refused = plain.Get("/healthz");
    EXPECT_TRUE(!refused || refused->status != 200);
    std::filesystem::remove_all(dir);
}

// Acknowledging takes the token of --token-file and a checked body, needs
// no --allow-commands, and is refused outright without a token file.
TEST(Serve, AcknowledgesWaitingEventsWithTheToken) {
    const auto journal =
        std::filesystem::temp_directory_path() / ("xol_ack_" + std::to_string(::getpid()));
    std::filesystem::create_directories(journal);
    uint64_t acknowledgedEvent = 0;
    {
        Served served("0.5", Access::TokenOnly, (journal / "panel.db").string());
        // The demo panel's initial statuses wait for an operator.
        json waiting;
        ASSERT_TRUE(xoltest::WaitUntil(
            [&] { return !(waiting = served.get("/api/status")["unacknowledged"]).empty(); }));
        const uint64_t first = waiting[0]["id"].get<uint64_t>();
        EXPECT_EQ(served.get("/api/status")["journal"], "ok");

        struct Case {
            std::string body;
            std::string token;
            int status;
            const char* error; // part of the error text
        };
        const std::string seq = std::to_string(first);
        const Case cases[] = {
            {R"({"seq":)" + seq + R"(,"operator":"ann"})", "", 401, "token"},
            {R"({"seq":)" + seq + R"(,"operator":"ann"})", "wrong", 401, "token"},
            {R"({"seq":)" + seq + "}", TOKEN, 400, "operator"},
            {R"({"operator":"ann"})", TOKEN, 400, "seq"},
            {R"({"seq":"1","operator":"ann"})", TOKEN, 400, "seq"},
            {R"({"seq":1.5,"operator":"ann"})", TOKEN, 400, "seq"},
            {R"({"seq":0,"operator":"ann"})", TOKEN, 400, "seq"},
            {R"({"all":false,"operator":"ann"})", TOKEN, 400, "all"},
            {R"({"seq":1,"all":true,"operator":"ann"})", TOKEN, 400, "one of them"},
            {R"({"all":true,"operator":""})", TOKEN, 400, "operator"},
            {R"({"all":true,"operator":")" + std::string(65, 'a') + "\"}", TOKEN, 400, "operator"},
            {R"({"all":true,"operator":"ann\n10.0.0.9: forged"})", TOKEN, 400, "control"},
            {R"({"all":true,"operator":"ann\u009b31m"})", TOKEN, 400, "control"},
            {R"({"all":true,"operator":"ann","note":1})", TOKEN, 400, "unknown"},
            {R"({"all":true,"all":true,"operator":"ann"})", TOKEN, 400, "duplicate"},
            {"[1]", TOKEN, 400, "object"},
            {R"({"seq":987654,"operator":"ann"})", TOKEN, 404, "987654"},
            {R"({"seq":)" + seq + R"(,"operator":"ann"})", TOKEN, 200, ""},
            {R"({"seq":)" + seq + R"(,"operator":"ann"})", TOKEN, 404, "does not wait"},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.body + " with token '" + c.token + "'");
            auto reply = served.ack(c.body, c.token);
            ASSERT_TRUE(reply);
            const json body = xoltest::ParseJson(reply->body);
            EXPECT_EQ(reply->status, c.status) << reply->body;
            EXPECT_TRUE(xoltest::Contains(body.value("error", ""), c.error)) << reply->body;
            if (c.status == 200) {
                EXPECT_EQ(body["acknowledged"], json::array({first}));
            }
        }
        acknowledgedEvent = first;
        // Commands stay off: the token alone takes no command.
        EXPECT_EQ(served.command(R"({"address":"L0012","value":2})")->status, 403);

        // All: what waited is acknowledged, a name outside ASCII included.
        auto all = served.ack(R"({"all":true,"operator":"Jürgen"})");
        ASSERT_TRUE(all && all->status == 200) << (all ? all->body : "");
        const json answer = xoltest::ParseJson(all->body);
        std::set<uint64_t> done;
        for (const json& id : answer["acknowledged"]) {
            done.insert(id.get<uint64_t>());
        }
        for (std::size_t i = 1; i < waiting.size(); ++i) {
            EXPECT_TRUE(done.contains(waiting[i]["id"].get<uint64_t>())) << waiting[i];
        }
        EXPECT_FALSE(done.contains(first));

        // Pages of the journal, newest first.
        const std::vector<uint64_t> page = served.ids("/api/events?limit=3");
        ASSERT_EQ(page.size(), 3u);
        EXPECT_TRUE(page[0] > page[1] && page[1] > page[2]);
        const std::vector<uint64_t> older =
            served.ids("/api/events?limit=2&before=" + std::to_string(page[2]));
        ASSERT_EQ(older.size(), 2u);
        EXPECT_TRUE(page[2] > older[0] && older[0] > older[1]);
        EXPECT_TRUE(served.ids("/api/events?before=1").empty());
        for (const char* query : {"before=abc", "before=-1", "before=1e3", "before=", "limit=x",
                                  "limit=0", "limit=1001", "limit=2.5"}) {
            auto reply = served.api.Get(std::string("/api/events?") + query);
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->status, 400) << query;
            EXPECT_TRUE(xoltest::Contains(reply->body, std::string(query).substr(0, 5)))
                << query << ": " << reply->body;
        }

        served.host->signal(SIGINT);
        xoltest::Finished done2 = served.host->wait();
        EXPECT_EQ(done2.exitCode, xoltest::EXIT_DONE) << done2.err;
        // Each try is logged, texts from the request escaped.
        EXPECT_TRUE(xoltest::Contains(done2.err, "acknowledgement from 127.0.0.1: event " + seq +
                                                     " by ann: done"))
            << done2.err;
        EXPECT_TRUE(xoltest::Contains(done2.err, "all waiting events by J\\xc3\\xbcrgen: done"))
            << done2.err;
        EXPECT_FALSE(xoltest::Contains(done2.err, "\n10.0.0.9")) << done2.err;
    }
    // Started again on the journal, serve pages back into the earlier run,
    // which its memory never held.
    Served again("0.5", Access::TokenOnly, (journal / "panel.db").string());
    auto earlierRunPaged = [&] {
        const json events = again.get("/api/events?limit=1000")["events"];
        auto started = std::find_if(events.begin(), events.end(), [](const json& e) {
            return e["event"] == "supervision_started";
        });
        if (started == events.end()) {
            return false;
        }
        const json earlier = again.get("/api/events?limit=1000&before=" +
                                       std::to_string((*started)["id"].get<uint64_t>()));
        return std::any_of(earlier["events"].begin(), earlier["events"].end(), [&](const json& e) {
            return e["event"] == "acknowledged" &&
                   e["acknowledged"] == json::array({acknowledgedEvent});
        });
    };
    EXPECT_TRUE(xoltest::WaitUntil(earlierRunPaged)) << again.host->errSoFar();
    std::filesystem::remove_all(journal);
}

TEST(Serve, RefusesAcknowledgementsWithoutATokenFile) {
    Served served("0.5", Access::None);
    auto reply = served.ack(R"({"all":true,"operator":"ann"})");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 403);
    EXPECT_TRUE(xoltest::Contains(reply->body, "--token-file")) << reply->body;
    // A simulated panel keeps no journal unless asked; the line is fine
    // once a scan has completed.
    EXPECT_TRUE(xoltest::WaitUntil([&] { return served.get("/healthz")["line"] == "ok"; }, 10s));
    EXPECT_EQ(served.get("/api/status")["journal"], "none");
    EXPECT_FALSE(served.get("/api/status")["acknowledgements"].get<bool>());
}

// Many live pages (half of them never reading) and slow clients at once:
// the health check keeps answering within a second, the scans keep their
// rhythm, and what the server held is given back after.
TEST(ServeLoad, HealthAnswersUnderManyStreamsAndSlowClients) {
    Served served("0.5");
    const pid_t pid = served.pid();
    const int descriptors = OpenDescriptors(pid);
    const long resident = ResidentKiB(pid);
    auto status = [&] {
        auto reply = served.api.Get("/api/status");
        return reply ? xoltest::ParseJson(reply->body).value("scans", 0) : -1;
    };
    const int scansBefore = status();
    const auto length = std::chrono::seconds(std::getenv("XOL_LOAD_SECONDS") != nullptr
                                                 ? std::atoi(std::getenv("XOL_LOAD_SECONDS"))
                                                 : 30);
    {
        std::vector<std::unique_ptr<RawClient>> clients;
        for (int i = 0; i < 200; ++i) {
            clients.push_back(std::make_unique<RawClient>(served.port));
            clients.back()->send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        }
        std::vector<std::unique_ptr<RawClient>> slow;
        for (int i = 0; i < 50; ++i) {
            slow.push_back(std::make_unique<RawClient>(served.port));
        }
        std::atomic<bool> stop{false};
        // Half the streams are read; the slow clients send a header byte now
        // and then.
        std::thread reader([&] {
            char buffer[4096];
            while (!stop) {
                for (std::size_t i = 0; i < clients.size(); i += 2) {
                    (void)!::recv(clients[i]->fd, buffer, sizeof buffer, MSG_DONTWAIT);
                }
                for (auto& client : slow) {
                    client->send("G");
                }
                std::this_thread::sleep_for(200ms);
            }
        });
        double slowest = 0;
        int checks = 0;
        for (auto until = Clock::now() + length; Clock::now() < until; ++checks) {
            auto start = Clock::now();
            httplib::Client health("127.0.0.1", served.port);
            health.set_connection_timeout(2, 0);
            health.set_read_timeout(2, 0);
            auto reply = health.Get("/healthz");
            double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            if (seconds > slowest) {
                std::printf("load: check %d took %.3f s\n", checks, seconds);
            }
            slowest = std::max(slowest, seconds);
            EXPECT_TRUE(reply && reply->status == 200) << "after " << seconds << " s";
            std::this_thread::sleep_for(250ms);
        }
        stop = true;
        reader.join();
        std::printf("load: %d health checks, slowest %.3f s\n", checks, slowest);
        EXPECT_LT(slowest, 1.0);
    }
    // About one scan per interval went on meanwhile.
    const int scans = status() - scansBefore;
    EXPECT_GE(scans, static_cast<int>(length.count() * 2 * 0.6)) << scans;
    // Streams and slow clients are let go: descriptors and memory return.
    EXPECT_TRUE(xoltest::WaitUntil([&] { return OpenDescriptors(pid) <= descriptors + 2; }, 20s))
        << OpenDescriptors(pid) << " descriptors, " << descriptors << " before";
    EXPECT_LT(ResidentKiB(pid) - resident, 32 * 1024);
}

} // namespace
