// The scripted fake port layer for unit tests: records every platform call
// and can make any of them fail, complete short or deliver input in pieces.
// Tests drive it through this interface; the module's code sees only port.h.
//
// The fake models one serial line with any number of named ports on it:
// - Opens are exclusive by name (case-sensitive): a name already open fails,
//   as does an empty name or a name marked missing. Handles are never 0 and never reused
//   until Reset.
// - Calls on a handle that is not open fail (and are recorded as failed).
// - Input is one queue of pieces shared by every open port. A read returns
//   at most the rest of the front piece, never bytes of two pieces. A read
//   with nothing left returns 0 bytes at once: a time-out, without waiting.
// - Replies are input that appears only when a write happens; see
//   QueueReply. OnWrite installs a handler that sees every write and may
//   queue input in answer, for longer scripted exchanges.
// - Nothing sleeps: Sleep is recorded and returns at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/port.h"

namespace xol::fake {

enum class Call {
    Open,
    Close,
    GetState,
    SetState,
    GetTimeouts,
    SetTimeouts,
    SetQueues,
    InputWaiting,
    Read,
    Write,
    BreakOn,
    BreakOff,
    Sleep,
};

// "Open", "Read" and so on, for test messages.
const char* CallName(Call call);

struct CallRecord {
    Call call;
    PortHandle port = 0;        // the handle the call was made on (Open: the handle returned)
    uint32_t requested = 0;     // bytes asked of a read or write, input queue size, sleep time
    uint32_t completed = 0;     // bytes a read or write reported, output queue size, bytes waiting
    bool succeeded = true;      // what the call answered
    uint32_t readTimeoutMs = 0; // the port's read time-out when the call was made
    std::string name;           // Open: the name asked for
    std::string data;           // Read: the bytes delivered; Write: the bytes handed over
};

// Back to a fresh state: no port open, no input, no failures, no record,
// the default reported line state and time-outs, handles counted afresh.
void Reset();

// The record of calls since the last Reset or ClearCalls.
const std::vector<CallRecord>& Calls();
// Just the kinds, in order, for comparing whole sequences.
std::vector<Call> CallSequence();
void ClearCalls();
size_t CountCalls(Call call);

// Make the next call of this kind fail (after `skip` successful ones). Several
// may be pending at once: FailNext(Read) then FailNext(Read, 2) fails the
// first and the third read from now. A failed open returns no handle; a failed
// close leaves the port open; a failed read or write moves no byte.
void FailNext(Call call, unsigned skip = 0);
// Make every call of this kind fail until cleared with fail = false.
void FailAlways(Call call, bool fail = true);
// A port name that does not exist: its opens fail.
void SetMissing(std::string_view name, bool missing = true);

// The line state GetState reports for a port until the module sets one. The
// default reports every field the module sets with a value it must change
// and fills platformState with the bytes 0xA0, 0xA1, ... so that a test can
// see it carried back unchanged.
PortLineState DefaultReportedState();
void SetReportedState(const PortLineState& state);
// The time-outs a freshly opened port holds (default: 10, 20, 30, 40, 50 ms).
PortTimeouts DefaultTimeouts();
// Changes an open port's time-outs directly, without recording a call
// (port 0: the port opened last).
void SetPortTimeouts(const PortTimeouts& timeouts, PortHandle port = 0);

// Input the line delivers now, as one piece.
void QueueInput(std::string_view piece);
// Input that appears only when a write happens (a panel's answer). Replies
// are kept in batches, one per coming write: the first successful write from
// now releases batch 0, the next one batch 1, and so on; `write` picks the
// batch. Several pieces queued for the same write stay separate pieces.
// A failed write releases nothing; a short write counts as a write.
void QueueReply(std::string_view piece, unsigned write = 0);
// Called after every successful write with the bytes handed over, after that
// write's reply batch was released. Pass nullptr to remove it.
void OnWrite(std::function<void(std::string_view written)> handler);
// Bytes readable now, across all queued pieces (replies not yet released
// are not counted).
uint32_t PendingInput();
// Replies queued for writes still to come.
uint32_t PendingReplies();

// The next write hands over only this many bytes (once).
void ShortWriteNext(uint32_t bytes);

// Everything handed over by writes since the last Reset, and each write's bytes.
std::string Written();
std::vector<std::string> Writes();

// A port's state (port 0: the port opened last, open or closed since): the
// line state as the module last set it (as reported if it never set one),
// its time-outs and queue sizes (0 until set).
PortLineState LineState(PortHandle port = 0);
PortTimeouts Timeouts(PortHandle port = 0);
uint32_t InputQueueSize(PortHandle port = 0);
uint32_t OutputQueueSize(PortHandle port = 0);
bool BreakIsOn(PortHandle port = 0);

// The handle the next successful open returns.
PortHandle NextHandle();
// The handle of the port opened last (0 when none since Reset).
PortHandle LastOpened();
bool IsOpen(PortHandle port);
size_t OpenPorts();

} // namespace xol::fake
