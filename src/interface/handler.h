// The shape of every function-code handler behind XolMain.
#pragma once

#include <cstdint>
#include <xolest/xolest.h>

namespace xol {

// A handler gets the whole request; XolMain has already checked that the
// request, and the context and parameter record the handler needs, are not
// null.
using Handler = int32_t (*)(const DriverRequest& request);

} // namespace xol
