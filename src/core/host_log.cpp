#include "core/host_log.h"

#include <xolest/keldor.h>

namespace xol {

// err is called with the format and its arguments as they stand, so a host
// that files messages by their format text sees the same two formats always.
void LogOpenFailure(const char* portName) {
    (void)err(LOG_CLASS, "XOL%s : Fail to open %s", SHORT_NAME, portName);
}

void LogIllegalZone(uint16_t zone) {
    (void)err(LOG_CLASS, "XolES : Got Illegal zone address (%d)", static_cast<int>(zone));
}

} // namespace xol
