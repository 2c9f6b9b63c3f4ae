// xolhost's outputs against real parts on loopback: a mosquitto broker
// started here (plain and TLS, with a CA made by openssl), a libmosquitto
// subscriber, and a libmodbus client beside clients that misbehave. Every
// program is started here and killed by its process id.
#include <gtest/gtest.h>
#include <modbus.h>
#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <pwd.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "process.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using xoltest::Accepts;

std::string MosquittoPath() {
    for (const char* path : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"}) {
        if (::access(path, X_OK) == 0) {
            return path;
        }
    }
    return {};
}

#define SKIP_WITHOUT_MOSQUITTO()                                                                   \
    if (MosquittoPath().empty())                                                                   \
    GTEST_SKIP() << "mosquitto is not installed (scripts/setup.sh installs it)"

struct Folder {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("xol_outputs_e2e_" + std::to_string(::getpid()) + "_" +
                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    Folder() { std::filesystem::create_directories(path); }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

// A broker on a free port (and a TLS listener when given its files); it
// keeps sessions across a stop with SIGTERM.
struct Broker {
    const Folder& folder;
    int port = xoltest::FreePort();
    int tlsPort = 0;
    std::unique_ptr<xoltest::Process> process;

    explicit Broker(const Folder& f, bool tls = false) : folder(f) {
        std::ofstream conf(folder.file("broker.conf"));
        // Run as root, the broker would drop to its own user, which may not
        // read the test's files.
        const passwd* me = ::getpwuid(::getuid());
        conf << "user " << (me != nullptr ? me->pw_name : "root") << "\n"
             << "per_listener_settings false\nallow_anonymous true\npersistence true\n"
             << "persistence_location " << folder.path.string() << "/\nlog_dest none\n"
             << "listener " << port << " 127.0.0.1\n";
        if (tls) {
            tlsPort = xoltest::FreePort();
            conf << "listener " << tlsPort << " 127.0.0.1\ncafile " << folder.file("ca.pem")
                 << "\ncertfile " << folder.file("server.pem") << "\nkeyfile "
                 << folder.file("server.key") << "\n";
        }
        conf.close();
        start();
    }
    void start() {
        process = std::make_unique<xoltest::Process>(
            std::vector<std::string>{MosquittoPath(), "-c", folder.file("broker.conf")});
        EXPECT_TRUE(xoltest::WaitUntil([&] { return Accepts(port); })) << process->errSoFar();
    }
    void stop() {
        process->signal(SIGTERM);
        process->wait(10s);
        process.reset();
    }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port); }
};

// A subscriber to everything, in a session the broker keeps while it is
// away; it reconnects on its own.
struct Subscriber {
    mosquitto* m = nullptr;
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> messages;

    explicit Subscriber(int port, const std::string& id = "xoltest-sub", bool clean = false) {
        mosquitto_lib_init();
        m = mosquitto_new(id.c_str(), clean, this);
        mosquitto_connect_callback_set(m, [](mosquitto* c, void*, int rc) {
            if (rc == 0) {
                mosquitto_subscribe(c, nullptr, "#", 1);
            }
        });
        mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard lock(s->mutex);
            s->messages.emplace_back(msg->topic,
                                     std::string(static_cast<const char*>(msg->payload),
                                                 static_cast<std::size_t>(msg->payloadlen)));
        });
        mosquitto_reconnect_delay_set(m, 1, 1, false);
        EXPECT_EQ(mosquitto_connect(m, "127.0.0.1", port, 30), MOSQ_ERR_SUCCESS);
        mosquitto_loop_start(m);
    }
    ~Subscriber() {
        mosquitto_disconnect(m);
        mosquitto_loop_stop(m, true);
        mosquitto_destroy(m);
    }
    void publish(const std::string& topic, const std::string& payload) {
        mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, false);
    }
    // The last payload on a topic, or none.
    std::optional<std::string> last(const std::string& topic) {
        std::lock_guard lock(mutex);
        for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
            if (it->first == topic) {
                return it->second;
            }
        }
        return std::nullopt;
    }
    std::vector<json> all(const std::string& topic) {
        std::lock_guard lock(mutex);
        std::vector<json> found;
        for (const auto& [t, payload] : messages) {
            if (t == topic) {
                found.push_back(json::parse(payload, nullptr, false));
            }
        }
        return found;
    }
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
        return xoltest::WaitUntil(condition, limit);
    }
};

// The events' sequence numbers in the order they first arrived (a repeat
// after a reconnect is allowed; consumers drop it by its number).
std::vector<uint64_t> FirstArrivals(const std::vector<json>& events) {
    std::vector<uint64_t> order;
    std::set<uint64_t> seen;
    for (const json& e : events) {
        uint64_t seq = e.value("seq", uint64_t{0});
        if (seen.insert(seq).second) {
            order.push_back(seq);
        }
    }
    return order;
}

void ExpectInOrderWithoutGaps(const std::vector<uint64_t>& order, uint64_t from) {
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.front(), from);
    for (std::size_t i = 1; i < order.size(); ++i) {
        EXPECT_EQ(order[i], order[i - 1] + 1) << "after event " << order[i - 1];
    }
}

std::string Kinds(const std::vector<json>& events) {
    std::string text;
    for (const json& e : events) {
        text += " " + std::to_string(e.value("seq", 0)) + ":" + e.value("event", "?") + "/" +
                std::to_string(e.value("zone", 0));
    }
    return text;
}

bool HasEvent(Subscriber& sub, const std::string& topic, const std::string& kind, int zone) {
    for (const json& e : sub.all(topic)) {
        if (e.value("event", "") == kind && e.value("zone", 0) == zone) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> Xolhost(const std::vector<std::string>& tail) {
    std::vector<std::string> argv{XOLHOST_PATH, "--simulate", "--timeout", "1s"};
    argv.insert(argv.end(), tail.begin(), tail.end());
    return argv;
}

const char* BASE = "xolest/demo/";

TEST(Mqtt, RetainedStatesEventsDiscoveryCommandsAndTheLastWill) {
    SKIP_WITHOUT_MOSQUITTO();
    Folder folder;
    Broker broker(folder);
    std::ofstream(folder.file("site.json"))
        << R"({"site": "Hall", "zones": {"12": "stairwell east", "17": "kitchen"},
              "codes": {"1": {"name": "fire", "class": "alarm"}}})";
    Subscriber sub(broker.port);
    xoltest::Process host(
        Xolhost({"--site", folder.file("site.json"), "monitor", "--counts", "--interval", "0.5",
                 "--journal", folder.file("j"), "--panel-id", "demo", "--mqtt", broker.url(),
                 "--ha-discovery", "--mqtt-commands"}));
    const std::string base = BASE;
    ASSERT_TRUE(sub.waitFor([&] { return HasEvent(sub, base + "event", "change", 12); }))
        << host.errSoFar();
    EXPECT_EQ(sub.last(base + "availability"), "online");
    EXPECT_EQ(sub.last(base + "count/C"), "2");
    json zone17 = json::parse(sub.last(base + "zone/17").value_or("{}"));
    EXPECT_EQ(zone17["status"], 9);
    EXPECT_EQ(zone17["location"], "kitchen");
    EXPECT_TRUE(zone17["active"].get<bool>());
    EXPECT_TRUE(sub.waitFor([&] {
        return json::parse(sub.last(base + "zone/12").value_or("{}")).value("status", 0) == 1;
    }));
    EXPECT_EQ(json::parse(sub.last(base + "line").value_or("{}"))["channel"], "open");
    ExpectInOrderWithoutGaps(FirstArrivals(sub.all(base + "event")), 1);

    // Discovery: every entity parses, with what Home Assistant needs.
    json zone = json::parse(
        sub.last("homeassistant/binary_sensor/xolest_demo/zone_12/config").value_or("{}"));
    for (const char* key :
         {"name", "unique_id", "state_topic", "device", "origin", "availability"}) {
        EXPECT_TRUE(zone.contains(key)) << key;
    }
    EXPECT_TRUE(sub.last("homeassistant/sensor/xolest_demo/count_N/config").has_value());
    // Sent again when Home Assistant comes back.
    const std::size_t configs =
        sub.all("homeassistant/binary_sensor/xolest_demo/line/config").size();
    sub.publish("homeassistant/status", "online");

    // Commands: done, refused by the panel, refused here.
    sub.publish(base + "command/L0012/set", "2");
    sub.publish(base + "command/L0012/set", "3");
    sub.publish(base + "command/L0012/set", "many");
    ASSERT_TRUE(sub.waitFor([&] { return sub.all(base + "command/L0012/result").size() == 3; }));
    std::multiset<std::string> results;
    for (const json& r : sub.all(base + "command/L0012/result")) {
        results.insert(r.value("result", ""));
    }
    EXPECT_EQ(results, (std::multiset<std::string>{"done", "refused", "refused"}));
    EXPECT_TRUE(sub.waitFor([&] {
        for (const json& e : sub.all(base + "event")) {
            if (e.value("event", "") == "command" && e.value("from", "") == "mqtt") {
                return true;
            }
        }
        return false;
    }));
    EXPECT_GT(sub.all("homeassistant/binary_sensor/xolest_demo/line/config").size(), configs);

    // A subscriber that comes now is handed the retained states.
    Subscriber late(broker.port, "xoltest-late", true);
    EXPECT_TRUE(late.waitFor([&] { return late.last(base + "zone/17").has_value(); }));

    host.signal(SIGKILL);
    EXPECT_TRUE(sub.waitFor([&] { return sub.last(base + "availability") == "offline"; }));
}

TEST(Mqtt, EveryEventArrivesInOrderAcrossARestartAndABrokerOutage) {
    SKIP_WITHOUT_MOSQUITTO();
    Folder folder;
    const int port = xoltest::FreePort();
    const std::vector<std::string> args = {
        "monitor",    "--json",
        "--interval", "0.5",
        "--journal",  folder.file("j"),
        "--panel-id", "demo",
        "--mqtt",     "mqtt://127.0.0.1:" + std::to_string(port)};
    {
        // No broker at all: the events wait in the journal.
        xoltest::Process first(Xolhost(args));
        bool changed = false;
        for (int i = 0; i < 40 && !changed; ++i) {
            const json line = json::parse(first.readLine(1s), nullptr, false);
            changed = line.is_object() && line.value("zone", 0) == 12;
        }
        ASSERT_TRUE(changed) << first.errSoFar();
        first.signal(SIGKILL);
    }
    Broker broker(folder);
    std::vector<std::string> again = args;
    again.back() = broker.url();
    Subscriber sub(broker.port);
    const std::string events = std::string(BASE) + "event";
    xoltest::Process second(Xolhost(again));
    // The first run's events come first, from the first on.
    ASSERT_TRUE(sub.waitFor([&] { return HasEvent(sub, events, "supervision_started", 0); }))
        << second.errSoFar();
    broker.stop(); // the zones change while it is away (3.5, 6.5, 9.5 s)
    std::this_thread::sleep_for(11s);
    broker.start();
    ASSERT_TRUE(sub.waitFor(
        [&] {
            auto all = sub.all(events);
            return !all.empty() && HasEvent(sub, events, "change", 17) &&
                   std::count_if(all.begin(), all.end(), [](const json& e) {
                       return e.value("event", "") == "change" && e.value("zone", 0) == 12;
                   }) >= 2;
        },
        60s))
        << second.errSoFar() << Kinds(sub.all(events));
    ExpectInOrderWithoutGaps(FirstArrivals(sub.all(events)), 1);
    // The retained states are published again, as they are now.
    EXPECT_TRUE(sub.waitFor([&] {
        return json::parse(sub.last(std::string(BASE) + "zone/17").value_or("{}"))
                   .value("status", 0) == 8;
    }));
}

TEST(Mqtt, ConnectsOverTlsWithTheTestsOwnCa) {
    SKIP_WITHOUT_MOSQUITTO();
    Folder folder;
    const std::string d = folder.path.string();
    const std::string make =
        "cd " + d +
        " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=xoltest-ca"
        " -keyout ca.key -out ca.pem"
        " && openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key"
        " -out server.csr"
        " && printf 'subjectAltName=IP:127.0.0.1\\n' > ext"
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2"
        " -extfile ext -out server.pem";
    ASSERT_EQ(xoltest::Run({"sh", "-c", make + " 2>/dev/null"}).exitCode, 0);
    Broker broker(folder, true);
    ASSERT_TRUE(xoltest::WaitUntil([&] { return Accepts(broker.tlsPort); }));
    Subscriber sub(broker.port);
    xoltest::Process host(Xolhost({"monitor", "--no-journal", "--panel-id", "demo", "--mqtt",
                                   "mqtts://127.0.0.1:" + std::to_string(broker.tlsPort),
                                   "--mqtt-ca", folder.file("ca.pem")}));
    EXPECT_TRUE(sub.waitFor([&] {
        return sub.last(std::string(BASE) + "availability") == "online" &&
               sub.last(std::string(BASE) + "zone/17").has_value();
    })) << host.errSoFar();
}

// A connected socket that sends what it is given, then nothing.
struct RawClient {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    RawClient(int port, const std::string& bytes) {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(static_cast<uint16_t>(port));
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        if (!bytes.empty()) {
            EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), 0),
                      static_cast<ssize_t>(bytes.size()));
        }
    }
    ~RawClient() { ::close(fd); }
};

// A read the library would refuse to send: the server judges it.
int RawRead(modbus_t* mb, int first, int count) {
    const uint8_t request[] = {0xFF,
                               0x03,
                               static_cast<uint8_t>(first >> 8),
                               static_cast<uint8_t>(first),
                               static_cast<uint8_t>(count >> 8),
                               static_cast<uint8_t>(count)};
    if (modbus_send_raw_request(mb, request, sizeof request) < 0) {
        return -2;
    }
    uint8_t reply[MODBUS_TCP_MAX_ADU_LENGTH];
    const int length = modbus_receive_confirmation(mb, reply);
    if (length < 9 || (reply[7] & 0x80) == 0) {
        return length < 0 ? -1 : 0;
    }
    errno = MODBUS_ENOBASE + reply[8]; // the exception, as the library reports one
    return -1;
}

TEST(Modbus, ReadsZonesCountsAndLineRefusesWritesAndOutlastsBadClients) {
    const int port = xoltest::FreePort();
    xoltest::Process host(Xolhost({"monitor", "--no-journal", "--interval", "0.5", "--counts",
                                   "--modbus", "127.0.0.1:" + std::to_string(port)}));
    ASSERT_TRUE(xoltest::WaitUntil([&] { return Accepts(port); }, 20s)) << host.errSoFar();
    // Beside the good client: one silent, one with half a request, one
    // with garbage.
    RawClient silent(port, "");
    RawClient half(port, std::string("\x00\x01\x00", 3));
    RawClient garbage(port, "GET / HTTP/1.0\r\n\r\n");
    modbus_t* mb = modbus_new_tcp("127.0.0.1", port);
    ASSERT_EQ(modbus_connect(mb), 0);
    modbus_set_response_timeout(mb, 2, 0);
    uint16_t words[125] = {};
    ASSERT_TRUE(xoltest::WaitUntil([&] {
        return modbus_read_registers(mb, 17, 1, words) == 1 && (words[0] & 0xFF) == 0x09 &&
               modbus_read_registers(mb, 7002, 2, words) == 2 && words[0] == 2;
    })) << host.errSoFar();
    ASSERT_EQ(modbus_read_input_registers(mb, 17, 1, words), 1);
    EXPECT_EQ(words[0], 0x09 | 0x4000); // its initial status waits for acknowledgement
    ASSERT_EQ(modbus_read_registers(mb, 7001, 6, words), 6);
    EXPECT_EQ(words[0], 0); // line open
    EXPECT_EQ(words[1], 2); // C
    EXPECT_EQ(words[2], 5); // N
    EXPECT_LE(words[3], 5); // seconds since the last completed scan
    EXPECT_GE(words[4], 1); // completed scans
    EXPECT_EQ(words[5], 5); // unacknowledged events
    ASSERT_EQ(modbus_read_registers(mb, 6299, 1, words), 1);
    EXPECT_EQ(words[0] & 0xFF, 0x08);

    struct Refused {
        const char* what;
        std::function<int()> call;
        int error;
    };
    const uint16_t one = 1;
    const Refused refused[] = {
        {"zone 0", [&] { return modbus_read_registers(mb, 0, 1, words); }, EMBXILADD},
        {"6299..6300", [&] { return modbus_read_registers(mb, 6299, 2, words); }, EMBXILADD},
        {"7000", [&] { return modbus_read_input_registers(mb, 7000, 1, words); }, EMBXILADD},
        {"7007", [&] { return modbus_read_registers(mb, 7007, 1, words); }, EMBXILADD},
        {"126 words", [&] { return RawRead(mb, 1, 126); }, EMBXILVAL},
        {"none", [&] { return RawRead(mb, 1, 0); }, EMBXILVAL},
        {"write one", [&] { return modbus_write_register(mb, 17, 1); }, EMBXILFUN},
        {"write several", [&] { return modbus_write_registers(mb, 17, 1, &one); }, EMBXILFUN},
    };
    for (const Refused& r : refused) {
        errno = 0;
        EXPECT_EQ(r.call(), -1) << r.what;
        EXPECT_EQ(errno, r.error) << r.what << ": " << modbus_strerror(errno);
    }
    // The whole map, 51 requests, while the bad clients hang on.
    for (int first = 1; first <= 6299; first += 125) {
        int n = std::min(125, 6300 - first);
        ASSERT_EQ(modbus_read_registers(mb, first, n, words), n) << first;
    }
    // And the scans go on: zone 12 gains its status at 3.5 s.
    EXPECT_TRUE(xoltest::WaitUntil(
        [&] { return modbus_read_registers(mb, 12, 1, words) == 1 && (words[0] & 0xFF) == 0x01; },
        20s));
    modbus_close(mb);
    modbus_free(mb);
}

} // namespace
