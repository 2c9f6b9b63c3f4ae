// The scripted fake port layer for unit tests: records every platform call
// and can make any of them fail, complete short or deliver input in pieces.
// Tests drive it through this interface; the module's code sees only port.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "serial/port.h"

namespace xol::fake {

enum class Call {
    Open, Close, GetState, SetState, GetTimeouts, SetTimeouts, SetQueues,
    InputWaiting, Read, Write, BreakOn, BreakOff, Sleep,
};

struct CallRecord {
    Call call;
    uint32_t requested = 0;    // bytes asked of a read or write, queue size, sleep time
    uint32_t completed = 0;    // bytes a read or write reported
    bool succeeded = true;
    uint32_t readTimeoutMs = 0; // the port's read time-out when the call was made
    std::string name;           // Open: the name asked for
};

// Back to a fresh state: no port open, no input, no failures, no record.
void Reset();

// The record of calls since the last Reset or ClearCalls.
const std::vector<CallRecord>& Calls();
void ClearCalls();
size_t CountCalls(Call call);

// Make the next call of this kind fail (after `skip` successful ones).
void FailNext(Call call, unsigned skip = 0);
// Make every call of this kind fail until cleared.
void FailAlways(Call call, bool fail = true);

// Input the port delivers. Each piece is delivered by separate reads: one read
// never returns bytes from two pieces. A read with no input left returns 0
// bytes (a time-out).
void QueueInput(std::string_view piece);
// Input that appears only after the next write (a panel's answer).
void QueueReply(std::string_view piece);
// Bytes still waiting, across all queued pieces.
uint32_t PendingInput();

// The next write hands over only this many bytes (once).
void ShortWriteNext(uint32_t bytes);

// Everything written since the last Reset, and each write's bytes.
std::string Written();
std::vector<std::string> Writes();

// The port's current state as the module last set it.
PortLineState LineState();
PortTimeouts Timeouts();
uint32_t InputQueueSize();
uint32_t OutputQueueSize();
// The handle the next successful open returns.
PortHandle NextHandle();
bool IsOpen(PortHandle port);

} // namespace xol::fake
