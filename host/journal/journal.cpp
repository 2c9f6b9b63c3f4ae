#include "journal/journal.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "present/output.h"
#include "present/timestamps.h"
#include "sinks/event_forms.h"

namespace xolhost {

using nlohmann::json;

namespace {

// 'XOLJ': what marks an SQLite file as one of our journals.
constexpr int APPLICATION_ID = 0x584F4C4A;

// Each schema version's statements; a journal at version n runs those
// after n to reach the current one.
const char* const MIGRATIONS[] = {
    // 1: events, zones, the panel's identity.
    "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE events (seq INTEGER PRIMARY KEY, time TEXT NOT NULL, unix_ms INTEGER NOT NULL,"
    " kind TEXT NOT NULL, zone INTEGER, point TEXT, before INTEGER, after INTEGER,"
    " set_bits INTEGER, cleared_bits INTEGER, cause TEXT, origin TEXT, text TEXT NOT NULL,"
    " body TEXT NOT NULL);"
    "CREATE INDEX events_time ON events (unix_ms);"
    "CREATE TABLE zones (zone INTEGER PRIMARY KEY, status INTEGER NOT NULL);",
    // 2: counts, acknowledgements, events by zone.
    "CREATE TABLE counts (which TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "CREATE TABLE acks (seq INTEGER PRIMARY KEY, operator TEXT NOT NULL, client TEXT,"
    " time TEXT NOT NULL);"
    "CREATE INDEX events_zone ON events (zone);",
    // 3: which events wait for acknowledgement; until now, those that set a bit.
    // and when a completed scan last confirmed each zone.
    "ALTER TABLE events ADD COLUMN needs_ack INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE zones ADD COLUMN confirmed_ms INTEGER;"
    "UPDATE events SET needs_ack = (coalesce(set_bits, 0) > 0);"
    "CREATE INDEX events_waiting ON events (needs_ack);",
    // 4: the last event each output had delivered (the broker acknowledged).
    "CREATE TABLE deliveries (output TEXT PRIMARY KEY, seq INTEGER NOT NULL);",
};
static_assert(std::size(MIGRATIONS) == JOURNAL_SCHEMA_VERSION);

// One prepared statement, finalized when it goes.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
            throw JournalError(sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int at, int64_t value) {
        sqlite3_bind_int64(statement_, at, value);
        return *this;
    }
    Statement& bind(int at, const std::string& text) {
        sqlite3_bind_text(statement_, at, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int at, const std::optional<int64_t>& value) {
        if (value) {
            return bind(at, *value);
        }
        sqlite3_bind_null(statement_, at);
        return *this;
    }
    // True while there is a row.
    bool step() {
        int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW) {
            return true;
        }
        if (result != SQLITE_DONE) {
            throw JournalError(sqlite3_errmsg(db_));
        }
        return false;
    }
    void run() {
        step();
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    std::optional<int> optional(int column) const {
        if (sqlite3_column_type(statement_, column) == SQLITE_NULL) {
            return std::nullopt;
        }
        return sqlite3_column_int(statement_, column);
    }
    std::string text(int column) const {
        const auto* text = sqlite3_column_text(statement_, column);
        return text == nullptr ? std::string() : reinterpret_cast<const char*>(text);
    }

private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

void Execute(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error != nullptr ? error : sqlite3_errmsg(db);
        sqlite3_free(error);
        throw JournalError(message);
    }
}

int64_t Pragma(sqlite3* db, const char* name) {
    Statement pragma(db, fmt::format("PRAGMA {}", name).c_str());
    return pragma.step() ? pragma.integer(0) : 0;
}

int64_t UnixMs(WallClock::time_point at) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

// The columns an event is found by, from its JSON form.
struct Columns {
    std::optional<int64_t> zone, before, after, setBits, clearedBits;
    std::string point, cause, origin;
};

Columns ColumnsOf(const Event& event) {
    Columns c;
    std::visit(
        [&](const auto& e) {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, event::ZoneInitial>) {
                c = {e.zone, 0, e.status, e.status, 0, ZoneAddress(e.zone), {}, {}};
            } else if constexpr (std::is_same_v<T, event::ZoneChanged>) {
                c = {e.zone, e.before, e.now, e.set(), e.cleared(), ZoneAddress(e.zone), {}, {}};
            } else if constexpr (std::is_same_v<T, event::CountRead>) {
                c.point = std::string("!") + e.which;
                c.after = e.value;
                if (e.before) {
                    c.before = *e.before;
                }
            } else if constexpr (std::is_same_v<T, event::CountFailed>) {
                c.point = std::string("!") + e.which;
                c.cause = CauseName(e.why.cause);
            } else if constexpr (std::is_same_v<T, event::ScanFailed>) {
                c.cause = CauseName(e.why.cause);
            } else if constexpr (std::is_same_v<T, event::Command>) {
                c.point = e.address;
                c.after = e.value;
                c.origin = e.origin;
            }
        },
        event.body);
    return c;
}

std::string SystemError() {
    return std::strerror(errno);
}

// The file, locked for this process alone; -1 and a JournalError when it
// cannot be.
int LockFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        throw JournalError(fmt::format("{}: not a regular file", path));
    }
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (fd < 0) {
        throw JournalError(fmt::format("{}: {}", path, SystemError()));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw JournalError(fmt::format(
            "{}: another xolhost supervises with this journal (one supervisor per journal)", path));
    }
    return fd;
}

sqlite3* OpenDatabase(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        std::string message = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw JournalError(fmt::format("{}: {}", path, message));
    }
    sqlite3_busy_timeout(db, 2000);
    return db;
}

} // namespace

Journal::Journal(std::string path, sqlite3* db, int lockFd, const Site* site, bool utc)
    : path_(std::move(path)), db_(db), lockFd_(lockFd), site_(site), utc_(utc) {}

Journal::~Journal() {
    sqlite3_close(db_);
    if (lockFd_ >= 0) {
        ::close(lockFd_);
    }
}

std::unique_ptr<Journal> Journal::Open(const std::string& path, const PanelIdentity& panel,
                                       const Site* site, bool utc) {
    int fd = LockFile(path);
    sqlite3* db = nullptr;
    try {
        db = OpenDatabase(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    } catch (...) {
        ::close(fd);
        throw;
    }
    std::unique_ptr<Journal> journal(new Journal(path, db, fd, site, utc));
    try {
        journal->migrate();
        journal->remember(panel);
    } catch (const JournalError& e) {
        throw JournalError(fmt::format("{}: {}", path, e.what()));
    }
    return journal;
}

std::unique_ptr<Journal> Journal::OpenToRead(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        throw JournalError(
            fmt::format("{}: {}", path,
                        ::stat(path.c_str(), &info) != 0 ? SystemError() : "not a regular file"));
    }
    sqlite3* db = OpenDatabase(path, SQLITE_OPEN_READONLY);
    std::unique_ptr<Journal> journal(new Journal(path, db, -1, nullptr, false));
    try {
        if (Pragma(db, "application_id") != APPLICATION_ID) {
            throw JournalError("not a journal of xolhost");
        }
    } catch (const JournalError& e) {
        throw JournalError(fmt::format("{}: {}", path, e.what()));
    }
    return journal;
}

std::unique_ptr<Journal> Journal::OpenForOutput(const std::string& path) {
    sqlite3* db = OpenDatabase(path, SQLITE_OPEN_READWRITE);
    std::unique_ptr<Journal> journal(new Journal(path, db, -1, nullptr, false));
    if (Pragma(db, "application_id") != APPLICATION_ID ||
        Pragma(db, "user_version") != JOURNAL_SCHEMA_VERSION) {
        throw JournalError(fmt::format("{}: not a journal of this xolhost", path));
    }
    return journal;
}

std::optional<uint64_t> Journal::delivered(const std::string& output) const {
    Statement select(db_, "SELECT seq FROM deliveries WHERE output = ?");
    select.bind(1, output);
    return select.step() ? std::optional<uint64_t>(select.integer(0)) : std::nullopt;
}

void Journal::setDelivered(const std::string& output, uint64_t sequence) {
    Statement put(db_, "INSERT OR REPLACE INTO deliveries (output, seq) VALUES (?, ?)");
    put.bind(1, output).bind(2, static_cast<int64_t>(sequence)).run();
}

// A new file becomes a journal; one of ours is brought to the current
// schema; anything else is left as it is.
void Journal::migrate() {
    const int64_t application = Pragma(db_, "application_id");
    bool empty = false;
    {
        Statement tables(db_, "SELECT count(*) FROM sqlite_master");
        empty = tables.step() && tables.integer(0) == 0;
    }
    if (application != APPLICATION_ID && !(application == 0 && empty)) {
        throw JournalError("not a journal of xolhost (refused, left as it is)");
    }
    if (!empty) {
        if (std::string verdict = check(); verdict != "ok") {
            throw JournalError("fails its integrity check: " + verdict);
        }
    }
    Execute(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
    int64_t version = Pragma(db_, "user_version");
    if (version > JOURNAL_SCHEMA_VERSION) {
        throw JournalError(fmt::format("written by a newer xolhost (schema {}, this one knows {})",
                                       version, JOURNAL_SCHEMA_VERSION));
    }
    Execute(db_, "BEGIN IMMEDIATE");
    try {
        for (; version < JOURNAL_SCHEMA_VERSION; ++version) {
            Execute(db_, MIGRATIONS[version]);
        }
        Execute(db_, fmt::format("PRAGMA application_id={}; PRAGMA user_version={};",
                                 APPLICATION_ID, JOURNAL_SCHEMA_VERSION)
                         .c_str());
        Execute(db_, "COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Journal::remember(const PanelIdentity& panel) {
    Statement put(db_, "INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)");
    for (const auto& [key, value] :
         {std::pair{"panel_id", panel.panelId}, std::pair{"port", panel.port},
          std::pair{"site", panel.site}}) {
        if (!value.empty()) { // a reader that prunes names no panel
            put.bind(1, std::string(key)).bind(2, value).run();
        }
    }
}

int Journal::schemaVersion() const {
    return static_cast<int>(Pragma(db_, "user_version"));
}

bool Journal::commit(const std::vector<Event>& events, const SupervisionState& state) {
    try {
        Execute(db_, "BEGIN IMMEDIATE");
        writeEvents(events);
        writeState(state);
        Execute(db_, "COMMIT");
        lastError_.clear();
        return true;
    } catch (const JournalError& e) {
        lastError_ = e.what();
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
}

void Journal::writeEvents(const std::vector<Event>& events) {
    Statement insert(db_, "INSERT OR IGNORE INTO events (seq, time, unix_ms, kind, zone, "
                          "point, before, after, set_bits, cleared_bits, cause, origin, "
                          "text, body, needs_ack) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    Statement ack(db_, "INSERT OR IGNORE INTO acks (seq, operator, client, time) VALUES "
                       "(?, ?, ?, ?)");
    for (const Event& event : events) {
        Columns c = ColumnsOf(event);
        json body = EventJson(event, site_, utc_);
        insert.bind(1, static_cast<int64_t>(event.sequence))
            .bind(2, body.value("time", ""))
            .bind(3, UnixMs(event.time))
            .bind(4, std::string(EventName(event.body)))
            .bind(5, c.zone)
            .bind(6, c.point)
            .bind(7, c.before)
            .bind(8, c.after)
            .bind(9, c.setBits)
            .bind(10, c.clearedBits)
            .bind(11, c.cause)
            .bind(12, c.origin)
            .bind(13, EventText(event, site_, utc_))
            .bind(14, body.dump(-1, ' ', false, json::error_handler_t::replace))
            .bind(15, event.waitsForAcknowledgement ? 1 : 0)
            .run();
        if (const auto* given = std::get_if<event::Acknowledged>(&event.body)) {
            for (uint64_t seq : given->sequences) {
                ack.bind(1, static_cast<int64_t>(seq))
                    .bind(2, given->operatorName)
                    .bind(3, given->client)
                    .bind(4, body.value("time", ""))
                    .run();
            }
        }
    }
}

// The statuses, their confirmation times and the counts the step left.
void Journal::writeState(const SupervisionState& state) {
    Execute(db_, "DELETE FROM zones; DELETE FROM counts;");
    Statement zone(db_, "INSERT INTO zones (zone, status, confirmed_ms) VALUES (?, ?, ?)");
    for (const auto& [number, status] : state.zones) {
        auto confirmed = state.confirmedAt.find(number);
        zone.bind(1, number)
            .bind(2, status)
            .bind(3, confirmed == state.confirmedAt.end()
                         ? std::optional<int64_t>()
                         : std::optional<int64_t>(UnixMs(confirmed->second)))
            .run();
    }
    Statement count(db_, "INSERT INTO counts (which, value) VALUES (?, ?)");
    for (const auto& [which, value] : state.counts) {
        count.bind(1, std::string(1, which)).bind(2, value).run();
    }
    if (state.lastCompletedScan) {
        Statement put(db_, "INSERT OR REPLACE INTO meta (key, value) VALUES "
                           "('last_completed_scan', ?)");
        put.bind(1, std::to_string(UnixMs(*state.lastCompletedScan))).run();
    }
}

Resumption Journal::resumption() const {
    Resumption from;
    Statement last(db_, "SELECT seq, unix_ms FROM events ORDER BY seq DESC LIMIT 1");
    if (last.step()) {
        from.lastSequence = static_cast<uint64_t>(last.integer(0));
        from.lastEventTime = WallClock::time_point(std::chrono::milliseconds(last.integer(1)));
    }
    Statement zones(db_, "SELECT zone, status, confirmed_ms FROM zones");
    while (zones.step()) {
        const int64_t zone = zones.integer(0);
        const int64_t status = zones.integer(1);
        // Only what a scan could have left: zones 1..6299 and the driver's bits.
        if (zone < 1 || zone > ZONE_COUNT || status <= 0 || status > 0xFF) {
            continue;
        }
        from.zones[static_cast<int>(zone)] = static_cast<uint16_t>(status);
        if (zones.optional(2)) {
            from.confirmedAt[static_cast<int>(zone)] =
                WallClock::time_point(std::chrono::milliseconds(zones.integer(2)));
        }
    }
    Statement waiting(db_, "SELECT seq FROM events WHERE needs_ack = 1 AND seq NOT IN (SELECT "
                           "seq FROM acks) ORDER BY seq");
    while (waiting.step()) {
        from.unacknowledged.push_back(static_cast<uint64_t>(waiting.integer(0)));
    }
    Statement scanned(db_, "SELECT value FROM meta WHERE key = 'last_completed_scan'");
    if (scanned.step()) {
        from.lastCompletedScan = WallClock::time_point(
            std::chrono::milliseconds(std::strtoll(scanned.text(0).c_str(), nullptr, 10)));
    }
    Statement counts(db_, "SELECT which, value FROM counts");
    while (counts.step()) {
        std::string which = counts.text(0);
        if (which.size() == 1) {
            from.counts[which[0]] = static_cast<uint16_t>(counts.integer(1));
        }
    }
    return from;
}

std::vector<StoredEvent> Journal::events(const JournalQuery& query) const {
    std::string sql = "SELECT seq, time, kind, zone, point, before, after, set_bits, "
                      "cleared_bits, cause, origin, text, body FROM events WHERE 1";
    if (query.since) {
        sql += fmt::format(" AND unix_ms >= {}", UnixMs(*query.since));
    }
    if (query.until) {
        sql += fmt::format(" AND unix_ms <= {}", UnixMs(*query.until));
    }
    if (query.zone) {
        sql += fmt::format(" AND zone = {}", *query.zone);
    }
    if (query.before) {
        sql += fmt::format(" AND seq < {}", *query.before);
    }
    if (query.after) {
        sql += fmt::format(" AND seq > {}", *query.after);
    }
    if (query.unacknowledged) {
        sql += " AND needs_ack = 1 AND seq NOT IN (SELECT seq FROM acks)";
    }
    if (query.bits) {
        sql += fmt::format(" AND (coalesce(set_bits, 0) | coalesce(cleared_bits, 0)) & {} != 0",
                           *query.bits);
    }
    sql += query.kind ? " AND kind = ?" : "";
    sql += query.newestFirst ? " ORDER BY seq DESC" : " ORDER BY seq";
    if (query.limit > 0) {
        sql += fmt::format(" LIMIT {}", query.limit);
    }
    Statement select(db_, sql.c_str());
    if (query.kind) {
        select.bind(1, *query.kind);
    }
    std::vector<StoredEvent> found;
    while (select.step()) {
        StoredEvent e{static_cast<uint64_t>(select.integer(0)),
                      select.text(1),
                      select.text(2),
                      select.optional(3),
                      select.text(4),
                      select.optional(5),
                      select.optional(6),
                      select.optional(7),
                      select.optional(8),
                      select.text(9),
                      select.text(10),
                      select.text(11),
                      json::parse(select.text(12), nullptr, false)};
        found.push_back(std::move(e));
    }
    return found;
}

std::string Journal::check() const {
    Statement integrity(db_, "PRAGMA integrity_check");
    std::string verdict;
    while (integrity.step()) {
        verdict += (verdict.empty() ? "" : "; ") + integrity.text(0);
    }
    return verdict;
}

// Events that wait for an acknowledgement stay until it is given.
uint64_t Journal::prune(int days) {
    const int64_t cutoff =
        UnixMs(WallClock::now() - std::chrono::hours(24) * static_cast<int64_t>(days));
    Statement remove(db_, "DELETE FROM events WHERE unix_ms < ? AND NOT (needs_ack = 1 AND seq "
                          "NOT IN (SELECT seq FROM acks))");
    remove.bind(1, cutoff).run();
    return static_cast<uint64_t>(sqlite3_changes(db_));
}

std::string PanelIdOf(const std::string& port) {
    std::string id = port.rfind("/dev/", 0) == 0 ? port.substr(5) : port;
    for (char& c : id) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') {
            c = '_';
        }
    }
    return id.empty() ? std::string("panel") : id;
}

std::string DefaultJournalPath(const std::string& panelId) {
    std::string folder;
    if (const char* state = std::getenv("STATE_DIRECTORY"); state != nullptr && *state != 0) {
        // systemd may list several, separated by colons: the first is ours.
        folder = std::string(state).substr(0, std::string(state).find(':'));
    } else if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg == '/') {
        folder = std::string(xdg) + "/xolest";
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        folder = std::string(home) + "/.local/state/xolest";
    } else {
        return {};
    }
    const std::string stem = folder + "/" + PanelIdOf(panelId);
    // Journals kept before the default became <id>.db stay in use.
    std::error_code ignored;
    if (!std::filesystem::exists(stem + ".db", ignored) &&
        std::filesystem::is_regular_file(stem + ".journal", ignored)) {
        return stem + ".journal";
    }
    return stem + ".db";
}

} // namespace xolhost
