// xolhost serve against clients that misbehave: bodies that would make the
// driver send what nobody asked for, bodies too large to read, texts meant to
// forge log lines, and (label load) many live pages and slow clients at
// once while the health check must keep answering.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

const char* TOKEN = "s3cret-token";

// xolhost --simulate serve with commands on, listening on a free port.
struct Served {
    std::filesystem::path dir;
    int port = xoltest::FreePort();
    std::unique_ptr<xoltest::Process> host;
    httplib::Client api{"127.0.0.1", port};

    explicit Served(const char* interval = "0.5") {
        dir = std::filesystem::temp_directory_path() /
              ("xol_serve_" + std::to_string(::getpid()) + "_" + std::to_string(port));
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "token") << TOKEN << "\n";
        host = std::make_unique<xoltest::Process>(std::vector<std::string>{
            XOLHOST_PATH, "--simulate", "--timeout", "1s", "serve", "--listen",
            "127.0.0.1:" + std::to_string(port), "--interval", interval, "--allow-commands",
            "--token-file", (dir / "token").string()});
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
