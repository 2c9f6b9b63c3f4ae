// Channel lifecycle: open, purge, close, reopen and reconfigure the port kept
// in the context.
#pragma once

#include <cstdint>
#include <xolest/xolest.h>

namespace xol {

// DTR and RTS both held off, no hardware handshake.
constexpr uint16_t CHANNEL_OPEN_FLAGS = 8;

int32_t OpenChannel(const DriverRequest& request);        // code 1
int32_t PurgeInput(const DriverRequest& request);         // code 2
int32_t CloseChannel(const DriverRequest& request);       // codes 11 and 12
int32_t ReopenChannel(const DriverRequest& request);      // code 13
int32_t ReconfigureChannel(const DriverRequest& request); // code 15

} // namespace xol
