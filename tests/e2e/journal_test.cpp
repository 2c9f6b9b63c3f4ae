// The journal across crashes: monitor --journal against a panel whose
// statuses change over time, killed with SIGKILL at seeded random moments
// and started again. What was shown is in the journal, sequence numbers only
// grow, nothing is recorded twice, nothing is announced as new after a
// restart, and the journal ends with the panel's statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <random>
#include <thread>
#include <unistd.h>

#include "panel.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

xolsim::Scenario ChangingPanel() {
    xolsim::Scenario scenario = xolsim::ParseScenario(R"({
        "zones": [{"zone": 12, "codes": [1, 7]}, {"zone": 40, "codes": [8]}],
        "counts": {"C": 1, "N": 0}})");
    // A change every 0.7 s for 14 s: zones set, changed and cleared.
    for (int i = 1; i <= 20; ++i) {
        xolsim::Event change;
        change.at = 0.7 * i;
        const auto zone = static_cast<uint16_t>(100 + i % 5);
        change.zones[zone] = i % 3 == 0 ? std::vector<uint8_t>{}
                                        : std::vector<uint8_t>{static_cast<uint8_t>(1 + i % 3)};
        if (i % 4 == 0) {
            change.zones[40] = i % 8 == 0 ? std::vector<uint8_t>{8} : std::vector<uint8_t>{};
        }
        scenario.events.push_back(change);
    }
    return scenario;
}

std::vector<json> JournalEvents(const std::string& path) {
    xoltest::Finished listed =
        xoltest::RunXolhost({"journal", "--journal", path, "--format", "jsonl"});
    EXPECT_EQ(listed.exitCode, xoltest::EXIT_DONE) << listed.err;
    return xoltest::ParseJsonLines(listed.out);
}

TEST(JournalKill, EveryShownEventSurvivesSigkillAndRestartsBringNoFalseNews) {
    XOL_SKIP_LONG_CAMPAIGN();
    const auto dir =
        std::filesystem::temp_directory_path() / ("xol_journal_kill_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string journal = (dir / "panel.journal").string();
    xolsim::Scenario scenario = ChangingPanel();
    xolsim::PtyPanel panel(scenario);
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> lifetime(150, 1200);

    std::vector<json> shown;
    for (int run = 0; run < 20; ++run) {
        xoltest::Process host({XOLHOST_PATH, "--port", panel.devicePath(), "--timeout", "20",
                               "monitor", "--interval", "0.1", "--counts", "--json", "--journal",
                               journal});
        std::this_thread::sleep_for(std::chrono::milliseconds(lifetime(random)));
        host.signal(SIGKILL);
        xoltest::Finished killed = host.wait();
        ASSERT_EQ(killed.exitCode, 128 + SIGKILL) << killed.err;
        for (const json& line : xoltest::ParseJsonLines(killed.out)) {
            shown.push_back(line);
            // Only the first run meets zones it does not know.
            if (run > 0) {
                EXPECT_NE(line.value("event", ""), "initial") << line;
            }
        }
    }
    // The panel's last changes have happened; one clean run takes them in.
    std::this_thread::sleep_for(2s);
    xoltest::Finished last =
        xoltest::RunXolhostOn(panel.devicePath(), {"monitor", "--scans", "3", "--interval", "0.1",
                                                   "--json", "--journal", journal});
    ASSERT_EQ(last.exitCode, xoltest::EXIT_DONE) << last.err;

    std::vector<json> kept = JournalEvents(journal);
    EXPECT_GT(shown.size(), 20u);
    EXPECT_GE(std::count_if(kept.begin(), kept.end(),
                            [](const json& e) { return e["event"] == "supervision_started"; }),
              20);
    std::map<uint64_t, json> bySequence;
    uint64_t previous = 0;
    for (const json& event : kept) {
        const uint64_t seq = event.value("seq", 0u);
        EXPECT_GT(seq, previous) << event;
        previous = seq;
        bySequence[seq] = event;
    }
    for (const json& line : shown) {
        auto found = bySequence.find(line.value("seq", 0u));
        ASSERT_NE(found, bySequence.end()) << "shown but not kept: " << line;
        EXPECT_EQ(found->second, line);
    }
    // Each zone's events chain: every change starts where the last ended, so
    // no change was recorded twice and none was invented by a restart.
    std::map<int, int> statuses;
    for (const json& event : kept) {
        const std::string kind = event.value("event", "");
        if (kind != "initial" && kind != "change") {
            continue;
        }
        const int zone = event.value("zone", 0);
        if (zone == 0) {
            continue; // "no zone has a status"
        }
        EXPECT_EQ(event.value("from", -1), statuses[zone]) << event;
        statuses[zone] = event.value("status", 0);
    }
    std::map<int, int> expected;
    for (const auto& [zone, codes] : xolsim::StateAt(scenario, 1e9).zones) {
        int bits = 0;
        for (uint8_t code : codes) {
            bits |= code == 1   ? 0x01
                    : code == 2 ? 0x02
                    : code == 3 ? 0x04
                    : code == 7 ? 0x08
                                : 0x10;
        }
        expected[zone] = bits;
    }
    auto none = [](const auto& zone) { return zone.second == 0; };
    std::erase_if(statuses, none);
    std::erase_if(expected, none);
    EXPECT_EQ(statuses, expected);
    EXPECT_EQ(xoltest::RunXolhost({"journal", "--journal", journal, "--check"}).exitCode,
              xoltest::EXIT_DONE);
    std::filesystem::remove_all(dir);
}

} // namespace
