// Builds without SQLite (Windows): no journal is kept, and asking for one
// is refused.
#include "commands/command_table.h"
#include "commands/journal_setup.h"
#include "commands/options.h"
#include "platform/exit_codes.h"
#include "present/output.h"
#include "supervision/events.h"

namespace xolhost {

std::unique_ptr<EventJournal> AttachJournal(CommandContext& context, Supervisor&) {
    if (!context.options.journalFile.empty()) {
        throw UsageError("--journal is not available in this build of xolhost (it needs SQLite)");
    }
    if (!context.options.noJournal && !context.out.jsonMode()) {
        context.out.progress("this build keeps no journal: events are not kept after it ends");
    }
    return nullptr;
}

int RunJournal(CommandContext&) {
    throw UsageError("journal is not available in this build of xolhost (it needs SQLite)");
}

} // namespace xolhost
