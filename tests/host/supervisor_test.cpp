// The supervision core driven by a scripted panel: which events each
// sequence of scan results gives, and when the channel is closed and
// opened again.
#include <gtest/gtest.h>

#include <deque>
#include <thread>

#include "supervision/supervisor.h"

namespace xolhost {
namespace {

enum class Loss { BadChecksum, OutOfStep };

ScanResult Done(std::map<int, uint16_t> statuses, uint64_t lostRecords = 0,
                Loss loss = Loss::BadChecksum) {
    ScanResult scan;
    scan.result = RC_DONE;
    scan.statuses = std::move(statuses);
    scan.watched = true;
    scan.figures.records = scan.statuses.size() + lostRecords;
    (loss == Loss::BadChecksum ? scan.figures.badChecksums : scan.figures.outOfStep) = lostRecords;
    return scan;
}

ScanResult Failed() {
    ScanResult scan;
    scan.why = {Cause::NoAnswer, "no answer", {}};
    return scan;
}

// Answers each call from its script; a scan with nothing left fails.
class ScriptedPanel : public SupervisedPanel {
public:
    std::deque<ScanResult> scans;
    std::deque<CountResult> counts;
    std::deque<bool> opens; // results of openChannel; none left: it opens
    bool open = true;
    int closes = 0;
    std::vector<std::pair<std::string, uint16_t>> written;

    ScanResult scan() override { return Next(scans, Failed()); }
    CountResult readCount(char) override { return Next(counts, CountResult{}); }
    CommandResult write(const std::string& address, uint16_t value) override {
        written.emplace_back(address, value);
        return {RC_DONE, {}};
    }
    bool channelOpen() const override { return open; }
    bool openChannel() override { return open = Next(opens, true); }
    void closeChannel() override {
        open = false;
        ++closes;
    }

private:
    template <class T>
    static T Next(std::deque<T>& script, T otherwise) {
        if (script.empty()) {
            return otherwise;
        }
        T next = std::move(script.front());
        script.pop_front();
        return next;
    }
};

// Keeps every event and counts the states.
struct Recorder : EventSink {
    std::vector<Event> events;
    int states = 0;
    void event(const Event& event) override { events.push_back(event); }
    void state(const SupervisionState&) override { ++states; }
    template <class T>
    std::vector<T> all() const {
        std::vector<T> found;
        for (const Event& e : events) {
            if (const T* body = std::get_if<T>(&e.body)) {
                found.push_back(*body);
            }
        }
        return found;
    }
};

struct Core {
    ScriptedPanel panel;
    Recorder sink;
    Supervisor supervisor;
    explicit Core(SupervisionSettings settings = {}) : supervisor(panel, settings) {
        supervisor.addSink(sink);
    }
    void steps(int n) {
        for (int i = 0; i < n; ++i) {
            supervisor.step();
        }
    }
};

TEST(Supervisor, FirstScanGivesInitialStatusesThenOnlyChanges) {
    Core core;
    core.panel.scans = {Done({{5, ZS_CODE7}, {17, ZS_CODE1}}), Done({{17, ZS_CODE1 | ZS_CODE7}}),
                        Done({{17, ZS_CODE1 | ZS_CODE7}})};
    core.steps(3);
    auto initial = core.sink.all<event::ZoneInitial>();
    ASSERT_EQ(initial.size(), 2u);
    EXPECT_EQ(initial[0].zone, 5);
    EXPECT_EQ(initial[1].zone, 17);
    auto changes = core.sink.all<event::ZoneChanged>();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].zone, 5);
    EXPECT_EQ(changes[0].cleared(), ZS_CODE7);
    EXPECT_EQ(changes[1].zone, 17);
    EXPECT_EQ(changes[1].set(), ZS_CODE7);
    EXPECT_EQ(core.sink.events.size(), 4u); // the third scan changed nothing
    for (std::size_t i = 0; i < core.sink.events.size(); ++i) {
        EXPECT_EQ(core.sink.events[i].sequence, i + 1);
    }
    EXPECT_EQ(core.sink.states, 3);
    EXPECT_EQ(core.supervisor.state().zones, (std::map<int, uint16_t>{{17, 0x09}}));

    Core quiet;
    quiet.panel.scans = {Done({})};
    quiet.steps(1);
    EXPECT_EQ(quiet.sink.all<event::NoZoneStatus>().size(), 1u);
}

// A record lost to its checksum or to a read out of step: the same.
class SupervisorLoss : public testing::TestWithParam<Loss> {};

TEST_P(SupervisorLoss, ScanThatLostRecordsHoldsClearsUntilACleanScan) {
    Core core;
    core.panel.scans = {Done({{17, ZS_CODE1}, {20, ZS_CODE2}}),
                        Done({{20, ZS_CODE2}, {30, ZS_CODE3}}, 1, GetParam()),
                        Done({{20, ZS_CODE2}})};
    core.steps(2);
    // The lost record may have been zone 17's: its status stays, while a new
    // status is reported at once.
    ASSERT_EQ(core.sink.all<event::ZoneChanged>().size(), 1u);
    EXPECT_EQ(core.sink.all<event::ZoneChanged>()[0].zone, 30);
    auto incomplete = core.sink.all<event::ScanIncomplete>();
    ASSERT_EQ(incomplete.size(), 1u);
    EXPECT_EQ(incomplete[0].held, std::vector<int>{17});
    EXPECT_EQ(core.supervisor.state().zones.at(17), ZS_CODE1);

    core.steps(1);
    auto changes = core.sink.all<event::ZoneChanged>();
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[1].zone, 17);
    EXPECT_EQ(changes[1].now, 0);
    EXPECT_EQ(changes[2].zone, 30);
    EXPECT_EQ(core.supervisor.state().zones, (std::map<int, uint16_t>{{20, ZS_CODE2}}));
}

INSTANTIATE_TEST_SUITE_P(Supervisor, SupervisorLoss,
                         testing::Values(Loss::BadChecksum, Loss::OutOfStep));

TEST(Supervisor, FailuresInARowCloseTheChannelAndItOpensAgain) {
    Core core;
    core.panel.scans = {Done({{17, ZS_CODE1}}), Failed(), Failed(), Failed()};
    core.panel.opens = {false, true};
    core.steps(4);
    // One failure event for the run of failures; the third closes.
    EXPECT_EQ(core.sink.all<event::ScanFailed>().size(), 1u);
    ASSERT_EQ(core.sink.all<event::ChannelClosed>().size(), 1u);
    EXPECT_EQ(core.sink.all<event::ChannelClosed>()[0].failures, 3);
    EXPECT_EQ(core.panel.closes, 1);
    EXPECT_EQ(core.supervisor.state().channel, ChannelState::Closed);
    EXPECT_TRUE(core.supervisor.failing());
    // Statuses are kept, not cleared, while the panel is away.
    EXPECT_EQ(core.supervisor.state().zones.at(17), ZS_CODE1);

    core.steps(1); // the open fails: no scan, no event
    EXPECT_EQ(core.sink.events.size(), 3u);
    core.panel.scans = {Done({{17, ZS_CODE1}})};
    core.steps(1); // opened, then scanned at once
    ASSERT_EQ(core.sink.all<event::ChannelReopened>().size(), 1u);
    EXPECT_EQ(core.sink.all<event::ScanRecovered>().size(), 1u);
    EXPECT_TRUE(core.sink.all<event::ZoneChanged>().empty());
    EXPECT_FALSE(core.supervisor.failing());
    EXPECT_EQ(core.supervisor.state().channel, ChannelState::Open);
    EXPECT_EQ(core.supervisor.state().reopens, 1u);
    EXPECT_EQ(core.supervisor.state().failedScans, 3u);
}

TEST(Supervisor, CountsAreReportedWhenReadFirstAndWhenTheyChange) {
    Core core({std::chrono::milliseconds(0), 0, true, 3, {}});
    core.panel.scans = {Done({}), Done({}), Done({})};
    core.panel.counts = {{RC_DONE, 4, {}},
                         {RC_DONE, 0, {}},
                         {RC_DONE, 4, {}},
                         {RC_DONE, 1, {}},
                         {RC_FAILED, 0, {Cause::NoAnswer, "no answer", {}}},
                         {RC_DONE, 1, {}}};
    core.steps(3);
    auto counts = core.sink.all<event::CountRead>();
    ASSERT_EQ(counts.size(), 3u);
    EXPECT_EQ(counts[0].which, 'C');
    EXPECT_FALSE(counts[0].before);
    EXPECT_EQ(counts[1].which, 'N');
    EXPECT_EQ(counts[2].which, 'N');
    EXPECT_EQ(counts[2].before, 0);
    EXPECT_EQ(counts[2].value, 1);
    ASSERT_EQ(core.sink.all<event::CountFailed>().size(), 1u);
    EXPECT_EQ(core.supervisor.state().counts, (std::map<char, uint16_t>{{'C', 4}, {'N', 1}}));
}

TEST(Supervisor, RunStepsEveryIntervalAndRunsQueuedCommandsBetween) {
    Core core({std::chrono::milliseconds(100), 3, false, 3, {}});
    core.panel.scans = {Done({}), Done({}), Done({})};
    CommandQueue queue;
    auto done = queue.push("L0012", 2, "127.0.0.1");
    ASSERT_TRUE(done);
    core.supervisor.run(queue, [] { return false; });
    EXPECT_EQ(core.supervisor.state().scans, 3u);
    EXPECT_EQ(done->get().result, RC_DONE);
    ASSERT_EQ(core.sink.all<event::Command>().size(), 1u);
    EXPECT_EQ(core.sink.all<event::Command>()[0].origin, "127.0.0.1");
    EXPECT_EQ(core.panel.written, (std::vector<std::pair<std::string, uint16_t>>{{"L0012", 2}}));

    // With the channel closed a command fails without reaching the panel;
    // a closed queue answers what waits and takes nothing more.
    core.panel.open = false;
    auto refused = queue.push("L0012", 3, "127.0.0.1");
    core.supervisor.runCommand(*queue.next(std::chrono::steady_clock::now()));
    EXPECT_EQ(refused->get().error, "the channel is closed");
    auto waiting = queue.push("L0012", 3, "127.0.0.1");
    queue.close("stopping");
    EXPECT_EQ(waiting->get().error, "stopping");
    EXPECT_FALSE(queue.push("L0012", 3, "127.0.0.1"));
}

} // namespace
} // namespace xolhost
