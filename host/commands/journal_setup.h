// The journal of monitor and serve, and the journal command that reads it.
// Where there is no SQLite (Windows), neither keeps one.
#pragma once

#include <memory>

namespace xolhost {

struct CommandContext;
class EventJournal;
class Supervisor;

// Opens the journal the options name (or the panel's default one), hands it
// to the supervisor and resumes from what it kept. Null when none is kept.
// UsageError when it cannot be used (another process holds it, not a
// journal, failing its check).
std::unique_ptr<EventJournal> AttachJournal(CommandContext& context, Supervisor& supervisor);

} // namespace xolhost
