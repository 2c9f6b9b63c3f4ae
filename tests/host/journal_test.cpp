// The journal file: what it keeps and gives back, its schema migration, the
// files it refuses, and the core's write-ahead order over it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "journal/journal.h"
#include "journal/journal_forms.h"
#include "supervision/supervisor.h"

namespace xolhost {
namespace {

struct Folder {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("xol_journal_" + std::to_string(::getpid()) + "_" +
                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    Folder() { std::filesystem::create_directories(path); }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string file(const char* name) const { return (path / name).string(); }
};

Event Change(uint64_t sequence, int zone, uint16_t before, uint16_t now) {
    EventBody body = event::ZoneChanged{zone, before, now};
    return {sequence, WallClock::now(), body, SetsStatusBits(body)};
}

std::string Bytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

TEST(Journal, KeepsEventsAndStateAndGivesThemBack) {
    Folder folder;
    const std::string path = folder.file("panel.journal");
    {
        auto journal = Journal::Open(path, {"p1", "/dev/ttyUSB0", "hall"}, nullptr, true);
        SupervisionState state;
        state.zones = {{17, ZS_CODE1}};
        state.counts = {{'C', 3}};
        state.confirmedAt = {{17, WallClock::time_point(std::chrono::milliseconds(1765000000123))}};
        EventBody count = event::CountRead{'C', 65531, 3}; // the panel sent "-005"
        ASSERT_TRUE(journal->commit({Change(1, 17, 0, ZS_CODE1),
                                     Change(2, 20, ZS_CODE2, 0),
                                     {3, WallClock::now(), count, false}},
                                    state));
        // The other process is refused while this one holds the file.
        EXPECT_THROW(Journal::Open(path, {"p1", "", ""}, nullptr, true), JournalError);
    }
    auto journal = Journal::Open(path, {"p1", "/dev/ttyUSB0", "hall"}, nullptr, true);
    Resumption from = journal->resumption();
    EXPECT_EQ(from.lastSequence, 3u);
    EXPECT_EQ(from.zones, (std::map<int, uint16_t>{{17, ZS_CODE1}}));
    EXPECT_EQ(from.counts, (std::map<char, uint16_t>{{'C', 3}}));
    EXPECT_EQ(from.confirmedAt.at(17).time_since_epoch(), std::chrono::milliseconds(1765000000123));
    std::vector<StoredEvent> all = journal->events({});
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].kind, "change");
    EXPECT_EQ(all[0].zone, 17);
    EXPECT_EQ(all[0].setBits, ZS_CODE1);
    EXPECT_EQ(all[1].clearedBits, ZS_CODE2);
    EXPECT_EQ(all[1].body["seq"], 2);
    EXPECT_TRUE(CsvLine(all[2]).find(",!C,3,-5,") != std::string::npos) << CsvLine(all[2]);
    JournalQuery zone20;
    zone20.zone = 20;
    EXPECT_EQ(journal->events(zone20).size(), 1u);
    JournalQuery waiting;
    waiting.unacknowledged = true; // only the event that set a bit
    EXPECT_EQ(journal->events(waiting).size(), 1u);
    EXPECT_EQ(journal->check(), "ok");
}

TEST(Journal, MigratesAnOlderSchemaAndRefusesWhatIsNoJournal) {
    Folder folder;
    // A journal as the first schema wrote it, with one event.
    const std::string old = folder.file("old.journal");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(old.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(
                  db,
                  "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
                  "CREATE TABLE events (seq INTEGER PRIMARY KEY, time TEXT NOT NULL, unix_ms "
                  "INTEGER NOT NULL, kind TEXT NOT NULL, zone INTEGER, point TEXT, before INTEGER,"
                  " after INTEGER, set_bits INTEGER, cleared_bits INTEGER, cause TEXT, origin "
                  "TEXT, text TEXT NOT NULL, body TEXT NOT NULL);"
                  "CREATE INDEX events_time ON events (unix_ms);"
                  "CREATE TABLE zones (zone INTEGER PRIMARY KEY, status INTEGER NOT NULL);"
                  "INSERT INTO events VALUES (7, 't', 1, 'change', 17, 'P0017', 0, 1, 1, 0, '', '',"
                  " 'P0017 set', '{\"seq\":7}');"
                  "INSERT INTO zones VALUES (17, 1);"
                  "PRAGMA application_id=1481591882; PRAGMA user_version=1;",
                  nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    {
        auto journal = Journal::Open(old, {"p", "", ""}, nullptr, true);
        EXPECT_EQ(journal->schemaVersion(), JOURNAL_SCHEMA_VERSION);
        EXPECT_EQ(journal->resumption().lastSequence, 7u);
        SupervisionState state;
        state.counts = {{'N', 2}}; // a table the first schema did not have
        EXPECT_TRUE(journal->commit({Change(8, 17, 1, 0)}, state));
        EXPECT_EQ(journal->resumption().counts.at('N'), 2);
    }

    // Files that are not journals are refused and left exactly as they were.
    const std::string text = folder.file("notes.txt");
    std::ofstream(text) << "not a journal\n";
    const std::string other = folder.file("other.db");
    ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE t (x); INSERT INTO t VALUES (1);", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    // A journal whose pages were damaged fails its check at start.
    const std::string damaged = folder.file("damaged.journal");
    {
        auto journal = Journal::Open(damaged, {"p", "", ""}, nullptr, true);
        std::vector<Event> many;
        for (uint64_t seq = 1; seq <= 400; ++seq) {
            many.push_back(Change(seq, static_cast<int>(seq), 0, ZS_CODE1));
        }
        ASSERT_TRUE(journal->commit(many, {}));
    }
    {
        std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(2 * 4096); // the header of a b-tree page
        file << std::string(100, '\x5a');
    }
    for (const std::string& path : {text, other, damaged, folder.path.string()}) {
        SCOPED_TRACE(path);
        std::string before = std::filesystem::is_regular_file(path) ? Bytes(path) : "";
        EXPECT_THROW(Journal::Open(path, {"p", "", ""}, nullptr, true), JournalError);
        if (std::filesystem::is_regular_file(path)) {
            EXPECT_TRUE(Bytes(path) == before); // never overwritten
        }
    }
}

// Fails while `failing`; keeps what it was given otherwise.
struct FlakyJournal : EventJournal {
    bool failing = false;
    std::vector<uint64_t> kept;
    bool commit(const std::vector<Event>& events, const SupervisionState&) override {
        if (failing) {
            return false;
        }
        for (const Event& e : events) {
            kept.push_back(e.sequence);
        }
        return true;
    }
};

// Records, for every event it is shown, whether the journal held it then.
struct Witness : EventSink {
    FlakyJournal& journal;
    std::vector<std::pair<uint64_t, bool>> seen;
    std::vector<bool> failingStates;
    explicit Witness(FlakyJournal& j) : journal(j) {}
    void event(const Event& e) override {
        bool kept =
            std::find(journal.kept.begin(), journal.kept.end(), e.sequence) != journal.kept.end();
        seen.emplace_back(e.sequence, kept);
    }
    void state(const SupervisionState& s) override { failingStates.push_back(s.journalFailing); }
};

struct OnePanel : SupervisedPanel {
    std::map<int, uint16_t> statuses;
    ScanResult scan() override { return {RC_DONE, statuses, false, {}, 0, {}}; }
    CountResult readCount(char) override { return {}; }
    CommandResult write(const std::string&, uint16_t) override { return {}; }
    bool channelOpen() const override { return true; }
    bool openChannel() override { return true; }
    void closeChannel() override {}
};

TEST(Journal, SinksAreShownOnlyWhatIsCommittedAndAFailingJournalHoldsNothingBack) {
    OnePanel panel;
    FlakyJournal journal;
    Witness witness(journal);
    Supervisor supervisor(panel, {});
    supervisor.setJournal(journal);
    supervisor.addSink(witness);
    Resumption from;
    from.lastSequence = 5;
    from.lastEventTime = WallClock::now();
    from.zones = {{17, ZS_CODE1}};
    supervisor.resume(from);
    panel.statuses = {{17, ZS_CODE1}, {20, ZS_CODE2}};
    supervisor.step();
    // Resumed: the known zone is not announced again; numbers go on from 5.
    ASSERT_EQ(witness.seen.size(), 2u);
    EXPECT_EQ(witness.seen[0], std::make_pair(uint64_t{6}, true)); // supervision_started
    EXPECT_EQ(witness.seen[1], std::make_pair(uint64_t{7}, true)); // zone 20 set

    // The journal fails: the alarm is shown all the same, marked as such,
    // and written first when the journal works again.
    journal.failing = true;
    panel.statuses[30] = ZS_CODE1;
    supervisor.step();
    EXPECT_EQ(witness.seen.back(), std::make_pair(uint64_t{8}, false));
    EXPECT_TRUE(witness.failingStates.back());
    journal.failing = false;
    panel.statuses.erase(20);
    supervisor.step();
    EXPECT_EQ(journal.kept, (std::vector<uint64_t>{6, 7, 8, 9}));
    EXPECT_FALSE(witness.failingStates.back());
}

// A journal that fails for long: the oldest events that wait for no one are
// let go (and that is said), never one that waits for acknowledgement.
TEST(Journal, AJournalFailingLongKeepsEveryEventThatWaits) {
    OnePanel panel;
    FlakyJournal journal;
    Witness witness(journal);
    Supervisor supervisor(panel, {});
    supervisor.setJournal(journal);
    supervisor.addSink(witness);
    journal.failing = true;
    std::vector<uint64_t> waiting;
    for (int i = 0; i < 12000; ++i) {
        panel.statuses[17] = i % 2 == 0 ? ZS_CODE1 : 0; // a set waits, a clear does not
        supervisor.step();
    }
    journal.failing = false;
    supervisor.step();
    waiting = supervisor.state().unacknowledged;
    ASSERT_EQ(waiting.size(), 6000u);
    for (uint64_t seq : waiting) {
        ASSERT_NE(std::find(journal.kept.begin(), journal.kept.end(), seq), journal.kept.end());
    }
    EXPECT_LT(journal.kept.size(), 12000u);
    EXPECT_EQ(witness.seen.size(), 12000u + 1); // every event was shown, and the note
}

// Acknowledgements through the core into the journal: one, then all; an
// event that does not wait is refused; what waits survives a restart.
TEST(Journal, AcknowledgementsAreKeptAndWhatWaitsSurvivesARestart) {
    Folder folder;
    const std::string path = folder.file("ack.journal");
    OnePanel panel;
    panel.statuses = {{17, ZS_CODE1}, {18, ZS_CODE2}, {19, ZS_CODE3}};
    CommandQueue queue;
    {
        auto journal = Journal::Open(path, {"p", "", ""}, nullptr, true);
        Supervisor supervisor(panel, {});
        supervisor.setJournal(*journal);
        supervisor.step();
        ASSERT_EQ(supervisor.state().unacknowledged, (std::vector<uint64_t>{1, 2, 3}));
        auto one = queue.pushAcknowledgement(2, "Ada", "127.0.0.1");
        auto unknown = queue.pushAcknowledgement(99, "Ada", "127.0.0.1");
        for (int i = 0; i < 2; ++i) {
            supervisor.runCommand(*queue.next(std::chrono::steady_clock::now()));
        }
        EXPECT_EQ(one->get().acknowledged, std::vector<uint64_t>{2});
        EXPECT_FALSE(unknown->get().done);
    }
    auto journal = Journal::Open(path, {"p", "", ""}, nullptr, true);
    Resumption from = journal->resumption();
    EXPECT_EQ(from.unacknowledged, (std::vector<uint64_t>{1, 3}));
    Supervisor supervisor(panel, {});
    supervisor.setJournal(*journal);
    supervisor.resume(from);
    auto all = queue.pushAcknowledgement(std::nullopt, "Grace", "10.0.0.2");
    supervisor.runCommand(*queue.next(std::chrono::steady_clock::now()));
    EXPECT_EQ(all->get().acknowledged, (std::vector<uint64_t>{1, 3}));
    JournalQuery waiting;
    waiting.unacknowledged = true;
    EXPECT_TRUE(journal->events(waiting).empty());
    JournalQuery acks;
    acks.kind = "acknowledged";
    ASSERT_EQ(journal->events(acks).size(), 2u);
    EXPECT_EQ(journal->events(acks)[1].body["operator"], "Grace");
}

// A real file system that fills up (a small tmpfs, mounted for the test;
// root only): supervision goes on, sinks are shown
// every event, and the journal takes them all, in order, once it can.
TEST(JournalFaults, AFullFileSystemHoldsNothingBack) {
    Folder folder;
    const std::string mountPoint = folder.file("fs");
    std::filesystem::create_directories(mountPoint);
    if (::geteuid() != 0 ||
        std::system(("mount -t tmpfs -o size=384k tmpfs " + mountPoint + " 2>/dev/null").c_str()) !=
            0) {
        GTEST_SKIP() << "needs root and tmpfs mounts";
    }
    struct Unmount {
        std::string at;
        ~Unmount() { (void)!std::system(("umount " + at).c_str()); }
    } unmount{mountPoint};
    auto journal = Journal::Open(mountPoint + "/j.journal", {"p", "", ""}, nullptr, true);
    OnePanel panel;
    FlakyJournal unused;
    Witness witness(unused);
    Supervisor supervisor(panel, {});
    supervisor.setJournal(*journal);
    supervisor.addSink(witness);
    auto toggle = [&] {
        panel.statuses[17] = panel.statuses[17] == 0 ? ZS_CODE1 : 0;
        supervisor.step();
    };
    toggle();
    ASSERT_FALSE(supervisor.state().journalFailing);

    // Fill the file system, then go on changing.
    {
        std::ofstream filler(mountPoint + "/filler", std::ios::binary);
        std::string block(4096, 'x');
        while (filler.write(block.data(), block.size())) {
        }
    }
    for (int i = 0; i < 400 && !supervisor.state().journalFailing; ++i) {
        toggle();
    }
    ASSERT_TRUE(supervisor.state().journalFailing);
    EXPECT_EQ(supervisor.state().journal, "failing");
    const std::size_t shownWhileFull = witness.seen.size();
    toggle();
    EXPECT_EQ(witness.seen.size(), shownWhileFull + 1); // shown all the same

    std::filesystem::remove(mountPoint + "/filler");
    toggle();
    EXPECT_FALSE(supervisor.state().journalFailing);

    // Every event shown is in the journal, each once, in order.
    std::vector<uint64_t> kept;
    for (const StoredEvent& e : journal->events({})) {
        kept.push_back(e.sequence);
    }
    std::vector<uint64_t> shown;
    for (const auto& [sequence, inJournal] : witness.seen) {
        shown.push_back(sequence);
    }
    EXPECT_EQ(kept, shown);
}

} // namespace
} // namespace xolhost
