// The panel's end of a line, written once for the simulated panel and the
// playback of a recording: the read loop that cuts the driver's requests out
// of the bytes, writing whole replies, and sleeping in a way that a stop
// request cuts short.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace xolsim {

using LineClock = std::chrono::steady_clock;

// The driver's longest request is 15 bytes; anything longer without a CR is
// line noise.
constexpr std::size_t MAX_REQUEST = 64;

// Cuts the requests ("@" to CR) out of bytes as they arrive, in any pieces.
// Whatever comes before an "@" is skipped, and so is a frame that grows past
// `longest` bytes without its CR (0: no limit).
class RequestSplitter {
public:
    // Told of skipped bytes; `why` is empty for bytes that held no "@" at all.
    using SkipSink = std::function<void(std::string_view bytes, std::string_view why)>;

    explicit RequestSplitter(std::size_t longest = 0, SkipSink skipped = {});
    void append(std::string_view bytes) { pending_.append(bytes); }
    // The next whole request; nullopt until one is complete.
    std::optional<std::string> next();

private:
    void skip(std::size_t count, std::string_view why);

    std::string pending_;
    std::size_t longest_;
    SkipSink skipped_;
};

// What serves the panel's end of a line; ServeLine does the reading.
class LineServer {
public:
    virtual ~LineServer() = default;
    // Writes every reply whose time has come; false ends serving.
    virtual bool sendDue(int fd, std::stop_token stop) = 0;
    // When the first reply still waiting is due; nullopt when none waits.
    virtual std::optional<LineClock::time_point> nextDue() const = 0;
    // One request, with the time the read that completed it returned; false
    // ends serving.
    virtual bool request(const std::string& frame, LineClock::time_point arrived) = 0;
    // Received bytes that are no part of a request (see RequestSplitter).
    virtual void skipped(std::string_view bytes, std::string_view why) = 0;
};

// Serves fd until stop is requested, the descriptor fails or the server ends
// it. The descriptor is made non-blocking, so that a far end that stops
// reading cannot hold the panel past a stop request. A pseudo-terminal that
// no one holds the other side of is waited for.
void ServeLine(int fd, LineServer& server, std::stop_token stop);

// Writes every byte, going on after interruptions and a full line; false
// when the descriptor fails.
bool WriteAll(int fd, std::string_view bytes);
// The same, giving up (false) once stop is requested while the line is full.
bool WriteAll(int fd, std::string_view bytes, std::stop_token stop);

// Stop-aware sleep: false when stop was requested before the time was up.
bool SleepFor(std::chrono::nanoseconds duration, std::stop_token stop);

} // namespace xolsim
