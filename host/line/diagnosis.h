// Why a call did not succeed, in words a technician can act on, from what
// the relay saw on the line. Each cause has a stable name for JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "line/line_decoder.h"
#include "line/relay.h"

namespace xolhost {

enum class Cause {
    None,
    NoAnswer,      // nothing came back
    Garbage,       // bytes that form no valid answer
    Late,          // answers later than the time-out
    Checksum,      // answers whose checksum fails
    UnknownAnswer, // the panel did not understand a command
    PortFailed,    // the port failed while in use
    PortMissing,
    PortBusy,
    PortAccess,
    PortSetting,
    PortNotSerial,
    PortError,
    Value,       // the driver refused the value: nothing was sent
    Panel,       // the panel refused
    NotReadable, // the point's kind cannot be read
    NotWritable, // the point's kind cannot be written
    CountReply,  // a count reply with no number
    Unwatched,   // failed, and the line was not watched (--direct)
};

const char* CauseName(Cause cause);

struct Diagnosis {
    Cause cause = Cause::None;
    std::string text;
    std::optional<uint32_t> suggestedTimeout; // in units of 10 ms
};

// A call that failed on the line: what its traffic shows.
Diagnosis DiagnoseLine(const CallTraffic& traffic, uint32_t timeoutTicks);
// A failure with no traffic to look at.
Diagnosis DiagnoseUnwatched(bool relayAvailable);
// A port that did not open.
Diagnosis DiagnosePort(const PortProblem& problem, const std::string& given,
                       const std::string& device);

} // namespace xolhost
