// The outputs' parts that need no broker and no client: the Modbus map and
// how requests are judged, the MQTT payloads and settings, and the feed
// that keeps what an output delivered.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "journal/journal.h"
#include "outputs/modbus_map.h"
#include "outputs/mqtt_forms.h"
#include "outputs/output_feed.h"
#include "platform/exit_codes.h"
#include "present/site.h"
#include "supervision/supervisor.h"

namespace xolhost {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

struct Folder {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("xol_outputs_" + std::to_string(::getpid()) + "_" +
                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    Folder() { std::filesystem::create_directories(path); }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string file(const char* name) const { return (path / name).string(); }
};

TEST(ModbusMap, JudgesRequestsAsTheModbusProtocolDoes) {
    struct Case {
        std::vector<uint8_t> pdu;
        int verdict;
    };
    const Case cases[] = {
        {{0x03, 0x00, 0x11, 0x00, 0x01}, 0},                   // zone 17
        {{0x04, 0x00, 0x01, 0x00, 0x7D}, 0},                   // 125 zones from 1
        {{0x03, 0x18, 0x9B, 0x00, 0x01}, 0},                   // zone 6299
        {{0x03, 0x1B, 0x59, 0x00, 0x06}, 0},                   // 7001..7006
        {{0x03, 0x00, 0x00, 0x00, 0x01}, MB_ILLEGAL_ADDRESS},  // 0
        {{0x03, 0x18, 0x9B, 0x00, 0x02}, MB_ILLEGAL_ADDRESS},  // 6299..6300
        {{0x04, 0x1B, 0x58, 0x00, 0x01}, MB_ILLEGAL_ADDRESS},  // 7000
        {{0x03, 0x1B, 0x5E, 0x00, 0x02}, MB_ILLEGAL_ADDRESS},  // 7006..7007
        {{0x03, 0xFF, 0xFF, 0x00, 0x01}, MB_ILLEGAL_ADDRESS},  // far beyond
        {{0x03, 0x00, 0x01, 0x00, 0x7E}, MB_ILLEGAL_VALUE},    // 126
        {{0x03, 0x00, 0x01, 0x00, 0x00}, MB_ILLEGAL_VALUE},    // none
        {{0x03, 0x00, 0x00, 0x01, 0x00}, MB_ILLEGAL_VALUE},    // quantity before address
        {{0x06, 0x00, 0x11, 0x00, 0x01}, MB_ILLEGAL_FUNCTION}, // write one register
        {{0x10, 0x00, 0x11, 0x00, 0x01, 0x02, 0, 1}, MB_ILLEGAL_FUNCTION}, // write several
        {{0x17, 0x00, 0x11}, MB_ILLEGAL_FUNCTION},                         // read and write
        {{0x01, 0x00, 0x11, 0x00, 0x01}, MB_ILLEGAL_FUNCTION},             // coils
        {{0x03, 0x00, 0x11, 0x00}, MB_MALFORMED},
        {{}, MB_MALFORMED},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JudgeRequest(c.pdu), c.verdict)
            << "function " << (c.pdu.empty() ? -1 : c.pdu[0]) << ", " << c.pdu.size() << " bytes";
    }
}

TEST(ModbusMap, ZoneWordsCarryStatusStaleAndUnacknowledged) {
    const WallClock::time_point scan = WallClock::now() - 5s;
    FedState fed;
    SupervisionState& s = fed.state;
    s.zones = {{17, 0x09}, {250, 0x10}, {6299, 0x08}};
    s.lastCompletedScan = scan;
    s.confirmedAt = {{17, scan}, {250, scan - 10s}, {6299, scan}}; // 250 held
    s.counts = {{'C', 2}};
    s.channel = ChannelState::Failing;
    s.scans = 65537;
    s.unacknowledged = {4, 9};
    fed.unacknowledgedZones = {17};
    RegisterImage image{};
    FillRegisters(image, fed, WallClock::now());
    EXPECT_EQ(image[17], 0x09 | MB_ZONE_UNACKNOWLEDGED);
    EXPECT_EQ(image[250], 0x10 | MB_ZONE_STALE);
    EXPECT_EQ(image[6299], 0x08);
    EXPECT_EQ(image[3], 0);
    EXPECT_EQ(image[MB_LINE_STATE], 1);
    EXPECT_EQ(image[MB_COUNT_C], 2);
    EXPECT_EQ(image[MB_COUNT_N], MB_COUNT_UNKNOWN);
    EXPECT_GE(image[MB_SCAN_AGE], 5);
    EXPECT_LE(image[MB_SCAN_AGE], 30);
    EXPECT_EQ(image[MB_SCANS], 1); // wraps
    EXPECT_EQ(image[MB_UNACKNOWLEDGED], 2);

    // A stale line makes every zone stale; the age saturates.
    s.stale = true;
    FillRegisters(image, fed, scan + std::chrono::hours(24));
    EXPECT_EQ(image[1], MB_ZONE_STALE);
    EXPECT_EQ(image[6299], 0x08 | MB_ZONE_STALE);
    EXPECT_EQ(image[MB_SCAN_AGE], 0xFFFF);
}

TEST(MqttForms, ParsesBrokerUrlsAndRefusesOthers) {
    struct Case {
        const char* url;
        const char* host;
        int port;
        bool tls;
    };
    for (const Case& c : {Case{"mqtt://127.0.0.1:1883", "127.0.0.1", 1883, false},
                          Case{"mqtt://broker.lan", "broker.lan", 1883, false},
                          Case{"mqtts://broker.lan:8884/", "broker.lan", 8884, true},
                          Case{"mqtts://[::1]", "::1", 8883, true},
                          Case{"mqtt://[::1]:1884", "::1", 1884, false}}) {
        MqttSettings mqtt;
        ParseMqttUrl(c.url, mqtt);
        EXPECT_EQ(mqtt.host, c.host) << c.url;
        EXPECT_EQ(mqtt.port, c.port) << c.url;
        EXPECT_EQ(mqtt.tls, c.tls) << c.url;
    }
    for (const char* bad : {"http://x:1", "mqtt://", "mqtt://h:0", "mqtt://h:99999", "mqtt://h:x",
                            "mqtt://user@h", "127.0.0.1:1883"}) {
        MqttSettings mqtt;
        EXPECT_THROW(ParseMqttUrl(bad, mqtt), UsageError) << bad;
    }
}

TEST(MqttForms, PasswordFileMustBeClosedToOthers) {
    Folder folder;
    const std::string path = folder.file("password");
    std::ofstream(path) << "s3cret\n";
    ::chmod(path.c_str(), 0644);
    EXPECT_THROW(ReadPasswordFile(path), UsageError);
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(ReadPasswordFile(path), "s3cret");
    EXPECT_THROW(ReadPasswordFile(folder.file("none")), UsageError);
}

TEST(MqttForms, RetainedStatesNameEveryZoneThatHadAStatusOrIsNamed) {
    Site site;
    site.zones = {{12, "stairwell east"}};
    site.classes = {{8, "disabled"}};
    MqttSettings mqtt;
    mqtt.site = &site;
    FedState fed;
    const WallClock::time_point scan = WallClock::now();
    fed.state.zones = {{17, 0x09}, {250, 0x10}}; // 0x10: code 8, disabled
    fed.state.confirmedAt = {{17, scan}, {250, scan}};
    fed.state.lastCompletedScan = scan;
    fed.state.counts = {{'C', 2}, {'N', 5}};
    fed.unacknowledgedZones = {17};
    auto topics = RetainedPayloads(fed, mqtt, {3}); // zone 3 was cleared
    ASSERT_EQ(topics.count("zone/3") + topics.count("zone/12") + topics.count("zone/17") +
                  topics.count("zone/250"),
              4u);
    EXPECT_EQ(topics.size(), 7u); // and line, count/C, count/N
    EXPECT_EQ(topics["count/N"], "5");
    const json cleared = json::parse(topics["zone/3"]);
    EXPECT_EQ(cleared["status"], 0);
    EXPECT_TRUE(cleared["confirmed_at"].is_null());
    const json named = json::parse(topics["zone/12"]);
    EXPECT_EQ(named["location"], "stairwell east");
    const json alarm = json::parse(topics["zone/17"]);
    EXPECT_EQ(alarm["status"], 9);
    EXPECT_TRUE(alarm["unacknowledged"].get<bool>());
    EXPECT_TRUE(alarm["active"].get<bool>());
    EXPECT_FALSE(alarm["stale"].get<bool>());
    EXPECT_FALSE(json::parse(topics["zone/250"])["active"].get<bool>());
    EXPECT_EQ(json::parse(topics["line"])["channel"], "open");

    fed.state.stale = true;
    topics = RetainedPayloads(fed, mqtt, {});
    EXPECT_TRUE(json::parse(topics["zone/17"])["stale"].get<bool>());
    EXPECT_TRUE(json::parse(topics["line"])["stale"].get<bool>());
}

TEST(MqttForms, DiscoveryGivesEveryEntityWhatHomeAssistantRequires) {
    Site site;
    site.name = "Hall";
    site.zones = {{12, "stairwell east"}, {17, "kitchen"}};
    site.classes = {{1, "alarm"}};
    MqttSettings mqtt;
    mqtt.site = &site;
    mqtt.panelId = "hall-1";
    mqtt.discovery = "homeassistant";
    mqtt.version = "1.0.0";
    auto entities = DiscoveryPayloads(mqtt);
    ASSERT_EQ(entities.size(), 6u); // two zones, two counts, unacknowledged, the line
    for (const auto& [topic, payload] : entities) {
        const json config = json::parse(payload);
        EXPECT_EQ(topic.rfind("homeassistant/", 0), 0u) << topic;
        for (const char* key :
             {"name", "unique_id", "state_topic", "device", "origin", "availability"}) {
            EXPECT_TRUE(config.contains(key)) << topic << " lacks " << key;
        }
        EXPECT_EQ(config["device"]["identifiers"][0], "xolest_hall-1");
        EXPECT_EQ(config["availability"].size(), 2u);
        EXPECT_EQ(config["availability_mode"], "all");
    }
    const json zone = json::parse(entities[0].second);
    EXPECT_EQ(entities[0].first, "homeassistant/binary_sensor/xolest_hall-1/zone_12/config");
    EXPECT_EQ(zone["state_topic"], "xolest/hall-1/zone/12");
    EXPECT_EQ(zone["device_class"], "smoke");
}

Event Change(uint64_t sequence, int zone, uint16_t before, uint16_t now) {
    EventBody body = event::ZoneChanged{zone, before, now};
    return {sequence, WallClock::now(), body, SetsStatusBits(body)};
}

TEST(OutputFeed, MemoryQueueKeepsWhatIsUndeliveredAndCountsWhatItDrops) {
    FeedSettings settings;
    settings.capacity = 3;
    OutputFeed feed(settings);
    for (uint64_t seq = 1; seq <= 5; ++seq) {
        feed.event(Change(seq, 17, seq % 2 == 0 ? 1 : 0, seq % 2 == 0 ? 0 : 1));
    }
    EXPECT_EQ(feed.dropped(), 2u);
    EXPECT_EQ(feed.waiting(), 3u);
    auto events = feed.eventsAfter(0, 10);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].sequence, 3u);
    EXPECT_EQ(events[0].body["seq"], 3);
    feed.delivered(4);
    EXPECT_EQ(feed.waiting(), 1u);
    EXPECT_EQ(feed.eventsAfter(0, 10).size(), 1u);
    EXPECT_EQ(feed.lastDelivered(), 4u);
}

TEST(OutputFeed, JournalKeepsTheLastDeliveredAcrossARestart) {
    Folder folder;
    const std::string path = folder.file("panel.journal");
    auto journal = Journal::Open(path, {"p1", "", ""}, nullptr, true);
    SupervisionState state;
    ASSERT_TRUE(journal->commit({Change(1, 17, 0, 1), Change(2, 17, 1, 0)}, state));
    FeedSettings settings;
    settings.output = "mqtt";
    settings.journalPath = path;
    {
        // Never delivered before: from this run's events on.
        OutputFeed feed(settings);
        EXPECT_EQ(feed.lastDelivered(), 2u);
        ASSERT_TRUE(journal->commit({Change(3, 17, 0, 1), Change(4, 12, 0, 2)}, state));
        feed.event(Change(4, 12, 0, 2));
        auto events = feed.eventsAfter(feed.lastDelivered(), 10);
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[1].body["zone"], 12);
        feed.delivered(3);
        EXPECT_EQ(feed.waiting(), 1u);
    }
    OutputFeed again(settings);
    EXPECT_EQ(again.lastDelivered(), 3u);
    auto events = again.eventsAfter(again.lastDelivered(), 10);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].sequence, 4u);
    // The zone of a waiting event is known from the journal.
    state.unacknowledged = {3, 4};
    again.state(state);
    auto fed = again.takeState();
    ASSERT_TRUE(fed);
    EXPECT_EQ(fed->unacknowledgedZones, (std::set<int>{12, 17}));
    EXPECT_FALSE(again.takeState());
}

} // namespace
} // namespace xolhost
