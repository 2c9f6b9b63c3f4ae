// The current context: the DriverContext of the XolMain call in progress.
#pragma once

#include <xolest/xolest.h>

namespace xol {

// Set at the start of every XolMain call; every layer below reaches the port
// and the zone tables through it.
void SetCurrentContext(DriverContext* context);
DriverContext* CurrentContext();

} // namespace xol
