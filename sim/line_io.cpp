#include "line_io.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace xolsim {

namespace {

// How one wait and read of the line ended.
enum class ReadStep { Bytes, Nothing, Ended };

// Waits for input no longer than the next reply's time, to the microsecond
// (a reply should leave when it is due, not a tick later), then reads once.
ReadStep WaitAndRead(int fd, const LineServer& server, std::string& bytes, std::stop_token stop) {
    std::chrono::nanoseconds wait = std::chrono::milliseconds(20);
    if (const auto due = server.nextDue()) {
        wait = std::clamp<std::chrono::nanoseconds>(*due - LineClock::now(),
                                                    std::chrono::nanoseconds::zero(), wait);
    }
    const timespec timeout{0, static_cast<long>(wait.count())};
    pollfd watch{fd, POLLIN, 0};
    const int ready = ::ppoll(&watch, 1, &timeout, nullptr);
    if (ready < 0) {
        return errno == EINTR ? ReadStep::Nothing : ReadStep::Ended;
    }
    if (ready == 0) {
        return ReadStep::Nothing;
    }
    if ((watch.revents & POLLNVAL) != 0) {
        return ReadStep::Ended;
    }
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return ReadStep::Nothing;
    }
    if (n < 0 && errno == EIO) {
        // A pseudo-terminal reports EIO while no one holds its other side;
        // wait for the driver to open it again.
        SleepFor(std::chrono::milliseconds(20), stop);
        return ReadStep::Nothing;
    }
    if (n <= 0) {
        return ReadStep::Ended;
    }
    bytes.assign(buffer, static_cast<std::size_t>(n));
    return ReadStep::Bytes;
}

} // namespace

RequestSplitter::RequestSplitter(std::size_t longest, SkipSink skipped)
    : longest_(longest), skipped_(std::move(skipped)) {}

void RequestSplitter::skip(std::size_t count, std::string_view why) {
    if (skipped_) {
        skipped_(std::string_view(pending_).substr(0, count), why);
    }
    pending_.erase(0, count);
}

std::optional<std::string> RequestSplitter::next() {
    const auto at = pending_.find('@');
    if (at == std::string::npos) {
        if (!pending_.empty()) {
            skip(pending_.size(), "");
        }
        return std::nullopt;
    }
    if (at > 0) {
        skip(at, "not a frame, skipped");
    }
    const auto end = pending_.find('\r');
    if (end == std::string::npos) {
        if (longest_ > 0 && pending_.size() > longest_) {
            skip(pending_.size(), "no CR, skipped");
        }
        return std::nullopt;
    }
    std::string frame = pending_.substr(0, end + 1);
    pending_.erase(0, end + 1);
    return frame;
}

void ServeLine(int fd, LineServer& server, std::stop_token stop) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        (void)::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    RequestSplitter splitter(MAX_REQUEST, [&server](std::string_view bytes, std::string_view why) {
        server.skipped(bytes, why);
    });
    std::string bytes;
    while (!stop.stop_requested()) {
        if (!server.sendDue(fd, stop)) {
            return;
        }
        const ReadStep step = WaitAndRead(fd, server, bytes, stop);
        if (step == ReadStep::Ended) {
            return;
        }
        if (step == ReadStep::Nothing) {
            continue;
        }
        const auto arrived = LineClock::now();
        splitter.append(bytes);
        while (auto frame = splitter.next()) {
            // A reply due at once leaves before the next request is read.
            if (!server.request(*frame, arrived) || !server.sendDue(fd, stop)) {
                return;
            }
        }
    }
}

bool WriteAll(int fd, std::string_view bytes, std::stop_token stop) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN) {
                return false;
            }
            // A full line on a non-blocking descriptor: wait for room in short
            // steps, so a stop request is seen.
            if (stop.stop_requested()) {
                return false;
            }
            pollfd room{fd, POLLOUT, 0};
            (void)::poll(&room, 1, 20);
            continue;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool WriteAll(int fd, std::string_view bytes) {
    return WriteAll(fd, bytes, std::stop_token{});
}

bool SleepFor(std::chrono::nanoseconds duration, std::stop_token stop) {
    if (duration <= std::chrono::nanoseconds::zero()) {
        return !stop.stop_requested();
    }
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    // Nothing else wakes it: the wait ends at the time or at the stop request.
    // (Its result is the predicate's, always false, so ask the token.)
    wake.wait_for(lock, stop, duration, [] { return false; });
    return !stop.stop_requested();
}

} // namespace xolsim
