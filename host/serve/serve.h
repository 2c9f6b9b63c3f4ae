// xolhost serve: the monitor behind a small web server. One page shows every
// zone's status, the counts, the last scan and the channel, with the events
// pushed live; a JSON API gives the same data. This thread makes every call
// into the driver; the server's threads only read what it publishes and
// queue the page's commands to it.
#pragma once

#include "commands/options.h"
#include "module/driver.h"
#include "platform/interrupts.h"
#include "commands/session.h"
#include "present/output.h"

namespace xolhost {

// False where xolhost was built without a web server (Windows, or without
// cpp-httplib).
bool ServeAvailable();

// Serves until an interrupt, then closes the channel. Returns the exit code.
int Serve(Session& session, const Options& options, const LineSettings& line,
          Interrupts& interrupts, Output& out);

} // namespace xolhost
