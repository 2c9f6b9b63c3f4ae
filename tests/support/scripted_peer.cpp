#include "support/scripted_peer.h"

#include <algorithm>
#include <poll.h>
#include <unistd.h>

#include "line_io.h"

namespace xoltest {

using xolsim::SleepFor;

std::size_t ScriptedPeer::RequestLength(std::string_view head) {
    if (head.size() < 2 || head[0] != '@') {
        return 0;
    }
    switch (head[1]) {
    case 'S': // start of a status report
    case '!': // next record
    case 'D':
    case 'R':
    case 'O': // one-letter system commands
        return 3;
    case 'P': // count queries
        return 4;
    case 'X':
        if (head.size() < 4) {
            return 0;
        }
        switch (head[3]) {
        case 'P':
        case 'T':
        case 'S':
        case 'A':
            return 11;
        case 'Z':
            return 13;
        case 'O':
            return 15;
        default:
            return 0;
        }
    default:
        return 0;
    }
}

namespace {

constexpr std::chrono::milliseconds POLL_TICK{10};

} // namespace

ScriptedPeer::ScriptedPeer(int fd)
    : fd_(fd), thread_([this](std::stop_token stop) { serve(stop); }) {}

ScriptedPeer::~ScriptedPeer() {
    stop();
}

void ScriptedPeer::stop() {
    thread_.request_stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ScriptedPeer::expect(PeerStep step) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(step));
}

void ScriptedPeer::expect(std::vector<PeerStep> steps) {
    std::lock_guard lock(mutex_);
    for (PeerStep& step : steps) {
        script_.push_back(std::move(step));
    }
}

void ScriptedPeer::otherwise(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

std::size_t ScriptedPeer::pendingSteps() const {
    std::lock_guard lock(mutex_);
    return script_.size();
}

void ScriptedPeer::sendNow(std::string_view bytes) {
    (void)writeAll(bytes);
}

std::vector<std::string> ScriptedPeer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t ScriptedPeer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

void ScriptedPeer::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool ScriptedPeer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

std::string ScriptedPeer::partial() const {
    std::lock_guard lock(mutex_);
    return buffer_;
}

void ScriptedPeer::serve(std::stop_token stop) {
    while (!stop.stop_requested()) {
        pollfd pfd{fd_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(POLL_TICK.count()));
        if (ready <= 0) {
            continue;
        }
        if ((pfd.revents & POLLIN) == 0) {
            // Hang-up or error with nothing to read: wait rather than spin.
            (void)SleepFor(POLL_TICK, stop);
            continue;
        }
        char chunk[256];
        const ssize_t got = ::read(fd_, chunk, sizeof chunk);
        if (got <= 0) {
            (void)SleepFor(POLL_TICK, stop);
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
        takeFrames(stop);
    }
}

// Cuts whole frames off the front of the buffer and answers each in turn.
// A frame ends at its known length or at its CR, whichever comes first; an
// unknown one at its CR.
void ScriptedPeer::takeFrames(std::stop_token stop) {
    for (;;) {
        PeerStep step;
        bool answer = false;
        Responder responder;
        std::string request;
        {
            std::lock_guard lock(mutex_);
            const std::size_t known = RequestLength(buffer_);
            const std::size_t cr = buffer_.find('\r');
            std::size_t end = 0;
            if (cr != std::string::npos) {
                end = cr + 1;
            }
            if (known != 0 && buffer_.size() >= known && (end == 0 || known < end)) {
                end = known;
            }
            if (end == 0) {
                return;
            }
            std::string frame = buffer_.substr(0, end);
            buffer_.erase(0, end);
            if (!script_.empty()) {
                step = std::move(script_.front());
                script_.pop_front();
                answer = true;
            } else if (responder_) {
                responder = responder_;
                request = frame;
            }
            requests_.push_back(std::move(frame));
        }
        changed_.notify_all();
        // Called unlocked, so that it may look at the peer.
        if (responder) {
            step = responder(request);
            answer = true;
        }
        if (answer) {
            perform(step, stop);
        }
    }
}

void ScriptedPeer::perform(const PeerStep& step, std::stop_token stop) {
    if (step.reply.empty() && step.leftover.empty()) {
        return;
    }
    if (step.delay.count() > 0 && !SleepFor(step.delay, stop)) {
        return;
    }
    std::string_view rest = step.reply;
    for (std::size_t size : step.pieces) {
        if (rest.empty()) {
            break;
        }
        const std::size_t n = std::min(size, rest.size());
        if (!writeAll(rest.substr(0, n))) {
            return;
        }
        rest.remove_prefix(n);
        if (step.gap.count() > 0 && !SleepFor(step.gap, stop)) {
            return;
        }
    }
    // The last piece and the leftover go out together, so that the stale
    // bytes are already waiting when the driver has read its answer.
    std::string last(rest);
    last += step.leftover;
    (void)writeAll(last);
}

bool ScriptedPeer::writeAll(std::string_view bytes) {
    // sendNow may write from the test's thread while a reply goes out.
    std::lock_guard lock(writeMutex_);
    return xolsim::WriteAll(fd_, bytes);
}

} // namespace xoltest
