// What the MQTT output publishes: where (the broker's address from its URL),
// under which topics, and the payloads of the retained states and of Home
// Assistant's discovery. Pure functions of the step's state.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "outputs/output_feed.h"

namespace xolhost {

struct Site;

struct MqttSettings {
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string caFile; // none with mqtts: the system's certificates
    std::string user;
    std::string password;
    std::string prefix = "xolest";
    std::string panelId;
    bool commands = false;                // take command/ADDRESS/set
    std::optional<std::string> discovery; // Home Assistant's prefix
    std::string version;                  // xolhost's, for the origin block
    const Site* site = nullptr;
    bool utc = false;
    std::function<void(const std::string&)> log; // connections made and lost

    // PREFIX/ID/
    std::string base() const { return prefix + "/" + panelId + "/"; }
};

// mqtt://host[:port] or mqtts://host[:port]; UsageError when it is neither.
void ParseMqttUrl(const std::string& url, MqttSettings& settings);
// The password on the first line of a file no one else may read;
// UsageError naming the file otherwise.
std::string ReadPasswordFile(const std::string& path);

// Whether a status has a bit of a code the site classes as alarm, fault or
// supervisory, or gives no class: what an operator must see.
bool ActiveStatus(uint16_t status, const Site* site);

// The retained topics (under PREFIX/ID/) of a step's state and their
// payloads: availability is not among them. `shown`: zones published
// before, which keep their topic (a cleared zone publishes status 0).
std::map<std::string, std::string> RetainedPayloads(const FedState& fed, const MqttSettings& mqtt,
                                                    const std::set<int>& shown);

// Home Assistant's discovery: full topics and their payloads.
std::vector<std::pair<std::string, std::string>> DiscoveryPayloads(const MqttSettings& mqtt);

} // namespace xolhost
