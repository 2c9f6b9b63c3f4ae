// A scripted panel peer for tests: sits on the panel's end of a line (the
// master side of a PtyPair), reads each request frame the driver sends and
// answers it as the script says: a reply, silence, a reply in pieces with
// gaps, late, followed by stale bytes. It records every frame it received.
//
// It knows the panel's side of the protocol only: it recognises requests by
// their first bytes and their CR. Replies are built with the codec's frames
// (codec/frame_build.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace xoltest {

// What the peer does with one request.
struct PeerStep {
    // The bytes sent back; empty: the request goes unanswered.
    std::string reply;
    // Send the reply in pieces of these sizes (what is left goes last), with
    // `gap` between pieces. Empty: in one write.
    std::vector<std::size_t> pieces;
    std::chrono::milliseconds gap{0};
    // Wait this long before the first byte.
    std::chrono::milliseconds delay{0};
    // Bytes sent straight after the reply, in the same write: more than the
    // driver asked for, left waiting as stale input when it sends its next
    // frame (a late answer, line noise).
    std::string leftover;

    static PeerStep Reply(std::string bytes) {
        PeerStep step;
        step.reply = std::move(bytes);
        return step;
    }
    static PeerStep Silence() { return PeerStep{}; }
    static PeerStep InPieces(std::string bytes, std::vector<std::size_t> sizes,
                             std::chrono::milliseconds gap) {
        PeerStep step = Reply(std::move(bytes));
        step.pieces = std::move(sizes);
        step.gap = gap;
        return step;
    }
    static PeerStep Late(std::string bytes, std::chrono::milliseconds delay) {
        PeerStep step = Reply(std::move(bytes));
        step.delay = delay;
        return step;
    }
    static PeerStep WithLeftover(std::string bytes, std::string stale) {
        PeerStep step = Reply(std::move(bytes));
        step.leftover = std::move(stale);
        return step;
    }
};

class ScriptedPeer {
public:
    // Answers requests past the end of the script.
    using Responder = std::function<PeerStep(const std::string& request)>;

    // Starts serving at once on `fd`, which stays the caller's: it must
    // outlive the peer.
    explicit ScriptedPeer(int fd);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Appends to the script: one step per coming request, in order.
    void expect(PeerStep step);
    void expect(std::vector<PeerStep> steps);
    // What answers requests once the script is used up; without one they go
    // unanswered.
    void otherwise(Responder responder);
    // Steps of the script not yet used.
    std::size_t pendingSteps() const;

    // Writes bytes on the line now, outside any exchange.
    void sendNow(std::string_view bytes);

    // Every frame received so far, in order, and how many.
    std::vector<std::string> requests() const;
    std::size_t requestCount() const;
    void clearRequests();
    // Waits until `count` frames have been received in all; false on time-out.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    // Bytes received that were not part of a whole frame yet.
    std::string partial() const;

    // Stops serving; the destructor does it too.
    void stop();

    // How long a request frame is, judged by its first bytes; 0 when they do
    // not name a request the panel knows (the peer then reads up to the CR).
    static std::size_t RequestLength(std::string_view head);

private:
    void serve(std::stop_token stop);
    void takeFrames(std::stop_token stop);
    void perform(const PeerStep& step, std::stop_token stop);
    bool writeAll(std::string_view bytes);

    int fd_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<PeerStep> script_;
    Responder responder_;
    std::vector<std::string> requests_;
    std::string buffer_;
    std::mutex writeMutex_;
    std::jthread thread_;
};

} // namespace xoltest
