// The simulated panel: answers the driver's frames on a file descriptor the
// way a CM1N panel does, from a scenario, with optional faults on the line.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "codec/frame_decode.h"
#include "line_io.h"
#include "pty.h"
#include "scenario.h"

namespace xolsim {

// Misbehaviour on request. Every field's default leaves the panel well-behaved.
struct FaultOptions {
    // Once this many status records have been sent, the panel falls silent
    // (-1: never). The silence lasts silentRequests requests.
    int silentAfterRecords = -1;
    // How many requests a silence leaves unanswered; -1 for good. Given
    // without silentAfterRecords, the silence starts at once.
    int silentRequests = -1;
    // Corrupt the checksum of every Nth checksummed frame sent (0: never).
    int corruptEvery = 0;
    // Send every reply in pieces of this many bytes (0: whole), with a gap
    // between pieces.
    int splitBytes = 0;
    std::chrono::milliseconds splitGap{20};
    // Send this many bytes of noise before every noiseEvery-th reply.
    int noiseBytes = 0;
    int noiseEvery = 1;
    // Each reply leaves this long after its own request arrived. Requests
    // that arrive meanwhile are still read, so late answers overlap the way
    // they do behind a slow link: the reply to a request is never pushed
    // back by the replies queued before it.
    std::chrono::milliseconds delay{0};
    // Answer this many template commands with a byte that is neither done
    // nor refused (-1: all of them).
    int unknownAnswers = 0;
    // Pace output at this bit rate, 11 bits per byte (8 data bits, parity,
    // start and stop bits); 0 sends at once.
    uint32_t bitRate = 0;
    // Seed of the noise bytes.
    uint32_t seed = 1;
};

struct PanelStats {
    uint64_t requests = 0;     // frames received
    uint64_t unanswered = 0;   // received frames the panel did not answer
    uint64_t recordsSent = 0;  // status records
    uint64_t reportsEnded = 0; // end replies
    uint64_t corrupted = 0;    // frames sent with a wrong checksum
    uint64_t noiseBytes = 0;   // stray bytes sent before replies
    uint64_t skippedBytes = 0; // received bytes that were not part of a frame
};

// A status record as it went out: its zone and status code, and whether noise
// went before it or its checksum was corrupted (either spoils it for a driver).
struct SentRecord {
    uint16_t zone = 0;
    uint8_t code = 0;
    bool noise = false;
    bool corrupted = false;
};

// Receives one decoded trace line per frame received or sent.
using TraceSink = std::function<void(const std::string& line)>;

class Panel : private LineServer {
public:
    explicit Panel(Scenario scenario, FaultOptions faults = {});

    void setTrace(TraceSink sink);
    // Serves the panel's side of the line on fd until stop is requested or
    // the descriptor fails. The scenario's clock starts here.
    void serve(int fd, std::stop_token stop);

    // Leaves the next `requests` requests unanswered (-1: for good, 0: ends
    // a silence). Safe to call while serve runs on another thread.
    void silenceNext(int requests);
    PanelStats stats() const;
    // Every frame received so far, in order, as it arrived.
    std::vector<std::string> receivedFrames() const;
    // Every status record sent so far, in order.
    std::vector<SentRecord> sentRecords() const;

private:
    struct Reply {
        std::string bytes;
        std::string what; // decoded, for the trace
        bool checksummed = false;
    };

    // A reply decided when its request arrived, waiting for its time.
    struct Outgoing {
        std::chrono::steady_clock::time_point due;
        cis::FrameKind kind = cis::FrameKind::UnknownRequest;
        std::string noise;
        Reply reply;
    };

    // The line's side, as ServeLine drives it.
    bool sendDue(int fd, std::stop_token stop) override;
    std::optional<LineClock::time_point> nextDue() const override;
    bool request(const std::string& frame, LineClock::time_point arrived) override;
    void skipped(std::string_view bytes, std::string_view why) override;

    // False when the panel is silent; counts the request either way.
    bool takeRequest(const std::string& frame);
    // Corrupts the reply's checksum when its turn has come, and says how it is.
    void judgeChecksum(Reply& reply);
    std::string noiseBefore();
    Reply answer(const cis::Frame& request);
    Reply nextScanReply();
    bool transmit(int fd, const std::string& bytes, std::stop_token stop);
    void trace(std::string_view direction, std::string_view bytes, std::string_view what);
    double elapsed() const;

    Scenario scenario_;
    FaultOptions faults_;
    TraceSink trace_;
    std::chrono::steady_clock::time_point start_;
    std::mt19937 noise_;

    // The status report in progress.
    std::vector<std::string> report_;
    std::size_t reportAt_ = 0;
    bool reporting_ = false;

    uint64_t checksummedSent_ = 0;
    uint64_t repliesSent_ = 0;
    int unknownLeft_ = 0;
    std::deque<Outgoing> outgoing_; // in order of `due`: the delay is the same for all

    mutable std::mutex mutex_; // guards what other threads may look at or change
    int silenceLeft_ = 0;
    PanelStats stats_;
    std::vector<std::string> received_;
    std::vector<SentRecord> sentRecords_;
};

// A panel on its own pseudo-terminal, served by a background thread for as
// long as the object lives. The driver opens portName().
class PtyPanel {
public:
    // Throws std::runtime_error when no pseudo-terminal can be had.
    explicit PtyPanel(Scenario scenario, FaultOptions faults = {}, TraceSink trace = {});
    ~PtyPanel();
    PtyPanel(const PtyPanel&) = delete;
    PtyPanel& operator=(const PtyPanel&) = delete;

    const std::string& devicePath() const { return pty_.slavePath(); }
    std::string portName() const { return pty_.portName(); }
    Panel& panel() { return *panel_; }

private:
    PtyPair pty_;
    std::unique_ptr<Panel> panel_;
    std::jthread thread_;
};

} // namespace xolsim
