#include "outputs/mqtt_output.h"

#include <fmt/format.h>
#include <mosquitto.h>

#include <algorithm>
#include <deque>
#include <future>
#include <map>
#include <poll.h>
#include <set>

#include "module/driver.h"
#include "supervision/command_queue.h"

namespace xolhost {

namespace {

using namespace std::chrono_literals;
using SteadyTime = std::chrono::steady_clock;

std::once_flag libraryStarted;
constexpr int KEEPALIVE_SECONDS = 30;
constexpr std::size_t WINDOW = 64; // events published and not yet acknowledged
constexpr auto FIRST_BACKOFF = 1s;
constexpr auto LAST_BACKOFF = 60s;
constexpr int QOS = 1;

struct PendingCommand {
    std::string address;
    uint16_t value = 0;
    std::future<CommandResult> outcome;
};

// A command's value: 0..65535, in decimal.
std::optional<uint16_t> ValueOf(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
        text.pop_back();
    }
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    long value = std::stol(text);
    return value <= 0xFFFF ? std::optional<uint16_t>(static_cast<uint16_t>(value)) : std::nullopt;
}

} // namespace

// The output thread's work: one connection at a time (a fresh client for
// each, so nothing of the last one is sent again behind our back), and what
// outlives connections.
struct MqttOutput::Session {
    MqttOutput& owner;
    const MqttSettings& settings;
    OutputFeed& feed;
    mosquitto* m = nullptr;
    bool up = false;   // the broker accepted the connection
    bool lost = false; // to be torn down

    std::map<int, uint64_t> inflight; // message id -> event sequence
    std::deque<uint64_t> order;       // events published, oldest first
    std::set<uint64_t> acknowledged;  // ahead of an older one still in flight
    uint64_t lastSent = 0;
    std::map<std::string, std::string> retained; // what this connection published
    std::vector<PendingCommand> pending;
    std::optional<int> goodbyeId;
    bool goodbyeAcknowledged = false;

    std::optional<FedState> latest;
    bool statesDue = false;
    std::set<int> shown; // zones that had a status in this run
    std::chrono::seconds backoff = FIRST_BACKOFF;
    SteadyTime::time_point nextAttempt = SteadyTime::now();

    Session(MqttOutput& o) : owner(o), settings(o.settings_), feed(*o.feed_) {}
    ~Session() { drop(); }

    void log(const std::string& text) const {
        if (settings.log) {
            settings.log("mqtt: " + text);
        }
    }

    void drop() {
        if (m != nullptr) {
            mosquitto_destroy(m);
            m = nullptr;
        }
        up = false;
        lost = false;
        owner.connected_ = false;
        inflight.clear();
        order.clear();
        acknowledged.clear();
        retained.clear();
    }

    void retry(const std::string& why) {
        drop();
        log(fmt::format("{}; trying again in {} s", why, backoff.count()));
        nextAttempt = SteadyTime::now() + backoff;
        backoff = std::min<std::chrono::seconds>(backoff * 2, LAST_BACKOFF);
    }

    void connect() {
        m = mosquitto_new(("xolhost-" + settings.panelId).c_str(), true, this);
        if (m == nullptr) {
            retry("no client could be made");
            return;
        }
        mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        if (!settings.user.empty()) {
            mosquitto_username_pw_set(m, settings.user.c_str(),
                                      settings.password.empty() ? nullptr
                                                                : settings.password.c_str());
        }
        if (settings.tls) {
            const bool ca = !settings.caFile.empty();
            int rc = mosquitto_tls_set(m, ca ? settings.caFile.c_str() : nullptr,
                                       ca ? nullptr : "/etc/ssl/certs", nullptr, nullptr, nullptr);
            if (rc != MOSQ_ERR_SUCCESS) {
                retry(fmt::format("TLS: {}", mosquitto_strerror(rc)));
                return;
            }
        }
        const std::string will = settings.base() + "availability";
        mosquitto_will_set(m, will.c_str(), 7, "offline", QOS, true);
        mosquitto_connect_callback_set(
            m, [](mosquitto*, void* self, int rc) { static_cast<Session*>(self)->connected(rc); });
        mosquitto_publish_callback_set(
            m, [](mosquitto*, void* self, int id) { static_cast<Session*>(self)->published(id); });
        mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
            static_cast<Session*>(self)->message(*msg);
        });
        int rc = mosquitto_connect(m, settings.host.c_str(), settings.port, KEEPALIVE_SECONDS);
        if (rc != MOSQ_ERR_SUCCESS) {
            retry(
                fmt::format("cannot connect to {}:{}: {}", settings.host, settings.port,
                            rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)));
        }
    }

    void connected(int rc) {
        if (rc != 0) {
            lost = true;
            log(fmt::format("the broker refused the connection: {}", mosquitto_connack_string(rc)));
            return;
        }
        up = true;
        owner.connected_ = true;
        ++owner.connects_;
        backoff = FIRST_BACKOFF;
        log(fmt::format("connected to {}:{}", settings.host, settings.port));
        publish(settings.base() + "availability", "online", true);
        statesDue = latest.has_value();
        lastSent = feed.lastDelivered();
        if (settings.discovery) {
            mosquitto_subscribe(m, nullptr, (*settings.discovery + "/status").c_str(), QOS);
            discover();
        }
        if (settings.commands) {
            mosquitto_subscribe(m, nullptr, (settings.base() + "command/+/set").c_str(), QOS);
        }
    }

    int publish(const std::string& topic, const std::string& payload, bool retain) {
        int id = 0;
        int rc = mosquitto_publish(m, &id, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), QOS, retain);
        if (rc != MOSQ_ERR_SUCCESS) {
            lost = true;
        }
        return id;
    }

    void published(int id) {
        if (goodbyeId && id == *goodbyeId) {
            goodbyeAcknowledged = true;
        }
        auto found = inflight.find(id);
        if (found == inflight.end()) {
            return; // a retained state
        }
        acknowledged.insert(found->second);
        inflight.erase(found);
        uint64_t upTo = 0;
        while (!order.empty() && acknowledged.erase(order.front()) != 0) {
            upTo = order.front();
            order.pop_front();
        }
        if (upTo != 0) {
            feed.delivered(upTo);
        }
    }

    void message(const mosquitto_message& msg) {
        const std::string topic = msg.topic;
        const std::string payload(static_cast<const char*>(msg.payload),
                                  static_cast<std::size_t>(msg.payloadlen));
        if (settings.discovery && topic == *settings.discovery + "/status") {
            if (payload == "online") {
                discover();
            }
            return;
        }
        const std::string head = settings.base() + "command/";
        if (!settings.commands || topic.rfind(head, 0) != 0 || topic.size() < head.size() + 5 ||
            topic.compare(topic.size() - 4, 4, "/set") != 0) {
            return;
        }
        const std::string address = topic.substr(head.size(), topic.size() - head.size() - 4);
        std::optional<uint16_t> value = ValueOf(payload);
        if (!value) {
            answer(address, 0, {RC_REFUSED, "the value must be a number 0..65535"});
            return;
        }
        auto outcome = owner.commands_ != nullptr ? owner.commands_->push(address, *value, "mqtt")
                                                  : std::nullopt;
        if (!outcome) {
            answer(address, *value, {RC_REFUSED, "xolhost is stopping"});
            return;
        }
        pending.push_back({address, *value, std::move(*outcome)});
    }

    void answer(const std::string& address, uint16_t value, const CommandResult& result) {
        nlohmann::json body = {
            {"address", address}, {"value", value}, {"result", ResultName(result.result)}};
        if (!result.error.empty()) {
            body["error"] = result.error;
        }
        publish(fmt::format("{}command/{}/result", settings.base(), address),
                body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), false);
    }

    void runCommandsDone() {
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->outcome.wait_for(0s) != std::future_status::ready) {
                ++it;
                continue;
            }
            CommandResult result;
            try {
                result = it->outcome.get();
            } catch (const std::future_error&) {
                result = {RC_REFUSED, "xolhost is stopping"};
            }
            answer(it->address, it->value, result);
            it = pending.erase(it);
        }
    }

    void discover() {
        for (const auto& [topic, payload] : DiscoveryPayloads(settings)) {
            publish(topic, payload, true);
        }
    }

    void publishStates() {
        for (const auto& entry : latest->state.zones) {
            shown.insert(entry.first);
        }
        for (auto& [topic, payload] : RetainedPayloads(*latest, settings, shown)) {
            auto& was = retained[topic];
            if (was != payload) {
                publish(settings.base() + topic, payload, true);
                was = std::move(payload);
            }
        }
        statesDue = false;
    }

    void publishEvents() {
        const std::string topic = settings.base() + "event";
        while (!lost && inflight.size() < WINDOW && feed.newest() > lastSent) {
            std::vector<FedEvent> batch = feed.eventsAfter(lastSent, WINDOW - inflight.size());
            if (batch.empty()) {
                return; // not in the journal yet
            }
            for (const FedEvent& e : batch) {
                const std::string payload =
                    e.body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
                const int id = publish(topic, payload, false);
                if (lost) {
                    return;
                }
                inflight[id] = e.sequence;
                order.push_back(e.sequence);
                lastSent = e.sequence;
            }
        }
    }

    // Waits for the broker or for news, at most `limit`.
    void pump(int limitMs) {
        const int socket = mosquitto_socket(m);
        if (socket < 0) {
            lost = true;
            return;
        }
        pollfd polled[2] = {
            {socket, static_cast<short>(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0},
            {feed.wakeFd(), POLLIN, 0}};
        ::poll(polled, 2, limitMs);
        if ((polled[1].revents & POLLIN) != 0) {
            feed.drainWake();
        }
        int rc = MOSQ_ERR_SUCCESS;
        if ((polled[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            rc = mosquitto_loop_read(m, 1);
        }
        if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(m)) {
            rc = mosquitto_loop_write(m, 1);
        }
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop_misc(m);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            lost = true;
        }
    }

    // A clean stop: "offline", acknowledged, then a proper disconnect.
    void goodbye() {
        goodbyeId = publish(settings.base() + "availability", "offline", true);
        const auto until = SteadyTime::now() + 2s;
        while (!lost && !goodbyeAcknowledged && SteadyTime::now() < until) {
            pump(50);
        }
        mosquitto_disconnect(m);
    }

    void run() {
        while (!feed.stopping()) {
            if (std::optional<FedState> fed = feed.takeState()) {
                latest = std::move(fed);
                statesDue = true;
            }
            if (m == nullptr && SteadyTime::now() >= nextAttempt) {
                connect();
            }
            if (m == nullptr) {
                feed.wait(std::min(nextAttempt, SteadyTime::now() + 1s));
                continue;
            }
            pump(100);
            if (up && !lost) {
                if (statesDue && latest) {
                    publishStates();
                }
                publishEvents();
                runCommandsDone();
            }
            if (lost) {
                retry(up ? "the connection was lost" : "the connection failed");
            }
        }
        if (m != nullptr && up && !lost) {
            goodbye();
        }
    }
};

MqttOutput::MqttOutput(MqttSettings settings, std::unique_ptr<OutputFeed> feed,
                       CommandQueue* commands)
    : settings_(std::move(settings)), feed_(std::move(feed)), commands_(commands) {
    std::call_once(libraryStarted, [] { mosquitto_lib_init(); });
    thread_ = std::thread([this] {
        Session session(*this);
        session.run();
    });
}

MqttOutput::~MqttOutput() {
    stop();
}

void MqttOutput::stop() {
    feed_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

MqttStatus MqttOutput::status() const {
    return {connected_.load(), feed_->waiting(), feed_->lastDelivered(), feed_->dropped(),
            connects_.load()};
}

} // namespace xolhost
