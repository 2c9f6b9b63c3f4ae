// The scripted fake port layer: the port.h functions over an in-memory line.
#include "support/fake_port.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <utility>

namespace xol::fake {

namespace {

constexpr PortHandle FIRST_HANDLE = 0x100;
constexpr PortHandle HANDLE_STEP = 4;
constexpr size_t CALL_KINDS = static_cast<size_t>(Call::Sleep) + 1;

struct FakePort {
    std::string name;
    bool open = false;
    bool stateSet = false;
    PortLineState state{};
    PortTimeouts timeouts{};
    uint32_t inputQueue = 0;
    uint32_t outputQueue = 0;
    bool breakOn = false;
};

struct FakeLine {
    std::map<PortHandle, FakePort> ports;
    PortHandle nextHandle = FIRST_HANDLE;
    PortHandle lastOpened = 0;
    std::set<std::string, std::less<>> missing;
    PortLineState reportedState{};
    std::vector<CallRecord> calls;
    // Per kind: calls made since Reset, the call numbers that must fail, and
    // whether every call fails.
    std::array<uint64_t, CALL_KINDS> made{};
    std::array<std::multiset<uint64_t>, CALL_KINDS> failAt{};
    std::array<bool, CALL_KINDS> failAlways{};
    std::deque<std::string> input;
    std::deque<std::vector<std::string>> replies;
    std::function<void(std::string_view)> onWrite;
    bool shortWritePending = false;
    uint32_t shortWriteBytes = 0;
    std::vector<std::string> writes;
};

FakeLine& Line() {
    static FakeLine line = [] {
        FakeLine fresh;
        fresh.reportedState = DefaultReportedState();
        return fresh;
    }();
    return line;
}

size_t Index(Call call) {
    return static_cast<size_t>(call);
}

// Counts the call and says whether the script makes it fail.
bool ScriptedFailure(Call call) {
    FakeLine& line = Line();
    const size_t kind = Index(call);
    const uint64_t number = line.made[kind]++;
    auto hit = line.failAt[kind].find(number);
    bool fail = line.failAlways[kind];
    if (hit != line.failAt[kind].end()) {
        line.failAt[kind].erase(hit);
        fail = true;
    }
    return fail;
}

FakePort* OpenPort(PortHandle port) {
    FakeLine& line = Line();
    auto found = line.ports.find(port);
    if (found == line.ports.end() || !found->second.open) {
        return nullptr;
    }
    return &found->second;
}

FakePort* AnyPort(PortHandle port) {
    FakeLine& line = Line();
    if (port == 0) {
        port = line.lastOpened;
    }
    auto found = line.ports.find(port);
    return found == line.ports.end() ? nullptr : &found->second;
}

CallRecord& Record(Call call, PortHandle port) {
    CallRecord record;
    record.call = call;
    record.port = port;
    if (const FakePort* p = OpenPort(port)) {
        record.readTimeoutMs = p->timeouts.readTotalTimeoutConstant;
    }
    Line().calls.push_back(std::move(record));
    return Line().calls.back();
}

// Runs the common shape of a call on an open port: record, then fail if the
// port is not open or the script says so.
FakePort* Begin(Call call, PortHandle port, CallRecord** record) {
    *record = &Record(call, port);
    const bool scripted = ScriptedFailure(call);
    FakePort* p = OpenPort(port);
    if (p == nullptr || scripted) {
        (*record)->succeeded = false;
        return nullptr;
    }
    return p;
}

} // namespace

const char* CallName(Call call) {
    switch (call) {
    case Call::Open:
        return "Open";
    case Call::Close:
        return "Close";
    case Call::GetState:
        return "GetState";
    case Call::SetState:
        return "SetState";
    case Call::GetTimeouts:
        return "GetTimeouts";
    case Call::SetTimeouts:
        return "SetTimeouts";
    case Call::SetQueues:
        return "SetQueues";
    case Call::InputWaiting:
        return "InputWaiting";
    case Call::Read:
        return "Read";
    case Call::Write:
        return "Write";
    case Call::BreakOn:
        return "BreakOn";
    case Call::BreakOff:
        return "BreakOff";
    case Call::Sleep:
        return "Sleep";
    }
    return "?";
}

void Reset() {
    FakeLine& line = Line();
    line = FakeLine{};
    line.reportedState = DefaultReportedState();
}

const std::vector<CallRecord>& Calls() {
    return Line().calls;
}

std::vector<Call> CallSequence() {
    std::vector<Call> sequence;
    for (const CallRecord& record : Line().calls) {
        sequence.push_back(record.call);
    }
    return sequence;
}

void ClearCalls() {
    Line().calls.clear();
}

size_t CountCalls(Call call) {
    const auto& calls = Line().calls;
    return static_cast<size_t>(std::count_if(
        calls.begin(), calls.end(), [call](const CallRecord& r) { return r.call == call; }));
}

void FailNext(Call call, unsigned skip) {
    FakeLine& line = Line();
    line.failAt[Index(call)].insert(line.made[Index(call)] + skip);
}

void FailAlways(Call call, bool fail) {
    Line().failAlways[Index(call)] = fail;
}

void SetMissing(std::string_view name, bool missing) {
    auto& names = Line().missing;
    if (missing) {
        names.emplace(name);
    } else if (auto found = names.find(name); found != names.end()) {
        names.erase(found);
    }
}

PortLineState DefaultReportedState() {
    PortLineState state{};
    state.baudRate = 110;
    state.byteSize = 7;
    state.parity = 4;
    state.stopBits = 2;
    state.binary = false;
    state.parityCheck = false;
    state.outxCtsFlow = true;
    state.outxDsrFlow = true;
    state.dtrControl = PORT_DTR_HANDSHAKE;
    state.dsrSensitivity = true;
    state.outX = true;
    state.inX = true;
    state.errorCharReplace = true;
    state.discardNull = true;
    state.rtsControl = PORT_RTS_TOGGLE;
    state.abortOnError = true;
    state.errorChar = 0x3F;
    for (size_t i = 0; i < sizeof state.platformState; ++i) {
        state.platformState[i] = static_cast<unsigned char>(0xA0 + i);
    }
    return state;
}

void SetReportedState(const PortLineState& state) {
    Line().reportedState = state;
}

PortTimeouts DefaultTimeouts() {
    return PortTimeouts{10, 20, 30, 40, 50};
}

void SetPortTimeouts(const PortTimeouts& timeouts, PortHandle port) {
    if (FakePort* p = AnyPort(port)) {
        p->timeouts = timeouts;
    }
}

void QueueInput(std::string_view piece) {
    if (!piece.empty()) {
        Line().input.emplace_back(piece);
    }
}

void QueueReply(std::string_view piece, unsigned write) {
    auto& replies = Line().replies;
    while (replies.size() <= write) {
        replies.emplace_back();
    }
    if (!piece.empty()) {
        replies[write].emplace_back(piece);
    }
}

void OnWrite(std::function<void(std::string_view written)> handler) {
    Line().onWrite = std::move(handler);
}

uint32_t PendingInput() {
    size_t total = 0;
    for (const std::string& piece : Line().input) {
        total += piece.size();
    }
    return static_cast<uint32_t>(total);
}

uint32_t PendingReplies() {
    size_t total = 0;
    for (const auto& batch : Line().replies) {
        for (const std::string& piece : batch) {
            total += piece.size();
        }
    }
    return static_cast<uint32_t>(total);
}

void ShortWriteNext(uint32_t bytes) {
    Line().shortWritePending = true;
    Line().shortWriteBytes = bytes;
}

std::string Written() {
    std::string all;
    for (const std::string& write : Line().writes) {
        all += write;
    }
    return all;
}

std::vector<std::string> Writes() {
    return Line().writes;
}

PortLineState LineState(PortHandle port) {
    const FakePort* p = AnyPort(port);
    if (p == nullptr) {
        return PortLineState{};
    }
    return p->stateSet ? p->state : Line().reportedState;
}

PortTimeouts Timeouts(PortHandle port) {
    const FakePort* p = AnyPort(port);
    return p == nullptr ? PortTimeouts{} : p->timeouts;
}

uint32_t InputQueueSize(PortHandle port) {
    const FakePort* p = AnyPort(port);
    return p == nullptr ? 0 : p->inputQueue;
}

uint32_t OutputQueueSize(PortHandle port) {
    const FakePort* p = AnyPort(port);
    return p == nullptr ? 0 : p->outputQueue;
}

bool BreakIsOn(PortHandle port) {
    const FakePort* p = AnyPort(port);
    return p != nullptr && p->breakOn;
}

PortHandle NextHandle() {
    return Line().nextHandle;
}

PortHandle LastOpened() {
    return Line().lastOpened;
}

bool IsOpen(PortHandle port) {
    return OpenPort(port) != nullptr;
}

size_t OpenPorts() {
    const auto& ports = Line().ports;
    return static_cast<size_t>(std::count_if(ports.begin(), ports.end(),
                                             [](const auto& entry) { return entry.second.open; }));
}

} // namespace xol::fake

// --- the port layer as the module sees it ---------------------------------------

namespace xol {

using namespace xol::fake;

bool PortOpen(const char* name, PortHandle* port) {
    FakeLine& line = Line();
    CallRecord& record = Record(Call::Open, 0);
    record.name = name != nullptr ? name : "";
    bool fail = ScriptedFailure(Call::Open) || name == nullptr || record.name.empty() ||
                line.missing.find(record.name) != line.missing.end();
    for (const auto& [handle, p] : line.ports) {
        fail = fail || (p.open && p.name == record.name);
    }
    if (fail) {
        record.succeeded = false;
        *port = 0;
        return false;
    }
    const PortHandle handle = line.nextHandle;
    line.nextHandle += HANDLE_STEP;
    FakePort& opened = line.ports[handle];
    opened.name = record.name;
    opened.open = true;
    opened.timeouts = DefaultTimeouts();
    line.lastOpened = handle;
    record.port = handle;
    *port = handle;
    return true;
}

bool PortClose(PortHandle port) {
    CallRecord* record = nullptr;
    FakePort* p = Begin(Call::Close, port, &record);
    if (p == nullptr) {
        return false;
    }
    p->open = false;
    p->breakOn = false;
    return true;
}

bool PortGetState(PortHandle port, PortLineState* state) {
    CallRecord* record = nullptr;
    FakePort* p = Begin(Call::GetState, port, &record);
    if (p == nullptr) {
        return false;
    }
    *state = p->stateSet ? p->state : Line().reportedState;
    return true;
}

bool PortSetState(PortHandle port, const PortLineState& state) {
    CallRecord* record = nullptr;
    FakePort* p = Begin(Call::SetState, port, &record);
    if (p == nullptr) {
        return false;
    }
    p->state = state;
    p->stateSet = true;
    return true;
}

bool PortGetTimeouts(PortHandle port, PortTimeouts* timeouts) {
    CallRecord* record = nullptr;
    FakePort* p = Begin(Call::GetTimeouts, port, &record);
    if (p == nullptr) {
        return false;
    }
    *timeouts = p->timeouts;
    return true;
}

bool PortSetTimeouts(PortHandle port, const PortTimeouts& timeouts) {
    CallRecord* record = nullptr;
    FakePort* p = Begin(Call::SetTimeouts, port, &record);
    if (p == nullptr) {
        return false;
    }
    p->timeouts = timeouts;
    return true;
}

bool PortSetQueues(PortHandle port, uint32_t inputBytes, uint32_t outputBytes) {
    CallRecord* record = nullptr;
    FakePort* p = Begin(Call::SetQueues, port, &record);
    record->requested = inputBytes;
    record->completed = outputBytes;
    if (p == nullptr) {
        return false;
    }
    p->inputQueue = inputBytes;
    p->outputQueue = outputBytes;
    return true;
}

bool PortInputWaiting(PortHandle port, uint32_t* count) {
    CallRecord* record = nullptr;
    FakePort* p = Begin(Call::InputWaiting, port, &record);
    if (p == nullptr) {
        return false;
    }
    *count = PendingInput();
    record->completed = *count;
    return true;
}

bool PortRead(PortHandle port, void* buffer, uint32_t count, uint32_t* got) {
    CallRecord* record = nullptr;
    FakePort* p = Begin(Call::Read, port, &record);
    record->requested = count;
    *got = 0;
    if (p == nullptr) {
        return false;
    }
    auto& input = Line().input;
    if (input.empty() || count == 0) {
        return true;
    }
    std::string& piece = input.front();
    const size_t n = std::min<size_t>(count, piece.size());
    std::memcpy(buffer, piece.data(), n);
    record->data.assign(piece, 0, n);
    piece.erase(0, n);
    if (piece.empty()) {
        input.pop_front();
    }
    *got = static_cast<uint32_t>(n);
    record->completed = *got;
    return true;
}

bool PortWrite(PortHandle port, const void* buffer, uint32_t count, uint32_t* written) {
    FakeLine& line = Line();
    CallRecord* record = nullptr;
    FakePort* p = Begin(Call::Write, port, &record);
    record->requested = count;
    *written = 0;
    if (p == nullptr) {
        return false;
    }
    uint32_t n = count;
    if (line.shortWritePending) {
        line.shortWritePending = false;
        n = std::min(n, line.shortWriteBytes);
    }
    std::string bytes(static_cast<const char*>(buffer), n);
    record->data = bytes;
    record->completed = n;
    *written = n;
    line.writes.push_back(bytes);
    if (!line.replies.empty()) {
        for (std::string& piece : line.replies.front()) {
            line.input.push_back(std::move(piece));
        }
        line.replies.pop_front();
    }
    if (line.onWrite) {
        // A copy, so that the handler may replace itself.
        auto handler = line.onWrite;
        handler(bytes);
    }
    return true;
}

bool PortBreakOn(PortHandle port) {
    CallRecord* record = nullptr;
    FakePort* p = Begin(Call::BreakOn, port, &record);
    if (p == nullptr) {
        return false;
    }
    p->breakOn = true;
    return true;
}

bool PortBreakOff(PortHandle port) {
    CallRecord* record = nullptr;
    FakePort* p = Begin(Call::BreakOff, port, &record);
    if (p == nullptr) {
        return false;
    }
    p->breakOn = false;
    return true;
}

void PortSleep(uint32_t milliseconds) {
    CallRecord& record = Record(Call::Sleep, 0);
    record.requested = milliseconds;
    (void)ScriptedFailure(Call::Sleep);
}

} // namespace xol
