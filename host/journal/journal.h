// The journal: every event of the supervision core kept in an SQLite file
// (WAL, synchronous=FULL, one transaction per step) before anyone is shown
// it, with the last known status of every zone, the counts and the panel's
// identity, so that a restart goes on where supervision stopped. One
// supervisor per file: a second process on it is refused.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "supervision/events.h"

struct sqlite3;

namespace xolhost {

struct Site;

// The journal cannot be used: not a journal, locked by another process,
// failing its integrity check, unreadable. The message says which.
class JournalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The schema version this program writes; older journals are migrated.
constexpr int JOURNAL_SCHEMA_VERSION = 4;

struct PanelIdentity {
    std::string panelId;
    std::string port;
    std::string site;
};

// Which events to list.
struct JournalQuery {
    std::optional<WallClock::time_point> since;
    std::optional<WallClock::time_point> until;
    std::optional<int> zone;
    std::optional<std::string> kind; // "change", "scan_failed", ...
    std::optional<uint64_t> before;  // sequence numbers below this one
    std::optional<uint64_t> after;   // sequence numbers above this one
    std::size_t limit = 0;           // 0: all
    bool newestFirst = false;
    bool unacknowledged = false;  // only events that set a bit and wait for acknowledgement
    std::optional<uint16_t> bits; // only zone events that set or cleared one of these bits
};

struct StoredEvent {
    uint64_t sequence = 0;
    std::string time; // RFC 3339, as written
    std::string kind;
    std::optional<int> zone;
    std::string point;
    std::optional<int> before;
    std::optional<int> after;
    std::optional<int> setBits;
    std::optional<int> clearedBits;
    std::string cause;
    std::string origin;
    std::string text;
    nlohmann::json body; // the event as the JSON printer gives it
};

class Journal : public EventJournal {
public:
    // Opens or creates the file. JournalError when it is not a journal,
    // another process holds it, or it fails its check; never overwritten.
    static std::unique_ptr<Journal> Open(const std::string& path, const PanelIdentity& panel,
                                         const Site* site, bool utc);
    // Opens an existing journal to read it, without taking it over.
    static std::unique_ptr<Journal> OpenToRead(const std::string& path);
    // A second connection of the supervising process to its journal, for an
    // output's thread: it reads events and keeps what the output delivered.
    static std::unique_ptr<Journal> OpenForOutput(const std::string& path);
    ~Journal() override;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    bool commit(const std::vector<Event>& events, const SupervisionState& state) override;
    // What the last run left: statuses, counts, the last sequence number.
    Resumption resumption() const;
    std::vector<StoredEvent> events(const JournalQuery& query) const;
    // "ok", or what SQLite's integrity check found.
    std::string check() const;
    // Removes events older than `days`; returns how many went.
    uint64_t prune(int days);
    int schemaVersion() const;
    // The last sequence number an output ("mqtt") had delivered; none when
    // it never delivered from this journal.
    std::optional<uint64_t> delivered(const std::string& output) const;
    void setDelivered(const std::string& output, uint64_t sequence);
    const std::string& path() const { return path_; }
    // Why the last commit failed, or empty.
    const std::string& lastError() const { return lastError_; }

private:
    Journal(std::string path, sqlite3* db, int lockFd, const Site* site, bool utc);
    void migrate();
    void remember(const PanelIdentity& panel);
    void writeEvents(const std::vector<Event>& events);
    void writeState(const SupervisionState& state);

    std::string path_;
    sqlite3* db_ = nullptr;
    int lockFd_ = -1;
    const Site* site_ = nullptr;
    bool utc_ = false;
    std::string lastError_;
};

// Where monitor and serve keep their journal by default: $STATE_DIRECTORY
// (under systemd), else $XDG_STATE_HOME/xolest, else ~/.local/state/xolest;
// one file per panel, <id>.db, named from its id (or port); an older <id>.journal
// there is kept in use. Empty when no folder is known.
std::string DefaultJournalPath(const std::string& panelId);
// A panel id from a port name: "/dev/ttyUSB0" -> "ttyUSB0", other bytes as '_'.
std::string PanelIdOf(const std::string& port);

} // namespace xolhost
