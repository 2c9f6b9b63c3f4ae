// xolhost as a service, from outside: configuration files good and bad with
// their messages, the command line over the file, secrets kept out of
// sight, the notification protocol on a real AF_UNIX datagram socket made
// here (readiness, status, the watchdog, stopping; a silent panel still
// fed), the journal under $STATE_DIRECTORY, and the docs' example file
// running the demo panel with its page, Modbus TCP, MQTT and journal.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "process.h"

namespace {

using namespace std::chrono_literals;
using xoltest::Accepts;
using xoltest::Contains;
using xoltest::Finished;
using xoltest::Process;
using Steady = std::chrono::steady_clock;

struct Folder {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("xol_service_e2e_" + std::to_string(::getpid()) + "_" +
                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    Folder() { std::filesystem::create_directories(path); }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return (path / name).string(); }
    std::string write(const std::string& name, const std::string& text, mode_t mode = 0600) const {
        const std::string at = file(name);
        std::ofstream(at) << text;
        ::chmod(at.c_str(), mode);
        return at;
    }
};

// xolhost --config FILE config, then `args` (the command's options and the
// program's).
Finished Config(const std::string& file, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--config", file, "config"});
    return xoltest::RunXolhost(args);
}

TEST(ConfigFile, GoodAndBadFilesWithTheirMessages) {
    struct Case {
        const char* what;
        const char* text;
        int exitCode;
        const char* says; // in standard output when valid, standard error when not
    };
    const Case cases[] = {
        {"the panel and every output",
         "port = \"ttyS0\"\nbaud = 9600\nparity = \"none\"\nstop_bits = 1.5\ntimeout = \"100ms\"\n"
         "[serve]\nlisten = \"127.0.0.1:9000\"\nallowed_hosts = [\"gw\"]\n"
         "[mqtt]\nurl = \"mqtt://broker:1883\"\nha_discovery = true\n"
         "[modbus]\nlisten = \"127.0.0.1:1502\"\n",
         0, "stop_bits = 1.5"},
        {"a misspelt key", "[mqtt]\nurll = \"mqtt://x\"\n", 64,
         "panel.toml: mqtt.urll: unknown key (did you mean \"url\"?)"},
        {"a misspelt table", "[serv]\n", 64,
         "panel.toml: serv: unknown key (did you mean \"serve\"?)"},
        {"a key like none", "[modbus]\nunit = 3\n", 64,
         "panel.toml: modbus.unit: unknown key (known: listen)"},
        {"text for a number", "baud = \"fast\"\n", 64,
         "panel.toml: baud: must be a whole number, not text"},
        {"out of range", "data_bits = 9\n", 64, "panel.toml: data_bits: must be 5..8, not 9"},
        {"a time-out of 0", "timeout = 0\n", 64, "panel.toml: timeout: a time-out of 0"},
        {"a misspelt parity", "parity = \"evn\"\n", 64,
         "panel.toml: parity: \"evn\" is no parity (did you mean \"even\"?)"},
        {"a value for a table", "mqtt = \"mqtt://x\"\n", 64,
         "panel.toml: mqtt: must be a table ([mqtt]), not text"},
        {"what needs another key", "[mqtt]\nprefix = \"site\"\n", 64,
         "panel.toml: mqtt.prefix: needs mqtt.url"},
        {"what excludes another", "port = \"ttyS0\"\nsimulate = true\n", 64,
         "panel.toml: port: excludes simulate"},
        {"a file that is missing", "site = \"nothere.json\"\n", 64, "nothere.json: cannot be read"},
        {"no TOML", "port = \n", 64, "panel.toml:1:"},
    };
    Folder folder;
    for (const Case& c : cases) {
        const std::string file = folder.write("panel.toml", c.text);
        Finished run = Config(file);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.what << "\n" << run.err;
        EXPECT_TRUE(Contains(c.exitCode == 0 ? run.out : run.err, c.says)) << c.what << "\n"
                                                                           << run.out << run.err;
    }
}

TEST(ConfigFile, TheCommandLineWinsOverTheFile) {
    Folder folder;
    folder.write("site.json", R"({"zones": {"17": "stairwell east"}})");
    const std::string file =
        folder.write("panel.toml", "simulate = true\nbaud = 9600\nparity = \"odd\"\n"
                                   "site = \"site.json\"\n[serve]\nlisten = \"127.0.0.1:9000\"\n");
    Finished run =
        Config(file, {"--json", "--baud", "4800", "--port", "ttyS1", "--listen", "127.0.0.1:9100"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json settings = xoltest::ParseJson(run.out)["settings"];
    auto is = [&](const char* key, const nlohmann::json& value, const char* from) {
        EXPECT_EQ(settings[key]["value"], value) << key;
        EXPECT_EQ(settings[key]["from"], from) << key;
    };
    is("baud", 4800, "command line");
    is("parity", "odd", "file");
    is("port", "ttyS1", "command line");
    is("simulate", nullptr, ""); // the file's simulate gave way to the command line's port
    is("serve.listen", "127.0.0.1:9100", "command line");
    is("site", folder.file("site.json"), "file"); // from the file's own folder
}

TEST(ConfigFile, SecretsAreMaskedAndMustBeKeptFromOthers) {
    Folder folder;
    const std::string password = folder.write("mqtt.password", "hunter2-secret\n");
    folder.write("token", "token-secret\n");
    const std::string file =
        folder.write("panel.toml", "[serve]\ntoken_file = \"token\"\nallow_commands = true\n"
                                   "[mqtt]\nurl = \"mqtt://broker:1883\"\nuser = \"north\"\n"
                                   "password_file = \"mqtt.password\"\n");
    for (const char* form : {"text", "json"}) {
        Finished run = Config(file, form == std::string("json") ? std::vector<std::string>{"--json"}
                                                                : std::vector<std::string>{});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_FALSE(Contains(run.out + run.err, "hunter2")) << run.out;
        EXPECT_FALSE(Contains(run.out + run.err, "token-secret")) << run.out;
        EXPECT_TRUE(Contains(run.out, password)) << run.out;
        EXPECT_TRUE(Contains(run.out, "********")) << run.out;
    }
    ::chmod(password.c_str(), 0644);
    Finished refused = Config(file);
    EXPECT_EQ(refused.exitCode, 64);
    EXPECT_TRUE(Contains(refused.err,
                         "panel.toml: mqtt.password_file: " + password + ": others may read it"))
        << refused.err;
}

// The service manager's end of the notification socket.
class NotifySocket {
public:
    explicit NotifySocket(std::string path) : path_(std::move(path)) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~NotifySocket() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }
    struct Heard {
        Steady::time_point at;
        std::string text;
    };
    // Everything sent within `span`, as it came.
    std::vector<Heard> listen(std::chrono::milliseconds span) {
        std::vector<Heard> heard;
        const auto end = Steady::now() + span;
        while (Steady::now() < end) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now());
            pollfd watch{fd_, POLLIN, 0};
            if (::poll(&watch, 1, static_cast<int>(std::max(left, 1ms).count())) <= 0) {
                continue;
            }
            char buffer[4096];
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) {
                heard.push_back({Steady::now(), std::string(buffer, static_cast<std::size_t>(n))});
            }
        }
        return heard;
    }

private:
    std::string path_;
    int fd_ = -1;
};

// The keep-alives heard, and the longest time between two of them, or
// from the last to `end` (the watchdog runs from readiness on; the start
// has a time-out of its own).
std::pair<int, std::chrono::milliseconds> KeepAlives(const std::vector<NotifySocket::Heard>& heard,
                                                     Steady::time_point end) {
    int count = 0;
    std::chrono::milliseconds longest{0};
    std::optional<Steady::time_point> last;
    auto since = [&](Steady::time_point at) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(at - *last);
    };
    for (const auto& message : heard) {
        if (Contains(message.text, "WATCHDOG=1")) {
            ++count;
            longest = last ? std::max(longest, since(message.at)) : longest;
            last = message.at;
        }
    }
    return {count, last ? std::max(longest, since(end)) : longest};
}

std::vector<std::string> UnderService(const NotifySocket& socket, const char* watchdog,
                                      std::vector<std::string> args) {
    args.insert(args.begin(), {"env", "NOTIFY_SOCKET=" + socket.path(),
                               std::string("WATCHDOG_USEC=") + watchdog, XOLHOST_PATH});
    return args;
}

std::string All(const std::vector<NotifySocket::Heard>& heard) {
    std::string text;
    for (const auto& message : heard) {
        text += message.text + "--\n";
    }
    return text;
}

TEST(ServiceNotify, ReadinessStatusWatchdogAndStopping) {
    Folder folder;
    NotifySocket socket(folder.file("notify"));
    Process host(
        UnderService(socket, "2000000",
                     {"--simulate", "monitor", "--counts", "--no-journal", "--interval", "0.2"}));
    std::vector<NotifySocket::Heard> heard = socket.listen(4s);
    const auto listened = Steady::now();
    host.signal(SIGTERM);
    std::vector<NotifySocket::Heard> end = socket.listen(2s);
    Finished finished = host.wait(10s);
    EXPECT_EQ(finished.exitCode, 0) << finished.err;

    ASSERT_GE(heard.size(), 2u) << finished.err;
    // Before the first scan: the start is given the longest step, and the
    // 2 s watchdog is raised to what the default line needs, as config
    // says it.
    Finished config = xoltest::RunXolhost({"--json", "config"});
    const auto needed = xoltest::ParseJson(config.out)["watchdog_seconds"].get<int64_t>();
    EXPECT_TRUE(Contains(heard[0].text, "STATUS=first scan of /dev/pts/")) << heard[0].text;
    EXPECT_TRUE(Contains(heard[0].text, "EXTEND_TIMEOUT_USEC=")) << heard[0].text;
    EXPECT_TRUE(Contains(heard[0].text, "WATCHDOG_USEC=" + std::to_string(needed) + "000000"))
        << heard[0].text;
    EXPECT_TRUE(Contains(finished.err, "raised to " + std::to_string(needed) + " s"))
        << finished.err;
    EXPECT_EQ(heard[1].text.rfind("READY=1\nSTATUS=line open; last scan ", 0), 0u) << heard[1].text;
    EXPECT_TRUE(Contains(heard[1].text, "5 zones in a status; 5 unacknowledged")) << heard[1].text;
    auto [count, longest] = KeepAlives(heard, listened);
    EXPECT_GE(count, 4) << All(heard); // at least twice per 2 s
    EXPECT_LT(longest, 2000ms) << All(heard);
    ASSERT_FALSE(end.empty());
    EXPECT_TRUE(Contains(All(end), "STOPPING=1\nSTATUS=stopping: SIGTERM")) << All(end);
}

TEST(ServiceNotify, ASilentPanelStillKeepsTheWatchdogFed) {
    Process panel({XOLPANEL_PATH, "--silent-for", "1000000"});
    const std::string device = panel.readLine(5s);
    ASSERT_FALSE(device.empty()) << panel.errSoFar();
    Folder folder;
    NotifySocket socket(folder.file("notify"));
    // Each failed scan is bounded: three attempts of 100 ms and 2 s of
    // listening for late answers; the keep-alive follows each.
    Process host(UnderService(
        socket, "6000000",
        {"--port", device, "--timeout", "10", "monitor", "--no-journal", "--interval", "0.2"}));
    std::vector<NotifySocket::Heard> heard = socket.listen(9s);
    const auto listened = Steady::now();
    host.signal(SIGTERM);
    host.wait(20s);
    const std::string text = All(heard);
    EXPECT_TRUE(Contains(text, "READY=1\nSTATUS=line failing; last scan ")) << text;
    EXPECT_TRUE(Contains(text, "failed; no scan completed yet")) << text;
    auto [count, longest] = KeepAlives(heard, listened);
    EXPECT_GE(count, 3) << text;
    EXPECT_LT(longest, 6000ms) << text;
}

TEST(Service, TheJournalGoesToTheStateDirectory) {
    Process panel({XOLPANEL_PATH});
    const std::string device = panel.readLine(5s);
    ASSERT_FALSE(device.empty()) << panel.errSoFar();
    Folder folder;
    Finished run =
        xoltest::Run({"env", "STATE_DIRECTORY=" + folder.path.string(), XOLHOST_PATH, "--port",
                      device, "monitor", "--scans", "1", "--panel-id", "north"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(std::filesystem::is_regular_file(folder.file("north.db"))) << run.err;
    // A journal kept under the name used before <id>.db stays in use: its
    // sequence numbers go on.
    std::filesystem::rename(folder.file("north.db"), folder.file("south.journal"));
    run = xoltest::Run({"env", "STATE_DIRECTORY=" + folder.path.string(), XOLHOST_PATH, "--port",
                        device, "--json", "monitor", "--scans", "1", "--panel-id", "south"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_FALSE(std::filesystem::exists(folder.file("south.db")));
    EXPECT_GT(xoltest::ParseJsonLines(run.out).at(0).value("seq", 0), 1) << run.out;
}

std::string MosquittoPath() {
    for (const char* path : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"}) {
        if (::access(path, X_OK) == 0) {
            return path;
        }
    }
    return {};
}

// Connects to 127.0.0.1:port, sends `request` and reads until the peer
// closes or `expected` bytes came (0: until it closes).
std::string Exchange(int port, const std::string& request, std::size_t expected = 0) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        pollfd watch{fd, POLLIN, 0};
        char buffer[4096];
        while ((expected == 0 || reply.size() < expected) && ::poll(&watch, 1, 5000) > 0) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            reply.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return reply;
}

// Read holding register 17 (zone 17) with unit 1.
const std::string ZONE_17_REQUEST("\x00\x01\x00\x00\x00\x06\x01\x03\x00\x11\x00\x01", 12);

TEST(Service, TheDocsExampleRunsTheDemoWithItsOutputs) {
    if (MosquittoPath().empty()) {
        GTEST_SKIP() << "mosquitto is not installed (scripts/setup.sh installs it)";
    }
    Folder folder;
    const int brokerPort = xoltest::FreePort();
    const passwd* me = ::getpwuid(::getuid());
    folder.write("broker.conf", "user " + std::string(me ? me->pw_name : "root") +
                                    "\nallow_anonymous true\nlog_dest none\nlistener " +
                                    std::to_string(brokerPort) + " 127.0.0.1\n");
    Process broker({MosquittoPath(), "-c", folder.file("broker.conf")});
    ASSERT_TRUE(xoltest::WaitUntil([&] { return Accepts(brokerPort); })) << broker.errSoFar();
    // The example's own ports may be taken on this machine: the command
    // line moves them, and the file gives the rest.
    const int web = xoltest::FreePort();
    const int modbus = xoltest::FreePort();
    const std::string journal = folder.file("demo.journal");
    Process host({XOLHOST_PATH, "--config", XOL_SERVICE_EXAMPLE, "serve", "--listen",
                  "127.0.0.1:" + std::to_string(web), "--modbus",
                  "127.0.0.1:" + std::to_string(modbus), "--mqtt",
                  "mqtt://127.0.0.1:" + std::to_string(brokerPort), "--journal", journal});
    const std::string health = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(web) +
                               "\r\nConnection: close\r\n\r\n";
    ASSERT_TRUE(xoltest::WaitUntil([&] { return Contains(Exchange(web, health), " 200 "); }, 20s))
        << host.errSoFar();
    std::string registers;
    ASSERT_TRUE(xoltest::WaitUntil(
        [&] {
            registers = Exchange(modbus, ZONE_17_REQUEST, 11);
            return registers.size() == 11 && registers[10] == 0x09;
        },
        20s))
        << host.errSoFar();
    Finished online =
        xoltest::Run({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(brokerPort), "-t",
                      "xolest/demo/availability", "-C", "1", "-W", "10"});
    EXPECT_EQ(online.out, "online\n") << online.err << host.errSoFar();
    host.signal(SIGTERM);
    Finished served = host.wait(20s);
    EXPECT_EQ(served.exitCode, 0) << served.err;
    Finished kept = xoltest::RunXolhost({"journal", "--journal", journal});
    EXPECT_EQ(kept.exitCode, 0) << kept.err;
    EXPECT_TRUE(Contains(kept.out, "P0017")) << kept.out;
}

} // namespace
