// Channel lifecycle: the port kept in the context, opened, purged, closed,
// reopened and reconfigured through the serial module.
#include "interface/channel.h"

#include <cstring>

#include "core/context.h"
#include "core/host_log.h"
#include "serial/serial.h"

namespace xol {

namespace {

// A name must end within its 12-byte field; anything else would be read past
// the record.
bool NameFits(const char (&name)[XOL_PORT_NAME_SIZE]) {
    return std::memchr(name, '\0', sizeof name) != nullptr;
}

// Copies a name that fits, up to and including its NUL.
void CopyName(char (&to)[XOL_PORT_NAME_SIZE], const char (&from)[XOL_PORT_NAME_SIZE]) {
    std::memcpy(to, from, std::strlen(from) + 1);
}

// Opens a port from a configuration; on success the new port takes the
// context's slot, and a port the slot held before is closed rather than left
// open and locked with nothing referring to it. A slot that holds the very
// value just opened held a stale handle (a port whose close failed, or a
// block that was never zero-filled): that value is now the new port.
bool OpenInto(DriverContext& context, const PortConfig& config) {
    PortHandle opened = 0;
    if (SerialOpen(config.name, config.settings, config.flags, &opened) != SERIAL_OK) {
        return false;
    }
    const PortHandle replaced = context.port;
    context.port = opened;
    if (replaced != 0 && replaced != opened) {
        (void)SerialClose(replaced);
    }
    return true;
}

} // namespace

int32_t OpenChannel(const DriverRequest& request) {
    DriverContext& context = *CurrentContext();
    const auto& open = *static_cast<const OpenRequest*>(request.params);
    if (open.enabled == 0) {
        context.enabled = 0;
        return RC_DONE;
    }
    if (!NameFits(open.name)) {
        return RC_REFUSED;
    }
    context.enabled = open.enabled;

    PortConfig config{};
    CopyName(config.name, open.name);
    config.settings = open.settings;
    config.flags = CHANNEL_OPEN_FLAGS;
    if (!OpenInto(context, config)) {
        LogOpenFailure(config.name);
        return RC_FAILED;
    }
    (void)SerialSetReadTimeout(context.port, open.timeout);
    context.config = config;
    context.timeoutTicks = open.timeout;
    return RC_DONE;
}

int32_t PurgeInput(const DriverRequest&) {
    const DriverContext& context = *CurrentContext();
    if (context.port != 0) {
        (void)SerialPurgeInput(context.port);
    }
    return RC_DONE;
}

int32_t CloseChannel(const DriverRequest&) {
    DriverContext& context = *CurrentContext();
    if (context.port == 0) {
        return RC_DONE;
    }
    // A port that fails to close stays in the context for another try.
    if (SerialClose(context.port) != SERIAL_OK) {
        return RC_FAILED;
    }
    context.port = 0;
    return RC_DONE;
}

int32_t ReopenChannel(const DriverRequest&) {
    DriverContext& context = *CurrentContext();
    // A stored name that does not end within its field names no port.
    if (!NameFits(context.config.name)) {
        return RC_FAILED;
    }
    if (!OpenInto(context, context.config)) {
        return RC_FAILED;
    }
    context.enabled = 1;
    return RC_DONE;
}

int32_t ReconfigureChannel(const DriverRequest& request) {
    DriverContext& context = *CurrentContext();
    const auto& reconfigure = *static_cast<const ReconfigureRequest*>(request.params);
    if (!NameFits(reconfigure.name)) {
        return RC_REFUSED;
    }
    if (reconfigure.timeout != 0) {
        context.timeoutTicks = reconfigure.timeout;
    }
    // The requested name ends within its field, so the comparison stops there
    // even when the stored name does not.
    if (std::strncmp(reconfigure.name, context.config.name, XOL_PORT_NAME_SIZE) != 0 &&
        context.port != 0) {
        (void)CloseChannel(request);
    }
    CopyName(context.config.name, reconfigure.name);
    context.config.settings = reconfigure.settings;
    return OpenInto(context, context.config) ? RC_DONE : RC_FAILED;
}

} // namespace xol
