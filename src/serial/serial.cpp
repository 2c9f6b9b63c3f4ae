// The serial port module: opening and configuring a port, its read time-out,
// discarding input, whole writes and exact reads, over the port layer.
#include "serial/serial.h"

#include <array>
#include <cstring>
#include <limits>

namespace xol {

namespace {

constexpr uint32_t OPEN_READ_TIMEOUT_MS = 1000;
constexpr uint32_t QUEUE_BYTES = 1200;
constexpr uint32_t PURGE_TIMEOUT_UNITS = 5;
constexpr uint32_t PURGE_CHUNK = 512;
constexpr uint32_t MS_PER_UNIT = 10;
constexpr uint8_t ERROR_CHAR = 0xFC;

constexpr uint8_t LowByte(uint16_t word) {
    return static_cast<uint8_t>(word & 0xFF);
}

// The first test that matches decides; all other bits have no effect.
constexpr PortDtr DtrFromFlags(uint16_t flags) {
    if ((flags & 0x0101) != 0) {
        return PORT_DTR_ENABLE;
    }
    if ((flags & 0x8000) != 0) {
        return PORT_DTR_HANDSHAKE;
    }
    return PORT_DTR_DISABLE;
}

constexpr PortRts RtsFromFlags(uint16_t flags) {
    if ((flags & 0x0202) != 0) {
        return PORT_RTS_ENABLE;
    }
    if ((flags & 0x1000) != 0) {
        return PORT_RTS_HANDSHAKE;
    }
    if ((flags & 0x2000) != 0) {
        return PORT_RTS_TOGGLE;
    }
    return PORT_RTS_DISABLE;
}

static_assert(DtrFromFlags(8) == PORT_DTR_DISABLE && RtsFromFlags(8) == PORT_RTS_DISABLE,
              "the channel's open flags hold both lines off");

// The line state the panel link needs, on top of what the port reported.
void ApplySettings(PortLineState& state, const PortSettings& settings, uint16_t flags) {
    state.baudRate = settings.baud;
    state.byteSize = LowByte(settings.dataBits);
    state.parity = LowByte(settings.parity);
    state.stopBits = LowByte(settings.stopBits);
    state.binary = true;
    state.parityCheck = true;
    state.outxCtsFlow = false;
    state.outxDsrFlow = false;
    state.dtrControl = DtrFromFlags(flags);
    state.dsrSensitivity = false;
    state.outX = false;
    state.inX = false;
    state.errorCharReplace = false;
    state.discardNull = false;
    state.rtsControl = RtsFromFlags(flags);
    state.abortOnError = false;
    state.errorChar = ERROR_CHAR;
}

// Closes a port whose configuration failed, so that no failed open leaves
// it held, and returns the failure.
SerialStatus AbandonOpen(PortHandle* port, SerialStatus status) {
    (void)PortClose(*port);
    *port = 0;
    return status;
}

// units × 10 ms, held at the largest time-out the port can store rather
// than wrapping round to a short one.
constexpr uint32_t UnitsToMs(uint32_t units) {
    constexpr uint32_t MAX_UNITS = std::numeric_limits<uint32_t>::max() / MS_PER_UNIT;
    return units > MAX_UNITS ? std::numeric_limits<uint32_t>::max() : units * MS_PER_UNIT;
}

} // namespace

SerialStatus SerialOpen(const char* name, const PortSettings& settings, uint16_t flags,
                        PortHandle* port) {
    if (!PortOpen(name, port)) {
        *port = 0;
        return SERIAL_OPEN_FAILED;
    }
    // The null device opens but takes no configuration.
    if (std::strcmp(name, "NUL") == 0) {
        return SERIAL_OK;
    }

    PortLineState state{};
    if (!PortGetState(*port, &state)) {
        return AbandonOpen(port, SERIAL_GET_STATE_FAILED);
    }

    // One total time-out per read, none between bytes, none for writes.
    PortTimeouts timeouts{};
    timeouts.readIntervalTimeout = 0;
    timeouts.readTotalTimeoutMultiplier = 0;
    timeouts.readTotalTimeoutConstant = OPEN_READ_TIMEOUT_MS;
    timeouts.writeTotalTimeoutMultiplier = 0;
    timeouts.writeTotalTimeoutConstant = 0;
    if (!PortSetTimeouts(*port, timeouts)) {
        return AbandonOpen(port, SERIAL_OPEN_FAILED);
    }

    ApplySettings(state, settings, flags);
    if (!PortSetState(*port, state)) {
        return AbandonOpen(port, SERIAL_SET_STATE_FAILED);
    }

    // The queue sizes are a request the port may decline; the open stands.
    (void)PortSetQueues(*port, QUEUE_BYTES, QUEUE_BYTES);
    return SERIAL_OK;
}

SerialStatus SerialClose(PortHandle port) {
    return PortClose(port) ? SERIAL_OK : SERIAL_IO_FAILED;
}

uint32_t SerialSetReadTimeout(PortHandle port, uint32_t units) {
    PortTimeouts timeouts{};
    if (!PortGetTimeouts(port, &timeouts)) {
        return 0;
    }
    const uint32_t previousMs = timeouts.readTotalTimeoutConstant;
    const uint32_t wantedMs = UnitsToMs(units);
    if (previousMs != wantedMs) {
        timeouts.readTotalTimeoutConstant = wantedMs;
        if (!PortSetTimeouts(port, timeouts)) {
            return 0;
        }
    }
    return previousMs / MS_PER_UNIT;
}

int SerialPurgeInput(PortHandle port) {
    uint32_t waiting = 0;
    const bool counted = PortInputWaiting(port, &waiting);
    if (counted && waiting == 0) {
        return 0;
    }

    // Read with a short time-out until a read comes back short: that drains
    // the queue and whatever follows it closely.
    const uint32_t previousUnits = SerialSetReadTimeout(port, PURGE_TIMEOUT_UNITS);
    std::array<unsigned char, PURGE_CHUNK> scratch;
    bool readOk = false;
    uint32_t got = 0;
    do {
        got = 0;
        readOk = PortRead(port, scratch.data(), PURGE_CHUNK, &got);
    } while (readOk && got == PURGE_CHUNK);

    // A previous time-out of 0 (or under 10 ms) cannot be told from a failed
    // read of it, so the port keeps the purge's 50 ms then.
    if (previousUnits != 0) {
        (void)SerialSetReadTimeout(port, previousUnits);
    }
    return readOk ? 0 : 1;
}

SerialStatus SerialWriteExact(PortHandle port, const void* buffer, uint32_t count,
                              uint32_t* written) {
    uint32_t done = 0;
    if (!PortWrite(port, buffer, count, &done)) {
        return SERIAL_IO_FAILED;
    }
    if (written != nullptr) {
        *written = done;
    }
    // The rest of a short write is not sent again: the caller decides.
    return done == count ? SERIAL_OK : SERIAL_SHORT_WRITE;
}

SerialStatus SerialReadExact(PortHandle port, void* buffer, uint32_t count, uint32_t* received) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    if (received != nullptr) {
        *received = 0;
    }
    uint32_t total = 0;
    do {
        uint32_t got = 0;
        if (!PortRead(port, bytes + total, count - total, &got)) {
            return SERIAL_IO_FAILED;
        }
        // A read that brings nothing ran out its time-out: the reply stopped.
        if (got == 0) {
            return SERIAL_IO_FAILED;
        }
        total += got;
        if (received != nullptr) {
            *received = total;
        }
    } while (total < count);
    return SERIAL_OK;
}

int SerialSendBreak(uint32_t milliseconds, PortHandle port) {
    (void)PortBreakOn(port);
    PortSleep(milliseconds);
    (void)PortBreakOff(port);
    return 0;
}

int SerialDelay(uint32_t milliseconds) {
    PortSleep(milliseconds);
    return 0;
}

} // namespace xol
