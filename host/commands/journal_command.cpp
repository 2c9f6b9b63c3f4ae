// The journal of monitor and serve, and `xolhost journal`: its events as
// text, CSV or JSON lines, chosen by time, zone and kind, and its check.
#include <fmt/format.h>

#include <cerrno>
#include <ctime>
#include <filesystem>

#include "commands/command_table.h"
#include "commands/journal_setup.h"
#include "commands/options.h"
#include "journal/journal.h"
#include "journal/journal_forms.h"
#include "platform/exit_codes.h"
#include "present/output.h"
#include "present/site.h"
#include "supervision/supervisor.h"

namespace xolhost {

using nlohmann::json;

namespace {

// The journal file the options name; empty when none is kept.
std::string JournalPath(const Options& options, bool supervising) {
    if (!options.journalFile.empty()) {
        return options.journalFile;
    }
    if (supervising && (options.noJournal || options.simulate)) {
        return {}; // a simulated panel keeps none unless asked
    }
    const std::string id = !options.panelId.empty() ? options.panelId : PanelIdOf(options.port);
    if (!supervising && options.panelId.empty()) {
        throw UsageError("journal: name it with --journal FILE or --panel-id ID");
    }
    std::string path = DefaultJournalPath(id);
    if (path.empty()) {
        throw UsageError("no folder for the journal (HOME is not set): give --journal FILE or "
                         "--no-journal");
    }
    return path;
}

WallClock::time_point TimeArgument(const std::string& text, const char* option) {
    std::string problem;
    std::optional<WallClock::time_point> at = ParseTimeArgument(text, problem);
    if (!at) {
        throw UsageError(fmt::format("{} {}: {}", option, text, problem));
    }
    return *at;
}

int CheckJournal(Journal& journal, Output& out) {
    std::string verdict = journal.check();
    json outcome = {{"command", "journal"},
                    {"result", verdict == "ok" ? "done" : "failed"},
                    {"journal", journal.path()},
                    {"schema", journal.schemaVersion()},
                    {"integrity", verdict}};
    if (out.jsonMode()) {
        out.printJson(outcome);
    } else {
        out.printLine(
            fmt::format("{}: {} (schema {})", journal.path(), verdict, journal.schemaVersion()));
    }
    return verdict == "ok" ? EXIT_DONE : EXIT_FAILED;
}

} // namespace

std::unique_ptr<EventJournal> AttachJournal(CommandContext& context, Supervisor& supervisor) {
    const Options& options = context.options;
    const std::string path = JournalPath(options, true);
    if (path.empty()) {
        return nullptr;
    }
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    const Site* site = context.out.site();
    std::unique_ptr<Journal> journal;
    try {
        journal =
            Journal::Open(path,
                          {options.panelId.empty() ? PanelIdOf(options.port) : options.panelId,
                           options.port, site != nullptr ? site->name : std::string()},
                          site, options.utc);
        if (options.keepDays) {
            journal->prune(*options.keepDays);
        }
    } catch (const JournalError& e) {
        throw CommandFailure(fmt::format("journal: {}", e.what()));
    }
    supervisor.setJournal(*journal);
    if (Resumption from = journal->resumption(); from.lastSequence > 0) {
        supervisor.resume(from);
    }
    if (!context.out.jsonMode()) {
        context.out.progress("journal " + path);
    }
    return journal;
}

int RunJournal(CommandContext& context) {
    const Options& options = context.options;
    Output& out = context.out;
    std::unique_ptr<Journal> journal;
    try {
        const std::string path = JournalPath(options, false);
        if (options.keepDays) {
            // Pruning writes: it takes the journal as a supervisor would.
            journal = Journal::Open(path, {}, nullptr, options.utc);
            uint64_t removed = journal->prune(*options.keepDays);
            out.progress(fmt::format("{}: {} event(s) older than {} day(s) removed", path, removed,
                                     *options.keepDays));
        } else {
            journal = Journal::OpenToRead(path);
        }
    } catch (const JournalError& e) {
        throw CommandFailure(fmt::format("journal: {}", e.what()));
    }
    if (options.checkJournal) {
        return CheckJournal(*journal, out);
    }
    JournalQuery query;
    if (!options.since.empty()) {
        query.since = TimeArgument(options.since, "--since");
    }
    if (!options.until.empty()) {
        query.until = TimeArgument(options.until, "--until");
    }
    query.zone = options.zone;
    if (!options.eventKind.empty()) {
        query.kind = options.eventKind;
    }
    query.unacknowledged = options.unacknowledged;
    const std::string format = out.jsonMode() ? std::string("jsonl") : options.format;
    if (format == "csv") {
        out.printLine(EVENT_CSV_HEADER);
    }
    for (const StoredEvent& e : journal->events(query)) {
        if (format == "jsonl") {
            out.printJson(e.body);
        } else if (format == "csv") {
            out.printLine(CsvLine(e));
        } else {
            out.printLine(fmt::format("{:>6}  {}  {}", e.sequence, e.time, e.text));
        }
    }
    return EXIT_DONE;
}

} // namespace xolhost
