// Running one command: the module loaded, and for the commands that need a
// panel, the panel's device (or the simulator), the relay that watches the
// line, and the channel opened before and closed after.
#pragma once

#include "module/driver.h"

namespace xolhost {

struct Options;
class Interrupts;
class Output;

// The line settings the options give, the driver's defaults for the rest.
LineSettings LineFromOptions(const Options& options, const DriverInfo& info);

// The command's exit code. Throws UsageError, ModuleError and Interrupted.
int RunCommand(Options& options, Interrupts& interrupts, Output& out);

} // namespace xolhost
