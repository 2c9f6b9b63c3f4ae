// Watches the bytes between the driver and the panel, as the relay passes
// them: decodes every frame for the trace, records the traffic, and works out
// what the driver made of each answer (it reads answers in exact counts and
// never looks for a start byte), giving the line figures of a scan and what
// a failed call's traffic shows.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "codec/frame_decode.h"

namespace xolhost {

struct Site;

using SteadyClock = std::chrono::steady_clock;

enum class Direction : uint8_t { ToPanel, FromPanel };

// What the driver made of the panel's answers.
struct LineFigures {
    uint64_t records = 0;        // status records the driver read whole
    uint64_t badChecksums = 0;   // of them, failing their checksum: skipped
    uint64_t filtered = 0;       // good, but a selector or status code the driver ignores
    uint64_t illegalZones = 0;   // good, with zone 0 or above ZONE_COUNT: skipped and logged
    uint64_t restarts = 0;       // scan attempts begun again after one failed
    uint64_t strayBytes = 0;     // panel bytes outside any frame
    uint64_t discardedBytes = 0; // panel bytes the driver did not use
    // Reads (records, count replies, command answers) that did not begin at
    // a frame's '@': the driver skips such a record as damaged.
    uint64_t outOfStep = 0;

    // Records lost on the line: their zones may be missing from the scan.
    // (A scan reads nothing but records, so its out-of-step reads are all
    // records.)
    uint64_t skipped() const { return badChecksums + outOfStep; }
    // Nothing was lost: every status a scan did not report has ended.
    bool clean() const { return skipped() == 0; }
    LineFigures operator-(const LineFigures& before) const;
};

nlohmann::json FiguresJson(const LineFigures& figures);
// What lost a scan's records, for "N record(s) were lost ...": "to bad
// checksums", "to out-of-step reads", or both with their counts.
std::string LossCause(const LineFigures& figures);

// What one call's traffic shows, for telling line faults apart.
struct CallTraffic {
    LineFigures figures; // of all the call's scan attempts
    // Of its last scan attempt alone: the one that completed, when the scan
    // did. The attempts' records are merged, so only this one's losses can
    // leave a zone out.
    LineFigures lastAttempt;
    uint64_t requests = 0;
    uint64_t bytesReceived = 0;
    uint64_t goodReplies = 0;        // whole answers with a good checksum (or none to check)
    uint64_t badChecksumReplies = 0; // whole answers whose checksum fails
    uint64_t malformed = 0;          // frames of no known layout, too long, or bytes outside frames
    std::string garbageSample;       // the first such bytes, in hex
    // Answers begun at an '@' that stopped before their CR, nothing following.
    uint64_t cutReplies = 0;
    std::string cutSample;    // the first of them, in hex
    uint64_t unanswered = 0;  // requests still without an answer when the call was over
    uint64_t lateReplies = 0; // answers (or gaps inside them) longer than the time-out
    uint64_t timelyReplies = 0;
    double slowestMs = 0;           // the longest wait for an answer, or gap inside one
    bool lastCountReplyBad = false; // the count reply the driver judged last failed its checksum
    bool lastCountReplyOutOfStep = false; // ... and was not read from a frame's first byte
    char lastAnswer = 0;                  // the answer byte of the last command answer read
    std::string portError;                // the port failed while the call ran
};

using LineSink = std::function<void(const std::string& line)>;

struct DecoderSettings {
    uint32_t timeoutMs = 40;
    bool utc = false;
    const Site* site = nullptr;
    LineSink trace;              // one decoded line per frame; empty: none
    LineSink record;             // one JSON line per chunk; empty: none
    nlohmann::json recordHeader; // fields of the recording's first line
};

class LineDecoder {
public:
    explicit LineDecoder(DecoderSettings settings);
    LineDecoder(const LineDecoder&) = delete;
    LineDecoder& operator=(const LineDecoder&) = delete;

    // From the relay's thread: bytes as they passed, and quiet moments.
    void feed(Direction direction, std::string_view bytes, SteadyClock::time_point at);
    void idle(SteadyClock::time_point now);
    void portFailed(const std::string& error);

    // From the thread that calls the driver, around each call that may use
    // the line (after the relay has passed everything the driver sent).
    void beginCall();
    // The driver's call has returned: bytes that come from now on were read
    // by nobody, but they still show what the panel answered, and when.
    void callReturned();
    // A request of this call still waits for its answer.
    bool awaitingAnswer() const;
    CallTraffic endCall(int32_t result);

    LineFigures totals() const;

private:
    enum class Closing { ByRequest, ByEnd };
    struct Window {
        bool open = false;
        cis::Frame request;
        std::string requestBytes;
        std::string bytes; // panel bytes since the request
        // How many of them came before the driver's call returned.
        std::size_t beforeReturn = std::string::npos;
    };

    void onRequest(const std::string& frame, SteadyClock::time_point at);
    void onPanelByte(char byte, SteadyClock::time_point at);
    void onReply(const std::string& frame);
    void flushStray();
    void flushPartial(const char* why, bool cut = false);
    void settle(Closing how, const cis::Frame* next, const std::string& nextBytes, int32_t result,
                SteadyClock::time_point at);
    std::size_t settleScanAnswer(std::string_view bytes, bool recordRead, bool scanDone,
                                 SteadyClock::time_point at);
    std::size_t settleCountReply(std::string_view bytes, bool retried, SteadyClock::time_point at);
    // Counts and traces a read that did not begin at a frame's '@'; true when it did not.
    bool noteOutOfStep(std::string_view read, std::size_t size, const char* as,
                       SteadyClock::time_point at, const char* outcome = "");
    void noteGarbage(std::string_view bytes);
    void trace(SteadyClock::time_point at, const char* arrow, const std::string& shown,
               const std::string& what);
    void note(SteadyClock::time_point at, const std::string& what);
    std::chrono::system_clock::time_point wallTime(SteadyClock::time_point at) const;
    std::string describeRequest(const cis::Frame& frame) const;
    std::string describeReply(const cis::Frame& frame) const;
    std::string zoneText(int zone) const;

    DecoderSettings settings_;
    SteadyClock::time_point steadyStart_;
    std::chrono::system_clock::time_point wallStart_;

    mutable std::mutex mutex_;
    std::string toPanel_; // a request still without its CR
    std::string partial_; // a panel frame in progress, from its '@'
    std::string stray_;   // panel bytes outside any frame
    SteadyClock::time_point partialStart_{};
    SteadyClock::time_point lastPanelByte_{};
    double partialGapMs_ = 0;
    std::deque<SteadyClock::time_point> awaiting_; // requests not answered yet, oldest first
    Window window_;
    int scanAttempt_ = 0;
    uint32_t badInARow_ = 0; // status records failing their checksum, in this attempt
    bool inCall_ = false;
    CallTraffic call_;
    LineFigures attemptStart_; // the call's figures when its last attempt began
    LineFigures totals_;
};

} // namespace xolhost
