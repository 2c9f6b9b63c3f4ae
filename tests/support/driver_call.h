// One call of the module's entry, as a host makes it: a request carrying the
// channel's context (none for the calls that take none), the function code
// and its parameter record; the host's own bytes stay zero.
#pragma once

#include <cstdint>

#include <xolest/xolest.h>

namespace xoltest {

// Through an entry found in a loaded module.
inline int32_t CallDriver(XolMainFunction entry, DriverContext* context, int32_t function,
                          void* params = nullptr) {
    DriverRequest request{};
    request.context = context;
    request.function = function;
    request.params = params;
    return entry(&request);
}

// Through the entry linked into the program.
inline int32_t CallDriver(DriverContext* context, int32_t function, void* params = nullptr) {
    return CallDriver(&XolMain, context, function, params);
}

} // namespace xoltest
