// The outputs' cost: the time from a scan's end to its MQTT `event` message
// at a subscriber (journal commit, the output's thread, a mosquitto broker
// on loopback), and Modbus TCP reads of the whole map (51 requests of 125
// registers) per second. Prints Markdown rows; judges no figure. Without
// mosquitto the MQTT rows say so.
#include <modbus.h>
#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "journal/journal.h"
#include "outputs/modbus_output.h"
#include "outputs/mqtt_output.h"
#include "supervision/supervisor.h"
#include "support/loopback.h"
#include "toggling_panel.h"

extern char** environ;

namespace {

using namespace xolhost;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using xolbench::Percentile;
using xolbench::Toggling;
using xoltest::Accepts;
using xoltest::FreePort;
using xoltest::WaitUntil;

// Receive times of the `event` messages, by sequence number.
struct Subscriber {
    std::mutex mutex;
    std::map<uint64_t, Steady::time_point> received;
    static void Message(mosquitto*, void* self, const mosquitto_message* msg) {
        const auto now = Steady::now();
        auto body = nlohmann::json::parse(static_cast<const char*>(msg->payload),
                                          static_cast<const char*>(msg->payload) + msg->payloadlen,
                                          nullptr, false);
        auto* s = static_cast<Subscriber*>(self);
        std::lock_guard lock(s->mutex);
        s->received.emplace(body.value("seq", uint64_t{0}), now);
    }
};

// Median and 99th percentile in ms; false when no broker could be run.
bool MqttLatency(const std::filesystem::path& folder, int steps, std::vector<double>& ms) {
    const char* broker =
        ::access("/usr/sbin/mosquitto", X_OK) == 0 ? "/usr/sbin/mosquitto" : "/usr/bin/mosquitto";
    if (::access(broker, X_OK) != 0) {
        return false;
    }
    const int port = FreePort();
    const std::string conf = (folder / "broker.conf").string();
    std::ofstream(conf) << "allow_anonymous true\nlog_dest none\nlistener " << port
                        << " 127.0.0.1\n";
    pid_t pid = -1;
    const char* args[] = {broker, "-c", conf.c_str(), nullptr};
    if (::posix_spawn(&pid, broker, nullptr, nullptr, const_cast<char**>(args), environ) != 0 ||
        !WaitUntil([&] { return Accepts(port); }, 10s)) {
        return false;
    }
    mosquitto_lib_init();
    Subscriber subscriber;
    mosquitto* sub = mosquitto_new(nullptr, true, &subscriber);
    mosquitto_message_callback_set(sub, Subscriber::Message);
    mosquitto_connect(sub, "127.0.0.1", port, 30);
    mosquitto_subscribe(sub, nullptr, "bench/panel/event", 1);
    mosquitto_loop_start(sub);
    {
        const std::string path = (folder / "bench.journal").string();
        auto journal = Journal::Open(path, {"panel", "", ""}, nullptr, true);
        Toggling panel;
        Supervisor supervisor(panel, {});
        supervisor.setJournal(*journal);
        MqttSettings mqtt;
        mqtt.host = "127.0.0.1";
        mqtt.port = port;
        mqtt.prefix = "bench";
        mqtt.panelId = "panel";
        FeedSettings feed;
        feed.output = "mqtt";
        feed.journalPath = path;
        MqttOutput output(mqtt, std::make_unique<OutputFeed>(feed), nullptr);
        supervisor.addSink(output.sink());
        WaitUntil([&] { return output.status().connected; }, 10s);
        std::this_thread::sleep_for(200ms); // the subscription in place
        for (int i = 0; i < steps; ++i) {
            supervisor.step();
            std::this_thread::sleep_for(10ms);
        }
        WaitUntil(
            [&] {
                std::lock_guard lock(subscriber.mutex);
                return subscriber.received.size() >= static_cast<std::size_t>(steps);
            },
            10s);
        output.stop();
        std::lock_guard lock(subscriber.mutex);
        for (const auto& [seq, at] : subscriber.received) {
            if (seq >= 1 && seq <= panel.scanEnded.size()) {
                ms.push_back(
                    std::chrono::duration<double, std::milli>(at - panel.scanEnded[seq - 1])
                        .count());
            }
        }
    }
    mosquitto_disconnect(sub);
    mosquitto_loop_stop(sub, true);
    mosquitto_destroy(sub);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    return true;
}

// Reads of all 6299 zones per second, 51 requests each.
double ModbusMapsPerSecond(std::chrono::milliseconds span) {
    const int port = FreePort();
    FeedSettings feed;
    feed.events = false;
    ModbusOutput output("127.0.0.1:" + std::to_string(port), std::make_unique<OutputFeed>(feed));
    modbus_t* client = modbus_new_tcp("127.0.0.1", port);
    if (modbus_connect(client) != 0) {
        modbus_free(client);
        return 0;
    }
    uint16_t words[125];
    uint64_t maps = 0;
    const auto start = Steady::now();
    while (Steady::now() - start < span) {
        for (int first = 1; first <= ZONE_COUNT; first += 125) {
            const int count = std::min(125, ZONE_COUNT + 1 - first);
            if (modbus_read_registers(client, first, count, words) != count) {
                std::fprintf(stderr, "bench_outputs: a Modbus read failed: %s\n",
                             modbus_strerror(errno));
                modbus_free(client);
                return 0;
            }
        }
        ++maps;
    }
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    modbus_close(client);
    modbus_free(client);
    return static_cast<double>(maps) / seconds;
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    const auto folder =
        std::filesystem::current_path() / ("xol_bench_outputs_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::vector<double> latency;
    const bool broker = MqttLatency(folder, quick ? 20 : 500, latency);
    std::filesystem::remove_all(folder);
    if (broker) {
        std::printf("| MQTT: scan end to its event at a subscriber, median ms | %.3f | | | |\n",
                    Percentile(latency, 0.5));
        std::printf("| MQTT: scan end to its event at a subscriber, 99th percentile ms | %.3f | "
                    "| | |\n",
                    Percentile(latency, 0.99));
    } else {
        std::printf("| MQTT: scan end to its event at a subscriber | (no mosquitto) | | | |\n");
    }
    std::printf("| Modbus TCP: reads of all 6299 zones (51 requests) per second | %.0f | | | |\n",
                ModbusMapsPerSecond(quick ? 200ms : 3000ms));
    return latency.empty() && broker ? 1 : 0;
}
