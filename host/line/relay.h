// The serial line as this program handles it itself, apart from the driver:
// port names resolved to a device, the device opened with the settings the
// driver would give it, and the relay that stands between the driver and
// the device so that every byte can be watched. serial_posix.cpp is the Linux
// side; where there is no relay (Windows), RelayAvailable() is false.
#pragma once

#include <memory>
#include <string>

#include <xolest/xolest.h>

namespace xolhost {

class LineDecoder;

// What stopped a port from opening, in the system's own words.
enum class PortFault { None, Missing, Busy, Access, Setting, NotSerial, Other };

struct PortProblem {
    PortFault fault = PortFault::None;
    std::string system; // the system's error text ("No such file or directory")
    std::string step;   // what was being done ("opening", "setting 2400 8E1")
};

struct PortName {
    std::string given;  // as the user wrote it
    std::string device; // the device path after links (/dev/ttyUSB0)
    // The name for the driver's 11-character field, without /dev/; empty
    // when even the resolved path does not fit.
    std::string moduleName;
};

// Resolves a port name: "ttyS0" and "pts/3" are under /dev/, links such as
// /dev/serial/by-id/... are followed. Throws UsageError for this program's
// own terminal, which no panel is on.
PortName ResolvePort(const std::string& given);

// Opens the device as the driver would (exclusive, raw, the line settings,
// DTR and RTS off) and closes it again: what the driver's bare "failed"
// stood for.
PortProblem ProbePort(const std::string& device, const PortSettings& settings);

class Relay {
public:
    virtual ~Relay() = default;
    // The pseudo-terminal the driver opens instead of the device.
    virtual std::string modulePortName() const = 0;
    // Waits until everything the driver has written so far has passed.
    virtual void sync() = 0;
    // What decodes the bytes it passes.
    virtual LineDecoder& decoder() = 0;
};

bool RelayAvailable();

// Opens the device with the settings and starts passing bytes between it
// and a new pseudo-terminal, each through `decoder`. Null, with `problem`
// filled, when the device cannot be had.
std::unique_ptr<Relay> StartRelay(const std::string& device, const PortSettings& settings,
                                  LineDecoder& decoder, PortProblem& problem);

} // namespace xolhost
