// serve's API without a socket: a board fed events and a state through its
// sink, then requests of any method, path, query, Authorization header,
// body and remote address, and a live stream's chunks. Every reply is JSON
// with one of the API's status codes; a 401 alone asks for the token; a
// command is refused unless commands are on and the header carries the
// token, and with both it is checked and then refused as xolhost stops (the
// queue is closed: no supervising thread runs here). The read endpoints
// answer what the board was fed.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "present/output.h"
#include "present/site.h"
#include "serve/api.h"
#include "serve/board.h"
#include "supervision/command_queue.h"
#include "supervision/events.h"

namespace {

using nlohmann::json;
using namespace xolhost;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

const Site& TestSite() {
    static const Site site = ParseSite(R"({"site": "Test hall",
        "zones": {"17": "stairwell east", "12": "hall"}, "codes": {"1": "fire", "7": "fault"},
        "points": {"L0012": "sounders"}})",
                                       "site.json");
    return site;
}

// Records are filled field by field: the core adds fields to them.
Diagnosis SomeDiagnosis(FuzzedDataProvider& in) {
    Diagnosis why;
    why.cause = static_cast<Cause>(in.ConsumeIntegralInRange<int>(0, 18));
    why.text = in.ConsumeRandomLengthString(40);
    return why;
}

LineFigures SomeFigures(FuzzedDataProvider& in) {
    LineFigures f;
    f.records = in.ConsumeIntegral<uint16_t>();
    f.badChecksums = in.ConsumeIntegral<uint8_t>();
    f.strayBytes = in.ConsumeIntegral<uint8_t>();
    return f;
}

int SomeZone(FuzzedDataProvider& in) {
    return in.ConsumeIntegralInRange<int>(1, ZONE_COUNT);
}

// The events of zones and counts.
EventBody SomeZoneEvent(FuzzedDataProvider& in, int kind) {
    if (kind == 0) {
        event::ZoneInitial e;
        e.zone = SomeZone(in);
        e.status = in.ConsumeIntegral<uint16_t>();
        return e;
    }
    if (kind == 1) {
        return event::NoZoneStatus{};
    }
    if (kind == 2) {
        event::ZoneChanged e;
        e.zone = SomeZone(in);
        e.before = in.ConsumeIntegral<uint16_t>();
        e.now = in.ConsumeIntegral<uint16_t>();
        return e;
    }
    event::CountRead e;
    e.which = in.ConsumeBool() ? 'C' : 'N';
    e.value = in.ConsumeIntegral<uint16_t>();
    if (in.ConsumeBool()) {
        e.before = in.ConsumeIntegral<uint16_t>();
    }
    return e;
}

// One of each kind of event the core emits, with fields from the input.
EventBody SomeEvent(FuzzedDataProvider& in) {
    const int kind = in.ConsumeIntegralInRange<int>(0, 12);
    if (kind <= 3) {
        return SomeZoneEvent(in, kind);
    }
    const int32_t result = in.ConsumeIntegralInRange<int32_t>(0, 2);
    switch (kind) {
    case 4: {
        event::CountFailed e;
        e.which = in.ConsumeBool() ? 'C' : 'N';
        e.result = result;
        e.why = SomeDiagnosis(in);
        return e;
    }
    case 5: {
        event::ScanFailed e;
        e.result = result;
        e.why = SomeDiagnosis(in);
        return e;
    }
    case 6:
        return event::ScanRecovered{};
    case 7: {
        event::ScanIncomplete e;
        e.figures = SomeFigures(in);
        e.held.push_back(SomeZone(in));
        return e;
    }
    case 8: {
        event::ChannelClosed e;
        e.failures = in.ConsumeIntegral<uint8_t>();
        return e;
    }
    case 9: {
        event::ChannelReopened e;
        e.reopens = in.ConsumeIntegral<uint8_t>();
        return e;
    }
    case 10: {
        event::Command e;
        e.address = in.ConsumeRandomLengthString(12);
        e.value = in.ConsumeIntegral<uint16_t>();
        e.origin = in.ConsumeRandomLengthString(20);
        e.result = result;
        e.error = in.ConsumeRandomLengthString(40);
        return e;
    }
    case 11: {
        event::Interrupted e;
        e.signal = in.ConsumeRandomLengthString(10);
        return e;
    }
    default: {
        event::SupervisionStarted e;
        if (in.ConsumeBool()) {
            e.lastSequence = in.ConsumeIntegral<uint64_t>();
            e.lastEventTime =
                WallClock::time_point(std::chrono::seconds(in.ConsumeIntegral<uint32_t>()));
        }
        return e;
    }
    }
}

SupervisionState SomeState(FuzzedDataProvider& in) {
    SupervisionState state;
    state.channel = static_cast<ChannelState>(in.ConsumeIntegralInRange<int>(0, 2));
    for (int n = in.ConsumeIntegralInRange<int>(0, 12); n > 0; --n) {
        const int zone = SomeZone(in);
        state.zones[zone] = in.ConsumeIntegralInRange<uint16_t>(1, 0xFFFF);
    }
    for (char which : {'C', 'N'}) {
        if (in.ConsumeBool()) {
            state.counts[which] = in.ConsumeIntegral<uint16_t>();
        }
    }
    if (in.ConsumeBool()) {
        state.lastCompletedScan =
            WallClock::time_point(std::chrono::seconds(in.ConsumeIntegral<uint32_t>()));
    }
    if (in.ConsumeBool()) {
        ScanFigures scan;
        scan.result = in.ConsumeIntegralInRange<int32_t>(0, 2);
        scan.watched = in.ConsumeBool();
        scan.figures = SomeFigures(in);
        scan.seconds = in.ConsumeFloatingPoint<double>();
        state.lastScan = scan;
    }
    state.scans = in.ConsumeIntegral<uint32_t>();
    state.failedScans = in.ConsumeIntegral<uint32_t>();
    state.reopens = in.ConsumeIntegral<uint8_t>();
    return state;
}

// What the harness fed the board, to check the answers against.
struct Fed {
    std::set<uint64_t> ids;
    std::map<int, uint16_t> zones;
};

void FeedBoard(FuzzedDataProvider& in, BoardSink& sink, uint64_t& sequence, Fed& fed) {
    for (int n = in.ConsumeIntegralInRange<int>(0, 6); n > 0; --n) {
        sequence += in.ConsumeIntegralInRange<uint64_t>(1, 3); // sequence numbers only grow
        Event event;
        event.sequence = sequence;
        event.time = WallClock::time_point(std::chrono::seconds(sequence));
        event.body = SomeEvent(in);
        sink.event(event);
        fed.ids.insert(sequence);
    }
    SupervisionState state = SomeState(in);
    sink.state(state);
    fed.zones = state.zones;
}

} // namespace

namespace {

struct Setup {
    bool allowCommands = false;
    bool site = false;
    std::string token;
};

std::string PickOne(FuzzedDataProvider& in, std::initializer_list<const char*> known,
                    std::size_t length) {
    const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, known.size());
    return pick < known.size() ? std::string(known.begin()[pick])
                               : in.ConsumeRandomLengthString(length);
}

ApiRequest SomeRequest(FuzzedDataProvider& in, const Setup& setup) {
    ApiRequest request;
    request.method = PickOne(in, {"GET", "POST", "HEAD", "PUT"}, 8);
    request.path = PickOne(in,
                           {"/api/status", "/api/zones", "/api/events", "/healthz", "/api/command",
                            "/", "/api/zones/17", "/api/events.csv", "/metrics"},
                           24);
    for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n) {
        std::string key =
            PickOne(in, {"since", "names", "zone", "class", "status", "from", "line", "bogus"}, 8);
        request.params.emplace(std::move(key), in.ConsumeRandomLengthString(24));
    }
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        request.authorization = "Bearer " + setup.token;
        break;
    case 1: // the token with one byte changed
        request.authorization = "Bearer " + setup.token;
        request.authorization.back() ^= static_cast<char>(in.ConsumeIntegralInRange(1, 255));
        break;
    case 2:
        break;
    default:
        request.authorization = in.ConsumeRandomLengthString(48);
    }
    request.remote = PickOne(in, {"127.0.0.1", "::1"}, 24);
    request.body = in.ConsumeRandomLengthString(MAX_COMMAND_BODY + 16);
    return request;
}

uint64_t SinceOf(const ApiRequest& request) {
    auto given = request.params.find("since");
    return given == request.params.end() ? 0 : std::strtoull(given->second.c_str(), nullptr, 10);
}

void CheckCommand(const ApiRequest& request, const ApiReply& reply, const json& body,
                  const Setup& setup) {
    Require(body.value("result", "") == "refused");
    Require(body.contains("error") && body["error"].is_string());
    const bool rightToken = request.authorization == "Bearer " + setup.token;
    if (!setup.allowCommands) {
        Require(reply.status == 403);
    } else if (!rightToken) {
        Require(reply.status == 401);
    } else if (request.body.size() > MAX_COMMAND_BODY) {
        Require(reply.status == 413);
    } else {
        Require(reply.status == 400 || reply.status == 503);
    }
}

void CheckZones(const json& body, const Fed& fed) {
    Require(body["zone_count"] == ZONE_COUNT);
    std::map<int, uint16_t> shown;
    for (const json& zone : body["zones"]) {
        shown[zone["zone"].get<int>()] = zone["status"].get<uint16_t>();
    }
    Require(shown == fed.zones);
}

void CheckEvents(const json& body, uint64_t since, const Fed& fed) {
    uint64_t previous = UINT64_MAX;
    for (const json& event : body["events"]) {
        const auto id = event["id"].get<uint64_t>();
        Require(id > since && id < previous && fed.ids.contains(id)); // newest first
        Require(event["seq"] == id && event["text"].is_string());
        previous = id;
    }
}

void CheckReply(const ApiRequest& request, const ApiReply& reply, const Setup& setup,
                const Fed& fed) {
    Require(reply.askForToken == (reply.status == 401));
    const bool get = request.method == "GET";
    if (reply.status == 200 && get && request.path == "/metrics") {
        Require(reply.body.starts_with("# HELP "));
        return;
    }
    if (reply.status == 200 && get && request.path == "/api/events.csv") {
        Require(reply.body.starts_with("seq,time,event,"));
        return;
    }
    const json body = json::parse(reply.body); // JSON, whatever the request held
    if (get && reply.status == 400) {
        // A parameter it does not take, or a malformed value: never ignored.
        Require(!request.params.empty() && body["error"].is_string());
        return;
    }
    if (request.method == "POST" && request.path == "/api/command") {
        CheckCommand(request, reply, body, setup);
    } else if (get && request.path == "/api/status") {
        Require(reply.status == 200 && body.contains("channel"));
    } else if (get && request.path == "/api/zones") {
        Require(reply.status == 200);
        if (request.params.size() == request.params.count("names")) {
            CheckZones(body, fed); // unfiltered: every zone with a status
        }
        const auto names = request.params.find("names");
        const bool askedNames =
            names != request.params.end() && (names->second == "1" || names->second == "true");
        Require(body.contains("names") == (setup.site && askedNames));
    } else if (get && request.path == "/api/events") {
        Require(reply.status == 200);
        CheckEvents(body, SinceOf(request), fed);
    } else if (get && request.path == "/healthz") {
        Require(reply.status == 200 ? body["status"] == "ok" : body["line"] == "failing");
    } else if (get && request.path == "/api/zones/17") {
        Require(reply.status == 200 && body["zone"] == 17);
        Require(body["status"] == (fed.zones.contains(17) ? fed.zones.at(17) : 0));
    } else if (get && (request.path == "/metrics" || request.path == "/api/events.csv")) {
        Require(false); // answered above, or refused with 400
    } else {
        Require(reply.status == 404);
    }
}

// A chunk of server-sent events: "event: NAME\ndata: JSON\n\n" messages.
void CheckChunk(const std::string& chunk) {
    Require(!chunk.empty());
    std::size_t at = 0;
    while (at < chunk.size()) {
        const std::size_t data = chunk.find("\ndata: ", at);
        const std::size_t end = chunk.find("\n\n", at);
        Require(chunk.compare(at, 7, "event: ") == 0);
        Require(data != std::string::npos && end != std::string::npos && data < end);
        (void)json::parse(chunk.substr(data + 7, end - data - 7));
        at = end + 2;
    }
}

void StreamChunks(FuzzedDataProvider& in, Board& board, BoardSink& sink, uint64_t& sequence,
                  Fed& fed) {
    Stream stream;
    bool stop = false;
    const std::string snapshot = NextChunk(board, stream, stop);
    Require(!stop && snapshot.starts_with("event: snapshot\n"));
    CheckChunk(snapshot);
    // A fresh state changes the board's version: the next chunk waits for nothing.
    FeedBoard(in, sink, sequence, fed);
    const std::string chunk = NextChunk(board, stream, stop);
    Require(!stop && chunk.find("event: status\ndata: ") != std::string::npos);
    CheckChunk(chunk);
    board.stop();
    Require(NextChunk(board, stream, stop).empty() && stop);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Each command tried is logged on standard error; those lines go nowhere
    // here. libFuzzer and the sanitizers keep writing to the real stream.
    if (std::FILE* sink = std::fopen("/dev/null", "w")) {
        stderr = sink;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Setup setup;
    setup.allowCommands = in.ConsumeBool();
    setup.site = in.ConsumeBool();
    // A token as --token-file gives it: not empty, no space around it.
    setup.token = in.ConsumeBool() ? in.ConsumeRandomLengthString(24) : "s3cret-token";
    setup.token.erase(setup.token.find_last_not_of(" \t\r\n") + 1);
    setup.token.erase(0, setup.token.find_first_not_of(" \t\r\n"));
    if (setup.token.empty()) {
        setup.token = "s3cret-token";
    }
    const Site* site = setup.site ? &TestSite() : nullptr;
    WebSettings settings;
    settings.allowCommands = setup.allowCommands;
    settings.utc = in.ConsumeBool();
    CommandQueue queue;
    queue.close("xolhost is stopping");
    Output out(OutputStyle{false, settings.utc, false, site});
    Board board(settings, site);
    BoardSink sink(board, settings.utc, site);
    Api api(board, settings, queue, out, ApiTokens{setup.token, ""});

    uint64_t sequence = 0;
    Fed fed;
    FeedBoard(in, sink, sequence, fed);
    for (int n = in.ConsumeIntegralInRange<int>(1, 4); n > 0; --n) {
        const ApiRequest request = SomeRequest(in, setup);
        CheckReply(request, api.handle(request), setup, fed);
    }
    StreamChunks(in, board, sink, sequence, fed);
    return 0;
}
